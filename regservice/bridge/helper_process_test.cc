// Choosing how to start the helper (the loader beside a server's
// executable or on PATH, only one no third user can change) and what the
// started child gets and keeps of ours.
#include "regservice/bridge/helper_process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "regservice/bridge/listening_server.h"
#include "regservice/prefix/env.h"
#include "regservice/prefix/running_server.h"
#include "regservice/prefix/test_dir.h"
#include "regservice/prefix/test_support.h"

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
  const bool root = geteuid() == 0;
  struct Case {
    const char* name;
    std::vector<std::string> beside_server;  // files made beside it
    bool beside_executable;                  // ... with the x bit
    std::vector<std::string> on_path;        // in a folder on PATH
    bool ask_with_pid;
    const char* expected;  // "server/NAME", "path/NAME" or ""
    // Changes made to the folders before the look; none when null.
    std::function<void(const std::string& server, const std::string& path)>
        spoil;
    bool needs_root;
  } cases[] = {
      {"wine64 first", {"wine", "wine64"}, true, {"wine"}, true,
       "server/wine64", nullptr, false},
      {"wine when there is no wine64", {"wine"}, true, {"wine"}, true,
       "server/wine", nullptr, false},
      {"nothing beside the server", {}, true, {"wine"}, true, "path/wine",
       nullptr, false},
      {"not executable beside the server", {"wine64"}, false, {"wine"}, true,
       "path/wine", nullptr, false},
      {"server unknown", {"wine64"}, true, {"wine"}, false, "path/wine",
       nullptr, false},
      {"PATH holds only wine64", {}, true, {"wine64"}, true, "", nullptr,
       false},
      {"none anywhere", {}, true, {}, true, "", nullptr, false},
      // What another user could have changed is never run.
      {"loader beside the server writable by its group", {"wine64"}, true,
       {"wine"}, true, "path/wine",
       [](const std::string& server, const std::string&) {
         chmod((server + "/wine64").c_str(), 0775);
       },
       false},
      {"server's folder writable by others", {"wine64"}, true, {"wine"}, true,
       "path/wine",
       [](const std::string& server, const std::string&) {
         chmod(server.c_str(), 0777);
       },
       false},
      {"loader beside the server a symlink to a writable one", {}, true,
       {"wine"}, true, "path/wine",
       [](const std::string& server, const std::string& path) {
         MakeExecutable(path + "/open", 0777);
         symlink((path + "/open").c_str(), (server + "/wine64").c_str());
       },
       false},
      {"wine on PATH writable by others", {}, true, {"wine"}, true, "",
       [](const std::string&, const std::string& path) {
         chmod((path + "/wine").c_str(), 0757);
       },
       false},
      {"loader beside the server a third user's", {"wine64"}, true, {"wine"},
       true, "path/wine",
       [](const std::string& server, const std::string&) {
         chown((server + "/wine64").c_str(), prefix::kOtherUid,
               prefix::kOtherGid);
       },
       true},
      {"server's folder a third user's", {"wine64"}, true, {"wine"}, true,
       "path/wine",
       [](const std::string& server, const std::string&) {
         chown(server.c_str(), prefix::kOtherUid, prefix::kOtherGid);
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needs_root && !root) continue;
    TestDir server_dir, path_dir;
    for (const std::string& name : c.beside_server) {
      MakeExecutable(server_dir / name, c.beside_executable ? 0755 : 0644);
    }
    for (const std::string& name : c.on_path) MakeExecutable(path_dir / name);
    FakeServer server(server_dir.path());
    if (c.spoil) c.spoil(server_dir.path(), path_dir.path());
    ScopedPath path("relative:" + path_dir.path());
    std::string expected = c.expected;
    if (expected.compare(0, 7, "server/") == 0) {
      expected = server_dir / expected.substr(7);
    } else if (expected.compare(0, 5, "path/") == 0) {
      expected = path_dir / expected.substr(5);
    }
    EXPECT_EQ(expected,
              FindLoader(c.ask_with_pid ? server.pid() : 0, geteuid()));
    chmod(server_dir.path().c_str(), 0700);
  }
}

// A loader of the prefix's owner, where root looks for one for them.
TEST(FindLoaderTest, TakesTheOwnersLoaderAndNoOneElses) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  TestDir server_dir, path_dir;
  MakeExecutable(server_dir / "wine64");
  MakeExecutable(path_dir / "wine");
  chown(server_dir.path().c_str(), prefix::kOtherUid, prefix::kOtherGid);
  chown((server_dir / "wine64").c_str(), prefix::kOtherUid, prefix::kOtherGid);
  FakeServer server(server_dir.path());
  ScopedPath path(path_dir.path());
  EXPECT_EQ(server_dir / "wine64", FindLoader(server.pid(), prefix::kOtherUid));
  EXPECT_EQ(path_dir / "wine", FindLoader(server.pid(), 0));
}

