// Env over the POSIX calls.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "regservice/prefix/env.h"

namespace regservice {
namespace prefix {

bool FileInfo::SameVersionAs(const FileInfo& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         mtime_ns == other.mtime_ns && ctime_ns == other.ctime_ns;
}

namespace {

// The failure of `call`, as errno tells it right after the call.
Status ReadFailure(const std::string& call) {
  return ErrnoStatus(Status::kReadError, errno, call);
}
Status WriteFailure(const std::string& call) {
  return ErrnoStatus(Status::kWriteError, errno, call);
}

int64_t Nanoseconds(const struct timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// How long a lock on the prefix directory is waited for, and how often it
// is asked for meanwhile. Our own saves hold it for milliseconds.
const long long kDirectoryLockWaitMs = 10000;
const long kDirectoryLockPollMs = 5;

// When all lock waits end (LimitLockWaits); none set by default.
long long lock_waits_end_ms = LLONG_MAX;

// A descriptor open for writing and its path, for the messages; closed on
// destruction unless Close() was called.
class OpenFile {
 public:
  OpenFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~OpenFile() {
    if (fd_ >= 0) close(fd_);
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

  // Writes all of `data` at `offset`, or at the file offset when it is -1.
  Status WriteAll(const std::string& data, off_t offset) {
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
      ssize_t n = offset < 0 ? write(fd_, p, left)
                             : pwrite(fd_, p, left, offset);
      if (n < 0) {
        if (errno == EINTR) continue;
        return WriteFailure("write " + path_);
      }
      p += n;
      left -= static_cast<size_t>(n);
      if (offset >= 0) offset += n;
    }
    return Status();
  }

  Status Sync() {
    if (fsync(fd_) != 0) return WriteFailure("fsync " + path_);
    return Status();
  }

  Status Close() {
    int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) return WriteFailure("close " + path_);
    return Status();
  }

 private:
  int fd_;
  std::string path_;
};

class PosixWritableFile : public WritableFile {
 public:
  PosixWritableFile(int fd, std::string path) : file_(fd, std::move(path)) {}

  Status Append(const std::string& data) override {
    return file_.WriteAll(data, -1);
  }
  Status Sync() override { return file_.Sync(); }
  Status Close() override { return file_.Close(); }

 private:
  OpenFile file_;
};

class PosixRewritableFile : public RewritableFile {
 public:
  PosixRewritableFile(int fd, std::string path) : file_(fd, std::move(path)) {}

  Status Reserve(uint64_t length) override {
    if (length == 0) return Status();
    // KEEP_SIZE: the blocks past the end are the file's, but its size and
    // bytes stay as they are until the new content is written into them.
    while (fallocate(file_.fd(), FALLOC_FL_KEEP_SIZE, 0,
                     static_cast<off_t>(length)) != 0) {
      if (errno == EINTR) continue;
      if (errno == EOPNOTSUPP || errno == ENOSYS) return GrowWithZeros(length);
      return WriteFailure("fallocate " + file_.path());
    }
    return Status();
  }

  Status WriteAt(uint64_t offset, const std::string& data) override {
    return file_.WriteAll(data, static_cast<off_t>(offset));
  }

  Status Truncate(uint64_t length) override {
    if (ftruncate(file_.fd(), static_cast<off_t>(length)) != 0) {
      return WriteFailure("truncate " + file_.path());
    }
    return Status();
  }

  Status Sync() override { return file_.Sync(); }
  Status Close() override { return file_.Close(); }

 private:
  // Where space cannot be reserved past the end: zeros written there, and
  // synced so that a file system that allocates late says now that it has
  // no room. The bytes before the old end are left alone.
  Status GrowWithZeros(uint64_t length) {
    struct stat st;
    if (fstat(file_.fd(), &st) != 0) return WriteFailure("fstat " + file_.path());
    const uint64_t old_size = static_cast<uint64_t>(st.st_size);
    if (length <= old_size) return Status();
    const std::string zeros(
        static_cast<size_t>(std::min<uint64_t>(length - old_size, 65536)),
        '\0');
    Status status;
    for (uint64_t at = old_size; status.ok() && at < length;
         at += zeros.size()) {
      const uint64_t left = length - at;
      status = WriteAt(at, left < zeros.size()
                               ? zeros.substr(0, static_cast<size_t>(left))
                               : zeros);
    }
    if (status.ok() && fdatasync(file_.fd()) != 0) {
      status = WriteFailure("fsync " + file_.path());
    }
    if (!status.ok()) {
      // Back to the old end; should that fail too, the first error is the
      // one that tells why.
      int cut = ftruncate(file_.fd(), static_cast<off_t>(old_size));
      (void)cut;
    }
    return status;
  }

