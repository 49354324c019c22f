// Finding out, without talking to it, whether a wineserver serves a prefix,
// and keeping one from starting while the prefix's files are rewritten.
//
// A server keeps the registry in memory and overwrites user.reg when it
// saves, so the file must not be written while one runs. A server runs as
// the owner of the prefix directory (Wine refuses a prefix of another
// user), has its server directory, server-<dev>-<inode> of the prefix
// directory, as its working directory (the prefix directory while it loads
// the registry), keeps the prefix directory open,
// and holds a write lock on byte 0 of the file "lock" in its server
// directory, which lives in
//   <T>/<name>/   with <name> read from $WINEPREFIX/wineserver and <T> the
//                 TMPDIR of whoever started the server, or /tmp (the layout
//                 of Debian's Wine), and in
//   /tmp/.wine-<owner uid>/   (upstream Wine's layout).
// A server creates the directory and the file before it locks, so a missing
// file means no server there. A server started with a TMPDIR we do not know
// is found through /proc alone: by the device and inode its working
// directory's name gives and those of the directory it holds open.
#ifndef QUILLFIX_REGSERVICE_PREFIX_WINESERVER_LOCK_H_
#define QUILLFIX_REGSERVICE_PREFIX_WINESERVER_LOCK_H_

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
  // The TMPDIR a Wine needs to find this directory: `base` for Debian's
  // layout, empty for Wine's own, which is always under /tmp.
  std::string Tmpdir() const;
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

class WineserverLock {
 public:
  enum class State {
    kNone,     // no server serves the prefix
    kRunning,  // one does
    kUnknown,  // something where a server keeps its files is not what a
               // server makes (a FIFO, a directory of another user): a
               // server may run there unseen, so nothing may be written
  };

  // `env` must outlive this.
  WineserverLock(Env* env, const PrefixLocation& location);

  // Every lock file a server for the prefix could hold; most do not exist.
  // The user ids are the prefix directory's owner's. Empty when the prefix
  // directory cannot be found. *name_file_unsafe (optional) is set when
  // $WINEPREFIX/wineserver exists but is not a regular file.
  std::vector<ServerLockFile> CandidateLockFiles(
      bool* name_file_unsafe = nullptr) const;

  // What serves the prefix now: /proc first, then the lock files. *pid is
  // the server's process id when known, else 0.
  State Check(pid_t* pid) const;

  // The same from the lock files alone, without the look in /proc (which
  // costs a readlink per process).
  State CheckLockFiles(pid_t* pid) const;

  // True when a wineserver serves the prefix now; *pid (optional) is the
  // server's process id when known (from /proc, or the lock's holder),
  // else 0.
  bool FindServer(pid_t* pid) const;

  // Whether the prefix's files must be left alone now: a server serves it,
  // or one may without being seen.
  bool UnsafeToWrite() const;

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

  // The process of /proc, other than this one, that runs as the prefix's
  // owner (all four user ids), holds the prefix directory open and works in
  // the prefix's server directory or, while it starts, in the prefix
  // directory itself holding the server directory open. 0 when there is
  // none (or /proc shows none to this user). A process of any other user
  // is never taken for the server: Wine serves a prefix only to its owner.
  pid_t ServerInProc() const;

  // Whether a Wine started from here reaches the server `pid` found by
  // FindServer (0: one known from its lock alone): one of the candidate
  // server directories, as seen from here, is the very directory that
  // process works in (the same device and inode). Not so for a server
  // with a /tmp of its own (another mount namespace): a Wine started from
  // here would start a second server. *tmpdir is then the TMPDIR that
  // Wine needs.
  bool ReachableServerDirectory(pid_t pid, std::string* tmpdir) const;

 private:
  pid_t ServerInProc(const FileInfo& prefix_info) const;
  // The server directory the process at `process` (its /proc directory)
  // works in or holds open: its identity and its path as the process sees
  // it, without " (deleted)".
  bool ServerDirectoryOfProcess(const std::string& process, FileInfo* info,
                                std::string* path) const;

  Env* env_;
  PrefixLocation location_;
};

// "server-<dev>-<inode>" in lowercase hex, as Wine names a server directory.
std::string ServerDirectoryName(uint64_t device, uint64_t inode);

}  // namespace prefix
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_PREFIX_WINESERVER_LOCK_H_
