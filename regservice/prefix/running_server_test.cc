#include "regservice/prefix/running_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "regservice/prefix/fake_server.h"
#include "regservice/prefix/fault_injection_env.h"
#include "regservice/prefix/test_dir.h"
#include "regservice/prefix/test_support.h"

namespace regservice {
namespace prefix {
namespace {

struct stat StatOf(const std::string& path) {
  struct stat st;
  memset(&st, 0, sizeof st);
  lstat(path.c_str(), &st);
  return st;
}

class RunningServerTest : public ::testing::Test {
 protected:
  RunningServerTest() {
    prefix_ = dir_ / "prefix";
    mkdir(prefix_.c_str(), 0755);
    location_.directory = prefix_;
    location_.tmpdir = dir_ / "tmp";
    location_.system_tmp = dir_ / "systmp";
    mkdir(location_.tmpdir.c_str(), 0700);
    mkdir(location_.system_tmp.c_str(), 01777);
    chmod(location_.system_tmp.c_str(), 01777);
    struct stat st = StatOf(prefix_);
    server_dir_name_ = ServerDirectoryName(st.st_dev, st.st_ino);
  }

  // Makes the prefix another user's (root only).
  void GivePrefixToOtherUser() {
    ASSERT_EQ(0, chown(prefix_.c_str(), kOtherUid, kOtherGid));
  }
  uid_t PrefixOwner() const { return StatOf(prefix_).st_uid; }
  std::string UpstreamBase() const {
    return location_.system_tmp + "/.wine-" + std::to_string(PrefixOwner());
  }
  std::string DebianBase(const std::string& temp) const {
    return temp + "/wine-test";
  }
  // Makes <base>/<server dir>/lock as a server would and returns its path.
  // A server directory as a server makes it: its lock file and the socket
  // its clients connect to.
  std::string MakeLockFile(const std::string& base) {
    mkdir(base.c_str(), 0700);
    std::string server = base + "/" + server_dir_name_;
    mkdir(server.c_str(), 0700);
    std::string lock = server + "/lock";
    TestDir::Write(lock, "");
    MakeSocket(server + "/socket");
    return lock;
  }
  static void MakeSocket(const std::string& path) {
    unlink(path.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    strcpy(address.sun_path, path.c_str());
    EXPECT_EQ(0, bind(fd, reinterpret_cast<struct sockaddr*>(&address),
                      sizeof address));
    close(fd);
  }
  RunningServer Servers() { return RunningServer(PosixEnv(), location_); }
  // Whether the decision finds a running server, and its process.
  bool FindServer(pid_t* pid) {
    const FoundServer found = Servers().Find(true);
    *pid = found.pid;
    return found.state == FoundServer::kRunning;
  }
  // Whether the decision leaves the prefix's files alone.
  bool UnsafeToWrite() {
    return Servers().Find(true).state != FoundServer::kNone;
  }

  TestDir dir_;
  std::string prefix_;
  PrefixLocation location_;
  std::string server_dir_name_;
};

std::vector<std::string> Paths(const std::vector<ServerLockFile>& files) {
  std::vector<std::string> paths;
  for (const ServerLockFile& file : files) paths.push_back(file.Path());
  return paths;
}

TEST_F(RunningServerTest, CandidatesCoverBothLayoutsAndBothTempDirs) {
  struct Case {
    const char* name;
    const char* name_file;  // null: none
    std::string tmpdir;
    std::vector<std::string> expected;
  } cases[] = {
      {"name file, TMPDIR set", "wine-AbC123", dir_ / "tmp/",
       {dir_ / "tmp/wine-AbC123/" + server_dir_name_ + "/lock",
        dir_ / "systmp/wine-AbC123/" + server_dir_name_ + "/lock",
        UpstreamBase() + "/" + server_dir_name_ + "/lock"}},
      {"name file, TMPDIR unset", "wine-AbC123", "",
       {dir_ / "systmp/wine-AbC123/" + server_dir_name_ + "/lock",
        UpstreamBase() + "/" + server_dir_name_ + "/lock"}},
      {"name file, TMPDIR the system's", "wine-AbC123", dir_ / "systmp",
       {dir_ / "systmp/wine-AbC123/" + server_dir_name_ + "/lock",
        UpstreamBase() + "/" + server_dir_name_ + "/lock"}},
      {"no name file", nullptr, dir_ / "tmp",
       {UpstreamBase() + "/" + server_dir_name_ + "/lock"}},
      {"name with a slash", "../etc", dir_ / "tmp",
       {UpstreamBase() + "/" + server_dir_name_ + "/lock"}},
  };
  for (const Case& c : cases) {
    unlink((prefix_ + "/wineserver").c_str());
    if (c.name_file) TestDir::Write(prefix_ + "/wineserver", c.name_file);
    location_.tmpdir = c.tmpdir;
    std::vector<ServerLockFile> files = Servers().CandidateLockFiles();
    EXPECT_EQ(c.expected, Paths(files)) << c.name;
    for (const ServerLockFile& file : files) {
      EXPECT_EQ(PrefixOwner(), file.uid) << c.name;
    }
  }
}

// A server runs as the prefix's owner, whoever looks for it.
TEST_F(RunningServerTest, UpstreamLayoutIsThePrefixOwners) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the prefix away";
  GivePrefixToOtherUser();
  std::vector<ServerLockFile> files = Servers().CandidateLockFiles();
  ASSERT_EQ(1u, files.size());
  EXPECT_EQ(location_.system_tmp + "/.wine-" + std::to_string(kOtherUid) +
                "/" + server_dir_name_ + "/lock",
            files[0].Path());
  EXPECT_EQ(kOtherUid, files[0].uid);
}

TEST_F(RunningServerTest, MissingPrefixHasNoCandidatesAndNoServer) {
  location_.directory = dir_ / "none";
  EXPECT_TRUE(Servers().CandidateLockFiles().empty());
  pid_t pid = 1;
  EXPECT_FALSE(FindServer(&pid));
  EXPECT_EQ(0, pid);
  EXPECT_FALSE(UnsafeToWrite());
}

TEST_F(RunningServerTest, DetectsServerInEachLayoutWithItsPid) {
  TestDir::Write(prefix_ + "/wineserver", "wine-test");
  const bool root = geteuid() == 0;
  const std::string layouts[] = {
      DebianBase(location_.tmpdir),
      DebianBase(location_.system_tmp),
      UpstreamBase(),
  };
  for (int owned_by_other = 0; owned_by_other <= (root ? 1 : 0);
       ++owned_by_other) {
    if (owned_by_other) GivePrefixToOtherUser();
    for (std::string base : layouts) {
      if (base == layouts[2]) base = UpstreamBase();
      std::string lock_file = MakeLockFile(base);
      if (owned_by_other) {
        chown(base.c_str(), kOtherUid, kOtherGid);
        chown((base + "/" + server_dir_name_).c_str(), kOtherUid, kOtherGid);
      }
      pid_t pid = 1;
      EXPECT_FALSE(FindServer(&pid)) << base << ": no holder";
      EXPECT_EQ(0, pid);
      LockHolder server(lock_file);
      ASSERT_TRUE(server.locked());
      EXPECT_TRUE(FindServer(&pid)) << base;
      // The holder runs as this test: a server of the prefix's owner only
      // when that is the owner; else no process to take anything from.
      EXPECT_EQ(owned_by_other ? 0 : server.pid(), pid) << base;
      EXPECT_TRUE(UnsafeToWrite()) << base;
      std::vector<std::unique_ptr<regservice::prefix::Lock>> held;
      EXPECT_FALSE(Servers().TakeServerLocks(&held)) << base;
      EXPECT_TRUE(held.empty());
      server.Stop();
      EXPECT_FALSE(FindServer(&pid)) << base << ": server gone";
      unlink(lock_file.c_str());
    }
  }
}

// Whatever is found where a server keeps its files but is not what a
// server makes there: nothing can be told, so writing is refused, and
// nothing waits on it.
TEST_F(RunningServerTest, UnsafeServerFilesRefuseWithoutBlocking) {
  const bool root = geteuid() == 0;
  struct Case {
    const char* name;
    bool needs_root;
    // Sets the trap up, given the Debian server directory's parent.
    std::function<void(const std::string& debian)> plant;
  } cases[] = {
      {"FIFO as the name file", false,
       [&](const std::string&) {
         unlink((prefix_ + "/wineserver").c_str());
         mkfifo((prefix_ + "/wineserver").c_str(), 0600);
       }},
      {"FIFO as the lock in TMPDIR", false,
       [&](const std::string&) {
         std::string lock = MakeLockFile(DebianBase(location_.tmpdir));
         unlink(lock.c_str());
         mkfifo(lock.c_str(), 0600);
       }},
      {"FIFO as the lock in /tmp", false,
       [&](const std::string& debian) {
         std::string lock = MakeLockFile(debian);
         unlink(lock.c_str());
         mkfifo(lock.c_str(), 0600);
       }},
      {"FIFO as the upstream lock", false,
       [&](const std::string&) {
         std::string lock = MakeLockFile(UpstreamBase());
         unlink(lock.c_str());
         mkfifo(lock.c_str(), 0600);
       }},
      {"symlink as the lock", false,
       [&](const std::string&) {
         std::string lock = MakeLockFile(UpstreamBase());
         unlink(lock.c_str());
         TestDir::Write(dir_ / "elsewhere", "");
         symlink((dir_ / "elsewhere").c_str(), lock.c_str());
       }},
      {"symlink as the server directory", false,
       [&](const std::string&) {
         mkdir(UpstreamBase().c_str(), 0700);
         mkdir((dir_ / "real").c_str(), 0700);
         symlink((dir_ / "real").c_str(),
                 (UpstreamBase() + "/" + server_dir_name_).c_str());
       }},
      {"user's directory writable by others", false,
       [&](const std::string&) {
         MakeLockFile(UpstreamBase());
         chmod(UpstreamBase().c_str(), 0777);
       }},
      {"server directory writable by the group", false,
       [&](const std::string& debian) {
         MakeLockFile(debian);
         chmod((debian + "/" + server_dir_name_).c_str(), 0770);
       }},
      {"user's directory of another user", true,
       [&](const std::string&) {
         MakeLockFile(UpstreamBase());
         chown(UpstreamBase().c_str(), kOtherUid, kOtherGid);
       }},
      {"server directory of another user", true,
       [&](const std::string& debian) {
         MakeLockFile(debian);
         chown((debian + "/" + server_dir_name_).c_str(), kOtherUid,
               kOtherGid);
       }},
  };
  for (const Case& c : cases) {
    if (c.needs_root && !root) continue;
    TestDir scratch;
    location_.system_tmp = scratch / "systmp";
    location_.tmpdir = scratch / "tmp";
    mkdir(location_.system_tmp.c_str(), 0777);
    mkdir(location_.tmpdir.c_str(), 0700);
    unlink((prefix_ + "/wineserver").c_str());  // maybe a FIFO
    TestDir::Write(prefix_ + "/wineserver", "wine-test");
    c.plant(DebianBase(location_.system_tmp));

    pid_t pid = 1;
    EXPECT_EQ(FoundServer::kUnknown, Servers().Find(true).state) << c.name;
    EXPECT_FALSE(FindServer(&pid)) << c.name;
    EXPECT_TRUE(UnsafeToWrite()) << c.name;
    std::vector<std::unique_ptr<regservice::prefix::Lock>> held;
    EXPECT_FALSE(Servers().TakeServerLocks(&held)) << c.name;
    EXPECT_TRUE(held.empty()) << c.name;
  }
}

// Made as the prefix's owner makes them: a run by root on another user's
// prefix becomes that user first.
TEST_F(RunningServerTest, HoldingMakesWinesFilesAndKeepsServersOut) {
  const uid_t owner = PrefixOwner();
  const gid_t group = getegid();
  struct Case {
    const char* name;
    bool name_file;
    std::vector<std::string> made;  // lock files, all of them
  } cases[] = {
      {"Debian's layout too", true,
       {DebianBase(location_.tmpdir) + "/" + server_dir_name_ + "/lock",
        DebianBase(location_.system_tmp) + "/" + server_dir_name_ + "/lock",
        UpstreamBase() + "/" + server_dir_name_ + "/lock"}},
      {"no name file: upstream only", false,
       {UpstreamBase() + "/" + server_dir_name_ + "/lock"}},
  };
  for (const Case& c : cases) {
    TestDir scratch;
    location_.system_tmp = scratch / "systmp";
    location_.tmpdir = scratch / "tmp";
    mkdir(location_.system_tmp.c_str(), 01777);
    chmod(location_.system_tmp.c_str(), 01777);
    mkdir(location_.tmpdir.c_str(), 0755);
    unlink((prefix_ + "/wineserver").c_str());
    if (c.name_file) TestDir::Write(prefix_ + "/wineserver", "wine-test");
    // Recomputed: the bases moved to the scratch directory.
    std::vector<std::string> made;
    for (const ServerLockFile& file : Servers().CandidateLockFiles()) {
      made.push_back(file.Path());
    }
    ASSERT_EQ(c.made.size(), made.size()) << c.name;
    mode_t old_umask = umask(077);
    {
      std::vector<std::unique_ptr<regservice::prefix::Lock>> held;
      ASSERT_TRUE(Servers().TakeServerLocks(&held)) << c.name;
      EXPECT_EQ(made.size(), held.size()) << c.name;
      for (const std::string& lock : made) {
        EXPECT_FALSE(OtherProcessCanLock(lock)) << c.name << ": " << lock;
        struct stat st = StatOf(lock);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << lock;
        EXPECT_EQ(0600u, st.st_mode & 07777) << lock;
        EXPECT_EQ(owner, st.st_uid) << lock;
        EXPECT_EQ(group, st.st_gid) << lock;
        std::string server_dir = lock.substr(0, lock.rfind('/'));
        for (const std::string& dir :
             {server_dir, server_dir.substr(0, server_dir.rfind('/'))}) {
          st = StatOf(dir);
          EXPECT_TRUE(S_ISDIR(st.st_mode)) << dir;
          EXPECT_EQ(0700u, st.st_mode & 07777) << dir;
          EXPECT_EQ(owner, st.st_uid) << dir;
          EXPECT_EQ(group, st.st_gid) << dir;
        }
      }
      // Nothing inside the prefix.
      EXPECT_EQ(c.name_file ? std::vector<std::string>{"wineserver"}
                            : std::vector<std::string>{},
                TestDir::List(prefix_))
          << c.name;
    }
    umask(old_umask);
    // Released, and left in place: a server may be waiting on them.
    for (const std::string& lock : made) {
      EXPECT_TRUE(OtherProcessCanLock(lock)) << c.name << ": " << lock;
      EXPECT_TRUE(TestDir::Exists(lock)) << lock;
    }
    // Holding again uses the files that are there.
    std::vector<std::unique_ptr<regservice::prefix::Lock>> held;
    EXPECT_TRUE(Servers().TakeServerLocks(&held)) << c.name;
    EXPECT_EQ(made.size(), held.size()) << c.name;
  }
}

TEST_F(RunningServerTest, MissingTempDirIsNoPlaceForAServer) {
  TestDir::Write(prefix_ + "/wineserver", "wine-test");
  location_.tmpdir = dir_ / "no-such-dir";
  std::vector<std::unique_ptr<regservice::prefix::Lock>> held;
  EXPECT_TRUE(Servers().TakeServerLocks(&held));
  EXPECT_EQ(2u, held.size());  // /tmp's Debian and upstream directories
  EXPECT_FALSE(TestDir::Exists(location_.tmpdir));
}

// A fake /proc: each process a directory with "cwd" and "fd/<n>" symlinks.
class FakeProc {
 public:
  explicit FakeProc(const std::string& root) : root_(root) {
    mkdir(root_.c_str(), 0755);
  }
  // Its user ids (real, effective, saved, file system) in "status".
  void AddProcess(const std::string& pid, const std::string& cwd,
                  const std::vector<std::string>& fds,
                  const std::vector<uid_t>& uids = {geteuid(), geteuid(),
                                                    geteuid(), geteuid()}) {
    std::string dir = root_ + "/" + pid;
    mkdir(dir.c_str(), 0755);
    std::string ids;
    for (uid_t uid : uids) ids += "\t" + std::to_string(uid);
    TestDir::Write(dir + "/status",
                   "Name:\twineserver\nUmask:\t0022\nUid:" + ids +
                       "\nGid:\t0\t0\t0\t0\n");
    symlink(cwd.c_str(), (dir + "/cwd").c_str());
    mkdir((dir + "/fd").c_str(), 0755);
    int n = 0;
    for (const std::string& target : fds) {
      symlink(target.c_str(), (dir + "/fd/" + std::to_string(n++)).c_str());
    }
  }
  // Process 2's stat line and its list of children, each left out when
  // empty.
  void AddProcess2Files(const std::string& stat, const std::string& children) {
    const std::string dir = root_ + "/2";
    if (!stat.empty()) TestDir::Write(dir + "/stat", stat);
    if (!children.empty()) {
      mkdir((dir + "/task").c_str(), 0755);
      mkdir((dir + "/task/2").c_str(), 0755);
      TestDir::Write(dir + "/task/2/children", children);
    }
  }

