// CProductRoot over a recording registry: the exact calls of a check and of
// a write.
#include "app/product_root.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/resource.h"
#include "regservice/registry.h"
#include "regservice/testing/recording_registry.h"
#include "regtree/registry_tree.h"

namespace {

using regservice::RegOp;

const char kVarlo[] = "SOFTWARE\\Corvane\\Varlo 6.8";
const char kVarloPlus[] = "SOFTWARE\\Corvane\\VarloPlus 6.8";
const BYTE kData[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};

class ProductRootTest : public ::testing::Test {
 protected:
  ProductRootTest() : scoped_(&registry_) {
    AfxWinInit(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), 0);
  }

  void TearDown() override {
    EXPECT_EQ(0, registry_.OpenHandleCount()) << "handles left open";
    EXPECT_EQ(0, registry_.BadCloseCount());
    EXPECT_EQ(0, CKeyNode::LiveCount());
    EXPECT_EQ(0, CValueNode::LiveCount());
  }

  regservice::RecordingRegistry registry_;
  regservice::ScopedRegistry scoped_;
};

TEST_F(ProductRootTest, ExistingRootIsOpenedAsLoadedAndClosedAtOnce) {
  registry_.AddKey(kVarlo);
  CProductRoot root(IDS_ROOT_VARLO);
  EXPECT_TRUE(root.Exists());
  EXPECT_EQ((std::vector<std::string>{
                "OpenKey SOFTWARE\\Corvane\\Varlo 6.8\\",
                "CloseKey SOFTWARE\\Corvane\\Varlo 6.8"}),
            registry_.CallSummary());
  EXPECT_EQ(HKEY_CURRENT_USER, registry_.calls()[0].key);
}

TEST_F(ProductRootTest, AbsentRootIsFalseAndOpensNothing) {
  registry_.AddKey(kVarlo);
  CProductRoot root(IDS_ROOT_VARLOPLUS);
  EXPECT_FALSE(root.Exists());
  EXPECT_EQ((std::vector<std::string>{
                "OpenKey SOFTWARE\\Corvane\\VarloPlus 6.8\\"}),
            registry_.CallSummary());
}

TEST_F(ProductRootTest, AssigningTheIdRetargetsTheObject) {
  registry_.AddKey(kVarloPlus);
  CProductRoot root(IDS_ROOT_VARLO);
  EXPECT_FALSE(root.Exists());
  root.stringId = IDS_ROOT_VARLOPLUS;
  EXPECT_TRUE(root.Exists());
  root.WriteValue("Preferences", "Quillfix", kData, 1);
  EXPECT_NE(nullptr, registry_.FindValue(
                         std::string(kVarloPlus) + "\\Preferences", "Quillfix"));
  EXPECT_FALSE(registry_.HasKey(kVarlo));
}

TEST_F(ProductRootTest, WriteMakesPreferencesAndClosesLeafFirst) {
  registry_.AddKey(kVarlo);
  CProductRoot root(IDS_ROOT_VARLO);
  root.WriteValue("Preferences", "Quillfix", kData, 1);
  EXPECT_EQ((std::vector<std::string>{
                "QueryInfoKey HKEY_CURRENT_USER",
                "OpenKeyEx SOFTWARE",
                "OpenKeyEx Corvane",
                "OpenKeyEx Varlo 6.8",
                "OpenKeyEx Preferences",
                "CreateKey Preferences",
                "SetValueEx Quillfix",
                "CloseKey SOFTWARE\\Corvane\\Varlo 6.8\\Preferences",
                "CloseKey SOFTWARE\\Corvane\\Varlo 6.8",
                "CloseKey SOFTWARE\\Corvane",
                "CloseKey SOFTWARE",
                "CloseKey HKEY_CURRENT_USER",
            }),
            registry_.CallSummary());
  const auto* value = registry_.FindValue(
      std::string(kVarlo) + "\\Preferences", "Quillfix");
  ASSERT_NE(nullptr, value);
  EXPECT_EQ(static_cast<DWORD>(REG_BINARY), value->type);
  EXPECT_EQ(std::vector<BYTE>{0x01}, value->data);
}

TEST_F(ProductRootTest, SizeFourIsWrittenAsDwordEveryOtherAsBinary) {
  struct Case {
    DWORD size;
    DWORD type;
  } cases[] = {{0, REG_BINARY}, {1, REG_BINARY}, {2, REG_BINARY},
               {3, REG_BINARY}, {4, REG_DWORD},  {5, REG_BINARY},
               {8, REG_BINARY}};
  registry_.AddKey(kVarlo);
  CProductRoot root(IDS_ROOT_VARLO);
  for (const Case& c : cases) {
    root.WriteValue("Preferences", "V", kData, c.size);
    const auto* value =
        registry_.FindValue(std::string(kVarlo) + "\\Preferences", "V");
    ASSERT_NE(nullptr, value);
    EXPECT_EQ(c.type, value->type) << "size " << c.size;
    EXPECT_EQ(std::vector<BYTE>(kData, kData + c.size), value->data)
        << "size " << c.size;
  }
}

TEST_F(ProductRootTest, FailedWriteIsSilentAndLeavesNothingOpen) {
  registry_.AddKey(kVarlo);
  registry_.FailOn(RegOp::kSetValueEx, "Quillfix");
  CProductRoot root(IDS_ROOT_VARLO);
  root.WriteValue("Preferences", "Quillfix", kData, 1);
  EXPECT_EQ(nullptr, registry_.FindValue(
                         std::string(kVarlo) + "\\Preferences", "Quillfix"));
}

// An ID without a string gives empty text: the root is then
// HKEY_CURRENT_USER itself, and the subkey alone is the path.
TEST_F(ProductRootTest, IdWithoutStringUsesEmptyRootPath) {
  CProductRoot root(4242);
  EXPECT_TRUE(root.Exists());
  EXPECT_EQ((std::vector<std::string>{"OpenKey ",
                                      "CloseKey HKEY_CURRENT_USER"}),
            registry_.CallSummary());
  root.WriteValue("Preferences", "Quillfix", kData, 1);
  EXPECT_NE(nullptr, registry_.FindValue("Preferences", "Quillfix"));
}

// The lines of the file at `path`; none if it is missing.
std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

TEST_F(ProductRootTest, RejectedRootEndsTheProcessAbnormally) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The process that dies is a new run of this test: it finds the log's
  // path in the environment the parent passes on.
  const char kLogVariable[] = "QUILLFIX_TEST_ABNORMAL_END_LOG";
  const bool in_parent = std::getenv(kLogVariable) == nullptr;
  if (in_parent) {
    const std::string path = ::testing::TempDir() + "quillfix-abnormal-end-" +
                             std::to_string(getpid()) + ".log";
    std::remove(path.c_str());
    setenv(kLogVariable, path.c_str(), 1);
  }
  const std::string log = std::getenv(kLogVariable);
  registry_.LogCallsTo(log);
  registry_.AddKey(kVarlo);
  registry_.FailOn(RegOp::kQueryInfoKey, "HKEY_CURRENT_USER",
                   ERROR_INVALID_HANDLE);
  CProductRoot root(IDS_ROOT_VARLO);
  EXPECT_EXIT(root.WriteValue("Preferences", "Quillfix", kData, 1),
              ::testing::KilledBySignal(SIGABRT), "");
  // The dying process asked only whether the root can be wrapped: it
  // opened, made and wrote nothing.
  EXPECT_EQ(std::vector<std::string>{"QueryInfoKey HKEY_CURRENT_USER"},
            ReadLines(log));
  unsetenv(kLogVariable);
  std::remove(log.c_str());
}

}  // namespace
