// The supervisor of a run, run for real: a process that supervises a worker
// (a child of its own), whose behaviour each case chooses, and whatever
// that worker starts.
#include "app/supervisor.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "regservice/prefix/env.h"

namespace app {
namespace {

void SleepMs(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000 * 1000};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

using regservice::prefix::NowMs;

// Whether process `pid` is gone (reaped: no zombie left either).
bool Gone(pid_t pid) {
  for (int i = 0; i < 200; ++i) {
    if (kill(pid, 0) != 0 && errno == ESRCH) return true;
    SleepMs(10);
  }
  return false;
}

// A descendant of the worker that ignores SIGTERM and lives in a session
// of its own, as a helper's Wine could leave behind; writes its pid to
// `pipe_out`.
void StartStubbornDescendant(int pipe_out) {
  const pid_t child = fork();
  if (child != 0) return;
  setsid();
  signal(SIGTERM, SIG_IGN);
  // And a grandchild of its own, in the same session.
  if (fork() == 0) {
    for (;;) pause();
  }
  const pid_t self = getpid();
  (void)!write(pipe_out, &self, sizeof self);
  for (;;) pause();
}

// A run: a process that becomes a supervisor of a worker doing `work`.
// Returns the run's pid; the descendant's pid comes through *descendant
// when the work starts one.
struct SupervisedRun {
  pid_t pid = -1;
  pid_t descendant = 0;
};

SupervisedRun StartRun(const SupervisorLimits& limits,
             const std::function<int(int pipe_out)>& work) {
  int fds[2];
  EXPECT_EQ(0, pipe(fds));
  SupervisedRun run;
  run.pid = fork();
  if (run.pid == 0) {
    close(fds[0]);
    const pid_t supervisor = SuperviseRestOfRun(limits);
    if (supervisor < 0) _exit(99);
    // The worker.
    const int status = work(fds[1]);
    close(fds[1]);
    _exit(status);
  }
  close(fds[1]);
  pid_t descendant = 0;
  if (read(fds[0], &descendant, sizeof descendant) ==
      static_cast<ssize_t>(sizeof descendant)) {
    run.descendant = descendant;
  }
  close(fds[0]);
  return run;
}

int WaitFor(pid_t pid) {
  int status = 0;
  EXPECT_EQ(pid, waitpid(pid, &status, 0));
  return status;
}

TEST(SupervisorTest, EndsAsItsWorkerAndLeavesNothingBehind) {
  struct Case {
    const char* name;
    std::function<int(int)> work;
    bool exited;  // else signalled
    int code;     // exit status or signal
  } cases[] = {
      {"exit status", [](int) { return 7; }, true, 7},
      {"abnormal end", [](int) -> int { abort(); }, false, SIGABRT},
      {"ends, leaving a stubborn process", [](int out) {
         StartStubbornDescendant(out);
         return 0;
       },
       true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SupervisorLimits limits;
    limits.run_ms = 20000;
    SupervisedRun run = StartRun(limits, c.work);
    const int status = WaitFor(run.pid);
    if (c.exited) {
      ASSERT_TRUE(WIFEXITED(status)) << status;
      EXPECT_EQ(c.code, WEXITSTATUS(status));
    } else {
      ASSERT_TRUE(WIFSIGNALED(status)) << status;
      EXPECT_EQ(c.code, WTERMSIG(status));
    }
    if (run.descendant > 0) {
      EXPECT_TRUE(Gone(run.descendant));
    }
  }
}

// A worker that cannot end by itself: stopped (as the user it acts as may
// stop it), or waiting for good. The limit ends it, and all it started.
TEST(SupervisorTest, LimitEndsAStoppedOrHangingWorker) {
  struct Case {
    const char* name;
    std::function<int(int)> work;
  } cases[] = {
      {"stopped", [](int out) -> int {
         StartStubbornDescendant(out);
         raise(SIGSTOP);
         return 0;
       }},
      {"hanging, ignoring SIGTERM", [](int out) -> int {
         StartStubbornDescendant(out);
         signal(SIGTERM, SIG_IGN);
         for (;;) pause();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SupervisorLimits limits;
    limits.run_ms = 300;
    limits.stopped_status = 2;
    const long long start = NowMs();
    SupervisedRun run = StartRun(limits, c.work);
    const int status = WaitFor(run.pid);
    EXPECT_LT(NowMs() - start, 10000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(2, WEXITSTATUS(status));
    ASSERT_GT(run.descendant, 0);
    EXPECT_TRUE(Gone(run.descendant));
  }
}

// SIGTERM, SIGINT and SIGHUP to the run end the worker and all it started,
// and then the run, by that very signal.
TEST(SupervisorTest, SignalsEndEverythingThenTheRun) {
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal_number);
    SupervisorLimits limits;
    limits.run_ms = 20000;
    SupervisedRun run = StartRun(limits, [](int out) -> int {
      StartStubbornDescendant(out);
      signal(SIGTERM, SIG_IGN);
      for (;;) pause();
    });
    ASSERT_GT(run.descendant, 0);
    ASSERT_EQ(0, kill(run.pid, signal_number));
    const int status = WaitFor(run.pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(signal_number, WTERMSIG(status));
    EXPECT_TRUE(Gone(run.descendant));
  }
}

std::string ReadToEnd(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

// The worker's output reaches the run's standard output and error through
// the supervisor, in order when they are one file; the worker leads a
// session of its own, reads /dev/null, and keeps no descriptor of the
// run's but those it is told to keep.
TEST(SupervisorTest, WorkerHoldsOnlyItsOwnAndItsOutputIsRelayed) {
  struct Case {
    const char* name;
    bool one_file;  // standard output and error one pipe
    const char* out;
    const char* err;
  } cases[] = {
      {"two files", false, "out 1\nout 2\n", "err 1\n"},
      {"one file, in order", true, "out 1\nerr 1\nout 2\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int out[2], err[2], kept[2], dropped[2];
    ASSERT_EQ(0, pipe(out));
    ASSERT_EQ(0, pipe(err));
    ASSERT_EQ(0, pipe(kept));
    ASSERT_EQ(0, pipe(dropped));
    const pid_t run = fork();
    ASSERT_GE(run, 0);
    if (run == 0) {
      dup2(out[1], 1);
      dup2(c.one_file ? out[1] : err[1], 2);
      for (int fd : {out[0], out[1], err[0], err[1], kept[0], dropped[0]}) {
        close(fd);
      }
      SupervisorLimits limits;
      limits.run_ms = 20000;
      if (SuperviseRestOfRun(limits) < 0) _exit(99);
      CloseDescriptorsBut({kept[1]});
      // What the worker holds, on the descriptor it kept.
      char facts[256];
      char input[64] = "";
      const ssize_t n = readlink("/proc/self/fd/0", input, sizeof input - 1);
      if (n > 0) input[n] = '\0';
      snprintf(facts, sizeof facts, "session=%d pid=%d input=%s dropped=%s",
               getsid(0), getpid(), input,
               fcntl(dropped[1], F_GETFD) < 0 ? "closed" : "open");
      (void)!write(kept[1], facts, strlen(facts));
      close(kept[1]);
      (void)!write(1, "out 1\n", 6);
      (void)!write(2, "err 1\n", 6);
      (void)!write(1, "out 2\n", 6);
      _exit(5);
    }
    close(out[1]);
    close(err[1]);
    close(kept[1]);
    close(dropped[1]);
    const std::string facts = ReadToEnd(kept[0]);
    const std::string got_out = ReadToEnd(out[0]);
    const std::string got_err = ReadToEnd(err[0]);
    for (int fd : {out[0], err[0], kept[0], dropped[0]}) close(fd);
    const int status = WaitFor(run);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(5, WEXITSTATUS(status));
    EXPECT_EQ(c.out, got_out);
    EXPECT_EQ(c.err, got_err);
    int session = 0, pid = -1;
    ASSERT_EQ(2, sscanf(facts.c_str(), "session=%d pid=%d", &session, &pid))
        << facts;
    EXPECT_EQ(pid, session) << facts;
    EXPECT_NE(std::string::npos, facts.find("input=/dev/null")) << facts;
    EXPECT_NE(std::string::npos, facts.find("dropped=closed")) << facts;
  }
}

// A chain that forks as it starts and, from its parent-death signal, once
// more each time its parent is killed.
void ChainGeneration(int depth);

void SpawnGeneration(int depth) {
  if (fork() == 0) {
    setsid();
    ChainGeneration(depth);
  }
}

void OnParentDeath(int) {
  SpawnGeneration(0);
  SpawnGeneration(0);
}

void ChainGeneration(int depth) {
  struct sigaction action = {};
  action.sa_handler = OnParentDeath;
  action.sa_flags = SA_NODEFER;
  sigaction(SIGUSR1, &action, nullptr);
  prctl(PR_SET_PDEATHSIG, SIGUSR1);
  if (depth > 0) SpawnGeneration(depth - 1);
  for (;;) pause();
}

// The processes whose parent this one is.
std::string OwnChildrenList() {
  const std::string self = std::to_string(getpid());
  std::string list;
  FILE* file =
      fopen(("/proc/" + self + "/task/" + self + "/children").c_str(), "re");
  if (file == nullptr) return "?";
  for (int c; (c = fgetc(file)) != EOF;) list.push_back(static_cast<char>(c));
  fclose(file);
  return list;
}

// The sweep itself, as a process that is no one's supervisor would use it:
// a child subreaper below which chains re-fork as they are killed.
// Output the worker wrote into its pipe, which the supervisor could not
// write on: the worker cannot know, so the run says so and fails, when
// its caller asks for that.
TEST(SupervisorTest, LostOutputFailsTheRunWhenAsked) {
  struct Case {
    const char* name;
    int lost_output_status;
    int worker_status;
    int expected_status;
    bool says_write_error;
  } cases[] = {
      {"a clean end becomes a failure", 2, 0, 2, true},
      {"a partial result too", 2, 1, 2, true},
      {"a failure already said stays", 2, 2, 2, false},
      {"not asked for: the worker's status", -1, 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int err[2];
    ASSERT_EQ(0, pipe(err));
    const pid_t run = fork();
    ASSERT_GE(run, 0);
    if (run == 0) {
      const int full = open("/dev/full", O_WRONLY);
      if (full < 0 || dup2(full, 1) != 1 || dup2(err[1], 2) != 2) _exit(98);
      close(err[0]);
      SupervisorLimits limits;
      limits.run_ms = 20000;
      limits.lost_output_status = c.lost_output_status;
      limits.lost_output_name = "prog";
      if (SuperviseRestOfRun(limits) < 0) _exit(99);
      // Into the pipe, which takes it.
      const bool wrote = write(1, "all of it\n", 10) == 10;
      _exit(wrote ? c.worker_status : 97);
    }
    close(err[1]);
    std::string said;
    char buffer[256];
    ssize_t n;
    while ((n = read(err[0], buffer, sizeof buffer)) > 0) said.append(buffer, n);
    close(err[0]);
    const int status = WaitFor(run);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(c.expected_status, WEXITSTATUS(status));
    EXPECT_EQ(c.says_write_error ? "prog: write error: " + std::string(strerror(ENOSPC)) + "\n"
                                 : std::string(),
              said);
  }
}

TEST(EndProcessTreeTest, EndsChainsThatForkAgainAsTheyAreKilled) {
  const pid_t reaper = fork();
  ASSERT_GE(reaper, 0);
  if (reaper == 0) {
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) _exit(2);
    // Started by a process that ends at once: the chains' heads fork
    // again as it ends, and come here.
    if (fork() == 0) {
      for (int i = 0; i < 3; ++i) SpawnGeneration(4);
      _exit(0);
    }
    SleepMs(300);
    if (OwnChildrenList().empty()) _exit(3);
    const long long start = NowMs();
    const bool ended = EndProcessTree(5000);
    // Reaped, all of them: none left below.
    if (!ended || !OwnChildrenList().empty()) _exit(4);
    _exit(NowMs() - start < 5000 ? 0 : 5);
  }
  const int status = WaitFor(reaper);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(0, WEXITSTATUS(status));
}

}  // namespace
}  // namespace app
