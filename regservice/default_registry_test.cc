// Whom a run acts as, and that it settles it before it touches anything of
// the prefix: the calls of the registry's Env and the identity switch,
// recorded in one log.
#include "regservice/default_registry.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "regservice/prefix/fault_injection_env.h"
#include "regservice/prefix/test_dir.h"
#include "regservice/prefix/test_support.h"
#include "regservice/prefix/wine_prefix_registry.h"

namespace regservice {
namespace {

using prefix::FileInfo;
using prefix::Lock;
using prefix::RunIdentity;
using prefix::TestDir;
using prefix::WritableFile;

// Every call of the Env that looks at or changes a file, as "Call path".
class RecordingEnv : public prefix::FaultInjectionEnv {
 public:
  explicit RecordingEnv(std::vector<std::string>* log) : log_(log) {}

  Status GetFileInfo(const std::string& path, FileInfo* info) override {
    Note("GetFileInfo", path);
    return FaultInjectionEnv::GetFileInfo(path, info);
  }
  Status GetLinkInfo(const std::string& path, FileInfo* info) override {
    Note("GetLinkInfo", path);
    return FaultInjectionEnv::GetLinkInfo(path, info);
  }
  Status RealPath(const std::string& path, std::string* real) override {
    Note("RealPath", path);
    return FaultInjectionEnv::RealPath(path, real);
  }
  Status MakeDirectory(const std::string& path, uint32_t mode) override {
    Note("MakeDirectory", path);
    return FaultInjectionEnv::MakeDirectory(path, mode);
  }
  Status MakeFile(const std::string& path, uint32_t mode) override {
    Note("MakeFile", path);
    return FaultInjectionEnv::MakeFile(path, mode);
  }
  Status ReadFile(const std::string& path, std::string* data) override {
    Note("ReadFile", path);
    return FaultInjectionEnv::ReadFile(path, data);
  }
  Status ReadFileStart(const std::string& path, size_t max_bytes,
                       std::string* data) override {
    Note("ReadFileStart", path);
    return FaultInjectionEnv::ReadFileStart(path, max_bytes, data);
  }
  Status ReadLink(const std::string& path, std::string* target) override {
    Note("ReadLink", path);
    return FaultInjectionEnv::ReadLink(path, target);
  }
  Status ListDirectory(const std::string& path,
                       std::vector<std::string>* names) override {
    Note("ListDirectory", path);
    return FaultInjectionEnv::ListDirectory(path, names);
  }
  Status LockDirectory(const std::string& path,
                       std::unique_ptr<Lock>* lock) override {
    Note("LockDirectory", path);
    return FaultInjectionEnv::LockDirectory(path, lock);
  }
  Status ProbeWriteLock(const std::string& path, pid_t* holder) override {
    Note("ProbeWriteLock", path);
    return FaultInjectionEnv::ProbeWriteLock(path, holder);
  }

 private:
  void Note(const char* call, const std::string& path) {
    log_->push_back(std::string(call) + " " + path);
  }
  std::vector<std::string>* log_;
};

// A process that says its effective user id is `euid` and records a switch
// in the same log, without changing anything.
class RecordingIdentity : public prefix::Identity {
 public:
  RecordingIdentity(std::vector<std::string>* log, uid_t euid, bool can_switch)
      : log_(log), euid_(euid), can_switch_(can_switch) {}
  uid_t EffectiveUid() override { return euid_; }
  bool BecomeUser(uid_t uid, std::string* why) override {
    log_->push_back("BecomeUser " + std::to_string(uid));
    if (!can_switch_) {
      *why = "user id " + std::to_string(uid) + " has no account";
    }
    return can_switch_;
  }

