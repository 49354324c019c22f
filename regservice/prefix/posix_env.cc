// Env over the POSIX calls.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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
    info->mtime_ns = Nanoseconds(st.st_mtim);
    info->ctime_ns = Nanoseconds(st.st_ctim);
    return IoStatus::Ok();
  }

  IoStatus ReadFile(const std::string& path, std::string* data) override {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return IoStatus::FromErrno(errno, "open " + path);
    // Read straight into one allocation of the file's size (or the
    // caller's larger one), with no copy through a buffer of our own and
    // no series of doublings. A file that grows meanwhile is read to its
    // end all the same.
    struct stat st;
    size_t expected = 0;
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
      expected = static_cast<size_t>(st.st_size);
    }
    data->resize(expected);
    size_t done = 0;
    while (true) {
      if (done == data->size()) data->resize(done + (1 << 16));
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

  IoStatus NewExclusiveFile(const std::string& path, uint32_t mode,
                            std::unique_ptr<WritableFile>* file) override {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                  static_cast<mode_t>(mode));
    if (fd < 0) return IoStatus::FromErrno(errno, "create " + path);
    // open() applied the umask; the copy must have the original's mode.
    if (fchmod(fd, static_cast<mode_t>(mode)) != 0) {
      int error = errno;
      close(fd);
      unlink(path.c_str());
      return IoStatus::FromErrno(error, "chmod " + path);
    }
    file->reset(new PosixWritableFile(fd, path));
    return IoStatus::Ok();
  }

  IoStatus TruncateForRewrite(const std::string& path,
                              std::unique_ptr<WritableFile>* file) override {
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return IoStatus::FromErrno(errno, "open " + path);
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

  ServerLockState ProbeServerLock(const std::string& path) override {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ServerLockState::kAbsent;
    struct flock query = ServerLockRange();
    ServerLockState state = ServerLockState::kFree;
    // A lock we cannot ask about is taken as held: writing then is unsafe.
    if (fcntl(fd, F_GETLK, &query) != 0 || query.l_type != F_UNLCK) {
      state = ServerLockState::kHeld;
    }
    close(fd);
    return state;
  }

  ServerLockState TakeServerLock(const std::string& path,
                                 std::unique_ptr<Lock>* lock) override {
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) return ServerLockState::kAbsent;
      return ServerLockState::kHeld;
    }
    struct flock request = ServerLockRange();
    if (fcntl(fd, F_SETLK, &request) != 0) {
      close(fd);
      return ServerLockState::kHeld;
    }
    lock->reset(new FdLock(fd));
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
