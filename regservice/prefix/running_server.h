// Whether a Wine server serves a prefix, and which process it is, found
// without talking to it; and keeping one from starting while the prefix's
// files are rewritten. doc/running-wine.md tells how: where a server keeps
// its lock (Wine's layout and Debian's), the lock probe, the look in /proc,
// what counts as unsafe, and the race that remains.
#ifndef QUILLFIX_REGSERVICE_PREFIX_RUNNING_SERVER_H_
#define QUILLFIX_REGSERVICE_PREFIX_RUNNING_SERVER_H_

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "regservice/prefix/env.h"

namespace regservice {
namespace prefix {

// Where a wineserver's lock file is: <base>/<directories...>/lock. A
// server makes each of the directories (mode 0700, below a base it does not
// make) and the file (mode 0600), and refuses directories that are not its
// own; so does every use of this.
struct ServerLockFile {
  std::string base;                      // /tmp or a TMPDIR
  std::vector<std::string> directories;  // single names, outermost first
  uint32_t uid = 0;  // the prefix's owner, who runs its servers

  std::string Path() const;
  // The server directory: the last of `directories`.
  std::string DirectoryPath() const;
};

// The prefix and the environment it is served in.
struct PrefixLocation {
  std::string directory;  // the prefix; user.reg is directly inside
  std::string tmpdir;     // $TMPDIR, empty when unset
  // The system's temporary directory and process table; tests put
  // directories of their own here.
  std::string system_tmp = "/tmp";
  std::string proc = "/proc";
};

// What a look for the prefix's server found.
struct FoundServer {
  enum State {
    kNone,     // no server serves the prefix
    kRunning,  // one does
    kUnknown,  // something where a server keeps its files is not what a
               // server makes (a FIFO, a directory of another user), or the
               // prefix's lock could not be taken: a server may run there
               // unseen, so nothing may be written
  };
  State state = kNone;
  pid_t pid = 0;       // the server's process when known, else 0
  std::string why;     // for kUnknown: what could not be told, one line
};

class RunningServer;

// What a save of the prefix's files holds while they change: the prefix
// directory's lock, under which no other run's save can pass for a
// server, and the lock of every lock file a server started now would use.
// Destroying it releases them all.
class SaveGuard {
 public:
  // The last look, right before the file changes: whether /proc shows a
  // server of the prefix now, one whose lock file could not be known (see
  // doc/running-wine.md, "The race that remains").
  bool ServerAppeared() const;

 private:
  friend class RunningServer;
  explicit SaveGuard(const RunningServer* servers) : servers_(servers) {}

  const RunningServer* servers_;
  std::unique_ptr<Lock> directory_lock_;
  std::vector<std::unique_ptr<Lock>> server_locks_;
};

class RunningServer {
 public:
  // `env` must outlive this.
  RunningServer(Env* env, const PrefixLocation& location);

  // For a save: takes the prefix directory's lock (waited for at most
  // 10 s), then the server locks (TakeServerLocks). kBusy, holding
  // nothing, when a server runs or a candidate is unsafe; the directory
  // lock's failure as it is. The guard must not outlive this.
  // REQUIRES: this process holds none of those locks.
  Status GuardSave(std::unique_ptr<SaveGuard>* guard) const;

  // The one decision: under the prefix directory's lock (our own saves
  // hold a server's lock too, but only under it, so that one cannot pass
  // for a server), /proc when `look_in_proc`, then the lock files. kNone
  // when the prefix is missing; kUnknown when its lock cannot be taken.
  // REQUIRES: this process does not hold the prefix directory's lock.
  FoundServer Find(bool look_in_proc) const;

  // The look in /proc alone: the server's process, 0 when /proc shows none
  // (to this user). Only a process of the prefix's owner (all four user
  // ids) counts: Wine serves a prefix only to its owner. Failing one seen
  // in full, a wineserver of the owner's whose working directory may not
  // be read (it runs in a user namespace the owner has no rights in) is
  // taken for it: it may serve the prefix unseen.
  pid_t ServerInProc() const;

  // Every lock file a server for the prefix could hold; most do not exist.
  // The user ids are the prefix directory's owner's. Empty when the prefix
  // directory cannot be found. *name_file_unsafe (optional) is set when
  // $WINEPREFIX/wineserver exists but cannot be read as a file.
  std::vector<ServerLockFile> CandidateLockFiles(
      bool* name_file_unsafe = nullptr) const;

  // Takes the lock of every lock file a server started now would use,
  // making the file and its directories, as Wine makes them, where missing,
  // so that no server can start until `*held` is destroyed. Returns false,
  // holding nothing, when one is held (a server runs) or a candidate is
  // unsafe. A server already running with a TMPDIR none of them is in is
  // not seen: that is the caller's look in /proc. Lock files are never
  // removed: a server may already be waiting on one.
  // REQUIRES: no other lock of this process on those files: closing any
  // descriptor of a file drops the process's locks on it.
  bool TakeServerLocks(std::vector<std::unique_ptr<Lock>>* held) const;

 private:
  FoundServer FindInLockFiles() const;

  Env* env_;
  PrefixLocation location_;
};

// "server-<dev>-<inode>" in lowercase hex, as Wine names a server directory.
std::string ServerDirectoryName(uint64_t device, uint64_t inode);

// The links of the process at `process` (its /proc directory) that may
// lead to a directory it uses: its working directory, then each open
// descriptor.
std::vector<std::string> DirectoryLinksOf(Env* env, const std::string& process);

// A link's target as /proc shows it, without the " (deleted)" the kernel
// adds when the file or directory has been removed since.
std::string WithoutDeletedMark(std::string target);

}  // namespace prefix
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_PREFIX_RUNNING_SERVER_H_