TEST(PlanHelperLaunchTest, NamesLoaderHelperAndPrefix) {
  TestDir prefix, wine_dir;
  MakeExecutable(wine_dir / "wine");
  ScopedPath path(wine_dir.path());
  HelperLaunch launch;
  ASSERT_TRUE(PlanHelperLaunch(prefix.path(), 0, geteuid(), &launch))
      << "no helper program found";
  EXPECT_EQ(wine_dir / "wine", launch.loader);
  EXPECT_EQ(prefix.path(), launch.prefix);
  EXPECT_FALSE(launch.clean_environment);
}

TEST(PlanHelperLaunchTest, NoLoaderMeansNoLaunch) {
  TestDir prefix, empty;
  ScopedPath path(empty.path());
  HelperLaunch launch;
  EXPECT_FALSE(PlanHelperLaunch(prefix.path(), 0, geteuid(), &launch));
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

// A frame of one byte, as the shell prints it.
const char kFrameOfX[] = "printf '\\001\\000\\000\\000x'";

// The child keeps nothing of ours but its pipes: a session of its own (no
// controlling terminal to push input into), none of our other descriptors,
// and for a run that became another user, none of our environment.
TEST(StartHelperTest, ChildKeepsNothingOfTheCallers) {
  TestDir dir;
  const std::string loader = dir / "loader";
  const std::string seen = dir / "seen";
  TestDir::Write(loader,
                 "#!/bin/sh\n"
                 "set -- $(cat /proc/$$/stat)\n"
                 "{ echo \"session=$6 pid=$$\"\n"
                 "  [ -e /proc/$$/fd/57 ] && echo leaked\n"
                 "  [ -S /proc/$$/fd/3 ] && echo connection=3\n"
                 "  env; } > " + seen + "\n" +
                 kFrameOfX + "\nexec cat >/dev/null\n");
  chmod(loader.c_str(), 0755);
  // A descriptor of ours without close-on-exec, as a caller may leave one.
  int leak = open("/dev/null", O_RDONLY);
  ASSERT_EQ(57, dup2(leak, 57));
  close(leak);
  setenv("QUILLFIX_TEST_SECRET", "hunter2", 1);
  setenv("LC_TIME", "C.UTF-8", 1);
  // One of the caller's is never passed on for the run's own.
  setenv("WINESERVERSOCKET", "57", 1);
  // The connection handed over: to a process listening where a server
  // of the prefix would.
  const std::string prefix_dir = dir / "prefix";
  mkdir(prefix_dir.c_str(), 0700);
  struct stat prefix_info;
  ASSERT_EQ(0, stat(prefix_dir.c_str(), &prefix_info));
  const std::string server_dir =
      dir / prefix::ServerDirectoryName(prefix_info.st_dev,
                                        prefix_info.st_ino);
  mkdir(server_dir.c_str(), 0700);
  ListeningProcess server(server_dir, {prefix_dir}, server_dir + "/socket");
  ASSERT_TRUE(server.ready());
  std::unique_ptr<ServerSocket> connection;
  std::string why;
  ASSERT_EQ(ServerSocket::kConnected,
            ServerSocket::Connect(prefix::PosixEnv(), "/proc", prefix_dir,
                                  server.pid(), geteuid(), &connection, &why))
      << why;
  std::shared_ptr<ServerSocket> shared(std::move(connection));
  for (bool clean : {false, true}) {
    SCOPED_TRACE(clean ? "clean environment" : "the caller's environment");
    HelperLaunch launch;
    launch.loader = loader;
    launch.helper = "/some/helper.exe";
    launch.prefix = prefix_dir;
    launch.server_socket = shared;
    launch.clean_environment = clean;
    std::unique_ptr<HelperChannel> channel =
        StartHelper(launch, HelperTimeouts());
    ASSERT_NE(nullptr, channel);
    std::string body;
    ASSERT_TRUE(channel->Receive(&body));
    channel.reset();
    const std::string facts = TestDir::Read(seen);
    std::string pid = facts.substr(facts.find("pid=") + 4);
    pid = pid.substr(0, pid.find('\n'));
    EXPECT_NE(std::string::npos, facts.find("session=" + pid + " "))
        << "not a session leader: " << facts;
    EXPECT_EQ(std::string::npos, facts.find("leaked"));
    EXPECT_NE(std::string::npos, facts.find("\nWINEPREFIX=" + launch.prefix));
    EXPECT_NE(std::string::npos, facts.find("connection=3\n")) << facts;
    EXPECT_NE(std::string::npos, facts.find("\nWINESERVERSOCKET=3\n"));
    EXPECT_EQ(std::string::npos, facts.find("WINESERVERSOCKET=57"));
    EXPECT_NE(std::string::npos, facts.find("\nLC_TIME=C.UTF-8\n"));
    EXPECT_EQ(!clean,
              facts.find("QUILLFIX_TEST_SECRET") != std::string::npos);
    EXPECT_EQ(clean, facts.find("\nPATH=/usr/local/bin:/usr/bin:/bin\n") !=
                         std::string::npos);
  }
  unsetenv("QUILLFIX_TEST_SECRET");
  unsetenv("LC_TIME");
  unsetenv("WINESERVERSOCKET");
  close(57);
}

// Each answer has its limit, and the run all of them together: a helper
// that answers every call in time cannot keep a run going.
TEST(StartHelperTest, RunLimitEndsAHelperThatAnswersSlowly) {
  TestDir dir;
  const std::string loader = dir / "loader";
  // An answer every half second, for far longer than the run's limit.
  TestDir::Write(loader, std::string("#!/bin/sh\nfor i in $(seq 40); do ") +
                             kFrameOfX + "; sleep 0.5; done\n");
  chmod(loader.c_str(), 0755);
  HelperLaunch launch;
  launch.loader = loader;
  launch.helper = "/some/helper.exe";
  launch.prefix = dir / "prefix";
  HelperTimeouts timeouts;
  timeouts.start_ms = 10000;
  timeouts.call_ms = 10000;
  timeouts.run_ms = 1200;
  std::unique_ptr<HelperChannel> channel = StartHelper(launch, timeouts);
  ASSERT_NE(nullptr, channel);
  std::string body;
  int answers = 0;
  while (answers < 40 && channel->Receive(&body)) ++answers;
  EXPECT_GE(answers, 1);
  EXPECT_LE(answers, 4);  // about 1200 / 500 + 1; each call alone allows 40
}

// Whether process `pid` has ended (an unreaped zombie counts as ended).
bool Ended(pid_t pid) {
  for (int i = 0; i < 500; ++i) {
    std::string stat;
    if (!prefix::PosixEnv()
             ->ReadFileStart("/proc/" + std::to_string(pid) + "/stat", 512,
                             &stat)
             .ok() ||
        stat.find(") Z") != std::string::npos) {
      return true;
    }
    usleep(10000);
  }
  return false;
}

// Whatever the helper started in its process group ends with it: when the
// channel lets it go, and when the run is stopped by a signal.
TEST(StartHelperTest, HelpersWholeGroupEndsWithIt) {
  TestDir dir;
  const std::string loader = dir / "loader";
  const std::string started = dir / "started";
  // A child in its group, then a loader that ignores SIGTERM and its
  // input's end.
  TestDir::Write(loader, "#!/bin/sh\ntrap '' TERM\nsleep 600 &\n"
                         "echo $! > " + started + ".part\n"
                         "mv " + started + ".part " + started + "\n"
                         "exec sleep 600\n");
  chmod(loader.c_str(), 0755);
  HelperLaunch launch;
  launch.loader = loader;
  launch.helper = "/some/helper.exe";
  launch.prefix = dir / "prefix";
  HelperTimeouts timeouts;
  timeouts.start_ms = 200;
  auto child_of_loader = [&started]() -> pid_t {
    for (int i = 0; i < 1000 && !TestDir::Exists(started); ++i) usleep(10000);
    return static_cast<pid_t>(atoi(TestDir::Read(started).c_str()));
  };
  {
    SCOPED_TRACE("the channel ends");
    std::unique_ptr<HelperChannel> channel = StartHelper(launch, timeouts);
    ASSERT_NE(nullptr, channel);
    std::string body;
    EXPECT_FALSE(channel->Receive(&body));
    const pid_t child = child_of_loader();
    ASSERT_GT(child, 0);
    channel.reset();
    EXPECT_TRUE(Ended(child));
  }
  unlink(started.c_str());
  {
    SCOPED_TRACE("the run gets SIGTERM");
    const pid_t run = fork();
    if (run == 0) {
      std::unique_ptr<HelperChannel> channel = StartHelper(launch, timeouts);
      for (int i = 0; i < 1000 && !TestDir::Exists(started); ++i) {
        usleep(10000);
      }
      raise(SIGTERM);
      _exit(0);
    }
    ASSERT_GT(run, 0);
    int status = 0;
    ASSERT_EQ(run, waitpid(run, &status, 0));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    const pid_t child = child_of_loader();
    ASSERT_GT(child, 0);
    EXPECT_TRUE(Ended(child));
  }
}

}  // namespace
}  // namespace bridge
}  // namespace regservice