 private:
  std::vector<std::string>* log_;
  uid_t euid_;
  bool can_switch_;
};

bool StartsWith(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

// Whether `entry` is a look at the metadata of `path` or of a directory
// on the way to it: all a run may do before it knows whom it acts as.
bool IsLookOnTheWay(const std::string& entry, const std::string& path) {
  for (const char* call : {"RealPath ", "GetFileInfo ", "GetLinkInfo "}) {
    if (!StartsWith(entry, call)) continue;
    const std::string looked = entry.substr(strlen(call));
    return looked == "/" || looked == path ||
           StartsWith(path, looked + "/");
  }
  return false;
}

class DefaultRegistryTest : public ::testing::Test {
 protected:
  DefaultRegistryTest() {
    prefix_ = dir_ / "prefix";
    mkdir(prefix_.c_str(), 0755);
    TestDir::Write(prefix_ + "/user.reg",
                   "WINE REGISTRY Version 2\n;; All keys relative to "
                   "\\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win64\n\n"
                   "[Software\\\\Acme] 1700000000\n\"Flag\"=dword:00000001\n");
    mkdir((dir_ / "proc").c_str(), 0755);
    mkdir((dir_ / "tmp").c_str(), 01777);
    chmod((dir_ / "tmp").c_str(), 01777);
    location_.directory = prefix_;
    location_.system_tmp = dir_ / "tmp";
    location_.proc = dir_ / "proc";
  }

  // Opens the registry as a run whose effective user is `euid` and asks
  // it for a key, which loads user.reg.
  RunIdentity Run(uid_t euid, bool can_switch, LONG* opened) {
    RecordingEnv env(&log_);
    RecordingIdentity identity(&log_, euid, can_switch);
    RegistryPlan plan;
    std::unique_ptr<Registry> registry(
        NewPrefixRegistry(&env, &identity, location_, &plan));
    HKEY key = nullptr;
    *opened = registry->OpenKey(HKEY_CURRENT_USER, "Software\\Acme", &key);
    if (*opened == ERROR_SUCCESS) registry->CloseKey(key);
    return plan.run;
  }

  // The first entry of the log that is more than a look on the way to the
  // prefix, or the log's size.
  size_t FirstTouch() const {
    for (size_t i = 0; i < log_.size(); ++i) {
      if (!IsLookOnTheWay(log_[i], prefix_)) return i;
    }
    return log_.size();
  }
  bool Logged(const std::string& entry) const {
    for (const std::string& e : log_) {
      if (e == entry) return true;
    }
    return false;
  }

  TestDir dir_;
  std::string prefix_;
  prefix::PrefixLocation location_;
  std::vector<std::string> log_;
};

// Root on another user's prefix becomes that user before it reads, lists
// or locks anything of the prefix, the server's directories or /proc.
TEST_F(DefaultRegistryTest, RootBecomesTheOwnerBeforeTouchingThePrefix) {
  const bool root = geteuid() == 0;
  // Not root, this test's own prefix is "another user's" to a run that
  // says it is root.
  const uid_t owner = root ? prefix::kOtherUid : geteuid();
  ASSERT_EQ(0, chown(prefix_.c_str(), owner, owner));
  ASSERT_EQ(0, chown((prefix_ + "/user.reg").c_str(), owner, owner));
  LONG opened;
  RunIdentity run = Run(0, true, &opened);
  EXPECT_EQ(RunIdentity::kPrefixOwner, run.kind);
  EXPECT_EQ(owner, run.prefix_owner);
  EXPECT_EQ(ERROR_SUCCESS, opened);
  ASSERT_LT(FirstTouch(), log_.size());
  EXPECT_EQ("BecomeUser " + std::to_string(owner), log_[FirstTouch()]);
  // What came after it was the prefix's: its lock, /proc, user.reg.
  EXPECT_TRUE(Logged("LockDirectory " + prefix_));
  EXPECT_TRUE(Logged("ListDirectory " + location_.proc));
  EXPECT_TRUE(Logged("ReadFile " + prefix_ + "/user.reg"));
}

// Without a switch, or refused, the look on the way is all there is.
TEST_F(DefaultRegistryTest, RefusedRunTouchesNothingOfThePrefix) {
  const bool root = geteuid() == 0;
  const uid_t owner = root ? prefix::kOtherUid : geteuid();
  struct Case {
    const char* name;
    bool can_switch;
    // Makes the way to the prefix what it is; returns the path to use.
    std::function<std::string()> arrange;
    bool switch_tried;
  } cases[] = {
      {"the owner cannot be become", false, [&] { return prefix_; }, true},
      {"no prefix there", true, [&] { return dir_ / "none"; }, false},
      {"a folder others may write on the way", true,
       [&] {
         const std::string open = dir_ / "open";
         mkdir(open.c_str(), 0777);
         chmod(open.c_str(), 0777);
         // The prefix itself is reached through the open folder.
         const std::string moved = open + "/prefix";
         rename(prefix_.c_str(), moved.c_str());
         prefix_ = moved;
         return moved;
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.clear();
    if (TestDir::Exists(prefix_)) {
      ASSERT_EQ(0, chown(prefix_.c_str(), owner, owner));
    }
    location_.directory = c.arrange();
    LONG opened;
    RunIdentity run = Run(0, c.can_switch, &opened);
    EXPECT_EQ(RunIdentity::kRefused, run.kind);
    EXPECT_FALSE(run.reason.empty());
    EXPECT_NE(ERROR_SUCCESS, opened);
    for (const std::string& entry : log_) {
      if (entry == "BecomeUser " + std::to_string(owner)) continue;
      EXPECT_TRUE(IsLookOnTheWay(entry, location_.directory)) << entry;
    }
    EXPECT_EQ(c.switch_tried, Logged("BecomeUser " + std::to_string(owner)));
  }
}

// A run that is not root is who it is: no look before, no switch.
TEST_F(DefaultRegistryTest, OthersStayWhoTheyAre) {
  LONG opened;
  RunIdentity run = Run(geteuid() == 0 ? 1000 : geteuid(), true, &opened);
  EXPECT_EQ(RunIdentity::kCaller, run.kind);
  EXPECT_EQ(ERROR_SUCCESS, opened);
  for (const std::string& entry : log_) {
    EXPECT_FALSE(StartsWith(entry, "BecomeUser")) << entry;
  }
}

// Root on its own prefix stays root, and keeps to the real path: a symlink
// on the way cannot be turned elsewhere later.
TEST_F(DefaultRegistryTest, RootsOwnPrefixKeepsRootOnTheRealPath) {
  if (geteuid() != 0) GTEST_SKIP() << "needs a prefix of root's";
  const std::string link = dir_ / "link";
  ASSERT_EQ(0, symlink(prefix_.c_str(), link.c_str()));
  prefix::PrefixLocation location = location_;
  location.directory = link;
  RecordingEnv env(&log_);
  RecordingIdentity identity(&log_, 0, true);
  RunIdentity run = prefix::AdoptPrefixOwner(&env, &identity, &location);
  EXPECT_EQ(RunIdentity::kCaller, run.kind);
  EXPECT_EQ(prefix_, location.directory);
  EXPECT_EQ(prefix_, run.directory);
  EXPECT_FALSE(Logged("BecomeUser 0"));
}

// Without the prefix's lock, another run's save could pass for a server,
// and a server could run unseen: the run is refused with the reason, and
// nothing more is looked at or read.
TEST_F(DefaultRegistryTest, FailedDirectoryLockRefusesTheRun) {
  RecordingEnv env(&log_);
  env.FailAt(prefix::FaultInjectionEnv::kLockDirectory);
  RecordingIdentity identity(&log_, geteuid(), true);
  RegistryPlan plan;
  std::unique_ptr<Registry> registry(
      NewPrefixRegistry(&env, &identity, location_, &plan));
  EXPECT_EQ(RegistryPlan::kRefused, plan.kind);
  EXPECT_NE(std::string::npos, plan.reason.find("flock " + prefix_))
      << plan.reason;
  EXPECT_TRUE(Logged("LockDirectory " + prefix_));
  EXPECT_FALSE(Logged("ListDirectory " + location_.proc));
  HKEY key = nullptr;
  EXPECT_NE(ERROR_SUCCESS,
            registry->OpenKey(HKEY_CURRENT_USER, "Software\\Acme", &key));
  EXPECT_FALSE(Logged("ReadFile " + prefix_ + "/user.reg"));
}

}  // namespace
}  // namespace regservice
