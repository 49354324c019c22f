// An Env for tests: the real file system, except for a chosen step of a
// save that fails or waits on a test's hook, and lock files that can be
// made to read as held.
#ifndef QUILLFIX_REGSERVICE_PREFIX_FAULT_INJECTION_ENV_H_
#define QUILLFIX_REGSERVICE_PREFIX_FAULT_INJECTION_ENV_H_

#include <errno.h>

#include <functional>
#include <map>
#include <set>

#include <memory>
#include <string>
#include <vector>

#include "regservice/prefix/env.h"

namespace regservice {
namespace prefix {

class FaultInjectionEnv : public Env {
 public:
  enum Step {
    kNothing,
    kCreate,    // making the temporary file
    kWrite,     // writing a file: half the bytes are written, then it fails
    kFileSync,  // fsync of the file
    kClose,
    kRename,
    kDirectorySync,
    kRewrite,   // opening user.reg to rewrite it in place
    kReserve,   // reserving space for the rewrite
    kTruncate,  // cutting the rewritten file to its new length
    kLockDirectory,  // the flock on the prefix directory
  };

  explicit FaultInjectionEnv(Env* base = PosixEnv()) : base_(base) {}

  // The next time the process reaches `step`, it fails; once.
  // The failure's errno is `error`. Replaces the failures set before;
  // kNothing clears them.
  void FailAt(Step step, int error = EIO) {
    failures_.clear();
    AlsoFailAt(step, error);
  }
  // One more step that fails once, for a fault met on a fallback path.
  void AlsoFailAt(Step step, int error = EIO) {
    if (step != kNothing) failures_[step] = error;
  }
  // Runs `hook` each time the process reaches `step`, before the step
  // (a failure set with FailAt comes after it). For holding a save at a
  // chosen point while something else happens.
  void PauseAt(Step step, std::function<void()> hook) {
    pause_at_ = step;
    hook_ = std::move(hook);
  }
  // The lock on byte 0 of the file `path` reads as held by another
  // process (as a running wineserver holds its lock file's), or no longer.
  void SimulateHeldLock(const std::string& path, bool held = true) {
    if (held) {
      held_locks_.insert(path);
    } else {
      held_locks_.erase(path);
    }
  }
  int saves_started() const { return saves_started_; }
  // How many times the directory `path` was listed; a look for a server
  // lists /proc once.
  int ListingsOf(const std::string& path) const {
    auto found = listings_.find(path);
    return found == listings_.end() ? 0 : found->second;
  }

  Status GetFileInfo(const std::string& path, FileInfo* info) override {
    return base_->GetFileInfo(path, info);
  }
  Status GetLinkInfo(const std::string& path, FileInfo* info) override {
    return base_->GetLinkInfo(path, info);
  }
  Status MakeDirectory(const std::string& path, uint32_t mode) override {
    return base_->MakeDirectory(path, mode);
  }
  Status MakeFile(const std::string& path, uint32_t mode) override {
    return base_->MakeFile(path, mode);
  }
  Status ReadFile(const std::string& path, std::string* data) override {
    return base_->ReadFile(path, data);
  }
  Status ReadFileStart(const std::string& path, size_t max_bytes,
                         std::string* data) override {
    return base_->ReadFileStart(path, max_bytes, data);
  }
  Status ReadLink(const std::string& path, std::string* target) override {
    return base_->ReadLink(path, target);
  }
  Status RealPath(const std::string& path, std::string* real) override {
    return base_->RealPath(path, real);
  }
  Status NewExclusiveFile(const std::string& path, const FileInfo& like,
                            std::unique_ptr<WritableFile>* file) override {
    ++saves_started_;
    if (Fails(kCreate)) return Injected("create " + path);
    std::unique_ptr<WritableFile> real;
    Status status = base_->NewExclusiveFile(path, like, &real);
    if (status.ok()) file->reset(new FaultyFile(this, std::move(real)));
    return status;
  }
  Status OpenForRewrite(const std::string& path,
                        std::unique_ptr<RewritableFile>* file) override {
    ++saves_started_;
    if (Fails(kRewrite)) return Injected("open " + path);
    std::unique_ptr<RewritableFile> real;
    Status status = base_->OpenForRewrite(path, &real);
    if (status.ok()) {
      file->reset(new FaultyRewritableFile(this, std::move(real)));
    }
    return status;
  }
  Status RenameFile(const std::string& from, const std::string& to) override {
    if (Fails(kRename)) return Injected("rename " + from);
    return base_->RenameFile(from, to);
  }
  Status RemoveFile(const std::string& path) override {
    return base_->RemoveFile(path);
  }
  Status SyncDirectory(const std::string& path) override {
    if (Fails(kDirectorySync)) return Injected("fsync " + path);
    return base_->SyncDirectory(path);
  }
  Status ListDirectory(const std::string& path,
                         std::vector<std::string>* names) override {
    ++listings_[path];
    return base_->ListDirectory(path, names);
  }
  Status LockDirectory(const std::string& path,
                         std::unique_ptr<Lock>* lock) override {
    if (Fails(kLockDirectory)) return Injected("flock " + path);
    return base_->LockDirectory(path, lock);
  }
  Status ProbeWriteLock(const std::string& path, pid_t* holder) override {
    Status status = base_->ProbeWriteLock(path, holder);
    return status.ok() && held_locks_.count(path) ? Held(path) : status;
  }
  Status TakeWriteLock(const std::string& path,
                       std::unique_ptr<Lock>* lock) override {
    Status status = base_->TakeWriteLock(path, lock);
    if (!status.ok() || !held_locks_.count(path)) return status;
    lock->reset();
    return Held(path);
  }

