// Finding out, without talking to it, whether a wineserver serves a prefix,
// and keeping one from starting while the prefix's files are rewritten.
//
// A server keeps the registry in memory and overwrites user.reg when it
// saves, so the file must not be written while one runs. Each server holds
// a write lock on byte 0 of the file "lock" in its server directory,
// server-<dev>-<inode> of the prefix directory, which lives in
//   <T>/<name>/   with <name> read from $WINEPREFIX/wineserver and <T> the
//                 TMPDIR of whoever started the server, or /tmp (the layout
//                 of Debian's Wine), and in
//   /tmp/.wine-<uid>/   (upstream Wine's layout).
// A server creates the directory and the file before it locks, so a missing
// file means no server.
#ifndef QUILLFIX_REGSERVICE_PREFIX_WINESERVER_LOCK_H_
#define QUILLFIX_REGSERVICE_PREFIX_WINESERVER_LOCK_H_

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "regservice/prefix/env.h"

namespace regservice {
namespace prefix {

class WineserverLock {
 public:
  // `tmpdir` is $TMPDIR (empty when unset); `uid` the user's id.
  WineserverLock(Env* env, std::string prefix_dir, std::string tmpdir,
                 uid_t uid);

  // Every lock file a server for the prefix could hold; most do not exist.
  // Empty when the prefix directory cannot be found.
  std::vector<std::string> CandidateLockFiles() const;

  // Whether a server holds any of them now.
  bool ServerRunning() const;

  // True when a wineserver serves the prefix now; *pid is the server's
  // process id when known (the holder of its lock), else 0.
  bool FindServer(pid_t* pid) const;

  // Takes the lock of every candidate file that exists, so that no server
  // can start until `*held` is destroyed. Returns false, holding nothing,
  // when a server has one of them.
  // REQUIRES: no other lock of this process on those files: closing any
  // descriptor of a file drops the process's locks on it.
  bool HoldAgainstServers(std::vector<std::unique_ptr<Lock>>* held) const;

 private:
  Env* env_;
  std::string prefix_dir_;
  std::string tmpdir_;
  uid_t uid_;
};

}  // namespace prefix
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_PREFIX_WINESERVER_LOCK_H_
