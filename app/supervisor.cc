#include "app/supervisor.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace app {

namespace {

// How long the end of a run keeps killing what is left below it: each
// round kills the children it has now, whose own children then come to it.
const int kKillRoundsMs = 5000;
const int kKillPauseMs = 10;

long long NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void PauseMs(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000 * 1000};
  nanosleep(&pause, nullptr);
}

// The processes whose parent this process is now: orphans of the run's
// come here, this process being a child subreaper.
std::vector<pid_t> OwnChildren() {
  std::vector<pid_t> children;
  const std::string self = std::to_string(getpid());
  FILE* file =
      fopen(("/proc/" + self + "/task/" + self + "/children").c_str(), "re");
  if (file != nullptr) {
    long pid;
    while (fscanf(file, "%ld", &pid) == 1) children.push_back(pid);
    fclose(file);
    return children;
  }
  // Without that file: every process whose parent is this one.
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return children;
  while (struct dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const long pid = strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    FILE* stat = fopen(("/proc/" + std::string(entry->d_name) + "/stat").c_str(),
                       "re");
    if (stat == nullptr) continue;
    char line[1024];
    const size_t n = fread(line, 1, sizeof line - 1, stat);
    fclose(stat);
    line[n] = '\0';
    // "pid (name) state ppid ...": the name may hold anything.
    const char* after_name = strrchr(line, ')');
    long parent = 0;
    if (after_name != nullptr && sscanf(after_name + 1, " %*c %ld", &parent) == 1 &&
        parent == getpid()) {
      children.push_back(pid);
    }
  }
  closedir(proc);
  return children;
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

// Kills the worker, if it still runs, and everything left below this
// process, round after round, until nothing is left or the time is up.
void KillEverything(pid_t worker, bool worker_ended) {
  if (!worker_ended) kill(worker, SIGKILL);
  const long long deadline = NowMs() + kKillRoundsMs;
  int ignored;
  for (;;) {
    ReapEnded(worker, &ignored);
    const std::vector<pid_t> children = OwnChildren();
    if (children.empty() || NowMs() >= deadline) return;
    for (pid_t child : children) {
      // A child that leads a group of its own (a helper's session) takes
      // its group with it; its process id is not reaped yet, so the
      // group's id is still its.
      if (getpgid(child) == child) kill(-child, SIGKILL);
      kill(child, SIGKILL);
    }
    PauseMs(kKillPauseMs);
  }
}

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

[[noreturn]] void EndAs(int status) {
  fflush(nullptr);
  if (WIFSIGNALED(status)) EndBySignal(WTERMSIG(status));
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

[[noreturn]] void Supervise(pid_t worker, const SupervisorLimits& limits,
                            const sigset_t& watched) {
  const long long deadline = NowMs() + limits.run_ms;
  for (;;) {
    int status = 0;
    if (ReapEnded(worker, &status)) {
      KillEverything(worker, true);
      EndAs(status);
    }
    const long long left = deadline - NowMs();
    if (left <= 0) {
      KillEverything(worker, false);
      if (!limits.stopped_message.empty()) {
        fprintf(stderr, "%s\n", limits.stopped_message.c_str());
      }
      fflush(nullptr);
      _exit(limits.stopped_status);
    }
    // Wakes for a child's end, a signal to stop, or the limit.
    struct timespec wait = {static_cast<time_t>(left / 1000),
                            static_cast<long>(left % 1000) * 1000 * 1000};
    const int got = sigtimedwait(&watched, nullptr, &wait);
    if (got == SIGTERM || got == SIGINT || got == SIGHUP) {
      KillEverything(worker, ReapEnded(worker, &status));
      EndBySignal(got);
    }
  }
}

}  // namespace

pid_t SuperviseRestOfRun(const SupervisorLimits& limits) {
  sigset_t watched, previous;
  sigemptyset(&watched);
  for (int signal_number : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) {
    sigaddset(&watched, signal_number);
  }
  // Blocked before the fork, so that none is lost before the wait.
  if (sigprocmask(SIG_BLOCK, &watched, &previous) != 0) return -1;
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return -1;
  }
  // Its children's ends must be its to see, whatever it inherited.
  signal(SIGCHLD, SIG_DFL);
  const pid_t supervisor = getpid();
  fflush(nullptr);
  const pid_t worker = fork();
  if (worker == 0) {
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return supervisor;
  }
  if (worker < 0) {
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return -1;
  }
  Supervise(worker, limits, watched);
}

bool DieWithSupervisor(pid_t supervisor) {
  return prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && getppid() == supervisor;
}

}  // namespace app
