#include "app/supervisor.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "regservice/prefix/env.h"
#include "regservice/prefix/proc_view.h"

namespace app {

namespace {

using regservice::prefix::NowMs;
using regservice::prefix::PosixEnv;
using regservice::prefix::ProcStat;
using regservice::prefix::ReadChildren;
using regservice::prefix::ReadProcStat;

// How long the end of a run keeps stopping and killing what is left below
// it: a few seconds beyond the run's limit, whatever the tree does.
const int kEndTreeMs = 5000;
// How long one round waits for the processes it stopped to be stopped.
const int kStopWaitMs = 200;
// The most read from the worker's output, or written to ours, at a time: a
// write of no more than this to a pipe that polls writable does not block.
const size_t kRelayChunk = 4096;

void PauseMs(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000 * 1000};
  nanosleep(&pause, nullptr);
}

std::string ReadSmallFile(const std::string& path) {
  std::string text;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return text;
}

// The state letter and parent of process `pid` from its /proc stat; false
// when it is gone.
bool ReadStateAndParent(pid_t pid, char* state, pid_t* parent) {
  ProcStat stat;
  if (!ReadProcStat(PosixEnv(), "/proc/" + std::to_string(pid), &stat) ||
      stat.fields < 2) {
    return false;
  }
  *state = stat.state;
  *parent = static_cast<pid_t>(stat.parent);
  return true;
}

std::vector<std::string> Entries(const std::string& path) {
  std::vector<std::string> names;
  PosixEnv()->ListDirectory(path, &names);
  return names;
}

// Every process below this one now, parents before their children.
// Through each thread's list of children where the kernel keeps one, else
// from every process's parent.
std::vector<pid_t> Descendants() {
  std::vector<pid_t> found;
  const pid_t self = getpid();
  const std::string own_children = "/proc/" + std::to_string(self) +
                                   "/task/" + std::to_string(self) +
                                   "/children";
  if (access(own_children.c_str(), R_OK) == 0) {
    std::vector<pid_t> queue = {self};
    for (size_t next = 0; next < queue.size(); ++next) {
      const std::string process = "/proc/" + std::to_string(queue[next]);
      for (const std::string& task : Entries(process + "/task")) {
        std::vector<std::string> children;
        ReadChildren(PosixEnv(), process + "/task/" + task + "/children",
                     SIZE_MAX, &children);
        for (const std::string& child : children) {
          const pid_t pid =
              static_cast<pid_t>(strtol(child.c_str(), nullptr, 10));
          queue.push_back(pid);
          found.push_back(pid);
        }
      }
    }
    return found;
  }
  std::multimap<pid_t, pid_t> children_of;
  for (const std::string& name : Entries("/proc")) {
    char* end = nullptr;
    const long pid = strtol(name.c_str(), &end, 10);
    char state;
    pid_t parent;
    if (pid > 0 && *end == '\0' &&
        ReadStateAndParent(static_cast<pid_t>(pid), &state, &parent)) {
      children_of.insert({parent, static_cast<pid_t>(pid)});
    }
  }
  std::vector<pid_t> queue = {self};
  for (size_t next = 0; next < queue.size(); ++next) {
    auto range = children_of.equal_range(queue[next]);
    for (auto it = range.first; it != range.second; ++it) {
      queue.push_back(it->second);
      found.push_back(it->second);
    }
  }
  return found;
}

// Reaps every child that has ended; true when `worker` was among them,
// with its status in *status.
bool ReapEnded(pid_t worker, int* status) {
  bool worker_ended = false;
  int ended_status;
  pid_t done;
  while ((done = waitpid(-1, &ended_status, WNOHANG)) > 0) {
    if (done == worker) {
      worker_ended = true;
      *status = ended_status;
    }
  }
  return worker_ended;
}

// The processes below this one, each held by a process descriptor where
// the kernel has them, so that a signal never reaches a process that got
// the id of one since.
class ProcessTree {
 public:
  ~ProcessTree() {
    for (auto& entry : held_) {
      if (entry.second.fd >= 0) close(entry.second.fd);
    }
  }

