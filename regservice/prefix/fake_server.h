// Stand-ins for a wineserver in tests: a process that is where a server
// would be, one that holds a server's lock, its lock file, and a look at
// a lock as a starting server takes it.
#ifndef QUILLFIX_REGSERVICE_PREFIX_FAKE_SERVER_H_
#define QUILLFIX_REGSERVICE_PREFIX_FAKE_SERVER_H_

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "regservice/prefix/running_server.h"

namespace regservice {
namespace prefix {

// The lock a wineserver holds while it runs: a write lock on byte 0 of the
// lock file.
inline struct flock ServerLockRequest() {
  struct flock request;
  memset(&request, 0, sizeof request);
  request.l_type = F_WRLCK;
  request.l_whence = SEEK_SET;
  request.l_len = 1;
  return request;
}

// Another process that runs `set_up` and then waits, holding whatever that
// took, until it is stopped (at the latest by the destructor). The
// constructor returns once `set_up` is done; ready() says whether it
// succeeded.
class WaitingProcess {
 public:
  explicit WaitingProcess(const std::function<bool()>& set_up) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      char ok = set_up() ? '1' : '0';
      if (write(ready[1], &ok, 1) != 1) _exit(1);
      pause();
      _exit(0);
    }
    close(ready[1]);
    char ok = '0';
    if (read(ready[0], &ok, 1) != 1) ok = '0';
    close(ready[0]);
    ready_ = ok == '1';
  }
  ~WaitingProcess() { Stop(); }
  WaitingProcess(const WaitingProcess&) = delete;
  WaitingProcess& operator=(const WaitingProcess&) = delete;

  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  bool ready() const { return ready_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

// A process that looks like a wineserver to /proc: its working directory
// is `cwd` and it holds `held_directory` open.
class ProcessIn : public WaitingProcess {
 public:
  ProcessIn(const std::string& cwd, const std::string& held_directory)
      : WaitingProcess([&] {
          int fd = open(held_directory.c_str(), O_RDONLY | O_DIRECTORY);
          return fd >= 0 && chdir(cwd.c_str()) == 0;
        }) {}
};

// Another process that holds the lock on `path` as a running wineserver
// does, until it is stopped.
class LockHolder : public WaitingProcess {
 public:
  explicit LockHolder(const std::string& path)
      : WaitingProcess([&] {
          int fd = open(path.c_str(), O_RDWR);
          struct flock request = ServerLockRequest();
          return fd >= 0 && fcntl(fd, F_SETLK, &request) == 0;
        }) {}
  bool locked() const { return ready(); }
};

// Makes the lock file of Wine's own layout for the prefix as a server
// makes it before it locks it, and returns its path.
inline std::string MakeServerLockFile(const PrefixLocation& location) {
  RunningServer servers(PosixEnv(), location);
  std::vector<std::unique_ptr<Lock>> held;
  servers.TakeServerLocks(&held);
  return servers.CandidateLockFiles().back().Path();
}

// Whether another process could take the lock now (as a starting server
// would try to).
inline bool OtherProcessCanLock(const std::string& path) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK);
    struct flock request = ServerLockRequest();
    _exit(fd >= 0 && fcntl(fd, F_SETLK, &request) == 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace prefix
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_PREFIX_FAKE_SERVER_H_
