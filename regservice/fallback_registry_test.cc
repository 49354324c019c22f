#include "regservice/fallback_registry.h"

#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "regservice/testing/recording_registry.h"

namespace regservice {
namespace {

const LONG kGone = ERROR_REGISTRY_IO_FAILED;
const char* const kEditions[] = {"Software\\Corvane\\Varlo 6.8",
                                 "Software\\Corvane\\VarloPlus 6.8"};

// A fallback registry over two recording ones, both with both editions
// installed; the online one fails, for good from its first failure on, at
// the call chosen, and going offline gives the other, or nothing when
// `has_offline` is false.
class Scene {
 public:
  Scene(RegOp op, const std::string& name, LONG code, bool has_offline = true)
      : online_(new RecordingRegistry), offline_owned_(new RecordingRegistry),
        offline_(offline_owned_.get()) {
    for (RecordingRegistry* registry : {online_, offline_}) {
      for (const char* edition : kEditions) registry->AddKey(edition);
    }
    if (!name.empty()) online_->FailOn(op, name, code);
    registry_.reset(new FallbackRegistry(
        std::unique_ptr<Registry>(online_),
        [](LONG result) { return result == kGone; },
        [this, has_offline]() -> std::unique_ptr<Registry> {
          ++offline_asked_;
          if (!has_offline) return nullptr;
          return std::unique_ptr<Registry>(offline_owned_.release());
        }));
  }
  Scene() : Scene(RegOp::kOpenKey, "", 0) {}

  FallbackRegistry* registry() { return registry_.get(); }
  RecordingRegistry& online() { return *online_; }
  RecordingRegistry& offline() { return *offline_; }
  int offline_asked() const { return offline_asked_; }

 private:
  RecordingRegistry* online_;  // owned by registry_
  std::unique_ptr<RecordingRegistry> offline_owned_;
  RecordingRegistry* offline_;
  int offline_asked_ = 0;
  // Last: destroyed first, while what it may call lives.
  std::unique_ptr<FallbackRegistry> registry_;
};

class FallbackRegistryTest : public ::testing::Test {
 protected:
  // The patch run's calls for each edition: whether it exists, then the
  // value written, key by key from the root, and every key closed.
  static std::vector<LONG> Patch(Registry* registry) {
    std::vector<LONG> results;
    const BYTE enabled = 0x01;
    for (const char* edition : kEditions) {
      HKEY probe = nullptr;
      results.push_back(registry->OpenKey(HKEY_CURRENT_USER, edition, &probe));
      if (results.back() == ERROR_SUCCESS) registry->CloseKey(probe);
      HKEY software = nullptr, vendor = nullptr, preferences = nullptr;
      results.push_back(registry->OpenKeyEx(HKEY_CURRENT_USER, "Software", 0,
                                            KEY_ALL_ACCESS, &software));
      results.push_back(registry->OpenKeyEx(software, "Corvane", 0,
                                            KEY_ALL_ACCESS, &vendor));
      const std::string rest =
          std::string(edition).substr(strlen("Software\\Corvane\\")) +
          "\\Preferences";
      results.push_back(registry->CreateKey(vendor, rest.c_str(),
                                            &preferences));
      results.push_back(registry->SetValueEx(preferences, "Quillfix", 0,
                                             REG_BINARY, &enabled, 1));
      for (HKEY key : {preferences, vendor, software}) registry->CloseKey(key);
    }
    return results;
  }

