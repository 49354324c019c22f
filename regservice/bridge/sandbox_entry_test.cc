// The plan for a sandboxed server, made against a /proc laid out by the
// test: which namespaces are joined, what is refused and why, the prefix,
// loader and environment as the server sees them. The real kernel's part
// (paths resolved inside another root) against real directories.
#include "regservice/bridge/sandbox_entry.h"

#include <errno.h>
#include <stdio.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "regservice/prefix/fault_injection_env.h"
#include "regservice/prefix/test_dir.h"

namespace regservice {
namespace bridge {
namespace {

using prefix::FileInfo;
using prefix::TestDir;

const pid_t kServer = 4242;
const uid_t kCaller = 1000;  // a run that is not root's

// Answers for the kernel as a test sets them; paths in a root are the
// root's directory and the path joined, as the kernel resolves them.
class FakeKernel : public NamespaceKernel {
 public:
  Status UserNamespaceOwner(const std::string&, uid_t* owner) override {
    if (!owner_known) return Status(Status::kReadError, "NS_GET_PARENT: EPERM");
    *owner = user_namespace_owner;
    return Status();
  }
  Status InfoInRoot(const std::string& root, const std::string& path,
                    bool follow, FileInfo* info) override {
    return follow ? prefix::PosixEnv()->GetFileInfo(root + path, info)
                  : prefix::PosixEnv()->GetLinkInfo(root + path, info);
  }
  Status ReadLinkInRoot(const std::string& root, const std::string& path,
                        std::string* target) override {
    return prefix::PosixEnv()->ReadLink(root + path, target);
  }

  bool owner_known = true;
  uid_t user_namespace_owner = 0;
};

// Fails every look at one path with EACCES, as /proc answers for a
// process in a user namespace we have no rights in.
class DeniedPathEnv : public prefix::FaultInjectionEnv {
 public:
  std::string denied;
  Status GetFileInfo(const std::string& path, FileInfo* info) override {
    if (path == denied) {
      return prefix::ErrnoStatus(Status::kReadError, EACCES, "stat " + path);
    }
    return FaultInjectionEnv::GetFileInfo(path, info);
  }
};

// A /proc of this process ("self") and a server (kServer), and the
// server's root directory with Wine in /wine/bin.
class SandboxPlanTest : public ::testing::Test {
 protected:
  SandboxPlanTest() {
    prefix_ = dir_ / "prefix";
    mkdir(prefix_.c_str(), 0755);
    location_.directory = prefix_;
    location_.proc = dir_ / "proc";
    server_ = location_.proc + "/" + std::to_string(kServer);
    for (const char* path : {"proc", "proc/self", "proc/self/ns",
                             "proc/4242", "proc/4242/ns", "proc/4242/fd",
                             "root", "root/wine", "root/wine/bin"}) {
      mkdir((dir_ / path).c_str(), 0755);
    }
    for (const char* kind : {"user", "mnt", "pid"}) {
      TestDir::Write(location_.proc + "/self/ns/" + kind, "");
      SameNamespace(kind);
    }
    TestDir::Write(server_ + "/stat",
                   "4242 (wine server) S 1 4242 4242 0 -1 4194560 1 0 0 0 0 "
                   "0 0 0 20 0 1 0 987654 12345 67");
    // The prefix as the server sees it: a path of its own.
    symlink(prefix_.c_str(), (server_ + "/fd/0").c_str());
    symlink("/dev/null", (server_ + "/fd/1").c_str());
    symlink("/wine/bin/wineserver", (server_ + "/exe").c_str());
    struct stat st;
    stat(prefix_.c_str(), &st);
    server_dir_ = "/tmp/.wine-1000/" +
                  prefix::ServerDirectoryName(st.st_dev, st.st_ino);
    symlink(server_dir_.c_str(), (server_ + "/cwd").c_str());
    symlink((dir_ / "root").c_str(), (server_ + "/root").c_str());
    MakeLoader("wine64", 0755);
    std::string environ_block;
    for (const char* entry :
         {"HOME=/home/u", "DISPLAY=:0", "WINEPREFIX=/elsewhere", "WINEESYNC=1",
          "DBUS_SESSION_BUS_ADDRESS=unix:x", "XDG_SESSION_ID=3",
          "WINEDEBUG=+all", "PATH=/usr/bin"}) {
      environ_block += entry;
      environ_block += '\0';
    }
    TestDir::Write(server_ + "/environ", environ_block);
  }

