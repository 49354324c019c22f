// The file-system calls the prefix registry makes, behind an interface.
//
// Abstract so that tests can fail a chosen step of a save (a write, an
// fsync, the rename) and check what is left on disk. PosixEnv() is the real
// one. A failure is a Status with the errno and a message naming the call
// and the path; its code says what happened (see ErrnoStatus), so that
// callers never look at the errno.
#ifndef QUILLFIX_REGSERVICE_PREFIX_ENV_H_
#define QUILLFIX_REGSERVICE_PREFIX_ENV_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "regservice/status.h"

namespace regservice {
namespace prefix {

// What lstat (and stat, for what a symlink points to) says of a path.
struct FileInfo {
  bool is_symlink = false;    // lstat: the path itself is a symlink
  bool is_regular = false;    // stat: the target is a regular file
  bool is_directory = false;  // stat: the target is a directory
  bool is_socket = false;     // stat: the target is a Unix socket
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
  virtual Status Append(const std::string& data) = 0;
  virtual Status Sync() = 0;
  virtual Status Close() = 0;
};

// A file open for rewriting in place: its bytes are overwritten where they
// are, so that every hard link to it and every symlink to it sees the new
// content. Destroying it closes the file.
class RewritableFile {
 public:
  virtual ~RewritableFile() = default;
  // Reserves disk space for the first `length` bytes, so that writing them
  // cannot then fail for want of room. Where the file system can reserve
  // space past the end of a file, neither its bytes nor its size change;
  // where it cannot, the file grows with zeros beyond its old end (and is
  // cut back to it should that fail).
  virtual Status Reserve(uint64_t length) = 0;
  // Writes all of `data` at `offset`.
  virtual Status WriteAt(uint64_t offset, const std::string& data) = 0;
  virtual Status Truncate(uint64_t length) = 0;
  virtual Status Sync() = 0;
  virtual Status Close() = 0;
};

// A held lock; destroying it releases the lock.
class Lock {
 public:
  virtual ~Lock() = default;
};

// The Status of a failed `call` with errno `error`: kNotFound when the path
// is not there (ENOENT, ENOTDIR), kAccessDenied when it may not be touched
// (EACCES, EPERM, EROFS), kAlreadyExists (EEXIST), kBusy (EBUSY), else
// `otherwise` (kReadError or kWriteError).
Status ErrnoStatus(Status::Code otherwise, int error, const std::string& call);

class Env {
 public:
  virtual ~Env() = default;

  // Follows a symlink for everything except is_symlink. kNotFound when the
  // path does not exist.
  virtual Status GetFileInfo(const std::string& path, FileInfo* info) = 0;

  // The path itself, a symlink not followed (lstat).
  virtual Status GetLinkInfo(const std::string& path, FileInfo* info) = 0;

  // Make a directory, or an empty regular file, of this process's user
  // with exactly the given mode (the umask does not apply). kAlreadyExists
  // when anything is at `path`; a symlink there is never followed.
  virtual Status MakeDirectory(const std::string& path, uint32_t mode) = 0;
  virtual Status MakeFile(const std::string& path, uint32_t mode) = 0;

  // The whole content of a regular file (through a symlink). Anything
  // else, such as a FIFO, is refused with EINVAL without waiting on it.
  virtual Status ReadFile(const std::string& path, std::string* data) = 0;

  // The same, but at most the first `max_bytes`.
  virtual Status ReadFileStart(const std::string& path, size_t max_bytes,
                                 std::string* data) = 0;

  // Where a symlink points, as its text.
  virtual Status ReadLink(const std::string& path, std::string* target) = 0;

  // The absolute path of `path` with every symlink, "." and ".." resolved.
  virtual Status RealPath(const std::string& path, std::string* real) = 0;

  // Creates a new file, failing if it exists, with exactly the mode of
  // `like` (the umask does not apply) and its group where this process may
  // give it (else its own). Fails, making nothing, when `like` belongs to
  // another user than this process's: the copy could not keep its owner.
  virtual Status NewExclusiveFile(const std::string& path,
                                    const FileInfo& like,
                                    std::unique_ptr<WritableFile>* file) = 0;

