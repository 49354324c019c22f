#include "regservice/prefix/hive_store.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "regservice/prefix/fake_server.h"
#include "regservice/prefix/fault_injection_env.h"
#include "regservice/prefix/test_dir.h"
#include "regservice/prefix/test_support.h"
#include "regservice/regservice.h"

namespace regservice {
namespace prefix {
namespace {

const char kUserReg[] =
    QUILLFIX_TEST_USER_REG_HEAD
    "\n"
    "[Software\\\\Acme] 1796869137\n"
    "#time=1dd884ccfb82800\n"
    "\"Flag\"=hex:02\n";

const uint64_t kNow = 0x1dd9000000000000ull;

const wine::KeyPath kAcme = {u"Software", u"Acme"};

class HiveStoreTest : public ::testing::Test {
 protected:
  HiveStoreTest() {
    location_.directory = dir_.path();
    location_.system_tmp = tmp_.path();
    TestDir::Write(UserReg(), kUserReg);
  }
  std::string UserReg() const { return dir_ / "user.reg"; }
  std::unique_ptr<HiveStore> NewStore(Env* env) {
    std::unique_ptr<HiveStore> store(new HiveStore(env, location_));
    EXPECT_EQ(Status::kOk, store->Load().code()) << store->last_error();
    return store;
  }
  // Makes one change of each kind, pending.
  void Change(HiveStore* store) {
    ASSERT_EQ(Status::kOk,
              store->CreateKey({u"Software", u"New"}, kNow).code());
    ASSERT_EQ(Status::kOk,
              store->SetValue(kAcme, u"Flag", REG_BINARY, "\x01", kNow).code());
  }