  void SameNamespace(const std::string& kind) {
    const std::string path = server_ + "/ns/" + kind;
    unlink(path.c_str());
    symlink((location_.proc + "/self/ns/" + kind).c_str(), path.c_str());
  }
  void OtherNamespace(const std::string& kind) {
    const std::string path = server_ + "/ns/" + kind;
    unlink(path.c_str());
    TestDir::Write(path, "");
  }
  void MakeLoader(const std::string& name, mode_t mode) {
    const std::string path = dir_ / ("root/wine/bin/" + name);
    TestDir::Write(path, "#!/bin/sh\n");
    chmod(path.c_str(), mode);
  }

  SandboxVerdict Plan(prefix::Env* env, uid_t caller = kCaller) {
    why_.clear();
    return PlanSandbox(env, &kernel_, location_, kServer, kOwner, caller,
                       &plan_, &why_);
  }
  SandboxVerdict Plan() { return Plan(prefix::PosixEnv()); }

  // The prefix's owner: the test's own user, or one that is not root's for
  // a test run as root (whose files pass as root's).
  const uid_t kOwner = geteuid() == 0 ? 1000 : geteuid();
  TestDir dir_;
  std::string prefix_;
  std::string server_;
  std::string server_dir_;  // as the server sees it
  prefix::PrefixLocation location_;
  FakeKernel kernel_;
  SandboxPlan plan_;
  std::string why_;
};

TEST_F(SandboxPlanTest, ServerInOurNamespacesIsNoSandbox) {
  EXPECT_EQ(SandboxVerdict::kOwnNamespaces, Plan());
}

TEST_F(SandboxPlanTest, JoinsTheNamespacesThatDifferAsTheServerSeesThings) {
  struct Case {
    const char* name;
    std::vector<std::string> differing;
    bool user, mount, pid;
  } cases[] = {
      {"bwrap: user, mount and pid", {"user", "mnt", "pid"}, true, true, true},
      {"pid namespace only", {"user", "pid"}, true, false, true},
      {"mount namespace only", {"user", "mnt"}, true, true, false},
  };
  kernel_.user_namespace_owner = kOwner;
  for (const Case& c : cases) {
    for (const char* kind : {"user", "mnt", "pid"}) SameNamespace(kind);
    for (const std::string& kind : c.differing) OtherNamespace(kind);
    ASSERT_EQ(SandboxVerdict::kJoinable, Plan()) << c.name << ": " << why_;
    EXPECT_EQ(c.user, plan_.join_user) << c.name;
    EXPECT_EQ(c.mount, plan_.join_mount) << c.name;
    EXPECT_EQ(c.pid, plan_.join_pid) << c.name;
    EXPECT_EQ(kServer, plan_.server) << c.name;
    EXPECT_EQ(987654ULL, plan_.start_time) << c.name;
    EXPECT_EQ(prefix_, plan_.prefix) << c.name;
    EXPECT_EQ("/wine/bin/wine64", plan_.loader) << c.name;
    // The server's own, less the session's, with the prefix it uses.
    EXPECT_EQ((std::vector<std::string>{
                  "HOME=/home/u", "WINEESYNC=1", "PATH=/usr/bin",
                  "WINEPREFIX=" + prefix_, "WINEDEBUG=-all"}),
              plan_.environment)
        << c.name;
  }
}

TEST_F(SandboxPlanTest, RefusesWhatMayNotBeJoined) {
  struct Case {
    const char* name;
    std::vector<std::string> differing;
    uid_t caller;
    bool owner_known;
    uid_t namespace_owner;
    const char* why;
  } cases[] = {
      {"a user namespace of root's", {"user", "mnt"}, kCaller, true, 0,
       "its sandbox's user namespace belongs to user id 0, not to the "
       "prefix's owner"},
      {"a user namespace of a third user's", {"user", "mnt", "pid"}, kCaller,
       true, 4321, "belongs to user id 4321"},
      {"a user namespace not below ours", {"user", "pid"}, kCaller, false, 0,
       "its user namespace cannot be joined (NS_GET_PARENT: EPERM)"},
      {"namespaces of our own user namespace", {"mnt", "pid"}, kCaller, true,
       0, "it runs in namespaces only root may enter"},
      {"a run as root", {"user", "mnt"}, 0, true, 0,
       "root does not enter a sandbox"},
  };
  for (const Case& c : cases) {
    for (const char* kind : {"user", "mnt", "pid"}) SameNamespace(kind);
    for (const std::string& kind : c.differing) OtherNamespace(kind);
    kernel_.owner_known = c.owner_known;
    kernel_.user_namespace_owner = c.namespace_owner;
    EXPECT_EQ(SandboxVerdict::kRefused, Plan(prefix::PosixEnv(), c.caller))
        << c.name;
    EXPECT_NE(std::string::npos, why_.find(c.why)) << c.name << ": " << why_;
  }
}

TEST_F(SandboxPlanTest, ServerWeMayNotLookAtIsRefusedWithTheReason) {
  OtherNamespace("user");
  DeniedPathEnv env;
  env.denied = server_ + "/ns/user";
  EXPECT_EQ(SandboxVerdict::kRefused, Plan(&env));
  EXPECT_EQ("it runs in a user namespace that is not the prefix owner's "
            "(user id " + std::to_string(kOwner) + " may not look into it)",
            why_);
}

TEST_F(SandboxPlanTest, RefusesWithoutThePrefixHeldOrAStartTime) {
  OtherNamespace("user");
  OtherNamespace("mnt");
  kernel_.user_namespace_owner = kOwner;
  unlink((server_ + "/fd/0").c_str());
  EXPECT_EQ(SandboxVerdict::kRefused, Plan());
  EXPECT_EQ("the server holds no prefix directory open", why_);
  // A prefix it holds, but removed since: no path to give Wine.
  symlink((prefix_ + " (deleted)").c_str(), (server_ + "/fd/0").c_str());
  EXPECT_EQ(SandboxVerdict::kRefused, Plan());

  unlink((server_ + "/fd/0").c_str());
  symlink(prefix_.c_str(), (server_ + "/fd/0").c_str());
  unlink((server_ + "/stat").c_str());
  EXPECT_EQ(SandboxVerdict::kRefused, Plan());
  EXPECT_EQ("the server has ended", why_);
}

// The lock the helper's start keeps is the server's: the one of the
// directory it works in or, while it loads the registry, holds open.
// The loader is looked at inside the server's root: a symlink leads to a
// file there, and the rule of ownership holds for every step.
TEST_F(SandboxPlanTest, LoaderIsHeldToTheOwnershipRuleInsideTheRoot) {
  OtherNamespace("user");
  OtherNamespace("mnt");
  kernel_.user_namespace_owner = kOwner;
  const std::string bin = dir_ / "root/wine/bin";
  const std::string lib = dir_ / "root/lib";
  mkdir(lib.c_str(), 0755);
  struct Case {
    const char* name;
    std::function<void()> set_up;
    const char* loader;  // null: refused
  } cases[] = {
      {"wine64 beside the server", [] {}, "/wine/bin/wine64"},
      {"wine64 not executable, wine is",
       [&] {
         chmod((bin + "/wine64").c_str(), 0644);
         MakeLoader("wine", 0755);
       },
       "/wine/bin/wine"},
      {"wine64 writable by its group", [&] {
         chmod((bin + "/wine64").c_str(), 0775);
       }, nullptr},
      {"its directory writable by others", [&] {
         chmod(bin.c_str(), 0777);
       }, nullptr},
      {"a symlink to a held file in the root",
       [&] {
         unlink((bin + "/wine64").c_str());
         TestDir::Write(lib + "/wine64-real", "");
         chmod((lib + "/wine64-real").c_str(), 0755);
         symlink("/lib/wine64-real", (bin + "/wine64").c_str());
       },
       "/lib/wine64-real"},
      {"a symlink into a directory writable by others",
       [&] {
         unlink((bin + "/wine64").c_str());
         TestDir::Write(lib + "/wine64-real", "");
         chmod((lib + "/wine64-real").c_str(), 0755);
         chmod(lib.c_str(), 0777);
         symlink("../../lib/wine64-real", (bin + "/wine64").c_str());
       },
       nullptr},
      {"a symlink that leads nowhere in the root",
       [&] {
         unlink((bin + "/wine64").c_str());
         symlink("/no/such/wine64", (bin + "/wine64").c_str());
       },
       nullptr},
      {"a symlink loop",
       [&] {
         unlink((bin + "/wine64").c_str());
         symlink("wine64", (bin + "/wine64").c_str());
       },
       nullptr},
  };
  for (const Case& c : cases) {
    chmod(bin.c_str(), 0755);
    chmod(lib.c_str(), 0755);
    unlink((bin + "/wine").c_str());
    unlink((bin + "/wine64").c_str());
    MakeLoader("wine64", 0755);
    c.set_up();
    const SandboxVerdict verdict = Plan();
    if (c.loader != nullptr) {
      ASSERT_EQ(SandboxVerdict::kJoinable, verdict) << c.name << ": " << why_;
      EXPECT_EQ(c.loader, plan_.loader) << c.name;
    } else {
      EXPECT_EQ(SandboxVerdict::kRefused, verdict) << c.name;
      EXPECT_EQ("no loader of root's or the owner's beside the server", why_)
          << c.name;
    }
  }
}

TEST_F(SandboxPlanTest, LoaderOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
  OtherNamespace("user");
  kernel_.user_namespace_owner = kOwner;
  ASSERT_EQ(0, chown((dir_ / "root/wine/bin/wine64").c_str(), kOwner + 4321,
                     0));
  EXPECT_EQ(SandboxVerdict::kRefused, Plan());
}

TEST_F(SandboxPlanTest, SyncVariablesComeFromTheServer) {
  EXPECT_EQ((std::vector<std::string>{"WINEESYNC=1"}),
            ServerSyncVariables(prefix::PosixEnv(), location_.proc, kServer));
  EXPECT_TRUE(
      ServerSyncVariables(prefix::PosixEnv(), location_.proc, 99).empty());
}

TEST_F(SandboxPlanTest, ConfinementIsTheServersOrTheMostThereIs) {
  kernel_.user_namespace_owner = kOwner;
  for (const char* kind : {"user", "mnt", "pid"}) OtherNamespace(kind);
  // No status to read: no new privileges, no capabilities.
  ASSERT_EQ(SandboxVerdict::kJoinable, Plan()) << why_;
  EXPECT_TRUE(plan_.confinement.no_new_privs);
  EXPECT_EQ(0ULL, plan_.confinement.bounding | plan_.confinement.effective |
                      plan_.confinement.permitted);
  TestDir::Write(server_ + "/status",
                 "Name:\twineserver\nNoNewPrivs:\t0\n"
                 "CapInh:\t0000000000000004\nCapPrm:\t00000000000000ff\n"
                 "CapEff:\t000000000000000f\nCapBnd:\t000001ffffffffff\n"
                 "CapAmb:\t0000000000000001\n");
  ASSERT_EQ(SandboxVerdict::kJoinable, Plan()) << why_;
  EXPECT_FALSE(plan_.confinement.no_new_privs);
  EXPECT_EQ(0x4ULL, plan_.confinement.inheritable);
  EXPECT_EQ(0xffULL, plan_.confinement.permitted);
  EXPECT_EQ(0xfULL, plan_.confinement.effective);
  EXPECT_EQ(0x1ffffffffffULL, plan_.confinement.bounding);
  EXPECT_EQ(0x1ULL, plan_.confinement.ambient);
}

TEST(ConfinementTest, StatusLinesReadOrTheMostConfined) {
  struct Case {
    const char* name;
    const char* status;
    bool no_new_privs;
    unsigned long long effective, bounding;
  } cases[] = {
      {"bwrap with seccomp",
       "Name:\tsleep\nCapEff:\t0000000000000000\nCapBnd:\t0000000000000000\n"
       "NoNewPrivs:\t1\nSeccomp:\t2\n",
       true, 0, 0},
      {"root in a user namespace",
       "CapEff:\t000001ffffffffff\nCapBnd:\t000001ffffffffff\n"
       "NoNewPrivs:\t0\n",
       false, 0x1ffffffffffULL, 0x1ffffffffffULL},
      {"no such lines", "Name:\tx\n", true, 0, 0},
      {"a value that is no number", "CapEff:\tzz\nNoNewPrivs:\t-\n", true, 0,
       0},
  };
  for (const Case& c : cases) {
    const Confinement got = ConfinementFromStatus(c.status);
    EXPECT_EQ(c.no_new_privs, got.no_new_privs) << c.name;
    EXPECT_EQ(c.effective, got.effective) << c.name;
    EXPECT_EQ(c.bounding, got.bounding) << c.name;
  }
}

// For real, in a child: what the kernel then says of it is the server's.
TEST(ConfinementTest, ChildGetsExactlyTheServersSets) {
  if (geteuid() != 0) GTEST_SKIP() << "needs capabilities to drop";
  Confinement server;
  server.no_new_privs = true;
  server.bounding = 1ULL << 0 | 1ULL << 21;  // CAP_CHOWN, CAP_SYS_ADMIN
  server.permitted = 1ULL << 0 | 1ULL << 21;
  server.effective = 1ULL << 0;
  server.inheritable = 1ULL << 21;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ConfineLike(server);
    std::string status;
    FILE* file = fopen("/proc/self/status", "re");
    if (file == nullptr) _exit(2);
    for (int c; (c = fgetc(file)) != EOF;) {
      status.push_back(static_cast<char>(c));
    }
    fclose(file);
    const Confinement got = ConfinementFromStatus(status);
    _exit(got.no_new_privs && got.bounding == server.bounding &&
                  got.permitted == server.permitted &&
                  got.effective == server.effective &&
                  got.inheritable == server.inheritable && got.ambient == 0
              ? 0
              : 1);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(0, WEXITSTATUS(status));
}

// A run killed before its helper said hello leaves its copy; the next run
// removes it, and never a copy of a run still going or a file of Wine's.
TEST(HelperCopyTest, StaleCopiesOfEndedRunsAreRemoved) {
  TestDir prefix_dir;
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  ASSERT_GT(ended, 0);
  waitpid(ended, nullptr, 0);
  const std::string stale =
      kHelperCopyPrefix + std::to_string(ended) + "-0123456789abcdef.exe";
  const std::string running =
      kHelperCopyPrefix + std::to_string(getpid()) + "-0123456789abcdef.exe";
  for (const std::string& name :
       {stale, running, std::string("user.reg"),
        std::string("quillfix-reghelper-1-x.exe")}) {
    TestDir::Write(prefix_dir / name, "");
  }
  RemoveStaleHelperCopies(prefix::PosixEnv(), prefix_dir.path());
  std::vector<std::string> left;
  ASSERT_TRUE(prefix::PosixEnv()->ListDirectory(prefix_dir.path(), &left).ok());
  std::sort(left.begin(), left.end());
  std::vector<std::string> expected = {
      running, "quillfix-reghelper-1-x.exe", "user.reg"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, left);
}

// A path in another process's root is resolved in that root: an absolute
// symlink there leads to the root's file, not to ours of that name.
TEST(LinuxNamespaceKernelTest, ResolvesSymlinksInsideTheRoot) {
  TestDir root;
  mkdir((root / "etc").c_str(), 0755);
  TestDir::Write(root / "etc/hostname", "inside");
  symlink("/etc", (root / "link").c_str());
  symlink("../../../../etc/hostname", (root / "climb").c_str());
  FileInfo inside, ours, seen;
  ASSERT_TRUE(prefix::PosixEnv()->GetFileInfo(root / "etc/hostname", &inside)
                  .ok());
  NamespaceKernel* kernel = LinuxNamespaceKernel();
  for (const char* path : {"/link/hostname", "/climb", "/etc/hostname"}) {
    ASSERT_TRUE(kernel->InfoInRoot(root.path(), path, true, &seen).ok())
        << path;
    EXPECT_EQ(inside.inode, seen.inode) << path;
  }
  ASSERT_TRUE(kernel->InfoInRoot(root.path(), "/link", false, &seen).ok());
  EXPECT_TRUE(seen.is_symlink);
  std::string target;
  ASSERT_TRUE(kernel->ReadLinkInRoot(root.path(), "/link", &target).ok());
  EXPECT_EQ("/etc", target);
  if (prefix::PosixEnv()->GetFileInfo("/etc/hostname", &ours).ok()) {
    EXPECT_NE(ours.inode, inside.inode);
  }
}

TEST(LinuxNamespaceKernelTest, OurOwnUserNamespaceIsNoneToJoin) {
  uid_t owner = 0;
  EXPECT_FALSE(
      LinuxNamespaceKernel()->UserNamespaceOwner("/proc/self/ns/user", &owner)
          .ok());
}

}  // namespace
}  // namespace bridge
}  // namespace regservice
