#include "regservice/bridge/helper_process.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace regservice {
namespace bridge {

const char kHelperName[] = "quillfix-reghelper.exe";

namespace {

// How long the end of a run waits for the helper to exit by itself.
const int kExitWaitMs = 5000;

std::string ReadLink(const std::string& path) {
  char target[PATH_MAX];
  ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
  if (n <= 0) return "";
  std::string text(target, static_cast<size_t>(n));
  // An executable replaced while running (an upgrade) keeps its old path.
  const std::string deleted = " (deleted)";
  if (text.size() > deleted.size() &&
      text.compare(text.size() - deleted.size(), deleted.size(), deleted) ==
          0) {
    text.erase(text.size() - deleted.size());
  }
  return text;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsExecutable(const std::string& path) {
  return IsRegularFile(path) && access(path.c_str(), X_OK) == 0;
}

std::string ReadSmallFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return "";
  char buffer[256];
  ssize_t n = read(fd, buffer, sizeof buffer);
  close(fd);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
}

// The TMPDIR under which the server made its directory, when it uses the
// <TMPDIR>/<name>/server-<dev>-<ino> layout: a client looks for the server
// there, so the helper needs the same one.
std::string ServerTmpdir(const std::string& prefix_dir, pid_t server_pid) {
  if (server_pid <= 0) return "";
  std::string server_dir =
      ReadLink("/proc/" + std::to_string(server_pid) + "/cwd");
  std::string name_dir = DirectoryOf(server_dir);
  std::string name = ReadSmallFile(prefix_dir + "/wineserver");
  while (!name.empty() && (name.back() == '\n' || name.back() == '\0')) {
    name.pop_back();
  }
  if (name.empty() || BaseName(server_dir).compare(0, 7, "server-") != 0 ||
      BaseName(name_dir) != name) {
    return "";
  }
  return DirectoryOf(name_dir);
}

long long NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The channel to a started helper; owns the process.
class HelperProcessChannel : public HelperChannel {
 public:
  HelperProcessChannel(pid_t pid, int to_helper, int from_helper,
                       const HelperTimeouts& timeouts)
      : pid_(pid),
        timeouts_(timeouts),
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
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  bool Send(const std::string& body) override { return fds_.Send(body); }

  bool Receive(std::string* body) override {
    bool ok = fds_.Receive(body);
    // Only the first message waits for Wine to start.
    fds_.set_timeout_ms(timeouts_.call_ms);
    return ok;
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
  HelperTimeouts timeouts_;
  bool reaped_ = false;
  FdChannel fds_;
};

// The child's environment: ours with the prefix's variables set.
std::vector<std::string> ChildEnvironment(const HelperLaunch& launch) {
  std::vector<std::string> replaced = {"WINEPREFIX", "WINEDEBUG"};
  if (!launch.tmpdir.empty()) replaced.push_back("TMPDIR");
  if (launch.switch_user) {
    replaced.push_back("HOME");
    if (!launch.user_name.empty()) {
      replaced.insert(replaced.end(), {"USER", "LOGNAME"});
    }
  }
  std::vector<std::string> env;
  for (char** entry = environ; entry != nullptr && *entry != nullptr;
       ++entry) {
    std::string text = *entry;
    std::string name = text.substr(0, text.find('='));
    bool drop = false;
    for (const std::string& r : replaced) drop = drop || name == r;
    if (!drop) env.push_back(text);
  }
  env.push_back("WINEPREFIX=" + launch.prefix);
  env.push_back("WINEDEBUG=-all");
  if (!launch.tmpdir.empty()) env.push_back("TMPDIR=" + launch.tmpdir);
  if (launch.switch_user) {
    env.push_back("HOME=" + launch.home);
    if (!launch.user_name.empty()) {
      env.push_back("USER=" + launch.user_name);
      env.push_back("LOGNAME=" + launch.user_name);
    }
  }
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(&s[0]);
  pointers.push_back(nullptr);
  return pointers;
}

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void RunChild(const HelperLaunch& launch, int stdin_fd,
                           int stdout_fd, char* const argv[],
                           char* const envp[]) {
  // Copies above 2 first, so that neither end is overwritten by the other
  // when one of them already is 0 or 1.
  stdin_fd = fcntl(stdin_fd, F_DUPFD, 3);
  stdout_fd = fcntl(stdout_fd, F_DUPFD, 3);
  int null_fd = open("/dev/null", O_WRONLY);
  if (stdin_fd < 0 || stdout_fd < 0 || null_fd < 0 || dup2(stdin_fd, 0) < 0 ||
      dup2(stdout_fd, 1) < 0 || dup2(null_fd, 2) < 0) {
    _exit(127);
  }
  close(stdin_fd);
  close(stdout_fd);
  if (null_fd > 2) close(null_fd);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  if (launch.switch_user) {
    // Wine runs only as the owner of the prefix.
    gid_t group = launch.gid;
    if (setgroups(1, &group) != 0 || setgid(launch.gid) != 0 ||
        setuid(launch.uid) != 0) {
      _exit(126);
    }
  }
  // A directory every user can enter; Wine maps it to a drive.
  if (chdir("/") != 0) _exit(127);
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

std::string FindLoader(pid_t server_pid) {
  if (server_pid > 0) {
    std::string dir =
        DirectoryOf(ReadLink("/proc/" + std::to_string(server_pid) + "/exe"));
    if (!dir.empty()) {
      for (const char* name : {"wine64", "wine"}) {
        std::string path = dir + "/" + name;
        if (IsExecutable(path)) return path;
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
    if (!dir.empty() && dir[0] == '/' && IsExecutable(dir + "/wine")) {
      return dir + "/wine";
    }
    start = end + 1;
  }
  return "";
}

bool PlanHelperLaunch(const std::string& prefix_dir, pid_t server_pid,
                      HelperLaunch* launch) {
  launch->loader = FindLoader(server_pid);
  launch->helper = FindHelperProgram();
  if (launch->loader.empty() || launch->helper.empty()) return false;
  launch->prefix = prefix_dir;
  launch->tmpdir = ServerTmpdir(prefix_dir, server_pid);
  struct stat owner;
  if (geteuid() == 0 && stat(prefix_dir.c_str(), &owner) == 0 &&
      owner.st_uid != 0) {
    launch->switch_user = true;
    launch->uid = owner.st_uid;
    launch->gid = owner.st_gid;
    // Wine needs a HOME (without one it asks the user database, and
    // crashes for a user missing there): the owner's, else the directory
    // the prefix is in, which is the home of ~/.wine.
    launch->home = DirectoryOf(prefix_dir);
    if (struct passwd* user = getpwuid(owner.st_uid)) {
      launch->home = user->pw_dir;
      launch->user_name = user->pw_name;
    }
  }
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

  pid_t pid = fork();
  if (pid == 0) {
    RunChild(launch, to_child[0], from_child[1], argv.data(), envp.data());
  }
  close(to_child[0]);
  close(from_child[1]);
  if (pid < 0) {
    close(to_child[1]);
    close(from_child[0]);
    return nullptr;
  }
  return std::unique_ptr<HelperChannel>(
      new HelperProcessChannel(pid, to_child[1], from_child[0], timeouts));
}

}  // namespace bridge
}  // namespace regservice