  OpenFile file_;
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
  Status GetFileInfo(const std::string& path, FileInfo* info) override {
    struct stat link_st, st;
    if (lstat(path.c_str(), &link_st) != 0) {
      return ReadFailure("lstat " + path);
    }
    if (stat(path.c_str(), &st) != 0) {
      return ReadFailure("stat " + path);
    }
    Describe(st, info);
    info->is_symlink = S_ISLNK(link_st.st_mode);
    return Status();
  }

  Status GetLinkInfo(const std::string& path, FileInfo* info) override {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return ReadFailure("lstat " + path);
    Describe(st, info);
    info->is_symlink = S_ISLNK(st.st_mode);
    return Status();
  }

  Status MakeDirectory(const std::string& path, uint32_t mode) override {
    if (mkdir(path.c_str(), 0700) != 0) return WriteFailure("mkdir " + path);
    int fd =
        open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return WriteFailure("open " + path);
    Status status = SetMode(fd, mode, path);
    close(fd);
    return status;
  }

  Status MakeFile(const std::string& path, uint32_t mode) override {
    int fd = open(path.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return WriteFailure("create " + path);
    Status status = SetMode(fd, mode, path);
    close(fd);
    return status;
  }

  Status ProbeWriteLock(const std::string& path, pid_t* holder) override {
    *holder = 0;
    int fd = -1;
    Status status = OpenForLock(path, O_RDONLY, &fd);
    if (!status.ok()) return status;
    struct flock query = ByteZero();
    // A lock that cannot be asked about is taken as held.
    if (fcntl(fd, F_GETLK, &query) != 0) {
      status = Status::FromErrno(Status::kBusy, errno, "F_GETLK " + path);
    } else if (query.l_type != F_UNLCK) {
      *holder = query.l_pid;
      status = Status(Status::kBusy, "F_GETLK " + path + ": held by " +
                                         std::to_string(query.l_pid));
    }
    close(fd);
    return status;
  }

  Status TakeWriteLock(const std::string& path,
                       std::unique_ptr<Lock>* lock) override {
    int fd = -1;
    Status status = OpenForLock(path, O_RDWR, &fd);
    if (!status.ok()) return status;
    struct flock request = ByteZero();
    if (fcntl(fd, F_SETLK, &request) != 0) {
      status = Status::FromErrno(Status::kBusy, errno, "F_SETLK " + path);
      close(fd);
      return status;
    }
    lock->reset(new FdLock(fd));
    return Status();
  }

  Status ReadFile(const std::string& path, std::string* data) override {
    return Read(path, SIZE_MAX, data);
  }

  Status ReadFileStart(const std::string& path, size_t max_bytes,
                         std::string* data) override {
    return Read(path, max_bytes, data);
  }

  Status ReadLink(const std::string& path, std::string* target) override {
    std::vector<char> buffer(256);
    while (true) {
      ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
      if (n < 0) return ReadFailure("readlink " + path);
      if (static_cast<size_t>(n) < buffer.size()) {
        target->assign(buffer.data(), static_cast<size_t>(n));
        return Status();
      }
      buffer.resize(buffer.size() * 2);
    }
  }

  Status RealPath(const std::string& path, std::string* real) override {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return ReadFailure("realpath " + path);
    real->assign(resolved);
    free(resolved);
    return Status();
  }

  Status NewExclusiveFile(const std::string& path, const FileInfo& like,
                            std::unique_ptr<WritableFile>* file) override {
    if (like.uid != geteuid()) {
      return Status(Status::kAccessDenied,
                    path + ": the file it replaces is another user's", EPERM);
    }
    // Made readable by its creator only until it has the right group.
    int fd = open(path.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return WriteFailure("create " + path);
    // The group first: chown may clear mode bits. open() applied the
    // umask; the copy must have the original's mode.
    Status status = KeepGroup(fd, like.gid, path);
    if (status.ok()) status = SetMode(fd, like.mode, path);
    if (!status.ok()) {
      close(fd);
      unlink(path.c_str());
      return status;
    }
    file->reset(new PosixWritableFile(fd, path));
    return Status();
  }

  Status OpenForRewrite(const std::string& path,
                        std::unique_ptr<RewritableFile>* file) override {
    // O_NONBLOCK: opening a FIFO for writing could wait for a reader.
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return WriteFailure("open " + path);
    Status status = RequireRegular(fd, path, Status::kWriteError);
    if (status.ok()) status = Blocking(fd, path);
    if (!status.ok()) {
      close(fd);
      return status;
    }
    file->reset(new PosixRewritableFile(fd, path));
    return Status();
  }

  Status RenameFile(const std::string& from, const std::string& to) override {
    if (rename(from.c_str(), to.c_str()) != 0) {
      return WriteFailure("rename " + from);
    }
    return Status();
  }

  Status RemoveFile(const std::string& path) override {
    if (unlink(path.c_str()) != 0) {
      return WriteFailure("unlink " + path);
    }
    return Status();
  }

  Status SyncDirectory(const std::string& path) override {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return WriteFailure("open " + path);
    Status status;
    if (fsync(fd) != 0) status = WriteFailure("fsync " + path);
    close(fd);
    return status;
  }

  Status ListDirectory(const std::string& path,
                         std::vector<std::string>* names) override {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return ReadFailure("opendir " + path);
    names->clear();
    while (struct dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names->push_back(name);
    }
    closedir(dir);
    return Status();
  }

  Status LockDirectory(const std::string& path,
                         std::unique_ptr<Lock>* lock) override {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return WriteFailure("open " + path);
    // Anyone who may open the directory may lock it: the wait is bounded,
    // polled, so that no other account can hold a run up for good.
    const long long start = NowMs();
    const long long deadline =
        std::min(start + kDirectoryLockWaitMs, lock_waits_end_ms);
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      if (error == EWOULDBLOCK && NowMs() < deadline) {
        struct timespec pause = {0, kDirectoryLockPollMs * 1000 * 1000};
        nanosleep(&pause, nullptr);
        continue;
      }
      if (error == EINTR) continue;
      close(fd);
      if (error == EWOULDBLOCK) {
        const long long waited_s = (NowMs() - start + 500) / 1000;
        const bool cut_short = deadline == lock_waits_end_ms &&
                               deadline < start + kDirectoryLockWaitMs;
        return Status(Status::kBusy,
                      "flock " + path + ": held by another process for " +
                          std::to_string(waited_s) + " s" +
                          (cut_short ? " (the run's time for waits is spent)"
                                     : ""));
      }
      return ErrnoStatus(Status::kWriteError, error, "flock " + path);
    }
    lock->reset(new FdLock(fd));
    return Status();
  }

 private:
  static void Describe(const struct stat& st, FileInfo* info) {
    *info = FileInfoFromStat(st);
    info->is_symlink = false;  // the caller says, from lstat
  }


  Status Read(const std::string& path, size_t max_bytes, std::string* data) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return ReadFailure("open " + path);
    struct stat st;
    Status status = RequireRegular(fd, path, Status::kReadError, &st);
    if (!status.ok()) {
      close(fd);
      return status;
    }
    // Read straight into one allocation of the file's size (or the
    // caller's larger one), with no copy through a buffer of our own and
    // no series of doublings. What lies past that size (a file that grew
    // meanwhile, or one that tells no size, as those of /proc) is read
    // through a small buffer and appended, so that finding the end costs
    // no large allocation.
    const size_t expected =
        st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
    PopulateCapacity(data);
    data->resize(std::min(expected, max_bytes));
    size_t done = 0;
    char more[4096];
    while (done < max_bytes) {
      const bool past_expected = done == data->size();
      char* into = past_expected ? more : &(*data)[done];
      const size_t room = past_expected
                              ? std::min(sizeof more, max_bytes - done)
                              : data->size() - done;
      ssize_t n = read(fd, into, room);
      if (n < 0) {
        if (errno == EINTR) continue;
        int error = errno;
        close(fd);
        data->clear();
        return ErrnoStatus(Status::kReadError, error, "read " + path);
      }
      if (n == 0) break;
      if (past_expected) data->append(more, static_cast<size_t>(n));
      done += static_cast<size_t>(n);
    }
    data->resize(done);
    close(fd);
    return Status();
  }

