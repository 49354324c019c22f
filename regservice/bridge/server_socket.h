// The one way the helper's Wine reaches a prefix's server: a connection
// the run makes itself to the socket of the server it found, checked by
// the kernel's word on who listens there, and handed to Wine as
// WINESERVERSOCKET. A Wine given one never looks for a server by path, and
// never starts one. doc/running-wine.md, "Reaching the server", tells why.
#ifndef QUILLFIX_REGSERVICE_BRIDGE_SERVER_SOCKET_H_
#define QUILLFIX_REGSERVICE_BRIDGE_SERVER_SOCKET_H_

#include <sys/types.h>

#include <memory>
#include <string>

#include "regservice/prefix/env.h"

namespace regservice {
namespace bridge {

// The descriptor the helper's Wine finds its connection on; named to it
// in WINESERVERSOCKET.
const int kHelperServerFd = 3;

class ServerSocket {
 public:
  enum Outcome {
    kConnected,     // the server found listens there: the connection is *out
    kNoAnswer,      // no socket, or no one listens on it (a server going
                    // away, or a process that only looks like one)
    kNotTheServer,  // someone else listens there, or the socket is not the
                    // owner's: *why says who
  };

  ~ServerSocket();
  ServerSocket(const ServerSocket&) = delete;
  ServerSocket& operator=(const ServerSocket&) = delete;

  // Connects to the socket in the server directory of the prefix
  // `prefix_dir` that the process `server` (seen in `proc`) works in or
  // holds open, as that process sees it (through its /proc links, whatever
  // its mount namespace), and keeps the connection only when the kernel
  // says its listener is `server` itself, running as `owner`.
  static Outcome Connect(prefix::Env* env, const std::string& proc,
                         const std::string& prefix_dir, pid_t server,
                         uid_t owner, std::unique_ptr<ServerSocket>* out,
                         std::string* why);

  // The connected socket, close-on-exec; -1 once closed.
  int fd() const { return fd_; }
  // Closes our end, once the helper has its own: the run keeps nothing of
  // the server's open. Idempotent.
  void Close();
  pid_t server() const { return server_; }

 private:
  ServerSocket(int fd, pid_t server) : fd_(fd), server_(server) {}

  int fd_;
  pid_t server_;
};

// Waits up to `timeout_ms` for the process `pid` to have ended: a server
// has then saved the registry and let go of its lock. True once it has.
bool WaitForProcessEnd(pid_t pid, int timeout_ms);

}  // namespace bridge
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_BRIDGE_SERVER_SOCKET_H_
