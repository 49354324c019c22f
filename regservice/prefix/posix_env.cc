// Env over the POSIX calls.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "regservice/prefix/env.h"

namespace regservice {
namespace prefix {

IoStatus IoStatus::FromErrno(int error, const std::string& context) {
  IoStatus status;
  status.error = error;
  status.message = context + ": " + strerror(error);
  return status;
}

bool FileInfo::SameVersionAs(const FileInfo& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         mtime_ns == other.mtime_ns && ctime_ns == other.ctime_ns;
}

std::string ServerLockFile::Path() const {
  std::string path = base;
  for (const std::string& name : directories) path += "/" + name;
  return path + "/lock";
}

bool ServerLockFile::operator==(const ServerLockFile& other) const {
  return base == other.base && directories == other.directories &&
         uid == other.uid && gid == other.gid;
}

namespace {

int64_t Nanoseconds(const struct timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

class PosixWritableFile : public WritableFile {
 public:
  PosixWritableFile(int fd, std::string path)
      : fd_(fd), path_(std::move(path)) {}
  ~PosixWritableFile() override {
    if (fd_ >= 0) close(fd_);
  }

  IoStatus Append(const std::string& data) override {
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
      ssize_t n = write(fd_, p, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        return IoStatus::FromErrno(errno, "write " + path_);
      }
      p += n;
      left -= static_cast<size_t>(n);
    }
    return IoStatus::Ok();
  }

  IoStatus Sync() override {
    if (fsync(fd_) != 0) return IoStatus::FromErrno(errno, "fsync " + path_);
    return IoStatus::Ok();
  }

  IoStatus Close() override {
    int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) return IoStatus::FromErrno(errno, "close " + path_);
    return IoStatus::Ok();
  }

 private:
  int fd_;
  std::string path_;
};

class FdLock : public Lock {
 public:
  explicit FdLock(int fd) : fd_(fd) {}
  // Closing the descriptor drops both flock and fcntl locks taken on it.
  ~FdLock() override { close(fd_); }

 private:
  int fd_;
};

class RealEnv : public Env {
 public:
  IoStatus GetFileInfo(const std::string& path, FileInfo* info) override {
    struct stat link_st, st;
    if (lstat(path.c_str(), &link_st) != 0) {
      return IoStatus::FromErrno(errno, "lstat " + path);
    }
    if (stat(path.c_str(), &st) != 0) {
      return IoStatus::FromErrno(errno, "stat " + path);
    }
    *info = FileInfo();
    info->is_symlink = S_ISLNK(link_st.st_mode);
    info->is_regular = S_ISREG(st.st_mode);
    info->is_directory = S_ISDIR(st.st_mode);
    info->device = st.st_dev;
    info->inode = st.st_ino;
    info->size = static_cast<uint64_t>(st.st_size);
    info->links = st.st_nlink;
    info->mode = st.st_mode & 07777;
    info->uid = st.st_uid;
    info->gid = st.st_gid;
    info->mtime_ns = Nanoseconds(st.st_mtim);
    info->ctime_ns = Nanoseconds(st.st_ctim);
    return IoStatus::Ok();
  }

  IoStatus ReadFile(const std::string& path, std::string* data) override {
    return Read(path, SIZE_MAX, data);
  }

  IoStatus ReadFileStart(const std::string& path, size_t max_bytes,
                         std::string* data) override {
    return Read(path, max_bytes, data);
  }

  IoStatus ReadLink(const std::string& path, std::string* target) override {
    std::vector<char> buffer(256);
    while (true) {
      ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
      if (n < 0) return IoStatus::FromErrno(errno, "readlink " + path);
      if (static_cast<size_t>(n) < buffer.size()) {
        target->assign(buffer.data(), static_cast<size_t>(n));
        return IoStatus::Ok();
      }
      buffer.resize(buffer.size() * 2);
    }
  }

  IoStatus RealPath(const std::string& path, std::string* real) override {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return IoStatus::FromErrno(errno, "realpath " + path);
    real->assign(resolved);
    free(resolved);
    return IoStatus::Ok();
  }