  // Opens an existing regular file (through a symlink) for rewriting it in
  // place; nothing in it changes yet. Anything else is refused with EINVAL.
  virtual Status OpenForRewrite(const std::string& path,
                                std::unique_ptr<RewritableFile>* file) = 0;

  virtual Status RenameFile(const std::string& from,
                              const std::string& to) = 0;
  virtual Status RemoveFile(const std::string& path) = 0;
  virtual Status SyncDirectory(const std::string& path) = 0;
  // Names of the entries of a directory, without "." and "..".
  virtual Status ListDirectory(const std::string& path,
                                 std::vector<std::string>* names) = 0;

  // Takes an exclusive flock on the directory, waiting for it at most 10 s:
  // kBusy when another process holds it that long. Creates nothing.
  virtual Status LockDirectory(const std::string& path,
                                 std::unique_ptr<Lock>* lock) = 0;

  // Asks, without taking it, whether another process holds a write lock
  // on byte 0 of the regular file `path`: kBusy if so (also when the
  // kernel cannot be asked), with the holder's pid in *holder when known,
  // else 0. A symlink at the last element is not followed, a FIFO not
  // waited on: they and other files that are not regular are errors.
  virtual Status ProbeWriteLock(const std::string& path, pid_t* holder) = 0;

  // Takes that lock without waiting; kBusy when another process holds it.
  // The same refusals. Released when *lock is destroyed.
  virtual Status TakeWriteLock(const std::string& path,
                               std::unique_ptr<Lock>* lock) = 0;
};

// The real file system. Lives for the whole process; never null.
Env* PosixEnv();

// Milliseconds of the monotonic clock, for time limits.
long long NowMs();

// Ends PosixEnv's waits for a directory lock held by another process
// (LockDirectory) once `total_ms` from now have passed, whatever each
// wait's own limit, in this process and in those it forks afterwards: a
// run over many prefixes then waits that long at most in all.
void LimitLockWaits(long long total_ms);

// What a stat (or lstat) result says, as a FileInfo.
FileInfo FileInfoFromStat(const struct stat& st);

// The directory part of `path`: "/" for a file of the root, "." for a
// bare name.
std::string DirectoryOf(const std::string& path);

// Replaces the file `path` atomically with `bytes`: writes them to the new
// file `temp` (in the same directory) with the mode, owner and group of
// `like`, syncs it, runs `before_rename` (whose failure stops the
// replacement), renames it over `path` and syncs the directory. On any
// failure before the rename, `temp` is removed and `path` is untouched. A
// failed directory sync is reported although the new file is in place:
// the rename may not survive a power cut.
Status ReplaceFile(Env* env, const std::string& path, const std::string& temp,
                   const std::string& bytes, const FileInfo& like,
                   const std::function<Status()>& before_rename);

// The same with `temp` already made, empty, by NewExclusiveFile.
Status ReplaceFileWith(Env* env, const std::string& path,
                       const std::string& temp,
                       std::unique_ptr<WritableFile> file,
                       const std::string& bytes,
                       const std::function<Status()>& before_rename);

// Rewrites the regular file `path` in place with `bytes`, keeping its
// inode and so its hard links. Space for the larger of the old and the new
// content is reserved before the first byte changes, so a full disk fails
// with the file untouched; the new bytes are written over the old from the
// start, the file is cut to their length last and synced. Should a step
// fail after that, `original` (the file's content when the caller read it)
// is written back into the space already reserved. `before_change` runs
// once the file is open, before anything in it changes; its failure stops
// the rewrite. A kill in the middle of the overwrite leaves a mix.
Status RewriteFile(Env* env, const std::string& path, const std::string& bytes,
                   const std::string& original,
                   const std::function<Status()>& before_change);

}  // namespace prefix
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_PREFIX_ENV_H_