 private:
  // What the two kinds of file share: a real file below, and a sync and a
  // close that can fail.
  template <typename File>
  class FaultyFileBase : public File {
   public:
    FaultyFileBase(FaultInjectionEnv* env, std::unique_ptr<File> real)
        : env_(env), real_(std::move(real)) {}
    Status Sync() override {
      if (env_->Fails(kFileSync)) return env_->Injected("fsync");
      return real_->Sync();
    }
    Status Close() override {
      Status status = real_->Close();
      if (env_->Fails(kClose)) return env_->Injected("close");
      return status;
    }

   protected:
    FaultInjectionEnv* env_;
    std::unique_ptr<File> real_;
  };

  class FaultyFile : public FaultyFileBase<WritableFile> {
   public:
    using FaultyFileBase::FaultyFileBase;
    Status Append(const std::string& data) override {
      if (env_->Fails(kWrite)) {
        real_->Append(data.substr(0, data.size() / 2));
        return env_->Injected("write");
      }
      return real_->Append(data);
    }
  };

  class FaultyRewritableFile : public FaultyFileBase<RewritableFile> {
   public:
    using FaultyFileBase::FaultyFileBase;
    Status Reserve(uint64_t length) override {
      if (env_->Fails(kReserve)) return env_->Injected("fallocate");
      return real_->Reserve(length);
    }
    Status WriteAt(uint64_t offset, const std::string& data) override {
      if (env_->Fails(kWrite)) {
        real_->WriteAt(offset, data.substr(0, data.size() / 2));
        return env_->Injected("write");
      }
      return real_->WriteAt(offset, data);
    }
    Status Truncate(uint64_t length) override {
      if (env_->Fails(kTruncate)) return env_->Injected("truncate");
      return real_->Truncate(length);
    }
  };

  // Runs the pause hook of `step`, then says whether it is to fail now; a
  // failure happens once.
  bool Fails(Step step) {
    if (pause_at_ == step && hook_) hook_();
    auto found = failures_.find(step);
    if (found == failures_.end()) return false;
    injected_error_ = found->second;
    failures_.erase(found);
    return true;
  }
  static Status Held(const std::string& path) {
    return Status(Status::kBusy, path + ": held (simulated)");
  }
  Status Injected(const std::string& what) const {
    return ErrnoStatus(Status::kWriteError, injected_error_,
                       what + " (injected)");
  }

  Env* base_;
  std::map<Step, int> failures_;  // steps still to fail, with their errno
  int injected_error_ = EIO;      // the errno of the step failing now
  Step pause_at_ = kNothing;
  std::function<void()> hook_;
  std::set<std::string> held_locks_;
  int saves_started_ = 0;
  std::map<std::string, int> listings_;
};

}  // namespace prefix
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_PREFIX_FAULT_INJECTION_ENV_H_