  // Faults in the pages of a large buffer with one call instead of one
  // fault per page as the read first writes each.
  static void PopulateCapacity(std::string* data) {
#ifdef MADV_POPULATE_WRITE
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t begin = reinterpret_cast<uintptr_t>(&(*data)[0]);
    const uintptr_t first = (begin + page - 1) & ~(page - 1);
    const uintptr_t last = (begin + data->capacity()) & ~(page - 1);
    if (last > first + 16 * page) {
      madvise(reinterpret_cast<void*>(first), last - first,
              MADV_POPULATE_WRITE);
    }
#else
    (void)data;
#endif
  }

  static Status RequireRegular(int fd, const std::string& path,
                               Status::Code failure,
                               struct stat* facts = nullptr) {
    struct stat own;
    struct stat& st = facts != nullptr ? *facts : own;
    if (fstat(fd, &st) != 0) {
      return ErrnoStatus(failure, errno, "fstat " + path);
    }
    if (!S_ISREG(st.st_mode)) {
      return Status(failure, path + ": not a regular file", EINVAL);
    }
    return Status();
  }

  static Status Blocking(int fd, const std::string& path) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
      return WriteFailure("fcntl " + path);
    }
    return Status();
  }

  // Gives the file the group `gid` unless it has it already, as far as
  // this process may: a user can give a file of theirs only to a group of
  // their own, and such a file keeps the group it was made with.
  static Status KeepGroup(int fd, uint32_t gid, const std::string& path) {
    struct stat st;
    if (fstat(fd, &st) != 0) return WriteFailure("fstat " + path);
    if (st.st_gid == gid ||
        fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(gid)) == 0 ||
        errno == EPERM) {
      return Status();
    }
    return WriteFailure("chown " + path);
  }