 private:
  std::string root_;
};

TEST_F(RunningServerTest, FindsServerByWorkingDirectoryAndHeldPrefix) {
  struct stat st = StatOf(prefix_);
  const std::string other_name =
      ServerDirectoryName(st.st_dev, st.st_ino + 1);
  // Server directories somewhere no lock file is looked for.
  const std::string elsewhere = dir_ / "elsewhere";
  mkdir(elsewhere.c_str(), 0700);
  const std::string ours = elsewhere + "/" + server_dir_name_;
  const std::string theirs = elsewhere + "/" + other_name;
  mkdir(ours.c_str(), 0700);
  mkdir(theirs.c_str(), 0700);
  // The prefix reached through a symlink is the same directory.
  symlink(prefix_.c_str(), (dir_ / "prefix-link").c_str());
  const std::string copy = dir_ / "copy";
  mkdir(copy.c_str(), 0755);

  const uid_t me = geteuid();
  const uid_t other = me + 1;
  struct Case {
    const char* name;
    std::string cwd;
    std::vector<std::string> fds;
    pid_t expected;
    std::vector<uid_t> uids;  // the prefix owner's when empty
  } cases[] = {
      {"working directory and prefix held", ours,
       {"/dev/null", prefix_, ours}, 4242, {}},
      // Wine serves a prefix only to its owner: whatever another user's
      // process holds, it is not the server.
      {"another user's look-alike", ours, {prefix_}, 0,
       {other, other, other, other}},
      {"another user's, started by the owner", ours, {prefix_}, 0,
       {me, other, other, other}},
      {"the owner's, saved id another's", ours, {prefix_}, 0,
       {me, me, other, me}},
      {"prefix held through a symlink", ours, {dir_ / "prefix-link"}, 4242, {}},
      {"server directory removed since", ours + " (deleted)", {prefix_}, 4242,
       {}},
      {"prefix not held", ours, {"/dev/null", ours}, 0, {}},
      {"another prefix's server", theirs, {prefix_}, 0, {}},
      {"a server loading the registry", prefix_, {prefix_, ours}, 4242, {}},
      // Only a working directory with the prefix's own name is asked for
      // its inode (the kernel shows the real path; a bind mount is missed).
      {"working in the prefix under another name", dir_ / "prefix-link",
       {ours, prefix_}, 0, {}},
      {"a program in the prefix, prefix not held", prefix_, {ours}, 0, {}},
      {"a program in the prefix holding it", prefix_, {prefix_}, 0, {}},
      {"loading, another prefix's server directory", prefix_,
       {prefix_, theirs}, 0, {}},
      {"a copy of the prefix held", ours, {copy}, 0, {}},
  };
  for (const Case& c : cases) {
    TestDir proc_dir;
    FakeProc proc(proc_dir / "proc");
    proc.AddProcess("self", ours, {prefix_});  // not a process id
    proc.AddProcess("4242", c.cwd, c.fds,
                    c.uids.empty() ? std::vector<uid_t>{me, me, me, me}
                                   : c.uids);
    location_.proc = proc_dir / "proc";
    pid_t pid = 1;
    EXPECT_EQ(c.expected != 0, FindServer(&pid)) << c.name;
    EXPECT_EQ(c.expected, pid) << c.name;
  }
}

// Counts the looks at each process of a fake /proc.
class CountingEnv : public FaultInjectionEnv {
 public:
  Status ReadLink(const std::string& path, std::string* target) override {
    if (EndsWith(path, "/cwd")) ++cwd_readlinks;
    return FaultInjectionEnv::ReadLink(path, target);
  }
  Status GetFileInfo(const std::string& path, FileInfo* info) override {
    if (EndsWith(path, "/cwd")) ++cwd_stats;
    return FaultInjectionEnv::GetFileInfo(path, info);
  }
  int cwd_readlinks = 0;
  int cwd_stats = 0;

