// Starting quillfix-reghelper.exe under the Wine that runs a prefix's
// server, and ending it.
#ifndef QUILLFIX_REGSERVICE_BRIDGE_HELPER_PROCESS_H_
#define QUILLFIX_REGSERVICE_BRIDGE_HELPER_PROCESS_H_

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "regservice/bridge/helper_channel.h"
#include "regservice/bridge/server_socket.h"

namespace regservice {
namespace bridge {

class SandboxEntry;

// The name of the helper program, wherever it is installed.
extern const char kHelperName[];

// How a helper is to be started.
struct HelperLaunch {
  std::string loader;  // Wine's loader: .../wine64 or .../wine
  std::string helper;  // the helper program
  std::string prefix;  // WINEPREFIX of the child
  // The connection to the server, which the child's Wine gets as
  // descriptor kHelperServerFd, named in WINESERVERSOCKET: its only way to
  // a server. Without one, the child's Wine would look for a server by
  // itself (tests only).
  std::shared_ptr<ServerSocket> server_socket;
  // For a run that became the prefix's owner: the child gets a clean
  // environment (HOME, USER, LOGNAME, a fixed PATH, the locale, Wine's
  // variables) instead of the one root's run was started with.
  bool clean_environment = false;
  // The server's WINEESYNC and WINEFSYNC, which its clients must share.
  std::vector<std::string> server_variables;
  // For a server in other namespaces (a sandbox): the child joins them
  // (sandbox_entry.h), with `environment` as its whole environment and
  // `loader`, `helper` and `prefix` as the server sees them.
  std::shared_ptr<SandboxEntry> sandbox;
  std::vector<std::string> environment;
};

// Where the helper program is, as the path to start it by: in the
// installation's libexec/quillfix beside the running program's bin/, else
// beside the program. The first of these that exists is the one meant; it
// is taken only when it, and every directory and symlink on the way to it,
// is held by root or `owner` alone (prefix/ownership.h). Empty otherwise.
std::string FindHelperProgram(uid_t owner);

// Wine's loader for the server with process id `server_pid`, run for the
// prefix owner `owner`, as the path to start it by: wine64 or wine beside
// the server's executable (/proc/<pid>/exe), else `wine` in an absolute
// directory of $PATH. Each is taken only when it is an executable file
// that, with its directory and everything on the way to it as named and
// as followed, belongs to root or `owner` and may be written by no one
// else; the answer is its resolved path, which no one else can change, so
// that the file started is the file checked. Empty when there is none.
// `server_pid` 0 looks only on $PATH.
std::string FindLoader(pid_t server_pid, uid_t owner);

// Everything needed to start a helper for the prefix `prefix_dir` of
// `owner`, served by `server_pid`, but the connection. False when no
// loader or no helper program is found.
bool PlanHelperLaunch(const std::string& prefix_dir, pid_t server_pid,
                      uid_t owner, HelperLaunch* launch);

// Limits of a helper's answers.
struct HelperTimeouts {
  int start_ms = 60000;  // for its first message: Wine has to start
  int call_ms = 10000;   // for each answer after that
  int run_ms = 90000;    // for everything, from the start to the last answer
};

// Starts the helper with its standard input and output connected to the
// returned channel and its standard error to /dev/null, in a session of
// its own (no controlling terminal), with no other descriptor of ours but
// the server's connection (at kHelperServerFd, named in WINESERVERSOCKET),
// and killed when this process ends. Until the channel is destroyed, SIGTERM,
// SIGINT and SIGHUP kill the helper's whole process group before they end
// this process. Destroying the channel closes the helper's input, waits up
// to 5 s for it to exit, then kills its whole process group. Null when the process cannot be
// made; a loader that cannot be run shows as a channel that ends at once.
std::unique_ptr<HelperChannel> StartHelper(const HelperLaunch& launch,
                                           const HelperTimeouts& timeouts);

}  // namespace bridge
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_BRIDGE_HELPER_PROCESS_H_
