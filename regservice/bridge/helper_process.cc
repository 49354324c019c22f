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
#include "regservice/prefix/env.h"
#include "regservice/prefix/ownership.h"
#include "regservice/prefix/running_server.h"

extern char** environ;

namespace regservice {
namespace bridge {

using prefix::NowMs;

const char kHelperName[] = "quillfix-reghelper.exe";

namespace {

// How long the end of a run waits for the helper to exit by itself.
const int kExitWaitMs = 5000;
// The PATH of a helper started for another user than the caller.
const char kCleanPath[] = "/usr/local/bin:/usr/bin:/bin";

// Where a /proc link points; "" when it cannot be read.
std::string ProcLink(const std::string& path) {
  std::string target;
  if (!prefix::PosixEnv()->ReadLink(path, &target).ok()) return "";
  // An executable replaced while running (an upgrade) keeps its old path.
  return prefix::WithoutDeletedMark(target);
}

// A file that may be used on `owner`'s behalf (ownership.h); *resolved is
// the path to use it by, which no one else can change.
bool TrustedFile(const std::string& path, uid_t owner, prefix::FileUse use,
                 std::string* resolved) {
  return prefix::FindTrustedFile(prefix::PosixEnv(), path, owner, use,
                                 resolved, nullptr);
}

// While a helper runs, SIGTERM, SIGINT and SIGHUP end its whole process
// group before they end this process, as they would have: a signal that
// stops the run stops what it started. One helper at a time.
class HelperGroupGuard {
 public:
  static void Watch(pid_t group) {
    group_ = group;
    for (size_t i = 0; i < kCount; ++i) {
      struct sigaction old_action;
      if (sigaction(kSignals[i], nullptr, &old_action) != 0) continue;
      // One ignored (nohup) stays ignored.
      if (old_action.sa_handler == SIG_IGN) continue;
      struct sigaction action = {};
      action.sa_handler = &HelperGroupGuard::OnSignal;
      sigemptyset(&action.sa_mask);
      installed_[i] = sigaction(kSignals[i], &action, &old_[i]) == 0;
    }
  }

  static void Forget(pid_t group) {
    if (group_ != group) return;
    for (size_t i = 0; i < kCount; ++i) {
      if (installed_[i]) sigaction(kSignals[i], &old_[i], nullptr);
      installed_[i] = false;
    }
    group_ = 0;
  }

 private:
  static constexpr size_t kCount = 3;
  static constexpr int kSignals[kCount] = {SIGTERM, SIGINT, SIGHUP};

  static void OnSignal(int signal_number) {
    if (group_ > 0) kill(-group_, SIGKILL);
    signal(signal_number, SIG_DFL);
    raise(signal_number);
  }

  static volatile sig_atomic_t group_;
  static bool installed_[kCount];
  static struct sigaction old_[kCount];
};

constexpr int HelperGroupGuard::kSignals[];
volatile sig_atomic_t HelperGroupGuard::group_ = 0;
bool HelperGroupGuard::installed_[HelperGroupGuard::kCount] = {};
struct sigaction HelperGroupGuard::old_[HelperGroupGuard::kCount];

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
    // Whatever it started in its session goes with it (in a sandbox, the
    // helper is the child's child). Its process id is not reaped yet, so
    // the group's id cannot have been taken again.
    kill(-pid_, SIGKILL);
    if (!reaped_) waitpid(pid_, nullptr, 0);
    HelperGroupGuard::Forget(pid_);
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
    // Wine has loaded the helper: its copy can go.
    if (hello && sandbox_ != nullptr) sandbox_->RemoveHelperCopy();
    return true;
  }

 private:
  // Looks without reaping: the process id stays the helper's, and so the
  // id of its group, until the end.
  bool StillRunning() {
    if (reaped_) return false;
    siginfo_t info;
    info.si_pid = 0;
    if (waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
      return info.si_pid == 0;
    }
    if (errno == ECHILD) {
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
      keep = name != "WINEPREFIX" && name != "WINEDEBUG";
    }
    // The connection is ours to name, and only when there is one.
    if (name == "WINESERVERSOCKET") keep = false;
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
  return env;
}

// WINESERVERSOCKET for a child given a connection, in place of any other.
std::vector<std::string> WithServerSocket(std::vector<std::string> env,
                                          const HelperLaunch& launch) {
  if (launch.server_socket == nullptr) return env;
  for (auto it = env.begin(); it != env.end();) {
    it = it->compare(0, 17, "WINESERVERSOCKET=") == 0 ? env.erase(it) : it + 1;
  }
  env.push_back("WINESERVERSOCKET=" + std::to_string(kHelperServerFd));
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(&s[0]);
  pointers.push_back(nullptr);
  return pointers;
}

// Closes every descriptor from `from` up; `open_max` bounds the loop where
// the kernel has no close_range.
void CloseDescriptorsFrom(int from, int open_max) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, static_cast<unsigned>(from), ~0U, 0U) == 0) {
    return;
  }