  // Opens a regular file for a lock on it, without following a symlink
  // at its last element or waiting on a FIFO.
  static Status OpenForLock(const std::string& path, int access, int* fd) {
    *fd = open(path.c_str(), access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (*fd < 0) return ReadFailure("open " + path);
    Status status = RequireRegular(*fd, path, Status::kReadError);
    if (!status.ok()) {
      close(*fd);
      *fd = -1;
    }
    return status;
  }

  // The range of the lock a process holds on a file: byte 0, for writing.
  static struct flock ByteZero() {
    struct flock range;
    memset(&range, 0, sizeof range);
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 1;
    return range;
  }

  static Status SetMode(int fd, uint32_t mode, const std::string& path) {
    if (fchmod(fd, static_cast<mode_t>(mode)) != 0) {
      return WriteFailure("chmod " + path);
    }
    return Status();
  }
};

}  // namespace

FileInfo FileInfoFromStat(const struct stat& st) {
  FileInfo info;
  info.is_symlink = S_ISLNK(st.st_mode);
  info.is_regular = S_ISREG(st.st_mode);
  info.is_directory = S_ISDIR(st.st_mode);
  info.is_socket = S_ISSOCK(st.st_mode);
  info.device = st.st_dev;
  info.inode = st.st_ino;
  info.size = static_cast<uint64_t>(st.st_size);
  info.links = st.st_nlink;
  info.mode = st.st_mode & 07777;
  info.uid = st.st_uid;
  info.gid = st.st_gid;
  info.mtime_ns = Nanoseconds(st.st_mtim);
  info.ctime_ns = Nanoseconds(st.st_ctim);
  return info;
}

long long NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void LimitLockWaits(long long total_ms) {
  lock_waits_end_ms = NowMs() + total_ms;
}

Env* PosixEnv() {
  static Env* env = new RealEnv;
  return env;
}

}  // namespace prefix
}  // namespace regservice
