#include "regservice/bridge/helper_process.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "regservice/bridge/sandbox_entry.h"
#include "regservice/prefix/running_server.h"

extern char** environ;

namespace regservice {
namespace bridge {

const char kHelperName[] = "quillfix-reghelper.exe";

namespace {

// How long the end of a run waits for the helper to exit by itself.
const int kExitWaitMs = 5000;
// The PATH of a helper started for another user than the caller.
const char kCleanPath[] = "/usr/local/bin:/usr/bin:/bin";

std::string ReadLink(const std::string& path) {
  char target[PATH_MAX];
  ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
  if (n <= 0) return "";
  // An executable replaced while running (an upgrade) keeps its old path.
  return prefix::WithoutDeletedMark(
      std::string(target, static_cast<size_t>(n)));
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsExecutable(const std::string& path) {
  return IsRegularFile(path) && access(path.c_str(), X_OK) == 0;
}

// Whether `path` (as lstat sees it, or stat when `follow`) belongs to root
// or `owner` and may be written by no one else.
bool HeldBy(const std::string& path, uid_t owner, bool follow) {
  struct stat st;
  int done = follow ? stat(path.c_str(), &st) : lstat(path.c_str(), &st);
  return done == 0 && (st.st_uid == 0 || st.st_uid == owner) &&
         (st.st_mode & 022) == 0;
}

// A loader that may be run on `owner`'s behalf: executable and, with the
// directory it is found in and the file and directory it resolves to, held
// by root or `owner` alone. Anything else could be a program of a third
// user's.
bool IsTrustedLoader(const std::string& path, uid_t owner) {
  if (!IsExecutable(path)) return false;
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return false;
  const std::string real = resolved;
  free(resolved);
  return HeldBy(DirectoryOf(path), owner, true) && HeldBy(real, owner, false) &&
         HeldBy(DirectoryOf(real), owner, false);
}

// The channel to a started helper; owns the process. Each answer has its
// own limit, and all of them together the run's.
class HelperProcessChannel : public HelperChannel {
 public:
  HelperProcessChannel(pid_t pid, int to_helper, int from_helper,
                       const HelperTimeouts& timeouts,
                       std::shared_ptr<SandboxEntry> sandbox)
      : pid_(pid),
        sandbox_(std::move(sandbox)),
        timeouts_(timeouts),
        run_deadline_ms_(NowMs() + timeouts.run_ms),
        fds_(to_helper, from_helper, timeouts.start_ms,
             [this] { return StillRunning(); }) {}

  ~HelperProcessChannel() override {
    fds_.CloseInput();
    long long deadline = NowMs() + kExitWaitMs;
    while (StillRunning() && NowMs() < deadline) {
      struct timespec pause = {0, 5 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    }
    if (StillRunning()) {
      // The helper's whole group: in a sandbox, it is the child's child.
      kill(-pid_, SIGKILL);
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  bool Send(const std::string& body) override { return fds_.Send(body); }

  bool Receive(std::string* body) override {
    const long long left = run_deadline_ms_ - NowMs();
    if (left <= 0) return false;
    // Only the first message waits for Wine to start.
    const int limit = first_ ? timeouts_.start_ms : timeouts_.call_ms;
    const bool hello = first_;
    first_ = false;
    fds_.set_timeout_ms(static_cast<int>(std::min<long long>(limit, left)));
    if (!fds_.Receive(body)) return false;
    if (!hello || sandbox_ == nullptr) return true;
    // Wine has loaded the helper: its copy can go.
    sandbox_->RemoveHelperCopy();
    // A helper that says hello is connected to a server; while the one
    // found still runs, it is that one, as no other can start meanwhile.
    return sandbox_->ServerRuns();
  }

 private:
  bool StillRunning() {
    if (reaped_) return false;
    pid_t done = waitpid(pid_, nullptr, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
    } else if (done < 0 && errno == ECHILD) {
      // Reaped without us (a program that ignores SIGCHLD): it runs as
      // long as its process id does.
      reaped_ = kill(pid_, 0) != 0 && errno == ESRCH;
    }
    return !reaped_;
  }

  pid_t pid_;
  std::shared_ptr<SandboxEntry> sandbox_;
  HelperTimeouts timeouts_;
  long long run_deadline_ms_;
  bool first_ = true;
  bool reaped_ = false;
  FdChannel fds_;
};

bool IsLocaleVariable(const std::string& name) {
  return name == "LANG" || name == "LANGUAGE" || name.compare(0, 3, "LC_") == 0;
}

// The child's environment: ours with the prefix's variables set or, for a
// run that became another user, only what that user's Wine needs: nothing
// of the caller's but the locale.
std::vector<std::string> ChildEnvironment(const HelperLaunch& launch) {
  if (!launch.environment.empty()) return launch.environment;
  std::vector<std::string> env;
  for (char** entry = environ; entry != nullptr && *entry != nullptr;
       ++entry) {
    std::string text = *entry;
    std::string name = text.substr(0, text.find('='));
    bool keep;
    if (launch.clean_environment) {
      keep = IsLocaleVariable(name) || name == "HOME" || name == "USER" ||
             name == "LOGNAME";
    } else {
      keep = name != "WINEPREFIX" && name != "WINEDEBUG" &&
             !(name == "TMPDIR" && !launch.tmpdir.empty());
    }
    for (const std::string& server_variable : launch.server_variables) {
      if (name == server_variable.substr(0, server_variable.find('='))) {
        keep = false;
      }
    }
    if (keep) env.push_back(text);
  }
  env.insert(env.end(), launch.server_variables.begin(),
             launch.server_variables.end());
  if (launch.clean_environment)
    env.push_back(std::string("PATH=") + kCleanPath);
  env.push_back("WINEPREFIX=" + launch.prefix);
  env.push_back("WINEDEBUG=-all");
  if (!launch.tmpdir.empty()) env.push_back("TMPDIR=" + launch.tmpdir);
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(&s[0]);
  pointers.push_back(nullptr);
  return pointers;
}

// Closes every descriptor from 3 up; `open_max` bounds the loop where the
// kernel has no close_range.
void CloseDescriptorsAbove2(int open_max) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return;
#endif
  for (int fd = 3; fd < open_max; ++fd) close(fd);
}

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void RunChild(int stdin_fd, int stdout_fd, pid_t parent,
                           int open_max, const SandboxEntry* sandbox,
                           char* const argv[], char* const envp[]) {
  // Copies above 2 first, so that neither end is overwritten by the other
  // when one of them already is 0 or 1.
  stdin_fd = fcntl(stdin_fd, F_DUPFD, 3);
  stdout_fd = fcntl(stdout_fd, F_DUPFD, 3);
  int null_fd = open("/dev/null", O_WRONLY);
  if (stdin_fd < 0 || stdout_fd < 0 || null_fd < 0 || dup2(stdin_fd, 0) < 0 ||
      dup2(stdout_fd, 1) < 0 || dup2(null_fd, 2) < 0) {
    _exit(127);
  }
  // A sandbox's descriptors are closed once it is joined.
  if (sandbox == nullptr) CloseDescriptorsAbove2(open_max);
  // A session of its own: no controlling terminal to push input into.
  if (setsid() < 0) _exit(127);
  // Ends with the run, even one killed; a parent gone before the request
  // took effect is seen as a new parent.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
    _exit(127);
  }
  int server_fd = -1;
  if (sandbox != nullptr) sandbox->JoinInChild(parent, open_max, &server_fd);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  // A directory every user can enter; Wine maps it to a drive.
  if (chdir("/") != 0) _exit(127);
  // The server found, still running, will take the helper's Wine: no
  // other can start while it runs.
  if (sandbox != nullptr && !SandboxEntry::ServerRunsAt(server_fd)) _exit(127);
  execve(argv[0], argv, envp);
  _exit(127);
}

}  // namespace

std::string FindHelperProgram() {
  std::string exe_dir = DirectoryOf(ReadLink("/proc/self/exe"));
  std::vector<std::string> candidates;
  if (!exe_dir.empty()) {
    candidates.push_back(exe_dir + "/../libexec/quillfix/" + kHelperName);
    candidates.push_back(exe_dir + "/" + kHelperName);
  }
#ifdef QUILLFIX_REGHELPER_BUILD_PATH
  candidates.push_back(QUILLFIX_REGHELPER_BUILD_PATH);
#endif
  for (const std::string& path : candidates) {
    if (IsRegularFile(path)) return path;
  }
  return "";
}

std::string FindLoader(pid_t server_pid, uid_t owner) {
  if (server_pid > 0) {
    std::string dir =
        DirectoryOf(ReadLink("/proc/" + std::to_string(server_pid) + "/exe"));
    if (!dir.empty()) {
      for (const char* name : {"wine64", "wine"}) {
        std::string path = dir + "/" + name;
        if (IsTrustedLoader(path, owner)) return path;
      }
    }
  }
  const char* path_list = getenv("PATH");
  std::string paths = path_list != nullptr ? path_list : "";
  size_t start = 0;
  while (start <= paths.size()) {
    size_t end = paths.find(':', start);
    if (end == std::string::npos) end = paths.size();
    std::string dir = paths.substr(start, end - start);
    if (!dir.empty() && dir[0] == '/' &&
        IsTrustedLoader(dir + "/wine", owner)) {
      return dir + "/wine";
    }
    start = end + 1;
  }
  return "";
}

bool PlanHelperLaunch(const std::string& prefix_dir, pid_t server_pid,
                      uid_t owner, const std::string& server_tmpdir,
                      HelperLaunch* launch) {
  launch->loader = FindLoader(server_pid, owner);
  launch->helper = FindHelperProgram();
  if (launch->loader.empty() || launch->helper.empty()) return false;
  launch->prefix = prefix_dir;
  launch->tmpdir = server_tmpdir;
  return true;
}

std::unique_ptr<HelperChannel> StartHelper(const HelperLaunch& launch,
                                           const HelperTimeouts& timeouts) {
  int to_child[2], from_child[2];
  if (pipe2(to_child, O_CLOEXEC) != 0) return nullptr;
  if (pipe2(from_child, O_CLOEXEC) != 0) {
    close(to_child[0]);
    close(to_child[1]);
    return nullptr;
  }
  // Everything the child needs, made before fork.
  std::vector<std::string> args = {launch.loader, launch.helper};
  std::vector<std::string> env = ChildEnvironment(launch);
  std::vector<char*> argv = Pointers(args);
  std::vector<char*> envp = Pointers(env);
  const pid_t parent = getpid();
  struct rlimit files;
  const int open_max =
      getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 65536
          ? static_cast<int>(files.rlim_cur)
          : 65536;

  pid_t pid = fork();
  if (pid == 0) {
    RunChild(to_child[0], from_child[1], parent, open_max,
             launch.sandbox.get(), argv.data(), envp.data());
  }
  close(to_child[0]);
  close(from_child[1]);
  if (pid < 0) {
    close(to_child[1]);
    close(from_child[0]);
    return nullptr;
  }
  return std::unique_ptr<HelperChannel>(
      new HelperProcessChannel(pid, to_child[1], from_child[0], timeouts,
                               launch.sandbox));
}

}  // namespace bridge
}  // namespace regservice