  TestDir dir_;
  TestDir tmp_;  // the system's temporary directory, for server directories
  PrefixLocation location_;
  FaultInjectionEnv env_;
};

TEST_F(HiveStoreTest, NothingReachesTheFileBeforeSave) {
  auto store = NewStore(&env_);
  Change(store.get());
  EXPECT_TRUE(store->HasPendingChanges());
  EXPECT_EQ(kUserReg, TestDir::Read(UserReg()));
  EXPECT_EQ(Status::kOk, store->Save().code());
  EXPECT_FALSE(store->HasPendingChanges());
  EXPECT_EQ("\x01", ValueInFile(UserReg(), kAcme, u"Flag").data);
  EXPECT_EQ((std::vector<std::string>{"user.reg"}), TestDir::List(dir_.path()));
}

TEST_F(HiveStoreTest, SaveKeepsPermissions) {
  chmod(UserReg().c_str(), 0600);
  mode_t old_umask = umask(022);
  auto store = NewStore(&env_);
  Change(store.get());
  EXPECT_EQ(Status::kOk, store->Save().code());
  umask(old_umask);
  struct stat st;
  ASSERT_EQ(0, stat(UserReg().c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
}

// The file keeps its owner (the user saving, as a run by root on a user's
// prefix becomes that user first), its group where the user may give it,
// and its mode, whichever way it is written.
TEST_F(HiveStoreTest, SaveKeepsOwnerGroupAndMode) {
  const bool root = geteuid() == 0;
  const uid_t owner = geteuid();
  const gid_t group = root ? kOtherGid : getegid();
  enum Shape { kPlain, kSymlink, kHardLink };
  struct Case {
    const char* name;
    Shape shape;
  } cases[] = {
      {"replaced", kPlain},
      {"symlink written through", kSymlink},
      {"hard link written through", kHardLink},
  };
  for (const Case& c : cases) {
    TestDir dir;
    location_.directory = dir.path();
    std::string file = dir / "user.reg";
    if (c.shape == kSymlink) {
      file = dir / "real.reg";
      symlink("real.reg", (dir / "user.reg").c_str());
    }
    TestDir::Write(file, kUserReg);
    if (c.shape == kHardLink) link(file.c_str(), (dir / "other.reg").c_str());
    ASSERT_EQ(0, chown(file.c_str(), owner, group)) << c.name;
    ASSERT_EQ(0, chmod(file.c_str(), 0640)) << c.name;
    mode_t old_umask = umask(077);
    {
      auto store = NewStore(&env_);
      Change(store.get());
      EXPECT_EQ(Status::kOk, store->Save().code()) << c.name;
    }
    umask(old_umask);
    struct stat st;
    ASSERT_EQ(0, stat((dir / "user.reg").c_str(), &st));
    EXPECT_EQ(owner, st.st_uid) << c.name;
    EXPECT_EQ(group, st.st_gid) << c.name;
    EXPECT_EQ(0640u, st.st_mode & 07777) << c.name;
    EXPECT_EQ("\x01", ValueInFile(dir / "user.reg", kAcme, u"Flag").data)
        << c.name;
  }
}

// A user.reg of another user than the one saving could not keep its owner
// when replaced: it is left as it is.
TEST_F(HiveStoreTest, SaveLeavesAnotherUsersFileAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
  TestDir dir;
  location_.directory = dir.path();
  TestDir::Write(dir / "user.reg", kUserReg);
  ASSERT_EQ(0, chown((dir / "user.reg").c_str(), kOtherUid, kOtherGid));
  {
    auto store = NewStore(&env_);
    Change(store.get());
    EXPECT_NE(Status::kOk, store->Save().code());
  }
  EXPECT_EQ(kUserReg, TestDir::Read(dir / "user.reg"));
  EXPECT_EQ(std::vector<std::string>{"user.reg"}, TestDir::List(dir.path()));
}

// A FIFO where user.reg or system.reg should be is refused, never waited on.
TEST_F(HiveStoreTest, FifosAreRefusedNotWaitedOn) {
  struct Case {
    const char* name;
    const char* fifo;
    const char* user_reg;  // written unless it is the FIFO
  } cases[] = {
      {"user.reg", "user.reg", nullptr},
      {"system.reg, user.reg with #arch", "system.reg", kUserReg},
  };
  for (const Case& c : cases) {
    TestDir dir;
    location_.directory = dir.path();
    if (c.user_reg) TestDir::Write(dir / "user.reg", c.user_reg);
    ASSERT_EQ(0, mkfifo((dir / c.fifo).c_str(), 0600));
    HiveStore store(&env_, location_);
    EXPECT_NE(Status::kOk, store.Load().code()) << c.name;
  }
}

// A user.reg that says it is larger than memory can hold (so a sparse
// file of many GiB would): its load fails with the reason, as any read
// failure does, instead of ending the run.
TEST_F(HiveStoreTest, AFileTooLargeForMemoryIsAReadError) {
  class HugeFileEnv : public FaultInjectionEnv {
   public:
    Status GetFileInfo(const std::string& path, FileInfo* info) override {
      Status status = FaultInjectionEnv::GetFileInfo(path, info);
      if (status.ok() && path.size() >= 8 &&
          path.compare(path.size() - 8, 8, "user.reg") == 0) {
        info->size = uint64_t{1} << 62;  // past what a string may hold
      }
      return status;
    }
  } env;
  HiveStore store(&env, location_);
  const Status loaded = store.Load();
  EXPECT_EQ(Status::kReadError, loaded.code());
  EXPECT_EQ("4611686018427387904 bytes, more than this run has memory for",
            store.last_error());
  EXPECT_EQ(kUserReg, TestDir::Read(UserReg()));
}

// Wine loads user.reg only when its #arch, if any, is the prefix's, which
// system.reg names (32-bit when it names none).
TEST_F(HiveStoreTest, LoadsOnlyWhatWineWouldForThePrefixArchitecture) {
  const std::string kSystemHead =
      "WINE REGISTRY Version 2\n"
      ";; All keys relative to \\\\Machine\n\n";
  const std::string kUserHead =
      "WINE REGISTRY Version 2\n"
      ";; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n\n";
  const std::string kBody = "\n[Software\\\\Acme] 1796869137\n\"Flag\"=hex:02\n";
  struct Case {
    const char* name;
    const char* user_arch;    // the #arch line of user.reg, null: none
    const char* system_text;  // after system.reg's head; null: no system.reg
    Status::Code expected;
  } cases[] = {
      {"both win64", "#arch=win64", "#arch=win64\n", Status::kOk},
      {"both win32", "#arch=win32", "#arch=win32\n", Status::kOk},
      {"win32 in a 64-bit prefix", "#arch=win32", "#arch=win64\n",
       Status::kCorrupt},
      {"win64 in a 32-bit prefix", "#arch=win64", "#arch=win32\n",
       Status::kCorrupt},
      {"CRLF system.reg", "#arch=win32", "\r\n#arch=win32\r\n",
       Status::kOk},
      {"indented #arch", "#arch=win32", "  #arch=win32\n", Status::kOk},
      {"user.reg names none", nullptr, "#arch=win32\n", Status::kOk},
      {"system.reg names none: win64", "#arch=win64", "", Status::kCorrupt},
      {"system.reg names none: win32", "#arch=win32", "", Status::kOk},
      {"#arch of a key is no global option", "#arch=win64",
       "[Software] 1\n#arch=win64\n", Status::kCorrupt},
      {"no system.reg: win64", "#arch=win64", nullptr, Status::kOk},
      {"no system.reg: win32", "#arch=win32", nullptr, Status::kOk},
  };
  for (const Case& c : cases) {
    TestDir dir;
    location_.directory = dir.path();
    std::string user_reg = kUserHead;
    if (c.user_arch) user_reg += std::string(c.user_arch) + "\n";
    user_reg += kBody;
    TestDir::Write(dir / "user.reg", user_reg);
    if (c.system_text) {
      TestDir::Write(dir / "system.reg", kSystemHead + c.system_text);
    }
    {
      HiveStore store(&env_, location_);
      EXPECT_EQ(c.expected, store.Load().code()) << c.name;
      if (c.expected == Status::kOk) {
        ASSERT_EQ(Status::kOk,
                  store.SetValue(kAcme, u"Flag", REG_BINARY, "\x01", kNow)
                      .code());
        EXPECT_EQ(Status::kOk, store.Save().code()) << c.name;
        continue;
      }
    }
    EXPECT_EQ(user_reg, TestDir::Read(dir / "user.reg")) << c.name;
  }
}

// Another writer turns user.reg into a file of the wrong architecture
// between load and save: the save refuses it.
TEST_F(HiveStoreTest, SaveRefusesAFileThatBecameAnotherArchitecture) {
  TestDir::Write(dir_ / "system.reg", "WINE REGISTRY Version 2\n#arch=win64\n");
  auto store = NewStore(&env_);
  Change(store.get());
  std::string other = kUserReg;
  other.replace(other.find("win64"), 5, "win32");
  other += "\"Other\"=hex:03\n";
  TestDir::Write(UserReg(), other);
  EXPECT_EQ(Status::kCorrupt, store->Save().code());
  EXPECT_EQ(other, TestDir::Read(UserReg()));
}

// Between the check for a server and the rename, no server can start: the
// lock a new one would take is held, made for the purpose if need be, and
// left for it afterwards.
TEST_F(HiveStoreTest, NoServerCanStartDuringTheSave) {
  TestDir::Write(dir_ / "wineserver", "wine-test");
  struct stat st;
  ASSERT_EQ(0, stat(dir_.path().c_str(), &st));
  const std::string server = ServerDirectoryName(st.st_dev, st.st_ino);
  const std::vector<std::string> locks = {
      tmp_ / "wine-test/" + server + "/lock",
      tmp_ / ".wine-" + std::to_string(st.st_uid) + "/" + server + "/lock",
  };
  std::vector<bool> lockable_during;
  env_.PauseAt(FaultInjectionEnv::kRename, [&] {
    for (const std::string& lock : locks) {
      lockable_during.push_back(!TestDir::Exists(lock) ||
                                OtherProcessCanLock(lock));
    }
  });
  auto store = NewStore(&env_);
  Change(store.get());
  EXPECT_EQ(Status::kOk, store->Save().code());
  EXPECT_EQ(std::vector<bool>(locks.size(), false), lockable_during);
  for (const std::string& lock : locks) {
    EXPECT_TRUE(TestDir::Exists(lock)) << lock;
    EXPECT_TRUE(OtherProcessCanLock(lock)) << lock;
  }
  // Wine's files stay out of the prefix.
  EXPECT_EQ((std::vector<std::string>{"user.reg", "wineserver"}),
            TestDir::List(dir_.path()));
}

// A server whose lock is not known (started with another TMPDIR) and that
// shows up in /proc while the file is being written: the file is left as
// it was.
TEST_F(HiveStoreTest, ServerAppearingDuringTheSaveStopsIt) {
  struct stat st;
  ASSERT_EQ(0, stat(dir_.path().c_str(), &st));
  const std::string server_dir =
      tmp_ / ServerDirectoryName(st.st_dev, st.st_ino);
  mkdir(server_dir.c_str(), 0700);
  std::unique_ptr<ProcessIn> server;
  env_.PauseAt(FaultInjectionEnv::kCreate, [&] {
    server.reset(new ProcessIn(server_dir, dir_.path()));
  });
  auto store = NewStore(&env_);
  Change(store.get());
  EXPECT_EQ(Status::kBusy, store->Save().code());
  ASSERT_TRUE(server && server->ready());
  EXPECT_EQ(kUserReg, TestDir::Read(UserReg()));
  EXPECT_EQ((std::vector<std::string>{"user.reg"}), TestDir::List(dir_.path()));
  EXPECT_TRUE(store->HasPendingChanges());
  // Once it has gone, the changes go in.
  server.reset();
  env_.PauseAt(FaultInjectionEnv::kNothing, nullptr);
  EXPECT_EQ(Status::kOk, store->Save().code());
  EXPECT_EQ("\x01", ValueInFile(UserReg(), kAcme, u"Flag").data);
}

// A server that ran unseen when the save took its locks, and exited,
// saving, before the rename: the save must not put its older text over the
// server's. It refuses, and the next save reads the server's file again.
TEST_F(HiveStoreTest, FileSavedByAnotherDuringTheSaveIsNotOverwritten) {
  for (FaultInjectionEnv::Step step :
       {FaultInjectionEnv::kCreate, FaultInjectionEnv::kFileSync}) {
    TestDir::Write(UserReg(), kUserReg);
    FaultInjectionEnv env;
    const std::string saved_by_server =
        std::string(kUserReg) + "\n[Software\\\\Server] 1700000000\n\"S\"=dword:00000001\n";
    bool saved = false;
    env.PauseAt(step, [&] {
      if (saved) return;
      saved = true;
      TestDir::Write(UserReg() + ".new", saved_by_server);
      rename((UserReg() + ".new").c_str(), UserReg().c_str());
    });
    auto store = NewStore(&env);
    Change(store.get());
    EXPECT_EQ(Status::kBusy, store->Save().code()) << step;
    EXPECT_EQ(saved_by_server, TestDir::Read(UserReg())) << step;
    EXPECT_TRUE(store->HasPendingChanges()) << step;
    EXPECT_EQ(Status::kOk, store->Save().code()) << step;
    EXPECT_EQ("\x01", ValueInFile(UserReg(), kAcme, u"Flag").data) << step;
    EXPECT_EQ(4u, ValueInFile(UserReg(), {u"Software", u"Server"}, u"S").type)
        << step;
  }
}

// Refusing a change early is a courtesy that the save's own looks back up.
// Once a look in /proc found no server (the caller's, or a save's last), a
// server seen only in /proc no longer refuses each change; the save still
// finds it and writes nothing.
TEST_F(HiveStoreTest, ServerSeenOnlyInProcRefusesChangesUntilALookFoundNone) {
  enum LastLook { kNone, kByCaller, kBySave };
  struct Case {
    const char* name;
    LastLook last_look;
    Status::Code change;  // the answer to a change once the server runs
  } cases[] = {
      {"no look yet", kNone, Status::kBusy},
      {"the caller looked", kByCaller, Status::kOk},
      {"a save looked last", kBySave, Status::kOk},
  };
  struct stat st;
  ASSERT_EQ(0, stat(dir_.path().c_str(), &st));
  TestDir elsewhere;  // where no lock file is looked for
  const std::string server_dir =
      elsewhere / ServerDirectoryName(st.st_dev, st.st_ino);
  mkdir(server_dir.c_str(), 0700);
  for (const Case& c : cases) {
    TestDir::Write(UserReg(), kUserReg);
    auto store = NewStore(&env_);
    if (c.last_look == kByCaller) store->NoteFoundFree();
    if (c.last_look == kBySave) {
      Change(store.get());
      ASSERT_EQ(Status::kOk, store->Save().code()) << c.name;
    }
    const std::string before = TestDir::Read(UserReg());
    ProcessIn server(server_dir, dir_.path());
    ASSERT_TRUE(server.ready());
    EXPECT_EQ(c.change, store->CreateKey({u"Software", u"Later"}, kNow).code())
        << c.name;
    EXPECT_EQ(c.change == Status::kOk ? Status::kBusy : Status::kOk,
              store->Save().code())
        << c.name;
    EXPECT_EQ(before, TestDir::Read(UserReg())) << c.name;
  }
}

TEST_F(HiveStoreTest, FailureAtAnyStepLeavesFileAndNoTemporary) {
  const FaultInjectionEnv::Step steps[] = {
      FaultInjectionEnv::kCreate,   FaultInjectionEnv::kWrite,
      FaultInjectionEnv::kFileSync, FaultInjectionEnv::kClose,
      FaultInjectionEnv::kRename,
  };
  for (FaultInjectionEnv::Step step : steps) {
    FaultInjectionEnv env;
    env.FailAt(step);
    auto store = NewStore(&env);
    Change(store.get());
    Status saved = store->Save();
    EXPECT_EQ(Status::kWriteError, saved.code()) << "step " << step;
    // The failing call's errno and words, not words of the store's own.
    EXPECT_EQ(EIO, saved.error()) << "step " << step;
    EXPECT_NE(std::string::npos, saved.message().find(strerror(EIO)))
        << saved.message();
    EXPECT_EQ(saved.message(), store->last_error());
    EXPECT_EQ(kUserReg, TestDir::Read(UserReg())) << "step " << step;
    EXPECT_EQ((std::vector<std::string>{"user.reg"}),
              TestDir::List(dir_.path()))
        << "step " << step;
    // The changes are still pending and go in once the fault is gone.
    EXPECT_TRUE(store->HasPendingChanges());
    env.FailAt(FaultInjectionEnv::kNothing);
    EXPECT_EQ(Status::kOk, store->Save().code()) << "step " << step;
    EXPECT_EQ("\x01", ValueInFile(UserReg(), kAcme, u"Flag").data);
    TestDir::Write(UserReg(), kUserReg);
  }
}

// A failed directory sync comes after the rename, which cannot be undone:
// the file is then wholly the new one, never a mix.
TEST_F(HiveStoreTest, FailedDirectorySyncIsReportedWithCompleteFile) {
  env_.FailAt(FaultInjectionEnv::kDirectorySync);
  auto store = NewStore(&env_);
  Change(store.get());
  EXPECT_EQ(Status::kWriteError, store->Save().code());
  EXPECT_EQ("\x01", ValueInFile(UserReg(), kAcme, u"Flag").data);
  EXPECT_EQ((std::vector<std::string>{"user.reg"}), TestDir::List(dir_.path()));
  env_.FailAt(FaultInjectionEnv::kNothing);
  EXPECT_EQ(Status::kOk, store->Save().code());
  EXPECT_EQ("\x01", ValueInFile(UserReg(), kAcme, u"Flag").data);
}

// Without the prefix's lock a save of another run could not be told from a
// server: a change or a save that cannot take it writes nothing.
TEST_F(HiveStoreTest, FailedDirectoryLockWritesNothing) {
  auto store = NewStore(&env_);
  env_.FailAt(FaultInjectionEnv::kLockDirectory);
  EXPECT_EQ(Status::kBusy,
            store->CreateKey({u"Software", u"New"}, kNow).code());
  EXPECT_FALSE(store->HasPendingChanges());
  Change(store.get());
  env_.FailAt(FaultInjectionEnv::kLockDirectory);
  EXPECT_EQ(Status::kWriteError, store->Save().code());
  EXPECT_TRUE(store->HasPendingChanges());
  EXPECT_EQ(kUserReg, TestDir::Read(UserReg()));
  EXPECT_EQ((std::vector<std::string>{"user.reg"}), TestDir::List(dir_.path()));
}

TEST_F(HiveStoreTest, PrefixThatMayNotBeWrittenIsAccessDenied) {
  env_.FailAt(FaultInjectionEnv::kCreate, EACCES);
  auto store = NewStore(&env_);
  Change(store.get());
  Status saved = store->Save();
  EXPECT_EQ(Status::kAccessDenied, saved.code());
  EXPECT_EQ(EACCES, saved.error());
  EXPECT_EQ(kUserReg, TestDir::Read(UserReg()));
}

TEST_F(HiveStoreTest, StaleTemporaryFilesAreRemovedOthersKept) {
  TestDir::Write(dir_ / "user.reg.quillfix-99999-0.tmp", "partial");
  TestDir::Write(dir_ / "reg1a2b0000.tmp", "wine's");
  auto store = NewStore(&env_);
  Change(store.get());
  EXPECT_EQ(Status::kOk, store->Save().code());
  EXPECT_EQ((std::vector<std::string>{"reg1a2b0000.tmp", "user.reg"}),
            TestDir::List(dir_.path()));
}

TEST_F(HiveStoreTest, ChangesOfAnotherWriterAreKept) {
  auto first = NewStore(&env_);
  auto second = NewStore(&env_);
  const std::string one("\1\0\0\0", 4);
  ASSERT_TRUE(first->SetValue(kAcme, u"One", REG_DWORD, one, kNow).ok());
  ASSERT_TRUE(second->CreateKey({u"Software", u"Two"}, kNow).ok());
  ASSERT_TRUE(
      second->SetValue({u"Software", u"Two"}, u"V", REG_BINARY, "\x02", kNow)
          .ok());
  EXPECT_EQ(Status::kOk, second->Save().code());
  EXPECT_EQ(Status::kOk, first->Save().code());
  EXPECT_EQ(std::string("\1\0\0\0", 4),
            ValueInFile(UserReg(), kAcme, u"One").data);
  EXPECT_EQ("\x02", ValueInFile(UserReg(), {u"Software", u"Two"}, u"V").data);
  // And the first store's later changes build on the merged file.
  ASSERT_EQ(Status::kOk,
            first->SetValue(kAcme, u"Three", REG_BINARY, "\x03", kNow).code());
  EXPECT_EQ(Status::kOk, first->Save().code());
  EXPECT_EQ("\x02", ValueInFile(UserReg(), {u"Software", u"Two"}, u"V").data);
  EXPECT_EQ("\x03", ValueInFile(UserReg(), kAcme, u"Three").data);
}

TEST_F(HiveStoreTest, RunningServerRefusesChangesAndSaves) {
  auto store = NewStore(&env_);
  ASSERT_EQ(Status::kOk,
            store->SetValue(kAcme, u"Before", REG_BINARY, "\x01", kNow).code());
  const std::string lock = MakeServerLockFile(location_);
  env_.SimulateHeldLock(lock);
  EXPECT_EQ(Status::kBusy,
            store->SetValue(kAcme, u"During", REG_BINARY, "\x01", kNow).code());
  EXPECT_EQ(Status::kBusy,
            store->CreateKey({u"Software", u"During"}, kNow).code());
  // Making a key that exists changes nothing and is allowed.
  EXPECT_EQ(Status::kOk, store->CreateKey(kAcme, kNow).code());
  EXPECT_EQ(Status::kBusy, store->Save().code());
  EXPECT_EQ(0, env_.saves_started());
  EXPECT_EQ(kUserReg, TestDir::Read(UserReg()));
  env_.SimulateHeldLock(lock, false);
  EXPECT_EQ(Status::kOk, store->Save().code());
  EXPECT_EQ("\x01", ValueInFile(UserReg(), kAcme, u"Before").data);
}

TEST_F(HiveStoreTest, SymlinkedFileIsWrittenThrough) {
  std::string real = dir_ / "real.reg";
  ASSERT_EQ(0, rename(UserReg().c_str(), real.c_str()));
  ASSERT_EQ(0, symlink("real.reg", UserReg().c_str()));
  auto store = NewStore(&env_);
  Change(store.get());
  EXPECT_EQ(Status::kOk, store->Save().code());
  struct stat st;
  ASSERT_EQ(0, lstat(UserReg().c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ("\x01", ValueInFile(real, kAcme, u"Flag").data);
}

TEST_F(HiveStoreTest, HardLinkedFileIsWrittenThrough) {
  std::string other = dir_ / "other.reg";
  ASSERT_EQ(0, link(UserReg().c_str(), other.c_str()));
  auto store = NewStore(&env_);
  Change(store.get());
  EXPECT_EQ(Status::kOk, store->Save().code());
  EXPECT_EQ("\x01", ValueInFile(other, kAcme, u"Flag").data);
  struct stat a, b;
  ASSERT_EQ(0, stat(UserReg().c_str(), &a));
  ASSERT_EQ(0, stat(other.c_str(), &b));
  EXPECT_EQ(a.st_ino, b.st_ino);
}

// A user.reg behind a symlink (into a folder of its own, as a dotfiles
// folder would hold it) or with a second hard link, as the tests below
// make it.
class LinkedUserReg {
 public:
  enum Shape { kSymlink, kHardLink };
  LinkedUserReg(const std::string& prefix, Shape shape)
      : prefix_(prefix), shape_(shape) {
    unlink(user_reg().c_str());
    if (shape == kSymlink) {
      file_ = dotfiles_ / "wine-user.reg";
      TestDir::Write(file_, kUserReg);
      symlink(file_.c_str(), user_reg().c_str());
    } else {
      file_ = user_reg();
      TestDir::Write(file_, kUserReg);
      link(file_.c_str(), (prefix_ + "/backup.reg").c_str());
    }
    chmod(file_.c_str(), 0640);
    stat(file_.c_str(), &before_);
  }
  std::string user_reg() const { return prefix_ + "/user.reg"; }
  // The file the data lives in: the symlink's target, or the other link.
  std::string file() const {
    return shape_ == kSymlink ? file_ : prefix_ + "/backup.reg";
  }
  const std::string& dotfiles() const { return dotfiles_.path(); }
  ino_t original_inode() const { return before_.st_ino; }

  // The links are as they were: the symlink still a symlink to the same
  // path, the hard links still one file. And no temporary file is left.
  void ExpectLinksKept(const std::string& what) const {
    struct stat link_st, a, b;
    ASSERT_EQ(0, lstat(user_reg().c_str(), &link_st)) << what;
    ASSERT_EQ(0, stat(file().c_str(), &a)) << what;
    ASSERT_EQ(0, stat(user_reg().c_str(), &b)) << what;
    EXPECT_EQ(a.st_ino, b.st_ino) << what;
    EXPECT_EQ(0640u, a.st_mode & 07777) << what;
    if (shape_ == kSymlink) {
      EXPECT_TRUE(S_ISLNK(link_st.st_mode)) << what;
      char target[4096] = {};
      ASSERT_GT(readlink(user_reg().c_str(), target, sizeof target - 1), 0);
      EXPECT_EQ(file_, target) << what;
      EXPECT_EQ((std::vector<std::string>{"wine-user.reg"}),
                TestDir::List(dotfiles()))
          << what;
      EXPECT_EQ((std::vector<std::string>{"user.reg"}), TestDir::List(prefix_))
          << what;
    } else {
      EXPECT_EQ(2u, a.st_nlink) << what;
      EXPECT_EQ((std::vector<std::string>{"backup.reg", "user.reg"}),
                TestDir::List(prefix_))
          << what;
    }
  }

 private:
  std::string prefix_;
  Shape shape_;
  TestDir dotfiles_;
  std::string file_;
  struct stat before_;
};

// Whatever step fails, a linked user.reg keeps its links and holds either
// its old bytes or, when the step failed after the new ones were safely in
// place, the whole new file. A symlinked one is replaced behind its link
// (a new inode); where no temporary file can be made beside its target, it
// is rewritten in place like a hard-linked one (the same inode).
TEST_F(HiveStoreTest, LinkedFileSurvivesAFailureAtAnyStep) {
  typedef FaultInjectionEnv F;
  enum Outcome { kOld, kNewReported, kNewSaved };
  struct Case {
    LinkedUserReg::Shape shape;
    F::Step create;  // kCreate: the temporary cannot be made (EACCES)
    F::Step step;    // fails with ENOSPC
    Outcome outcome;
    bool same_inode;
  } cases[] = {
      {LinkedUserReg::kSymlink, F::kNothing, F::kWrite, kOld, true},
      {LinkedUserReg::kSymlink, F::kNothing, F::kFileSync, kOld, true},
      {LinkedUserReg::kSymlink, F::kNothing, F::kClose, kOld, true},
      {LinkedUserReg::kSymlink, F::kNothing, F::kRename, kOld, true},
      {LinkedUserReg::kSymlink, F::kNothing, F::kDirectorySync, kNewReported,
       false},
      {LinkedUserReg::kSymlink, F::kNothing, F::kNothing, kNewSaved, false},
      {LinkedUserReg::kSymlink, F::kCreate, F::kNothing, kNewSaved, true},
      {LinkedUserReg::kSymlink, F::kCreate, F::kRewrite, kOld, true},
      {LinkedUserReg::kSymlink, F::kCreate, F::kReserve, kOld, true},
      {LinkedUserReg::kSymlink, F::kCreate, F::kWrite, kOld, true},
      {LinkedUserReg::kSymlink, F::kCreate, F::kTruncate, kOld, true},
      {LinkedUserReg::kSymlink, F::kCreate, F::kFileSync, kOld, true},
      {LinkedUserReg::kSymlink, F::kCreate, F::kClose, kNewReported, true},
      {LinkedUserReg::kHardLink, F::kNothing, F::kRewrite, kOld, true},
      {LinkedUserReg::kHardLink, F::kNothing, F::kReserve, kOld, true},
      {LinkedUserReg::kHardLink, F::kNothing, F::kWrite, kOld, true},
      {LinkedUserReg::kHardLink, F::kNothing, F::kTruncate, kOld, true},
      {LinkedUserReg::kHardLink, F::kNothing, F::kFileSync, kOld, true},
      {LinkedUserReg::kHardLink, F::kNothing, F::kClose, kNewReported, true},
      {LinkedUserReg::kHardLink, F::kNothing, F::kNothing, kNewSaved, true},
  };
  for (const Case& c : cases) {
    const std::string what = std::string(c.shape == LinkedUserReg::kSymlink
                                             ? "symlink"
                                             : "hard link") +
                             (c.create == F::kCreate ? ", no temporary" : "") +
                             ", step " + std::to_string(c.step);
    TestDir prefix;
    location_.directory = prefix.path();
    LinkedUserReg linked(prefix.path(), c.shape);
    FaultInjectionEnv env;
    auto store = NewStore(&env);
    Change(store.get());
    env.FailAt(c.create, EACCES);
    env.AlsoFailAt(c.step, ENOSPC);
    Status saved = store->Save();
    if (c.outcome == kNewSaved) {
      EXPECT_EQ(Status::kOk, saved.code()) << what << saved.message();
    } else {
      EXPECT_EQ(Status::kWriteError, saved.code()) << what;
      EXPECT_EQ(ENOSPC, saved.error()) << what;
    }
    if (c.outcome == kOld) {
      EXPECT_EQ(kUserReg, TestDir::Read(linked.file())) << what;
    } else {
      EXPECT_EQ("\x01", ValueInFile(linked.file(), kAcme, u"Flag").data)
          << what;
    }
    linked.ExpectLinksKept(what);
    struct stat st;
    ASSERT_EQ(0, stat(linked.file().c_str(), &st));
    EXPECT_EQ(c.same_inode, st.st_ino == linked.original_inode()) << what;
    // The changes go in at the next save once the fault is gone.
    env.FailAt(F::kNothing);
    EXPECT_EQ(Status::kOk, store->Save().code()) << what;
    EXPECT_EQ("\x01", ValueInFile(linked.file(), kAcme, u"Flag").data)
        << what;
    linked.ExpectLinksKept(what);
  }
}

// What a killed save left beside a symlink's target is removed by the next
// one; the temporaries of other files in that folder are not ours.
TEST_F(HiveStoreTest, StaleTemporaryFilesBesideASymlinksTargetAreRemoved) {
  LinkedUserReg linked(dir_.path(), LinkedUserReg::kSymlink);
  const std::string dotfiles = linked.dotfiles();
  TestDir::Write(dotfiles + "/wine-user.reg.quillfix-99999-0.tmp", "partial");
  TestDir::Write(dotfiles + "/other.reg.quillfix-99999-0.tmp", "another's");
  auto store = NewStore(&env_);
  Change(store.get());
  EXPECT_EQ(Status::kOk, store->Save().code());
  EXPECT_EQ((std::vector<std::string>{"other.reg.quillfix-99999-0.tmp",
                                      "wine-user.reg"}),
            TestDir::List(dotfiles));
}

// A symlink pointed elsewhere between the stat and the save's look at its
// target is not followed blindly: the save refuses and writes nothing.
TEST_F(HiveStoreTest, SymlinkPointedElsewhereDuringTheSaveIsNotWritten) {
  LinkedUserReg linked(dir_.path(), LinkedUserReg::kSymlink);
  const std::string elsewhere = linked.dotfiles() + "/elsewhere.reg";
  TestDir::Write(elsewhere, kUserReg);
  FaultInjectionEnv env;
  auto store = NewStore(&env);
  Change(store.get());
  env.PauseAt(FaultInjectionEnv::kCreate, [&] {
    unlink(linked.user_reg().c_str());
    symlink(elsewhere.c_str(), linked.user_reg().c_str());
  });
  EXPECT_EQ(Status::kBusy, store->Save().code());
  EXPECT_EQ(kUserReg, TestDir::Read(linked.file()));
  EXPECT_EQ(kUserReg, TestDir::Read(elsewhere));
}

// A user whose user.reg links into a folder they may not write (a shared
// one of root's, say) cannot have a temporary file made beside the target:
// the file is rewritten in place instead, and the link stays. Done as that
// user for real (root only).
TEST_F(HiveStoreTest, SymlinkIntoAFolderTheUserMayNotWriteIsRewrittenInPlace) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  TestDir shared;  // root's, 0755
  TestDir prefix;
  for (const std::string& dir : {shared.path(), prefix.path()}) {
    ASSERT_EQ(0, chmod(dir.c_str(), 0755));
  }
  ASSERT_EQ(0, chmod(tmp_.path().c_str(), 01777));
  ASSERT_EQ(0, chown(prefix.path().c_str(), kOtherUid, kOtherGid));
  const std::string file = shared / "wine-user.reg";
  TestDir::Write(file, kUserReg);
  ASSERT_EQ(0, chown(file.c_str(), kOtherUid, kOtherGid));
  ASSERT_EQ(0, symlink(file.c_str(), (prefix / "user.reg").c_str()));
  struct stat before;
  ASSERT_EQ(0, stat(file.c_str(), &before));
  location_.directory = prefix.path();
  pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(kOtherGid, kOtherGid,
                                                kOtherGid) != 0 ||
        setresuid(kOtherUid, kOtherUid, kOtherUid) != 0) {
      _exit(2);
    }
    HiveStore store(PosixEnv(), location_);
    bool saved =
        store.Load().ok() &&
        store.SetValue(kAcme, u"Flag", REG_BINARY, "\x01", kNow).ok() &&
        store.Save().ok();
    _exit(saved ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ("\x01", ValueInFile(file, kAcme, u"Flag").data);
  struct stat after;
  ASSERT_EQ(0, stat(file.c_str(), &after));
  EXPECT_EQ(before.st_ino, after.st_ino);
  ASSERT_EQ(0, lstat((prefix / "user.reg").c_str(), &after));
  EXPECT_TRUE(S_ISLNK(after.st_mode));
  EXPECT_EQ((std::vector<std::string>{"wine-user.reg"}),
            TestDir::List(shared.path()));
}

// A 1 MiB tmpfs, for a disk that is really full. Mounting takes root;
// where it is not allowed, mounted() is false.
class SmallDisk {
 public:
  SmallDisk() {
    mounted_ =
        mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, "size=1m") == 0;
  }
  ~SmallDisk() {
    if (mounted_) umount2(dir_.path().c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string& path() const { return dir_.path(); }
  // Takes every free byte, as another process writing would.
  void Fill() {
    int fd = open((dir_ / "filler").c_str(),
                  O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const std::string chunk(4096, 'f');
    while (write(fd, chunk.data(), chunk.size()) > 0) {
    }
    close(fd);
  }
  void Free() { unlink((dir_ / "filler").c_str()); }

 private:
  TestDir dir_;
  bool mounted_ = false;
};

// kUserReg with a value that pads it to a few bytes short of a whole
// number of pages, so that any growth needs one page more.
std::string PaddedUserReg() {
  const std::string head =
      std::string(kUserReg) + "\n[Software\\\\Pad] 1796869137\n\"P\"=\"";
  const std::string tail = "\"\n";
  const size_t size = 75 * 4096 - 8;
  return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

// On a full disk, a linked user.reg stays byte for byte what it was, even
// when whatever space the save frees is taken at once by another writer;
// once there is room, the same changes go in and the links stay.
TEST_F(HiveStoreTest, FullDiskLeavesALinkedFileByteIdentical) {
  for (LinkedUserReg::Shape shape :
       {LinkedUserReg::kSymlink, LinkedUserReg::kHardLink}) {
    const char* what = shape == LinkedUserReg::kSymlink ? "symlink" : "link";
    SmallDisk disk;
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    TestDir outside;
    // The symlink leads onto the small disk; hard links live on it.
    const std::string prefix = shape == LinkedUserReg::kSymlink
                                   ? outside.path()
                                   : disk.path() + "/prefix";
    mkdir(prefix.c_str(), 0755);
    const std::string original = PaddedUserReg();
    std::string file;
    if (shape == LinkedUserReg::kSymlink) {
      file = disk.path() + "/wine-user.reg";
      TestDir::Write(file, original);
      ASSERT_EQ(0, symlink(file.c_str(), (prefix + "/user.reg").c_str()));
    } else {
      file = prefix + "/user.reg";
      TestDir::Write(file, original);
      ASSERT_EQ(0, link(file.c_str(), (prefix + "/backup.reg").c_str()));
    }
    ASSERT_EQ(original, TestDir::Read(file)) << what;
    struct stat before;
    ASSERT_EQ(0, stat(file.c_str(), &before));
    location_.directory = prefix;
    FaultInjectionEnv env;
    auto store = NewStore(&env);
    Change(store.get());
    disk.Fill();
    env.PauseAt(FaultInjectionEnv::kWrite, [&] { disk.Fill(); });
    Status saved = store->Save();
    EXPECT_EQ(Status::kWriteError, saved.code()) << what;
    EXPECT_EQ(ENOSPC, saved.error()) << what << ": " << saved.message();
    EXPECT_EQ(original, TestDir::Read(file)) << what;
    // Not even written and put back: the failure came first.
    struct stat after;
    ASSERT_EQ(0, stat(file.c_str(), &after));
    EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec) << what;
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec) << what;
    const std::vector<std::string> entries =
        shape == LinkedUserReg::kSymlink
            ? std::vector<std::string>{"filler", "wine-user.reg"}
            : std::vector<std::string>{"filler", "prefix"};
    EXPECT_EQ(entries, TestDir::List(disk.path())) << what;

    disk.Free();
    env.PauseAt(FaultInjectionEnv::kNothing, nullptr);
    EXPECT_EQ(Status::kOk, store->Save().code()) << what;
    EXPECT_EQ("\x01", ValueInFile(prefix + "/user.reg", kAcme, u"Flag").data)
        << what;
    struct stat st;
    ASSERT_EQ(0, lstat((prefix + "/user.reg").c_str(), &st));
    EXPECT_EQ(shape == LinkedUserReg::kSymlink, S_ISLNK(st.st_mode)) << what;
    ASSERT_EQ(0, stat(file.c_str(), &st));
    EXPECT_EQ(shape == LinkedUserReg::kSymlink ? 1u : 2u, st.st_nlink)
        << what;
  }
}

TEST_F(HiveStoreTest, UnusableHiveFailsAndCreatesNothing) {
  struct Case {
    const char* name;
    const char* content;  // null: no user.reg
    bool make_prefix;
    Status::Code expected;
  } cases[] = {
      {"no prefix", nullptr, false, Status::kNotFound},
      {"no user.reg", nullptr, true, Status::kNotFound},
      {"empty file", "", true, Status::kCorrupt},
      {"wrong first line", "WINE REGISTRY Version 3\n", true, Status::kCorrupt},
      {"bad arch", "WINE REGISTRY Version 2\n#arch=win99\n", true,
       Status::kCorrupt},
  };
  for (const Case& c : cases) {
    TestDir dir;
    std::string prefix = dir / "prefix";
    if (c.make_prefix) mkdir(prefix.c_str(), 0755);
    if (c.content != nullptr) TestDir::Write(prefix + "/user.reg", c.content);
    std::vector<std::string> before = TestDir::List(dir.path());
    std::vector<std::string> before_prefix = TestDir::List(prefix);
    PrefixLocation location;
    location.directory = prefix;
    HiveStore store(&env_, location);
    EXPECT_EQ(c.expected, store.Load().code()) << c.name;
    EXPECT_EQ(c.expected, store.Load().code()) << c.name << ", again";
    EXPECT_EQ(before, TestDir::List(dir.path())) << c.name;
    EXPECT_EQ(before_prefix, TestDir::List(prefix)) << c.name;
    if (c.content != nullptr) {
      EXPECT_EQ(c.content, TestDir::Read(prefix + "/user.reg")) << c.name;
    }
  }
}

TEST_F(HiveStoreTest, UserRegRemovedBeforeSaveIsNotRecreated) {
  auto store = NewStore(&env_);
  Change(store.get());
  unlink(UserReg().c_str());
  EXPECT_EQ(Status::kNotFound, store->Save().code());
  EXPECT_TRUE(TestDir::List(dir_.path()).empty());
}

TEST_F(HiveStoreTest, TemporaryFileNames) {
  EXPECT_TRUE(IsTemporaryFileName("user.reg.quillfix-12-0.tmp"));
  EXPECT_FALSE(IsTemporaryFileName("user.reg"));
  EXPECT_FALSE(IsTemporaryFileName("reg12340000.tmp"));
  EXPECT_FALSE(IsTemporaryFileName("user.reg.quillfix-.tm"));
  EXPECT_TRUE(IsTemporaryFileName("a.reg.quillfix-12-0.tmp", "a.reg"));
  EXPECT_FALSE(IsTemporaryFileName("a.reg.quillfix-12-0.tmp"));
  EXPECT_FALSE(IsTemporaryFileName("user.reg.quillfix-12-0.tmp", "a.reg"));
}

}  // namespace
}  // namespace prefix
}  // namespace regservice
