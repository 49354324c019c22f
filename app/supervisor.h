// A root run on another user's behalf goes on in a child that becomes that
// user, for good; the parent stays root and supervises it, as sudo and
// OpenSSH's monitor do. Once the child is that user, that user may signal
// it, stop it or trace it, and whatever it starts may outlive it; the
// supervisor, which that user cannot signal, is what makes the run end.
//
// The child (the worker) holds nothing of root's: it leads a session of
// its own (no controlling terminal), its standard input is /dev/null, its
// standard output and error are pipes the supervisor relays to its own,
// and it closes every other descriptor it does not need before it changes
// user (CloseDescriptorsBut).
#ifndef QUILLFIX_APP_SUPERVISOR_H_
#define QUILLFIX_APP_SUPERVISOR_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace app {

// What the supervisor does.
struct SupervisorLimits {
  int run_ms = 100000;     // the whole run, from the fork to its end
  int stopped_status = 0;  // exit status when it had to stop the run
  std::string stopped_message;  // then on standard error; empty for none
  // When the worker's output could not all be written to ours (a full
  // disk, a reader gone) and the worker ends with a lower status, the run
  // ends with this one, after "<lost_output_name>: write error: <reason>"
  // on standard error: the worker wrote into a pipe and could not know.
  // -1 keeps the worker's status.
  int lost_output_status = -1;
  std::string lost_output_name;
};

// Forks. The child (the worker) returns the supervisor's process id, with
// the signal mask it had, in a session of its own, with /dev/null as its
// standard input and pipes to the supervisor as its standard output and
// error (one pipe for both when the supervisor's are the same file, so
// that their order is kept); -1 when no child can be made (nothing runs
// then). Where root may make a cgroup (v2) below its own, the worker
// joins one of the run's own, which the user cannot leave. The parent
// never returns: it relays the worker's output as it comes, waits for the
// worker and adopts everything the worker starts that outlives its parent
// (a child subreaper). When the worker ends, or at the limit, or on
// SIGTERM, SIGINT or SIGHUP, it kills that cgroup (everything in it, in
// whatever namespaces), ends every process left below it
// (EndProcessTree), relays what output is left, then ends
// as the worker did: its exit status, or its signal. At the limit it ends
// with `stopped_status` after `stopped_message`; on a signal, by that
// signal. When its own output is closed (a reader gone), it stops reading
// the worker's, whose next write then fails as it would have; a worker
// that wrote everything before that ends as `lost_output_status` says.
// It reads nothing but /proc's view of the processes below it and its
// cgroup's files.
pid_t SuperviseRestOfRun(const SupervisorLimits& limits);

// In the worker, before its change of user: closes every descriptor above
// 2 but `kept`. Async-signal-safe but for `kept`'s copy.
void CloseDescriptorsBut(const std::vector<int>& kept);

// In the worker, after its change of user (which clears any death signal):
// dies when the supervisor does. False when the supervisor is gone already.
bool DieWithSupervisor(pid_t supervisor);

// Ends every process below this one, which must be a child subreaper (so
// that orphans of its descendants are its children): first stops them all
// (SIGSTOP, after a limit of no processes of their own, so that none can
// fork), walking the tree again until no new process appears, then kills
// them all (SIGKILL) at once, reaping what ends, and does it again while
// any is left. Gives up after `limit_ms`. True when nothing is left.
bool EndProcessTree(int limit_ms);

}  // namespace app

#endif  // QUILLFIX_APP_SUPERVISOR_H_