 private:
  static bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
  }
};

// A look costs one readlink per process; a process's working directory is
// asked for its inode only when it bears the prefix's name.
TEST_F(RunningServerTest, LooksAtMostProcessesWithOneReadlink) {
  const std::string ours = dir_ / ("elsewhere/" + server_dir_name_);
  const std::string namesake = dir_ / "other/prefix";
  mkdir((dir_ / "elsewhere").c_str(), 0700);
  mkdir(ours.c_str(), 0700);
  mkdir((dir_ / "other").c_str(), 0755);
  mkdir(namesake.c_str(), 0755);
  struct Case {
    const char* name;
    std::string cwd;
    int stats;
  } cases[] = {
      {"the root directory", "/", 0},
      {"a directory of another name", dir_ / "other", 0},
      {"its server directory", ours, 0},
      {"another directory named like the prefix", namesake, 1},
      {"the prefix, removed since", prefix_ + " (deleted)", 1},
      {"the prefix", prefix_, 1},
  };
  for (const Case& c : cases) {
    TestDir proc_dir;
    FakeProc proc(proc_dir / "proc");
    for (int pid = 100; pid < 110; ++pid) {
      proc.AddProcess(std::to_string(pid), c.cwd, {});
    }
    location_.proc = proc_dir / "proc";
    CountingEnv env;
    EXPECT_EQ(0, RunningServer(&env, location_).ServerInProc()) << c.name;
    EXPECT_EQ(10, env.cwd_readlinks) << c.name;
    EXPECT_EQ(10 * c.stats, env.cwd_stats) << c.name;
  }
}

// kthreadd and its children are kernel threads and are not looked at, but
// only when process 2 is a kernel thread by its flags.
TEST_F(RunningServerTest, SkipsTheKernelsThreads) {
  const std::string kKernelThread =
      "2 (kthreadd) S 0 0 0 0 -1 2129984 0 0 0 0 0 0 0 0 20 0 1 0 9\n";
  const std::string kOrdinary =
      "2 (sh) S 1 2 2 34816 2 4194560 0 0 0 0 0 0 0 0 20 0 1 0 9\n";
  struct Case {
    const char* name;
    std::string stat;      // of process 2; none when empty
    std::string children;  // of process 2; no such file when empty
    int readlinks;         // of 11 processes: 2 and 100 to 109
  } cases[] = {
      {"kthreadd and three children", kKernelThread, "100 101 105 ", 7},
      {"children not in /proc (gone since)", kKernelThread, "3 4 100", 9},
      {"a name with parentheses and numbers",
       "2 (a) 1 2 3) S 0 0 0 0 -1 2129984 0 0\n", "100", 9},
      {"the flag's bit clear", "2 (kthreadd) S 0 0 0 0 -1 69696 0 0\n", "100",
       11},
      {"an ordinary process 2 (a pid namespace)", kOrdinary, "100 101", 11},
      {"no children file", kKernelThread, "", 11},
      {"no kthreadd", "", "", 11},
      {"a cut stat line", "2 (kthreadd) S 0 0", "100", 11},
  };
  for (const Case& c : cases) {
    TestDir proc_dir;
    FakeProc proc(proc_dir / "proc");
    proc.AddProcess("2", "/", {});
    for (int pid = 100; pid < 110; ++pid) {
      proc.AddProcess(std::to_string(pid), "/", {});
    }
    proc.AddProcess2Files(c.stat, c.children);
    location_.proc = proc_dir / "proc";
    CountingEnv env;
    EXPECT_EQ(0, RunningServer(&env, location_).ServerInProc()) << c.name;
    EXPECT_EQ(c.readlinks, env.cwd_readlinks) << c.name;
  }
}

// A server among the children of a process 2 that is no kernel thread is
// found.
TEST_F(RunningServerTest, FindsAServerAmongAnOrdinaryProcess2sChildren) {
  const std::string ours = dir_ / ("elsewhere/" + server_dir_name_);
  mkdir((dir_ / "elsewhere").c_str(), 0700);
  mkdir(ours.c_str(), 0700);
  TestDir proc_dir;
  FakeProc proc(proc_dir / "proc");
  proc.AddProcess("2", "/", {});
  proc.AddProcess("4242", ours, {prefix_});
  proc.AddProcess2Files("2 (sh) S 1 2 2 0 -1 4194560 0\n", "4242");
  location_.proc = proc_dir / "proc";
  EXPECT_EQ(4242, Servers().ServerInProc());
}

// Refuses to read the working directory of the processes it is given, as
// /proc refuses for a process in a user namespace we have no rights in (a
// sandbox root made for the owner).
class HiddenCwdEnv : public FaultInjectionEnv {
 public:
  explicit HiddenCwdEnv(std::vector<std::string> hidden)
      : hidden_(std::move(hidden)) {}
  Status ReadLink(const std::string& path, std::string* target) override {
    for (const std::string& process : hidden_) {
      if (path == process + "/cwd") {
        return ErrnoStatus(Status::kReadError, EACCES, "readlink " + path);
      }
    }
    return FaultInjectionEnv::ReadLink(path, target);
  }