  // Stops every process below this one that is not held yet, after it
  // may fork no more, and holds it. The number of those found.
  size_t StopNew() {
    size_t found = 0;
    for (pid_t pid : Descendants()) {
      if (held_.count(pid) != 0) continue;
      Held held;
      held.fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0U));
      // Still below us once held: not a process that got its id since.
      char state;
      pid_t parent;
      if (!ReadStateAndParent(pid, &state, &parent) ||
          (parent != getpid() && held_.count(parent) == 0)) {
        if (held.fd >= 0) close(held.fd);
        continue;
      }
      held_[pid] = held;
      ++found;
      // No more processes of its own (the user's count; root's are not
      // limited): what it forks before it stops cannot fork either.
      struct rlimit none = {0, 0};
      prlimit(pid, RLIMIT_NPROC, &none, nullptr);
      Signal(pid, held.fd, SIGSTOP);
    }
    return found;
  }

  // Waits, at most `limit_ms`, until every process held is stopped or has
  // ended: a fork it was making is done then, its child in its list.
  void WaitUntilStopped(int limit_ms) {
    const long long deadline = NowMs() + limit_ms;
    for (const auto& entry : held_) {
      for (;;) {
        char state;
        pid_t parent;
        if (!ReadStateAndParent(entry.first, &state, &parent) ||
            strchr("TtZX", state) != nullptr || NowMs() >= deadline) {
          break;
        }
        PauseMs(1);
      }
    }
  }

  // Kills every process held.
  void KillAll() {
    for (const auto& entry : held_) {
      Signal(entry.first, entry.second.fd, SIGKILL);
    }
  }

 private:
  struct Held {
    int fd = -1;
  };

  static void Signal(pid_t pid, int fd, int signal_number) {
    if (fd >= 0) {
      syscall(SYS_pidfd_send_signal, fd, signal_number, nullptr, 0U);
    } else {
      kill(pid, signal_number);
    }
  }

  std::map<pid_t, Held> held_;
};

// A cgroup (v2) of the run's own, where the machine lets root make one:
// whatever the worker starts stays in it, whatever it does (a process
// that joins a sandbox's namespaces and is reparented to the sandbox's
// init included), and it is ended all at once (cgroup.kill, else frozen
// and then killed). The user cannot move a process out of it: that needs
// a right on a cgroup of root's.
class RunCgroup {
 public:
  ~RunCgroup() {
    if (procs_ >= 0) close(procs_);
  }