  static bool Patched(const RecordingRegistry& registry, const char* edition) {
    const RecordingRegistry::StoredValue* value = registry.FindValue(
        std::string(edition) + "\\Preferences", "Quillfix");
    return value != nullptr && value->type == REG_BINARY &&
           value->data == std::vector<BYTE>{0x01};
  }

};

// Wherever the server went, both values end up offline: those it took
// are written again, the rest go there, through keys opened there again.
TEST_F(FallbackRegistryTest, NoValueIsLostWhereverTheServerWent) {
  struct Case {
    RegOp op;
    const char* name;
  } cases[] = {
      {RegOp::kOpenKey, kEditions[0]},
      {RegOp::kOpenKeyEx, "Corvane"},
      {RegOp::kCreateKey, "Varlo 6.8\\Preferences"},
      {RegOp::kSetValueEx, "Quillfix"},
      {RegOp::kOpenKey, kEditions[1]},
      {RegOp::kCreateKey, "VarloPlus 6.8\\Preferences"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(RegOpName(c.op)) + " " + c.name);
    Scene scene(c.op, c.name, kGone);
    for (LONG result : Patch(scene.registry())) {
      EXPECT_EQ(ERROR_SUCCESS, result);
    }
    EXPECT_EQ(1, scene.offline_asked());
    EXPECT_TRUE(scene.registry()->offline());
    EXPECT_EQ(&scene.offline(), scene.registry()->current());
    for (const char* edition : kEditions) {
      EXPECT_TRUE(Patched(scene.offline(), edition)) << edition;
    }
    // Every key opened offline was closed there.
    EXPECT_EQ(0, scene.offline().OpenHandleCount());
    EXPECT_EQ(0, scene.offline().BadCloseCount());
  }
}

TEST_F(FallbackRegistryTest, WithoutAFailureEverythingStaysOnline) {
  Scene scene;
  for (LONG result : Patch(scene.registry())) EXPECT_EQ(ERROR_SUCCESS, result);
  EXPECT_EQ(0, scene.offline_asked());
  EXPECT_FALSE(scene.registry()->offline());
  for (const char* edition : kEditions) {
    EXPECT_TRUE(Patched(scene.online(), edition)) << edition;
    EXPECT_FALSE(Patched(scene.offline(), edition)) << edition;
  }
  EXPECT_EQ(0, scene.online().OpenHandleCount());
  EXPECT_EQ(0, scene.online().BadCloseCount());
}

// A key given back as itself stays the caller's handle, as it is below:
// the root for an empty path, RegOpenKeyA's own key; other opens a new one.
TEST_F(FallbackRegistryTest, AKeyGivenBackIsTheSameHandle) {
  Scene scene;
  FallbackRegistry* registry = scene.registry();
  HKEY root = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            registry->OpenKeyEx(HKEY_CURRENT_USER, "", 0, KEY_READ, &root));
  EXPECT_EQ(HKEY_CURRENT_USER, root);
  HKEY edition = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            registry->OpenKey(HKEY_CURRENT_USER, kEditions[0], &edition));
  HKEY same = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, registry->OpenKey(edition, nullptr, &same));
  EXPECT_EQ(edition, same);
  HKEY other = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, registry->OpenKeyEx(edition, "", 0, KEY_READ, &other));
  EXPECT_NE(edition, other);
  EXPECT_EQ(ERROR_SUCCESS, registry->CloseKey(other));
  EXPECT_EQ(ERROR_SUCCESS, registry->CloseKey(edition));
  EXPECT_EQ(0, scene.online().OpenHandleCount());
  EXPECT_EQ(0, scene.online().BadCloseCount());
}

// A failure that says nothing of the server is the caller's to see.
TEST_F(FallbackRegistryTest, OtherErrorsAreAnswersNotAFallback) {
  Scene scene(RegOp::kOpenKey, kEditions[0], ERROR_ACCESS_DENIED);
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_ACCESS_DENIED,
            scene.registry()->OpenKey(HKEY_CURRENT_USER, kEditions[0], &key));
  EXPECT_EQ(0, scene.offline_asked());
}

// With nowhere to go (the server still runs, or another one does), the
// failure stands, for every later call, and is asked about once.
TEST_F(FallbackRegistryTest, NowhereToGoFailsEverythingAfter) {
  Scene scene(RegOp::kOpenKeyEx, "Software", kGone, false);
  const std::vector<LONG> results = Patch(scene.registry());
  EXPECT_EQ(ERROR_SUCCESS, results[0]);  // the first edition's look
  for (size_t i = 1; i < results.size(); ++i) EXPECT_EQ(kGone, results[i]);
  EXPECT_EQ(1, scene.offline_asked());
  EXPECT_FALSE(scene.registry()->offline());
  EXPECT_FALSE(Patched(scene.online(), kEditions[1]));
}

}  // namespace
}  // namespace regservice
