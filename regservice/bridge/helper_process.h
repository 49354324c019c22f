// Starting quillfix-reghelper.exe under the Wine that runs a prefix's
// server, and ending it.
#ifndef QUILLFIX_REGSERVICE_BRIDGE_HELPER_PROCESS_H_
#define QUILLFIX_REGSERVICE_BRIDGE_HELPER_PROCESS_H_

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "regservice/bridge/helper_channel.h"

namespace regservice {
namespace bridge {

// The name of the helper program, wherever it is installed.
extern const char kHelperName[];

// How a helper is to be started.
struct HelperLaunch {
  std::string loader;  // Wine's loader: .../wine64 or .../wine
  std::string helper;  // the helper program
  std::string prefix;  // WINEPREFIX of the child
  std::string tmpdir;  // TMPDIR of the child; empty leaves the caller's
  // When set, the child runs as that user (and group), with that HOME,
  // instead of as the caller; USER and LOGNAME become `user_name` unless
  // it is empty (a user id without an account).
  bool switch_user = false;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string home;
  std::string user_name;
};

// Where the helper program is: in the installation's libexec/quillfix
// beside the running program's bin/, beside the program, or where the
// build put it. Empty when none of these exists.
std::string FindHelperProgram();

// Wine's loader for the server with process id `server_pid`: wine64 or
// wine beside its executable (/proc/<pid>/exe), else `wine` on $PATH.
// Empty when there is none. `server_pid` 0 looks only on $PATH.
std::string FindLoader(pid_t server_pid);

// Everything needed to start a helper for the prefix `prefix_dir` served
// by `server_pid`: loader, helper, the server's TMPDIR, and the owner of
// the prefix as the user to run as when the caller is root and someone
// else owns it. False when no loader or no helper program is found.
bool PlanHelperLaunch(const std::string& prefix_dir, pid_t server_pid,
                      HelperLaunch* launch);

// Limits of a helper's answers.
struct HelperTimeouts {
  int start_ms = 60000;  // for its first message: Wine has to start
  int call_ms = 10000;   // for each answer after that
};

// Starts the helper with its standard input and output connected to the
// returned channel and its standard error to /dev/null. Destroying the
// channel closes the helper's input, waits a while for it to exit, then
// kills it. Null when the process cannot be made; a loader that cannot be
// run shows as a channel that ends at once.
std::unique_ptr<HelperChannel> StartHelper(const HelperLaunch& launch,
                                           const HelperTimeouts& timeouts);

}  // namespace bridge
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_BRIDGE_HELPER_PROCESS_H_
