// Choosing how to start the helper: the loader beside a server's
// executable or on PATH, and the user it runs as.
#include "regservice/bridge/helper_process.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "regservice/prefix/test_dir.h"

namespace regservice {
namespace bridge {
namespace {

using prefix::TestDir;

void MakeExecutable(const std::string& path, mode_t mode = 0755) {
  TestDir::Write(path, "#!/bin/sh\nexit 0\n");
  chmod(path.c_str(), mode);
}

// A process whose executable lives in `dir`: a copy of sleep there.
class FakeServer {
 public:
  explicit FakeServer(const std::string& dir) {
    std::string exe = dir + "/wineserver64";
    TestDir::Write(exe, TestDir::Read("/bin/sleep"));
    chmod(exe.c_str(), 0755);
    pid_ = fork();
    if (pid_ == 0) {
      execl(exe.c_str(), exe.c_str(), "30", static_cast<char*>(nullptr));
      _exit(127);
    }
    // Until the exec is done, /proc/<pid>/exe is still this test.
    std::string link = "/proc/" + std::to_string(pid_) + "/exe";
    for (int i = 0; i < 5000; ++i) {  // a hang guard of 10 s
      char target[4096];
      ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
      if (n > 0 && std::string(target, n) == exe) return;
      usleep(2000);
    }
    ADD_FAILURE() << exe << " did not start";
  }
  ~FakeServer() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
};

class ScopedPath {
 public:
  explicit ScopedPath(const std::string& value) {
    const char* old = getenv("PATH");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("PATH", value.c_str(), 1);
  }
  ~ScopedPath() {
    if (had_) {
      setenv("PATH", old_.c_str(), 1);
    } else {
      unsetenv("PATH");
    }
  }

 private:
  bool had_;
  std::string old_;
};

TEST(FindLoaderTest, PrefersTheLoaderBesideTheServerThenPath) {
  struct Case {
    const char* name;
    std::vector<std::string> beside_server;  // files made beside it
    bool beside_executable;                  // ... with the x bit
    std::vector<std::string> on_path;        // in a folder on PATH
    bool ask_with_pid;
    const char* expected;  // "server/NAME", "path/NAME" or ""
  } cases[] = {
      {"wine64 first", {"wine", "wine64"}, true, {"wine"}, true,
       "server/wine64"},
      {"wine when there is no wine64", {"wine"}, true, {"wine"}, true,
       "server/wine"},
      {"nothing beside the server", {}, true, {"wine"}, true, "path/wine"},
      {"not executable beside the server", {"wine64"}, false, {"wine"}, true,
       "path/wine"},
      {"server unknown", {"wine64"}, true, {"wine"}, false, "path/wine"},
      {"PATH holds only wine64", {}, true, {"wine64"}, true, ""},
      {"none anywhere", {}, true, {}, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestDir server_dir, path_dir;
    for (const std::string& name : c.beside_server) {
      MakeExecutable(server_dir / name, c.beside_executable ? 0755 : 0644);
    }
    for (const std::string& name : c.on_path) MakeExecutable(path_dir / name);
    FakeServer server(server_dir.path());
    ScopedPath path("relative:" + path_dir.path());
    std::string expected = c.expected;
    if (expected.compare(0, 7, "server/") == 0) {
      expected = server_dir / expected.substr(7);
    } else if (expected.compare(0, 5, "path/") == 0) {
      expected = path_dir / expected.substr(5);
    }
    EXPECT_EQ(expected, FindLoader(c.ask_with_pid ? server.pid() : 0));
  }
}

TEST(PlanHelperLaunchTest, RootRunsTheHelperAsTheOwnerOfTheirPrefix) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const uid_t kNoAccount = 42421;  // an id without an account
  struct Case {
    const char* name;
    uid_t owner;
    bool switch_user;
  } cases[] = {
      {"root's own prefix", 0, false},
      {"a user's prefix", kNoAccount, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestDir home;
    std::string prefix = home / ".wine";
    ASSERT_EQ(0, mkdir(prefix.c_str(), 0755));
    ASSERT_EQ(0, chown(prefix.c_str(), c.owner, c.owner + 1));
    TestDir wine_dir;
    MakeExecutable(wine_dir / "wine");
    ScopedPath path(wine_dir.path());

    HelperLaunch launch;
    ASSERT_TRUE(PlanHelperLaunch(prefix, 0, &launch))
        << "no helper program found";
    EXPECT_EQ(wine_dir / "wine", launch.loader);
    EXPECT_EQ(prefix, launch.prefix);
    EXPECT_EQ(c.switch_user, launch.switch_user);
    if (c.switch_user) {
      EXPECT_EQ(c.owner, launch.uid);
      EXPECT_EQ(c.owner + 1, launch.gid);
      // No account: the folder the prefix is in stands for its home.
      EXPECT_EQ(home.path(), launch.home);
      EXPECT_EQ("", launch.user_name);
    }
  }
}

TEST(PlanHelperLaunchTest, NoLoaderMeansNoLaunch) {
  TestDir prefix, empty;
  ScopedPath path(empty.path());
  HelperLaunch launch;
  EXPECT_FALSE(PlanHelperLaunch(prefix.path(), 0, &launch));
}

// The helper program's own end of the launch: a loader that is not Wine
// but a shell script, to see what the child gets.
TEST(StartHelperTest, ChildGetsThePrefixEnvironmentAndOurPipes) {
  TestDir dir;
  std::string loader = dir / "loader";
  // Answers with one frame holding what it was given, then waits for its
  // input to end.
  TestDir::Write(loader,
                 "#!/bin/sh\n"
                 "msg=\"$1|$WINEPREFIX|$WINEDEBUG|$(pwd)\"\n"
                 "len=$(printf %s \"$msg\" | wc -c)\n"
                 "printf \"$(printf '\\\\%03o' $len)\\000\\000\\000%s\" "
                 "\"$msg\"\n"
                 "exec cat >/dev/null\n");
  chmod(loader.c_str(), 0755);
  HelperLaunch launch;
  launch.loader = loader;
  launch.helper = "/some/helper.exe";
  launch.prefix = dir / "prefix";
  setenv("WINEDEBUG", "+all", 1);
  std::unique_ptr<HelperChannel> channel =
      StartHelper(launch, HelperTimeouts());
  unsetenv("WINEDEBUG");
  ASSERT_NE(nullptr, channel);
  std::string body;
  ASSERT_TRUE(channel->Receive(&body));
  EXPECT_EQ("/some/helper.exe|" + launch.prefix + "|-all|/", body);
  channel.reset();  // closes its input; the script's cat ends
}

TEST(StartHelperTest, LoaderThatCannotRunEndsTheChannel) {
  HelperLaunch launch;
  launch.loader = "/nonexistent/wine64";
  launch.helper = "/some/helper.exe";
  launch.prefix = "/nonexistent";
  std::unique_ptr<HelperChannel> channel =
      StartHelper(launch, HelperTimeouts());
  ASSERT_NE(nullptr, channel);
  std::string body;
  EXPECT_FALSE(channel->Receive(&body));
}

}  // namespace
}  // namespace bridge
}  // namespace regservice
