#include "regservice/bridge/server_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "regservice/prefix/running_server.h"

namespace regservice {
namespace bridge {

namespace {

// How often, and how far apart, a connect is tried while the server's
// queue of connections not yet accepted is full.
const int kConnectTries = 20;
const long kConnectPauseMs = 50;

std::string Describe(pid_t pid, uid_t uid) {
  return "process " + std::to_string(pid) + " of user id " +
         std::to_string(uid);
}

// The socket of the server directory of the prefix that the process at
// `process` (its /proc directory) works in or holds open, opened without
// following it (O_PATH): the very file, however long its path.
int OpenServerSocket(prefix::Env* env, const std::string& process,
                     const std::string& server_dir_name) {
  for (const std::string& link : prefix::DirectoryLinksOf(env, process)) {
    std::string target;
    if (!env->ReadLink(link, &target).ok()) continue;
    target = prefix::WithoutDeletedMark(target);
    const size_t slash = target.rfind('/');
    if (slash == std::string::npos ||
        target.compare(slash + 1, std::string::npos, server_dir_name) != 0) {
      continue;
    }
    // The link leads into the directory as the process sees it, in its
    // own mount namespace.
    const int fd =
        open((link + "/socket").c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) return fd;
  }
  return -1;
}

}  // namespace

ServerSocket::~ServerSocket() { Close(); }

void ServerSocket::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

ServerSocket::Outcome ServerSocket::Connect(
    prefix::Env* env, const std::string& proc, const std::string& prefix_dir,
    pid_t server, uid_t owner, std::unique_ptr<ServerSocket>* out,
    std::string* why) {
  out->reset();
  why->clear();
  prefix::FileInfo prefix;
  if (server <= 0 || !env->GetFileInfo(prefix_dir, &prefix).ok()) {
    *why = "its server's process is not known";
    return kNoAnswer;
  }
  const int path_fd = OpenServerSocket(
      env, proc + "/" + std::to_string(server),
      prefix::ServerDirectoryName(prefix.device, prefix.inode));
  if (path_fd < 0) {
    *why = "its server has no socket";
    return kNoAnswer;
  }
  struct stat st;
  if (fstat(path_fd, &st) != 0 || !S_ISSOCK(st.st_mode) ||
      st.st_uid != owner) {
    close(path_fd);
    *why = "its server directory's socket is not a socket of user id " +
           std::to_string(owner);
    return kNotTheServer;
  }
  // Connected by the descriptor's name: short, whatever the directory's.
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "/proc/self/fd/%d",
           path_fd);
  // Not waited on without bound: a listener that never accepts fills its
  // queue, and a blocking connect would then wait for it for good.
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int connected = -1;
  for (int tries = 0; fd >= 0 && tries < kConnectTries; ++tries) {
    connected = connect(fd, reinterpret_cast<struct sockaddr*>(&address),
                        sizeof address);
    if (connected == 0 || (errno != EAGAIN && errno != EINTR)) break;
    struct timespec pause = {0, kConnectPauseMs * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  // Wine reads the connection as it is given, blocking.
  if (connected == 0 && fcntl(fd, F_SETFL, 0) != 0) connected = -1;
  close(path_fd);
  struct ucred peer = {};
  socklen_t length = sizeof peer;
  if (connected != 0 ||
      getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
    if (fd >= 0) close(fd);
    *why = "its server does not answer";
    return kNoAnswer;
  }
  // A listener outside our process-id namespace shows as process 0.
  if (peer.pid != server || peer.uid != owner) {
    close(fd);
    *why = "its socket is served by " + Describe(peer.pid, peer.uid) +
           ", not by the server found, " + Describe(server, owner);
    return kNotTheServer;
  }
  out->reset(new ServerSocket(fd, server));
  return kConnected;
}

bool WaitForProcessEnd(pid_t pid, int timeout_ms) {
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0U));
  if (pidfd < 0) return errno == ESRCH;
  struct pollfd ended = {pidfd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&ended, 1, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  close(pidfd);
  return ready > 0;
}

}  // namespace bridge
}  // namespace regservice