 private:
  std::vector<std::string> hidden_;
};

// A wineserver of the owner's that may not be looked at may serve the
// prefix: it is taken for the server, but one that can be seen comes first.
TEST_F(RunningServerTest, WineserverThatMayNotBeLookedAtCounts) {
  const std::string ours = dir_ / ("elsewhere/" + server_dir_name_);
  mkdir((dir_ / "elsewhere").c_str(), 0700);
  mkdir(ours.c_str(), 0700);
  const uid_t me = geteuid();
  struct Case {
    const char* name;
    std::string hidden_name;
    uid_t hidden_uid;
    bool visible_server;
    pid_t expected;
  } cases[] = {
      {"the owner's wineserver", "wineserver", me, false, 300},
      {"Debian's wineserver64", "wineserver64", me, false, 300},
      {"another user's wineserver", "wineserver", me + 1, false, 0},
      {"the owner's other program", "sleep", me, false, 0},
      {"beside a server that can be seen", "wineserver", me, true, 4242},
  };
  for (const Case& c : cases) {
    TestDir proc_dir;
    FakeProc proc(proc_dir / "proc");
    proc.AddProcess("300", "/", {},
                    {c.hidden_uid, c.hidden_uid, c.hidden_uid, c.hidden_uid});
    TestDir::Write(proc_dir / "proc/300/status",
                   "Name:\t" + c.hidden_name + "\nUid:\t" +
                       std::to_string(c.hidden_uid) + "\t" +
                       std::to_string(c.hidden_uid) + "\t" +
                       std::to_string(c.hidden_uid) + "\t" +
                       std::to_string(c.hidden_uid) + "\n");
    if (c.visible_server) proc.AddProcess("4242", ours, {prefix_});
    location_.proc = proc_dir / "proc";
    HiddenCwdEnv env({location_.proc + "/300"});
    EXPECT_EQ(c.expected, RunningServer(&env, location_).ServerInProc())
        << c.name;
  }
}

// The same through the real /proc, with a process that is where a server
// would be.
TEST_F(RunningServerTest, FindsServerInTheRealProc) {
  const std::string server_dir = dir_ / "anywhere";
  mkdir(server_dir.c_str(), 0700);
  mkdir((server_dir + "/" + server_dir_name_).c_str(), 0700);
  pid_t pid = 1;
  EXPECT_FALSE(FindServer(&pid));
  {
    // This process in the prefix, holding it and a server directory open
    // (as a save holds the prefix for its lock) is no server.
    char* old_cwd = getcwd(nullptr, 0);
    int prefix_fd = open(prefix_.c_str(), O_RDONLY | O_DIRECTORY);
    int server_fd = open((server_dir + "/" + server_dir_name_).c_str(),
                         O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(0, chdir(prefix_.c_str()));
    EXPECT_FALSE(FindServer(&pid));
    EXPECT_EQ(0, chdir(old_cwd));
    close(server_fd);
    close(prefix_fd);
    free(old_cwd);
  }
  ProcessIn server(server_dir + "/" + server_dir_name_, prefix_);
  ASSERT_TRUE(server.ready());
  EXPECT_TRUE(FindServer(&pid));
  EXPECT_EQ(server.pid(), pid);
}

}  // namespace
}  // namespace prefix
}  // namespace regservice
