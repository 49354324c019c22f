// For tests: a process that is where a wineserver would be and listens
// as one does, on the socket of a server directory.
#ifndef QUILLFIX_REGSERVICE_BRIDGE_LISTENING_SERVER_H_
#define QUILLFIX_REGSERVICE_BRIDGE_LISTENING_SERVER_H_

#include <fcntl.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "regservice/prefix/fake_server.h"

namespace regservice {
namespace bridge {

// A Unix socket bound at `path`, listening unless `listen_too` is false
// (a socket file no one answers on), with room for `backlog` connections
// not yet accepted (it never accepts). -1 when that fails.
inline int BindSocket(const std::string& path, bool listen_too,
                      int backlog = 8) {
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 ||
      bind(fd, reinterpret_cast<struct sockaddr*>(&address),
           sizeof address) != 0 ||
      (listen_too && listen(fd, backlog) != 0)) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

// Another process that works in `cwd`, holds each of `held` open and,
// unless `socket_path` is empty, listens there (`backlog` as for
// BindSocket), until it is stopped.
class ListeningProcess : public prefix::WaitingProcess {
 public:
  ListeningProcess(const std::string& cwd, const std::vector<std::string>& held,
                   const std::string& socket_path, int backlog = 8)
      : WaitingProcess([&] {
          for (const std::string& path : held) {
            if (open(path.c_str(), O_RDONLY | O_DIRECTORY) < 0) return false;
          }
          return chdir(cwd.c_str()) == 0 &&
                 (socket_path.empty() || BindSocket(socket_path, true, backlog) >= 0);
        }) {}
};

}  // namespace bridge
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_BRIDGE_LISTENING_SERVER_H_
