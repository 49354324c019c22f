// Stand-ins for a wineserver in tests: a process that is where a server
// would be, its lock file, and a look at a lock as a starting server takes
// it.
#ifndef QUILLFIX_REGSERVICE_PREFIX_FAKE_SERVER_H_
#define QUILLFIX_REGSERVICE_PREFIX_FAKE_SERVER_H_

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "regservice/prefix/wineserver_lock.h"

namespace regservice {
namespace prefix {

// A process that looks like a wineserver to /proc: its working directory
// is `cwd` and it holds `held_directory` open.
class ProcessIn {
 public:
  ProcessIn(const std::string& cwd, const std::string& held_directory) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      int fd = open(held_directory.c_str(), O_RDONLY | O_DIRECTORY);
      char ok = (fd >= 0 && chdir(cwd.c_str()) == 0) ? '1' : '0';
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
  ~ProcessIn() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool ready() const { return ready_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

// Makes the lock file of Wine's own layout for the prefix as a server
// makes it before it locks it, and returns its path.
inline std::string MakeServerLockFile(const PrefixLocation& location) {
  WineserverLock servers(PosixEnv(), location);
  std::vector<std::unique_ptr<Lock>> held;
  servers.HoldAgainstServers(&held);
  return servers.CandidateLockFiles().back().Path();
}

// Whether another process could take the lock now (as a starting server
// would try to).
inline bool OtherProcessCanLock(const std::string& path) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK);
    struct flock request;
    memset(&request, 0, sizeof request);
    request.l_type = F_WRLCK;
    request.l_whence = SEEK_SET;
    request.l_len = 1;
    _exit(fd >= 0 && fcntl(fd, F_SETLK, &request) == 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace prefix
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_PREFIX_FAKE_SERVER_H_