  IoStatus NewExclusiveFile(const std::string& path, const FileInfo& like,
                            std::unique_ptr<WritableFile>* file) override {
    // Made readable by its creator only until it has the right owner.
    int fd = open(path.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return IoStatus::FromErrno(errno, "create " + path);
    // The owner and group first: chown may clear mode bits. open() applied
    // the umask; the copy must have the original's mode.
    IoStatus status = SetOwner(fd, like.uid, like.gid, path);
    if (status.ok() && fchmod(fd, static_cast<mode_t>(like.mode)) != 0) {
      status = IoStatus::FromErrno(errno, "chmod " + path);
    }
    if (!status.ok()) {
      close(fd);
      unlink(path.c_str());
      return status;
    }
    file->reset(new PosixWritableFile(fd, path));
    return IoStatus::Ok();
  }

  IoStatus TruncateForRewrite(const std::string& path,
                              std::unique_ptr<WritableFile>* file) override {
    // Truncated only once known to be a regular file: O_TRUNC would act
    // before the check, and opening a FIFO for writing could wait.
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return IoStatus::FromErrno(errno, "open " + path);
    IoStatus status = RequireRegular(fd, path);
    if (status.ok() && ftruncate(fd, 0) != 0) {
      status = IoStatus::FromErrno(errno, "truncate " + path);
    }
    if (status.ok()) status = Blocking(fd, path);
    if (!status.ok()) {
      close(fd);
      return status;
    }
    file->reset(new PosixWritableFile(fd, path));
    return IoStatus::Ok();
  }

  IoStatus RenameFile(const std::string& from, const std::string& to) override {
    if (rename(from.c_str(), to.c_str()) != 0) {
      return IoStatus::FromErrno(errno, "rename " + from);
    }
    return IoStatus::Ok();
  }

  IoStatus RemoveFile(const std::string& path) override {
    if (unlink(path.c_str()) != 0) {
      return IoStatus::FromErrno(errno, "unlink " + path);
    }
    return IoStatus::Ok();
  }

  IoStatus SyncDirectory(const std::string& path) override {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return IoStatus::FromErrno(errno, "open " + path);
    IoStatus status;
    if (fsync(fd) != 0) status = IoStatus::FromErrno(errno, "fsync " + path);
    close(fd);
    return status;
  }

  IoStatus ListDirectory(const std::string& path,
                         std::vector<std::string>* names) override {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return IoStatus::FromErrno(errno, "opendir " + path);
    names->clear();
    while (struct dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names->push_back(name);
    }
    closedir(dir);
    return IoStatus::Ok();
  }

  IoStatus LockDirectory(const std::string& path,
                         std::unique_ptr<Lock>* lock) override {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return IoStatus::FromErrno(errno, "open " + path);
    while (flock(fd, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      int error = errno;
      close(fd);
      return IoStatus::FromErrno(error, "flock " + path);
    }
    lock->reset(new FdLock(fd));
    return IoStatus::Ok();
  }

  ServerLockState ProbeServerLock(const ServerLockFile& file,
                                  pid_t* holder) override {
    *holder = 0;
    int fd = -1;
    ServerLockState state = OpenServerLock(file, false, &fd);
    if (state != ServerLockState::kFree) return state;
    struct flock query = ServerLockRange();
    // A lock we cannot ask about is taken as held: writing then is unsafe.
    if (fcntl(fd, F_GETLK, &query) != 0) {
      state = ServerLockState::kHeld;
    } else if (query.l_type != F_UNLCK) {
      state = ServerLockState::kHeld;
      *holder = query.l_pid;
    }
    close(fd);
    return state;
  }

  ServerLockState TakeServerLock(const ServerLockFile& file, bool create,
                                 std::unique_ptr<Lock>* lock) override {
    int fd = -1;
    ServerLockState state = OpenServerLock(file, create, &fd);
    if (state != ServerLockState::kFree) return state;
    struct flock request = ServerLockRange();
    if (fcntl(fd, F_SETLK, &request) != 0) {
      close(fd);
      return ServerLockState::kHeld;
    }
    lock->reset(new FdLock(fd));
    return ServerLockState::kFree;
  }

 private:
  IoStatus Read(const std::string& path, size_t max_bytes, std::string* data) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return IoStatus::FromErrno(errno, "open " + path);
    IoStatus status = RequireRegular(fd, path);
    if (!status.ok()) {
      close(fd);
      return status;
    }
    // Read straight into one allocation of the file's size (or the
    // caller's larger one), with no copy through a buffer of our own and
    // no series of doublings. A file that grows meanwhile is read to its
    // end all the same.
    struct stat st;
    size_t expected = 0;
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
      expected = static_cast<size_t>(st.st_size);
    }
    data->resize(std::min(expected, max_bytes));
    size_t done = 0;
    while (done < max_bytes) {
      if (done == data->size()) {
        data->resize(std::min(done + (size_t{1} << 16), max_bytes));
      }
      ssize_t n = read(fd, &(*data)[done], data->size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        int error = errno;
        close(fd);
        data->clear();
        return IoStatus::FromErrno(error, "read " + path);
      }
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    data->resize(done);
    close(fd);
    return IoStatus::Ok();
  }

  static IoStatus RequireRegular(int fd, const std::string& path) {
    struct stat st;
    if (fstat(fd, &st) != 0) return IoStatus::FromErrno(errno, "fstat " + path);
    if (!S_ISREG(st.st_mode)) {
      IoStatus status;
      status.error = EINVAL;
      status.message = path + ": not a regular file";
      return status;
    }
    return IoStatus::Ok();
  }

  static IoStatus Blocking(int fd, const std::string& path) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
      return IoStatus::FromErrno(errno, "fcntl " + path);
    }
    return IoStatus::Ok();
  }

