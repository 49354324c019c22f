// Windows: the current user's registry is the platform's own.
#include "app/run_start.h"

namespace app {

RunStart StartRun(const StoppedRun&) {
  RunStart start;
  start.registry = RunStart::kWindowsRegistry;
  return start;
}

}  // namespace app
