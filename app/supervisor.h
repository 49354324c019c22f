// A root run on another user's behalf goes on in a child that becomes that
// user, for good; the parent stays root and supervises it, as sudo and
// OpenSSH's monitor do. Once the child is that user, that user may signal
// it, stop it or trace it, and whatever it starts may outlive it; the
// supervisor, which that user cannot signal, is what makes the run end.
#ifndef QUILLFIX_APP_SUPERVISOR_H_
#define QUILLFIX_APP_SUPERVISOR_H_

#include <sys/types.h>

#include <string>

namespace app {

// What the supervisor does.
struct SupervisorLimits {
  int run_ms = 100000;     // the whole run, from the fork to its end
  int stopped_status = 0;  // exit status when it had to stop the run
  std::string stopped_message;  // then on standard error; empty for none
};

// Forks. The child (the worker) returns the supervisor's process id, with
// the signal mask it had; -1 when no child can be made (nothing runs then).
// The parent never returns: it waits for the worker and adopts everything
// the worker starts that outlives its parent (a child subreaper). When the
// worker ends, or at the limit, or on SIGTERM, SIGINT or SIGHUP, it kills
// the worker and every process left below it, then ends as the worker
// did: its exit status, or its signal. At the limit it ends with
// `stopped_status` after `stopped_message`; on a signal, by that signal.
// It reads and writes nothing but /proc's list of its own children.
pid_t SuperviseRestOfRun(const SupervisorLimits& limits);

// In the worker, after its change of user (which clears any death signal):
// dies when the supervisor does. False when the supervisor is gone already.
bool DieWithSupervisor(pid_t supervisor);

}  // namespace app

#endif  // QUILLFIX_APP_SUPERVISOR_H_
