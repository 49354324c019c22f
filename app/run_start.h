// The programs' one start-up step: whom the run acts as, on which
// registry, and why it reads and writes the file, goes through a running
// Wine, or does nothing, decided once, before anything of the user's is
// read. One implementation per platform.
#ifndef QUILLFIX_APP_RUN_START_H_
#define QUILLFIX_APP_RUN_START_H_

#include <string>
#include <vector>

namespace app {

// What a run acts on, as its programs tell it.
struct RunStart {
  enum Registry {
    kWindowsRegistry,  // the platform's own
    kUserReg,          // a Wine prefix's user.reg, read and written directly
    kRunningWine,      // through the running Wine of a prefix
    kRefused,          // nothing: `reason` says why
  };
  Registry registry = kRefused;
  std::string prefix;  // the Wine prefix acted on; empty for none
  std::string reason;  // kRefused: one line
};

// How a run that has to be stopped ends (a root run on another user's
// behalf that outlives its whole time limit), and what of its caller's
// such a run keeps: the descriptors above 2 it still needs once it is
// that user's (it closes every other one of root's before it changes).
struct StoppedRun {
  int status = 0;
  std::string message;  // on standard error; empty for none
  std::vector<int> kept_descriptors;
  // A root run's output that could not be written ends it with this
  // status, named as this program (app/supervisor.h); -1 for none.
  int lost_output_status = -1;
  std::string program;
};

// Decides, and makes the decision's registry the one the Reg* functions
// use. On Linux: reads the environment (the prefix); a run by root on
// another user's prefix then goes on as that user, under a supervisor
// that stays root and ends the run at its time limit (app/supervisor.h);
// every location is then the owner's; last, one look at the prefix says
// whether a Wine server serves it.
RunStart StartRun(const StoppedRun& stopped);

}  // namespace app

#endif  // QUILLFIX_APP_RUN_START_H_