  // Gives the file `uid` and `gid` unless it has them already. The owner
  // must be given; the group as far as the caller may: a user who is not
  // root can give a file of theirs only to a group of their own, and such a
  // file keeps the group it was made with.
  static IoStatus SetOwner(int fd, uint32_t uid, uint32_t gid,
                           const std::string& path) {
    struct stat st;
    if (fstat(fd, &st) != 0) return IoStatus::FromErrno(errno, "fstat " + path);
    if (st.st_uid == uid && st.st_gid == gid) return IoStatus::Ok();
    if (fchown(fd, static_cast<uid_t>(uid), static_cast<gid_t>(gid)) == 0) {
      return IoStatus::Ok();
    }
    int error = errno;
    if (error == EPERM && st.st_uid == uid && geteuid() != 0) {
      return IoStatus::Ok();
    }
    return IoStatus::FromErrno(error, "chown " + path);
  }

  // The wineserver's lock: a write lock on byte 0 of its lock file.
  static struct flock ServerLockRange() {
    struct flock range;
    memset(&range, 0, sizeof range);
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 1;
    return range;
  }

  // Opens the directory `name` inside `parent` without following a
  // symlink, making it first when `create`, and checks it as a server
  // checks its own: a directory of the owner that no one else may write.
  static ServerLockState OpenServerDirectory(int parent, const std::string& name,
                                             const ServerLockFile& file,
                                             bool create, int* fd) {
    bool made = false;
    if (create) {
      if (mkdirat(parent, name.c_str(), 0700) == 0) {
        made = true;
      } else if (errno != EEXIST) {
        return ServerLockState::kUnsafe;
      }
    }
    *fd = openat(parent, name.c_str(),
                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (*fd < 0) {
      return errno == ENOENT ? ServerLockState::kAbsent
                             : ServerLockState::kUnsafe;
    }
    bool ok = true;
    if (made) {
      ok = SetOwner(*fd, file.uid, file.gid, name).ok() &&
           fchmod(*fd, 0700) == 0;
    }
    struct stat st;
    ok = ok && fstat(*fd, &st) == 0 && st.st_uid == file.uid &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    if (!ok) {
      close(*fd);
      *fd = -1;
      return ServerLockState::kUnsafe;
    }
    return ServerLockState::kFree;
  }

  // Opens the lock file through its directories; kFree means *fd is open
  // on a regular file (writable when `create`).
  static ServerLockState OpenServerLock(const ServerLockFile& file, bool create,
                                        int* fd) {
    int dir = open(file.base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
      return errno == ENOENT ? ServerLockState::kAbsent
                             : ServerLockState::kUnsafe;
    }
    for (const std::string& name : file.directories) {
      int inner = -1;
      ServerLockState state =
          OpenServerDirectory(dir, name, file, create, &inner);
      close(dir);
      if (state != ServerLockState::kFree) return state;
      dir = inner;
    }
    // Neither a symlink nor a FIFO is ever followed or waited on.
    const int flags = (create ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK |
                      O_CLOEXEC;
    bool made = false;
    *fd = -1;
    if (create) {
      *fd = openat(dir, "lock", flags | O_CREAT | O_EXCL, 0600);
      made = *fd >= 0;
    }
    if (*fd < 0) *fd = openat(dir, "lock", flags);
    int open_error = errno;
    close(dir);
    if (*fd < 0) {
      return open_error == ENOENT ? ServerLockState::kAbsent
                                  : ServerLockState::kUnsafe;
    }
    bool ok = RequireRegular(*fd, "lock").ok();
    if (ok && made) {
      ok = SetOwner(*fd, file.uid, file.gid, "lock").ok() &&
           fchmod(*fd, 0600) == 0;
    }
    if (!ok) {
      close(*fd);
      *fd = -1;
      return ServerLockState::kUnsafe;
    }
    return ServerLockState::kFree;
  }
};

}  // namespace

Env* PosixEnv() {
  static Env* env = new RealEnv;
  return env;
}

}  // namespace prefix
}  // namespace regservice