#endif
  for (int fd = from; fd < open_max; ++fd) close(fd);
}

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void RunChild(int stdin_fd, int stdout_fd, int server_fd,
                           pid_t parent, int open_max,
                           const SandboxEntry* sandbox, char* const argv[],
                           char* const envp[]) {
  // Copies above 2 first, so that neither end is overwritten by the other
  // when one of them already is 0 or 1.
  stdin_fd = fcntl(stdin_fd, F_DUPFD, 3);
  stdout_fd = fcntl(stdout_fd, F_DUPFD, 3);
  if (server_fd >= 0) server_fd = fcntl(server_fd, F_DUPFD, 3);
  int null_fd = open("/dev/null", O_WRONLY);
  if (stdin_fd < 0 || stdout_fd < 0 || null_fd < 0 || dup2(stdin_fd, 0) < 0 ||
      dup2(stdout_fd, 1) < 0 || dup2(null_fd, 2) < 0) {
    _exit(127);
  }
  // A session of its own: no controlling terminal to push input into.
  if (setsid() < 0) _exit(127);
  // Ends with the run, even one killed; a parent gone before the request
  // took effect is seen as a new parent.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
    _exit(127);
  }
  if (sandbox != nullptr) sandbox->JoinInChild(parent);
  // The server's connection at the descriptor Wine is told of, inherited
  // (a copy made by dup2 is not close-on-exec); nothing else of ours.
  int keep_from = 3;
  if (server_fd >= 0) {
    if (server_fd != kHelperServerFd &&
        dup2(server_fd, kHelperServerFd) != kHelperServerFd) {
      _exit(127);
    }
    keep_from = kHelperServerFd + 1;
  }
  CloseDescriptorsFrom(keep_from, open_max);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  // A directory every user can enter; Wine maps it to a drive.
  if (chdir("/") != 0) _exit(127);
  execve(argv[0], argv, envp);
  _exit(127);
}

}  // namespace

std::string FindHelperProgram(uid_t owner) {
  const std::string exe = ProcLink("/proc/self/exe");
  if (exe.empty() || exe[0] != '/') return "";
  const std::string exe_dir = prefix::DirectoryOf(exe);
  for (const std::string& path :
       {exe_dir + "/../libexec/quillfix/" + kHelperName,
        exe_dir + "/" + kHelperName}) {
    prefix::FileInfo info;
    if (!prefix::PosixEnv()->GetFileInfo(path, &info).ok()) continue;
    std::string resolved;
    // The first one there is the one meant; one that others could have
    // changed is not replaced by the next.
    return TrustedFile(path, owner, prefix::FileUse::kRead, &resolved)
               ? resolved
               : "";
  }
  return "";
}

std::string FindLoader(pid_t server_pid, uid_t owner) {
  std::string resolved;
  if (server_pid > 0) {
    std::string dir = prefix::DirectoryOf(
        ProcLink("/proc/" + std::to_string(server_pid) + "/exe"));
    if (!dir.empty() && dir[0] == '/') {
      for (const char* name : {"wine64", "wine"}) {
        if (TrustedFile(dir + "/" + name, owner, prefix::FileUse::kExecute,
                        &resolved)) {
          return resolved;
        }
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
        TrustedFile(dir + "/wine", owner, prefix::FileUse::kExecute,
                    &resolved)) {
      return resolved;
    }
    start = end + 1;
  }
  return "";
}

bool PlanHelperLaunch(const std::string& prefix_dir, pid_t server_pid,
                      uid_t owner, HelperLaunch* launch) {
  launch->loader = FindLoader(server_pid, owner);
  launch->helper = FindHelperProgram(owner);
  if (launch->loader.empty() || launch->helper.empty()) return false;
  launch->prefix = prefix_dir;
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
  std::vector<std::string> env =
      WithServerSocket(ChildEnvironment(launch), launch);
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
    RunChild(to_child[0], from_child[1],
             launch.server_socket != nullptr ? launch.server_socket->fd() : -1,
             parent, open_max, launch.sandbox.get(), argv.data(),
             envp.data());
  }
  close(to_child[0]);
  close(from_child[1]);
  if (pid < 0) {
    close(to_child[1]);
    close(from_child[0]);
    return nullptr;
  }
  HelperGroupGuard::Watch(pid);
  return std::unique_ptr<HelperChannel>(
      new HelperProcessChannel(pid, to_child[1], from_child[0], timeouts,
                               launch.sandbox));
}

}  // namespace bridge
}  // namespace regservice
