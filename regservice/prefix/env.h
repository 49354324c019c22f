// The file-system calls the prefix registry makes, behind an interface.
//
// Abstract so that tests can fail a chosen step of a save (a write, an
// fsync, the rename) and check what is left on disk. PosixEnv() is the real
// one. Errors are reported as an errno value with a short message naming
// the call and the path.
#ifndef QUILLFIX_REGSERVICE_PREFIX_ENV_H_
#define QUILLFIX_REGSERVICE_PREFIX_ENV_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace regservice {
namespace prefix {

// Result of a call: errno 0 is success.
struct IoStatus {
  int error = 0;
  std::string message;  // "rename user.reg.tmp: No such file or directory"

  bool ok() const { return error == 0; }
  static IoStatus Ok() { return IoStatus(); }
  static IoStatus FromErrno(int error, const std::string& context);
};

// What lstat (and stat, for what a symlink points to) says of a path.
struct FileInfo {
  bool is_symlink = false;    // lstat: the path itself is a symlink
  bool is_regular = false;    // stat: the target is a regular file
  bool is_directory = false;  // stat: the target is a directory
  uint64_t device = 0;        // stat of the target
  uint64_t inode = 0;
  uint64_t size = 0;
  uint64_t links = 0;  // hard links of the target
  uint32_t mode = 0;   // permission bits of the target
  uint32_t uid = 0;    // owner and group of the target
  uint32_t gid = 0;
  int64_t mtime_ns = 0;
  int64_t ctime_ns = 0;

  // Whether the two describe the same unchanged file, as far as stat can
  // tell (nanosecond times, size, identity).
  bool SameVersionAs(const FileInfo& other) const;
};

// A file open for writing. Destroying it closes the file.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  virtual IoStatus Append(const std::string& data) = 0;
  virtual IoStatus Sync() = 0;
  virtual IoStatus Close() = 0;
};

// A held lock; destroying it releases the lock.
class Lock {
 public:
  virtual ~Lock() = default;
};

// Where a wineserver's lock file is: <base>/<directories...>/lock. A
// server makes each of the directories (mode 0700, below a base it does not
// make) and the file (mode 0600), and refuses directories that are not its
// own; so does every use of this.
struct ServerLockFile {
  std::string base;                      // /tmp or a TMPDIR
  std::vector<std::string> directories;  // single names, outermost first
  uint32_t uid = 0;  // the prefix's owner, who runs its servers
  uint32_t gid = 0;  // the prefix's group, for what is made on its behalf

  std::string Path() const;
  bool operator==(const ServerLockFile& other) const;
};

// What a look at a wineserver lock file found.
enum class ServerLockState {
  kAbsent,  // no lock file: no server can be running there
  kFree,    // the file exists and nobody holds its lock
  kHeld,    // a process holds it: a server is running
  kUnsafe,  // not what a server makes there (a directory that is not the
            // owner's or that others may write, a symlink, a lock that is
            // not a regular file): nothing can be told, nothing may be written
};

class Env {
 public:
  virtual ~Env() = default;

  // Follows a symlink for everything except is_symlink. ENOENT when the
  // path does not exist.
  virtual IoStatus GetFileInfo(const std::string& path, FileInfo* info) = 0;

  // The whole content of a regular file (through a symlink). Anything
  // else, such as a FIFO, is refused with EINVAL without waiting on it.
  virtual IoStatus ReadFile(const std::string& path, std::string* data) = 0;

  // The same, but at most the first `max_bytes`.
  virtual IoStatus ReadFileStart(const std::string& path, size_t max_bytes,
                                 std::string* data) = 0;

  // Where a symlink points, as its text.
  virtual IoStatus ReadLink(const std::string& path, std::string* target) = 0;

  // The absolute path of `path` with every symlink, "." and ".." resolved.
  virtual IoStatus RealPath(const std::string& path, std::string* real) = 0;

  // Creates a new file, failing if it exists, with exactly the mode (the
  // umask does not apply), the owner and the group of `like`.
  virtual IoStatus NewExclusiveFile(const std::string& path,
                                    const FileInfo& like,
                                    std::unique_ptr<WritableFile>* file) = 0;

  // Opens an existing regular file (through a symlink) and truncates it,
  // for rewriting it in place. Anything else is refused with EINVAL.
  virtual IoStatus TruncateForRewrite(const std::string& path,
                                      std::unique_ptr<WritableFile>* file) = 0;

  virtual IoStatus RenameFile(const std::string& from,
                              const std::string& to) = 0;
  virtual IoStatus RemoveFile(const std::string& path) = 0;
  virtual IoStatus SyncDirectory(const std::string& path) = 0;
  // Names of the entries of a directory, without "." and "..".
  virtual IoStatus ListDirectory(const std::string& path,
                                 std::vector<std::string>* names) = 0;

  // Blocks until this process holds an exclusive flock on the directory.
  // Creates nothing.
  virtual IoStatus LockDirectory(const std::string& path,
                                 std::unique_ptr<Lock>* lock) = 0;

  // Asks, without taking it, whether anyone holds a write lock on byte 0
  // of the file (how a wineserver marks its lock file). When kHeld,
  // *holder is the holder's pid as the kernel reports it (0 if unknown).
  // Creates nothing.
  virtual ServerLockState ProbeServerLock(const ServerLockFile& file,
                                          pid_t* holder) = 0;

  // Takes that write lock without waiting. kHeld when another process has
  // it; kAbsent when there is no such file (or base); kFree means *lock now
  // holds it. With `create`, first makes the missing directories and the
  // file as a server would, owned by file.uid and file.gid; then only a
  // missing base is kAbsent, and a failure to make them is kUnsafe.
  virtual ServerLockState TakeServerLock(const ServerLockFile& file,
                                         bool create,
                                         std::unique_ptr<Lock>* lock) = 0;
};

// The real file system. Lives for the whole process; never null.
Env* PosixEnv();

}  // namespace prefix
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_PREFIX_ENV_H_