  // Makes one below this process's own; false when none can be made.
  bool Make() {
    const std::string base = OwnCgroupDirectory();
    if (base.empty()) return false;
    const std::string path = base + "/quillfix-" + std::to_string(getpid());
    if (mkdir(path.c_str(), 0700) != 0) return false;
    procs_ = open((path + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
    if (procs_ < 0) {
      rmdir(path.c_str());
      return false;
    }
    path_ = path;
    return true;
  }

  // In the worker: moves it there (one that cannot stays where it is,
  // ended by the sweep of the supervisor's tree).
  void Join() {
    if (procs_ >= 0) (void)!write(procs_, "0", 1);
    Forget();
  }

  // In the supervisor, after the fork: the cgroup.procs it needs no more.
  void Forget() {
    if (procs_ >= 0) close(procs_);
    procs_ = -1;
  }

  // Ends every process in it, waits until none is left, at most until
  // `deadline_ms`, and removes it.
  void EndAll(long long deadline_ms) {
    if (path_.empty()) return;
    if (!WriteFile("cgroup.kill", "1")) {
      WriteFile("cgroup.freeze", "1");
      while (Events().find("frozen 1") == std::string::npos &&
             NowMs() < deadline_ms) {
        PauseMs(1);
      }
    }
    while (Events().find("populated 1") != std::string::npos &&
           NowMs() < deadline_ms) {
      // Frozen, a process cannot fork, nor end and leave its id to
      // another: each listed is the run's.
      const std::string procs = ReadSmallFile(path_ + "/cgroup.procs");
      const char* at = procs.c_str();
      for (;;) {
        char* end = nullptr;
        const long pid = strtol(at, &end, 10);
        if (end == at) break;
        kill(static_cast<pid_t>(pid), SIGKILL);
        at = end;
      }
      PauseMs(1);
    }
    rmdir(path_.c_str());
    path_.clear();
  }

 private:
  // This process's cgroup in the cgroup2 hierarchy, as a directory.
  static std::string OwnCgroupDirectory() {
    std::string own;
    const std::string groups = ReadSmallFile("/proc/self/cgroup");
    for (size_t at = 0; at < groups.size();) {
      size_t end = groups.find('\n', at);
      if (end == std::string::npos) end = groups.size();
      if (groups.compare(at, 3, "0::") == 0) {
        own = groups.substr(at + 3, end - at - 3);
      }
      at = end + 1;
    }
    if (own.empty() || own[0] != '/') return "";
    // "id parent dev root mountpoint options... - cgroup2 source ...".
    const std::string mounts = ReadSmallFile("/proc/self/mountinfo");
    for (size_t at = 0; at < mounts.size();) {
      size_t end = mounts.find('\n', at);
      if (end == std::string::npos) end = mounts.size();
      const std::string line = mounts.substr(at, end - at);
      at = end + 1;
      char root[4096], point[4096];
      const size_t dash = line.find(" - cgroup2 ");
      if (dash == std::string::npos || line.find('\\') != std::string::npos ||
          sscanf(line.c_str(), "%*s %*s %*s %4095s %4095s", root, point) != 2) {
        continue;
      }
      const std::string mount_root = root;
      if (mount_root == "/") return point + (own == "/" ? "" : own);
      if (own.compare(0, mount_root.size(), mount_root) == 0 &&
          (own.size() == mount_root.size() || own[mount_root.size()] == '/')) {
        return point + own.substr(mount_root.size());
      }
    }
    return "";
  }

  bool WriteFile(const char* name, const char* text) const {
    const int fd = open((path_ + "/" + name).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool done = write(fd, text, strlen(text)) ==
                      static_cast<ssize_t>(strlen(text));
    close(fd);
    return done;
  }

  std::string Events() const {
    return ReadSmallFile(path_ + "/cgroup.events");
  }

  std::string path_;
  int procs_ = -1;
};

[[noreturn]] void EndBySignal(int signal_number) {
  // No core file of root's for a signal that was the worker's.
  struct rlimit none = {0, 0};
  setrlimit(RLIMIT_CORE, &none);
  signal(signal_number, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal_number);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(signal_number);
  _exit(128 + signal_number);
}

// Ends as the worker ended, unless output it wrote was lost and `limits`
// make that its caller's failure.
[[noreturn]] void EndAs(int status, const SupervisorLimits& limits,
                        int lost_errno) {
  fflush(nullptr);
  if (WIFSIGNALED(status)) EndBySignal(WTERMSIG(status));
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
  if (lost_errno != 0 && code < limits.lost_output_status) {
    fprintf(stderr, "%s: write error: %s\n", limits.lost_output_name.c_str(),
            strerror(lost_errno));
    fflush(nullptr);
    _exit(limits.lost_output_status);
  }
  _exit(code);
}

// Whether descriptors `a` and `b` are one open file: their writes keep
// their order only when they go through one pipe.
bool SameOpenFile(int a, int b) {
  const long same =
      syscall(SYS_kcmp, getpid(), getpid(), 7 /* KCMP_FILE */, a, b);
  if (same >= 0) return same == 0;
  // Without kcmp: one file without a position of its own.
  struct stat sa, sb;
  return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino &&
         (S_ISCHR(sa.st_mode) || S_ISFIFO(sa.st_mode) || S_ISSOCK(sa.st_mode));
}

// A pipe whose ends are above 2, close-on-exec: standard descriptors that
// were closed are not taken by it.
bool RelayPipe(int ends[2]) {
  int made[2];
  if (pipe2(made, O_CLOEXEC) != 0) return false;
  for (int i = 0; i < 2; ++i) {
    ends[i] = made[i] > 2 ? made[i] : fcntl(made[i], F_DUPFD_CLOEXEC, 3);
    if (made[i] <= 2) close(made[i]);
  }
  if (ends[0] >= 0 && ends[1] >= 0) return true;
  for (int i = 0; i < 2; ++i) {
    if (ends[i] >= 0) close(ends[i]);
  }
  return false;
}

// The worker's standard output and error, read here and written to ours.
class OutputRelay {
 public:
  // `from[i]` is read into our descriptor `to[i]`; -1 for none.
  OutputRelay(int from_out, int from_err) {
    streams_[0] = {from_out, 1};
    streams_[1] = {from_err, 2};
  }

  // Why some of the worker's output could not be written; 0 when all was.
  int LostErrno() const {
    return streams_[0].lost_errno != 0 ? streams_[0].lost_errno
                                       : streams_[1].lost_errno;
  }

  ~OutputRelay() {
    for (Stream& s : streams_) {
      if (s.from >= 0) close(s.from);
    }
  }

  // The pollfds of the streams still open, after `first`.
  void AddPollFds(std::vector<struct pollfd>* fds) const {
    for (const Stream& s : streams_) {
      fds->push_back({s.from, POLLIN, 0});
    }
  }

  // Relays what `fds` (from AddPollFds, at `first`) say is ready; writes
  // wait at most until `deadline_ms`.
  void Relay(const std::vector<struct pollfd>& fds, size_t first,
             long long deadline_ms) {
    for (size_t i = 0; i < 2; ++i) {
      if (streams_[i].from >= 0 && fds[first + i].revents != 0) {
        RelayOnce(&streams_[i], deadline_ms);
      }
    }
  }

  // Relays what is left without waiting for more: the writers have ended,
  // or are held elsewhere and not waited for.
  void Drain(long long deadline_ms) {
    for (Stream& s : streams_) {
      if (s.from < 0) continue;
      fcntl(s.from, F_SETFL, fcntl(s.from, F_GETFL) | O_NONBLOCK);
      while (s.from >= 0 && RelayOnce(&s, deadline_ms)) {
      }
    }
  }

 private:
  struct Stream {
    int from;
    int to;
    int lost_errno = 0;  // why output of it was lost; 0 while none was
  };

  static void Close(Stream* s) {
    close(s->from);
    s->from = -1;
  }

  // One read and its writes; false when nothing more is to be had now.
  static bool RelayOnce(Stream* s, long long deadline_ms) {
    char buffer[kRelayChunk];
    const ssize_t n = read(s->from, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) return true;
    if (n < 0 && errno == EAGAIN) return false;
    if (n <= 0) {
      Close(s);
      return false;
    }
    if (!WriteAll(s->to, buffer, static_cast<size_t>(n), deadline_ms)) {
      // Our output is closed, or blocked for the rest of the run: the
      // worker's next write fails, as it would have on ours.
      s->lost_errno = errno != 0 ? errno : ETIMEDOUT;
      Close(s);
      return false;
    }
    return true;
  }

  static bool WriteAll(int fd, const char* data, size_t size,
                       long long deadline_ms) {
    while (size > 0) {
      struct pollfd ready = {fd, POLLOUT, 0};
      const long long left = deadline_ms - NowMs();
      if (left <= 0) {
        errno = ETIMEDOUT;
        return false;
      }
      const int got = poll(&ready, 1, static_cast<int>(left));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        errno = got == 0 ? ETIMEDOUT : errno;
        return false;
      }
      errno = 0;
      const ssize_t n = write(fd, data, size);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) return false;
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }

  Stream streams_[2];
};

// Ends what is below, then relays what the worker left in its pipes.
void EndEverything(RunCgroup* cgroup, OutputRelay* relay) {
  const long long start = NowMs();
  cgroup->EndAll(start + kEndTreeMs);
  EndProcessTree(static_cast<int>(std::max(0LL, start + kEndTreeMs - NowMs())));
  relay->Drain(NowMs() + kEndTreeMs);
}

[[noreturn]] void Supervise(pid_t worker, const SupervisorLimits& limits,
                            int signals, RunCgroup* cgroup,
                            OutputRelay* relay) {
  // Our own output closed by its reader is the relay's to see.
  signal(SIGPIPE, SIG_IGN);
  const long long deadline = NowMs() + limits.run_ms;
  for (;;) {
    int status = 0;
    if (ReapEnded(worker, &status)) {
      EndEverything(cgroup, relay);
      EndAs(status, limits, relay->LostErrno());
    }
    const long long left = deadline - NowMs();
    if (left <= 0) {
      EndEverything(cgroup, relay);
      if (!limits.stopped_message.empty()) {
        fprintf(stderr, "%s\n", limits.stopped_message.c_str());
      }
      fflush(nullptr);
      _exit(limits.stopped_status);
    }
    // Wakes for output, a child's end, a signal to stop, or the limit.
    std::vector<struct pollfd> fds = {{signals, POLLIN, 0}};
    relay->AddPollFds(&fds);
    const int got = poll(fds.data(), fds.size(), static_cast<int>(left));
    if (got <= 0) continue;
    relay->Relay(fds, 1, deadline);
    if (fds[0].revents == 0) continue;
    struct signalfd_siginfo info;
    if (read(signals, &info, sizeof info) != sizeof info) continue;
    const int signal_number = static_cast<int>(info.ssi_signo);
    if (signal_number == SIGTERM || signal_number == SIGINT ||
        signal_number == SIGHUP) {
      EndEverything(cgroup, relay);
      EndBySignal(signal_number);
    }
  }
}

// The worker's side of the fork: its own session, /dev/null as input,
// the pipes as output. Ends the worker (status 127) when one fails.
// Output to a terminal stays line by line, as it was on ours.
void SetUpWorker(int out, int err, bool line_buffered) {
  const int null_fd = open("/dev/null", O_RDONLY);
  if (setsid() < 0 || null_fd < 0 || dup2(null_fd, 0) != 0 ||
      dup2(out, 1) != 1 || dup2(err, 2) != 2) {
    _exit(127);
  }
  // Each of these is above 2 unless a standard descriptor was closed,
  // and then it has just been replaced.
  if (null_fd > 2) close(null_fd);
  close(out);
  if (err != out) close(err);
  if (line_buffered) setvbuf(stdout, nullptr, _IOLBF, 0);
}

}  // namespace

bool EndProcessTree(int limit_ms) {
  const long long deadline = NowMs() + limit_ms;
  ProcessTree tree;
  int ignored;
  for (;;) {
    // Stopped, round after round, until a round finds none new: then none
    // is left that could fork.
    while (tree.StopNew() > 0 && NowMs() < deadline) {
      tree.WaitUntilStopped(kStopWaitMs);
    }
    tree.KillAll();
    ReapEnded(0, &ignored);
    // Those killed end, and their children come here: reaped, until none
    // is left, or one appears that was missed (forked as it stopped).
    while (!Descendants().empty() && NowMs() < deadline) {
      PauseMs(1);
      ReapEnded(0, &ignored);
      if (tree.StopNew() > 0) break;
    }
    ReapEnded(0, &ignored);
    if (Descendants().empty()) return true;
    if (NowMs() >= deadline) {
      tree.KillAll();
      return false;
    }
  }
}

pid_t SuperviseRestOfRun(const SupervisorLimits& limits) {
  sigset_t watched, previous;
  sigemptyset(&watched);
  for (int signal_number : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) {
    sigaddset(&watched, signal_number);
  }
  int out[2] = {-1, -1}, err[2] = {-1, -1};
  const bool one_pipe = SameOpenFile(1, 2);
  const bool to_terminal = isatty(1) == 1;
  if (!RelayPipe(out)) return -1;
  if (one_pipe) {
    err[0] = -1;
    err[1] = out[1];
  } else if (!RelayPipe(err)) {
    close(out[0]);
    close(out[1]);
    return -1;
  }
  auto close_pipes = [&out, &err] {
    for (int fd : {out[0], out[1], err[0]}) {
      if (fd >= 0) close(fd);
    }
    if (err[1] != out[1]) close(err[1]);
  };
  // Blocked before the fork, so that none is lost before the wait.
  if (sigprocmask(SIG_BLOCK, &watched, &previous) != 0) {
    close_pipes();
    return -1;
  }
  const int signals = signalfd(-1, &watched, SFD_CLOEXEC);
  if (signals < 0 || prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    if (signals >= 0) close(signals);
    close_pipes();
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return -1;
  }
  // Its children's ends must be its to see, whatever it inherited.
  signal(SIGCHLD, SIG_DFL);
  RunCgroup cgroup;
  cgroup.Make();
  const pid_t supervisor = getpid();
  fflush(nullptr);
  const pid_t worker = fork();
  if (worker == 0) {
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    cgroup.Join();
    close(signals);
    close(out[0]);
    if (err[0] >= 0) close(err[0]);
    SetUpWorker(out[1], err[1], to_terminal);
    return supervisor;
  }
  cgroup.Forget();
  if (worker < 0) {
    cgroup.EndAll(NowMs());
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    close(signals);
    close_pipes();
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return -1;
  }
  close(out[1]);
  if (err[1] != out[1]) close(err[1]);
  OutputRelay relay(out[0], err[0]);
  Supervise(worker, limits, signals, &cgroup, &relay);
}

void CloseDescriptorsBut(const std::vector<int>& kept) {
  std::vector<int> sorted = kept;
  sorted.push_back(2);
  std::sort(sorted.begin(), sorted.end());
  struct rlimit files;
  const unsigned open_max =
      getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 65536
          ? static_cast<unsigned>(files.rlim_cur)
          : 65536;
  for (size_t i = 0; i < sorted.size(); ++i) {
    if (sorted[i] < 2) continue;
    const unsigned from = static_cast<unsigned>(sorted[i]) + 1;
    const unsigned to =
        i + 1 < sorted.size() ? static_cast<unsigned>(sorted[i + 1]) - 1 : ~0U;
    if (from > to) continue;
    if (syscall(SYS_close_range, from, to, 0U) == 0) continue;
    for (unsigned fd = from; fd <= to && fd < open_max; ++fd) {
      close(static_cast<int>(fd));
    }
  }
}

bool DieWithSupervisor(pid_t supervisor) {
  return prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && getppid() == supervisor;
}

}  // namespace app
