#include "regservice/prefix/running_server.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

#include "regservice/prefix/ownership.h"
#include "regservice/prefix/proc_view.h"

namespace regservice {
namespace prefix {

namespace {

const char kServerServesPrefix[] = "a wineserver serves the prefix";

// The most of $WINEPREFIX/wineserver read: it holds a short name.
const size_t kMaxNameFileBytes = 256;
// Room for kthreadd's children; a longer list is not trusted, since its
// last number could be cut short.
const size_t kMaxChildrenBytes = size_t{1} << 20;

bool AllDigits(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

// Parses "server-<dev>-<inode>" (hex) into the two numbers.
bool ParseServerDirectoryName(const std::string& name, uint64_t* device,
                              uint64_t* inode) {
  static const char kPrefix[] = "server-";
  const size_t prefix_length = sizeof kPrefix - 1;
  if (name.compare(0, prefix_length, kPrefix) != 0) return false;
  const char* p = name.c_str() + prefix_length;
  char* end = nullptr;
  if (!isxdigit(static_cast<unsigned char>(*p))) return false;
  *device = strtoull(p, &end, 16);
  if (*end != '-' || !isxdigit(static_cast<unsigned char>(end[1]))) {
    return false;
  }
  *inode = strtoull(end + 1, &end, 16);
  return *end == '\0';
}

std::string LastElement(const std::string& path) {
  // A working directory removed since (by a cleaner of /tmp) still counts:
  // its server still saves the registry.
  const std::string kept = WithoutDeletedMark(path);
  const size_t slash = kept.rfind('/');
  return slash == std::string::npos ? kept : kept.substr(slash + 1);
}

// Whether `path` names the server directory of the prefix `prefix_info`:
// its last element gives the prefix's device and inode.
bool IsServerDirectoryOf(const std::string& path, const FileInfo& prefix_info) {
  uint64_t device = 0, inode = 0;
  return ParseServerDirectoryName(LastElement(path), &device, &inode) &&
         device == prefix_info.device && inode == prefix_info.inode;
}

// What a look at one lock file found.
enum class LockFileState {
  kAbsent,  // no lock file: no server can be running there
  kFree,    // the file exists and nobody holds its lock
  kHeld,    // a process holds it: a server is running
  kUnsafe,  // not what a server makes there (a directory that is not the
            // owner's or that others may write, a symlink, a lock that is
            // not a regular file): nothing can be told, nothing may be written
};

// What a look at a server's file or its lock found. Any failure but a
// missing file leaves the server's state unknowable.
LockFileState StateOf(const Status& status) {
  if (status.ok()) return LockFileState::kFree;
  if (status.code() == Status::kBusy) return LockFileState::kHeld;
  return status.code() == Status::kNotFound ? LockFileState::kAbsent
                                            : LockFileState::kUnsafe;
}

// A server's own directories: its owner's alone, not even root's.
const HoldRule kServersOwn = {/*root_may_hold=*/false,
                              /*sticky_on_the_way=*/false};

// Whether the directories of `file` are as a server makes and checks its
// own: each a directory, not a symlink, the owner's, writable by no one
// else. With `create`, the missing ones are made first, as Wine makes them.
LockFileState CheckDirectories(Env* env, const ServerLockFile& file,
                               bool create) {
  FileInfo info;
  Status status = env->GetFileInfo(file.base, &info);
  if (!status.ok()) return StateOf(status);
  if (!info.is_directory) return LockFileState::kUnsafe;
  std::string path = file.base;
  for (const std::string& name : file.directories) {
    path += "/" + name;
    if (create) {
      status = env->MakeDirectory(path, 0700);
      if (!status.ok() && status.code() != Status::kAlreadyExists) {
        return LockFileState::kUnsafe;
      }
    }
    status = env->GetLinkInfo(path, &info);
    if (!status.ok()) return StateOf(status);
    if (!info.is_directory || !IsHeldBy(info, file.uid, kServersOwn, false)) {
      return LockFileState::kUnsafe;
    }
  }
  return LockFileState::kFree;
}

// Why the lock file `file` told nothing: the first of its directories this
// user may not look into, and whose it is, or else that it is not as a
// server makes it.
std::string WhyUnknowable(Env* env, const ServerLockFile& file) {
  std::string path = file.base;
  for (const std::string& name : file.directories) {
    FileInfo info;
    if (env->GetLinkInfo(path + "/" + name, &info).code() ==
        Status::kAccessDenied) {
      FileInfo closed;
      if (env->GetLinkInfo(path, &closed).ok() && closed.uid != geteuid()) {
        return path + " belongs to user " + std::to_string(closed.uid) +
               "; not readable by this user";
      }
      return path + ": not readable by this user";
    }
    path += "/" + name;
  }
  return file.Path() + ": not what a Wine server makes there";
}

// Asks whether a server holds the lock of `file`; creates nothing.
LockFileState ProbeLock(Env* env, const ServerLockFile& file, pid_t* holder) {
  *holder = 0;
  LockFileState state = CheckDirectories(env, file, false);
  if (state != LockFileState::kFree) return state;
  return StateOf(env->ProbeWriteLock(file.Path(), holder));
}

// Takes the lock of `file`, making the directories and the file (mode
// 0600, the owner's) where missing. A lock file is never removed: a server
// may be waiting on it.
LockFileState TakeLock(Env* env, const ServerLockFile& file,
                       std::unique_ptr<Lock>* lock) {
  LockFileState state = CheckDirectories(env, file, true);
  if (state != LockFileState::kFree) return state;
  Status made = env->MakeFile(file.Path(), 0600);
  if (!made.ok() && made.code() != Status::kAlreadyExists) {
    return LockFileState::kUnsafe;
  }
  return StateOf(env->TakeWriteLock(file.Path(), lock));
}

// Whether the process `process` (its /proc directory) runs as `uid`: its
// real, effective, saved and file system user ids all are.
bool RunsAs(Env* env, const std::string& process, uint32_t uid) {
  std::string status;
  if (!env->ReadFileStart(process + "/status", 4096, &status).ok()) {
    return false;
  }
  const size_t line = status.find("\nUid:");
  if (line == std::string::npos) return false;
  unsigned long ids[4];
  if (sscanf(status.c_str() + line + 5, "%lu %lu %lu %lu", &ids[0], &ids[1],
             &ids[2], &ids[3]) != 4) {
    return false;
  }
  return std::all_of(ids, ids + 4,
                     [uid](unsigned long id) { return id == uid; });
}

// Whether the process's name (its executable's, cut to 15 bytes) is a
// wineserver's: "wineserver", or Debian's "wineserver64".
bool IsNamedWineserver(Env* env, const std::string& process) {
  std::string status;
  static const char kName[] = "Name:\twineserver";
  return env->ReadFileStart(process + "/status", 64, &status).ok() &&
         status.compare(0, sizeof kName - 1, kName) == 0;
}

// The kernel's own threads, which run no program and so no wineserver:
// kthreadd, process 2, and its children. Most of /proc on many machines.
// Process 2 counts only with the kernel-thread flag, which no program can
// set for itself (in a pid namespace, process 2 is an ordinary one). The
// kernel also starts its helper programs (modprobe, core dump handlers) as
// kthreadd's children; a wineserver started by one would have forked
// itself into the background, away from kthreadd. Empty, so that every
// process is looked at, when /proc shows no kthreadd or no children file.
std::vector<std::string> KernelThreads(Env* env, const std::string& proc) {
  constexpr unsigned long kKernelThreadFlag = 0x00200000;  // PF_KTHREAD
  std::vector<std::string> threads;
  ProcStat kthreadd;
  std::vector<std::string> children;
  if (!ReadProcStat(env, proc + "/2", &kthreadd) || kthreadd.fields < 3 ||
      (kthreadd.flags & kKernelThreadFlag) == 0 ||
      !ReadChildren(env, proc + "/2/task/2/children", kMaxChildrenBytes,
                    &children)) {
    return threads;
  }
  threads.push_back("2");
  threads.insert(threads.end(), children.begin(), children.end());
  std::sort(threads.begin(), threads.end());
  return threads;
}

// One look through /proc for the server of one prefix. A look costs one
// readlink per process: only a process whose working directory has the
// server directory's name, or the prefix's own name, can be the server,
// and only those are asked for more. What this misses is a server that
// loads the registry in the prefix reached under another name (a bind
// mount); that takes a fraction of a second, and such a server holds its
// lock already, which the lock probe sees.
class ProcSearch {
 public:
  ProcSearch(Env* env, const std::string& proc, const FileInfo& prefix,
             const std::string& prefix_name)
      : env_(env),
        proc_(proc),
        prefix_(prefix),
        prefix_name_(prefix_name),
        self_(std::to_string(getpid())),
        kernel_threads_(KernelThreads(env, proc)) {}

  // The server, else a wineserver of the owner's that may be it but may
  // not be looked at (see Look), else 0.
  pid_t Find() const {
    std::vector<std::string> entries;
    if (!env_->ListDirectory(proc_, &entries).ok()) return 0;
    pid_t hidden = 0;
    for (const std::string& entry : entries) {
      const Verdict verdict = Look(entry);
      const pid_t pid = static_cast<pid_t>(strtol(entry.c_str(), nullptr, 10));
      if (verdict == Verdict::kServer) return pid;
      if (verdict == Verdict::kHiddenServer && hidden == 0) hidden = pid;
    }
    return hidden;
  }

 private:
  // Where a process works, as far as the search cares. kHidden: we may not
  // know (a process in a user namespace we have no rights in, such as a
  // sandbox root made for the owner).
  enum class Workplace { kElsewhere, kPrefix, kServerDirectory, kHidden };
  enum class Verdict { kOther, kServer, kHiddenServer };

  Verdict Look(const std::string& entry) const {
    // This process holds the prefix directory open too, for its lock.
    if (!AllDigits(entry) || entry == self_ ||
        std::binary_search(kernel_threads_.begin(), kernel_threads_.end(),
                           entry)) {
      return Verdict::kOther;
    }
    const std::string process = proc_ + "/" + entry;
    const Workplace workplace = WorkplaceOf(process);
    // Wine serves a prefix only to its owner: a look-alike of another
    // user's is no server.
    if (workplace == Workplace::kElsewhere ||
        !RunsAs(env_, process, prefix_.uid)) {
      return Verdict::kOther;
    }
    // A wineserver of the owner's that may serve this prefix unseen: taken
    // for it, so that nothing is written while it may run.
    if (workplace == Workplace::kHidden) {
      return IsNamedWineserver(env_, process) ? Verdict::kHiddenServer
                                              : Verdict::kOther;
    }
    return HoldsServerDirectories(process,
                                  workplace == Workplace::kServerDirectory)
               ? Verdict::kServer
               : Verdict::kOther;
  }

  // The working directory first: it rules out nearly every process without
  // listing its descriptors. A server works in its server directory,
  // except while it starts and loads the registry, which it does from the
  // prefix directory.
  Workplace WorkplaceOf(const std::string& process) const {
    std::string cwd;
    const Status read = env_->ReadLink(process + "/cwd", &cwd);
    if (read.code() == Status::kAccessDenied) return Workplace::kHidden;
    if (!read.ok()) return Workplace::kElsewhere;
    const std::string name = LastElement(cwd);
    if (IsServerDirectoryOf(name, prefix_)) return Workplace::kServerDirectory;
    FileInfo info;
    const bool in_prefix = !prefix_name_.empty() && name == prefix_name_ &&
                           env_->GetFileInfo(process + "/cwd", &info).ok() &&
                           SameFile(info, prefix_);
    return in_prefix ? Workplace::kPrefix : Workplace::kElsewhere;
  }

  // Whether the process holds the prefix directory open, and the server
  // directory unless it works there (a program that merely runs in the
  // prefix, or another run of ours, holds no server directory).
  bool HoldsServerDirectories(const std::string& process,
                              bool holds_server_dir) const {
    std::vector<std::string> descriptors;
    if (!env_->ListDirectory(process + "/fd", &descriptors).ok()) return false;
    bool holds_prefix = false;
    for (const std::string& fd : descriptors) {
      const std::string link = process + "/fd/" + fd;
      FileInfo open_file;
      if (!env_->GetFileInfo(link, &open_file).ok() ||
          !open_file.is_directory) {
        continue;
      }
      if (SameFile(open_file, prefix_)) {
        holds_prefix = true;
      } else if (!holds_server_dir) {
        std::string target;
        holds_server_dir = env_->ReadLink(link, &target).ok() &&
                           IsServerDirectoryOf(target, prefix_);
      }
      if (holds_prefix && holds_server_dir) return true;
    }
    return false;
  }

  Env* env_;
  const std::string proc_;
  const FileInfo prefix_;
  const std::string prefix_name_;
  const std::string self_;
  const std::vector<std::string> kernel_threads_;
};

}  // namespace

std::vector<std::string> DirectoryLinksOf(Env* env,
                                          const std::string& process) {
  std::vector<std::string> links = {process + "/cwd"};
  std::vector<std::string> descriptors;
  if (env->ListDirectory(process + "/fd", &descriptors).ok()) {
    for (const std::string& fd : descriptors) {
      links.push_back(process + "/fd/" + fd);
    }
  }
  return links;
}

std::string ServerLockFile::Path() const {
  std::string path = base;
  for (const std::string& name : directories) path += "/" + name;
  return path + "/lock";
}

std::string ServerLockFile::DirectoryPath() const {
  std::string path = base;
  for (const std::string& name : directories) path += "/" + name;
  return path;
}

std::string WithoutDeletedMark(std::string target) {
  static const char kDeleted[] = " (deleted)";
  const size_t length = sizeof kDeleted - 1;
  if (target.size() > length &&
      target.compare(target.size() - length, length, kDeleted) == 0) {
    target.resize(target.size() - length);
  }
  return target;
}

std::string ServerDirectoryName(uint64_t device, uint64_t inode) {
  char name[64];
  snprintf(name, sizeof name, "server-%llx-%llx",
           static_cast<unsigned long long>(device),
           static_cast<unsigned long long>(inode));
  return name;
}

RunningServer::RunningServer(Env* env, const PrefixLocation& location)
    : env_(env), location_(location) {
  while (location_.tmpdir.size() > 1 && location_.tmpdir.back() == '/') {
    location_.tmpdir.pop_back();
  }
}

std::vector<ServerLockFile> RunningServer::CandidateLockFiles(
    bool* name_file_unsafe) const {
  if (name_file_unsafe != nullptr) *name_file_unsafe = false;
  std::vector<ServerLockFile> files;
  FileInfo prefix;
  if (!env_->GetFileInfo(location_.directory, &prefix).ok()) return files;
  const std::string server_dir =
      ServerDirectoryName(prefix.device, prefix.inode);

  std::string name;
  Status status = env_->ReadFileStart(location_.directory + "/wineserver",
                                        kMaxNameFileBytes, &name);
  if (!status.ok() && status.code() != Status::kNotFound &&
      name_file_unsafe != nullptr) {
    // Neither read nor known to be absent: the name is not known.
    *name_file_unsafe = true;
  }
  if (status.ok() && !name.empty() && name.find('/') == std::string::npos &&
      name != "." && name != "..") {
    std::vector<std::string> bases;
    if (!location_.tmpdir.empty()) bases.push_back(location_.tmpdir);
    if (location_.tmpdir != location_.system_tmp) {
      bases.push_back(location_.system_tmp);
    }
    for (const std::string& base : bases) {
      ServerLockFile file;
      file.base = base;
      file.directories = {name, server_dir};
      file.uid = prefix.uid;
      files.push_back(file);
    }
  }
  ServerLockFile upstream;
  upstream.base = location_.system_tmp;
  upstream.directories = {".wine-" + std::to_string(prefix.uid), server_dir};
  upstream.uid = prefix.uid;
  files.push_back(upstream);
  return files;
}

FoundServer RunningServer::Find(bool look_in_proc) const {
  std::unique_ptr<Lock> directory_lock;
  Status locked = env_->LockDirectory(location_.directory, &directory_lock);
  FoundServer found;
  if (locked.code() == Status::kNotFound) return found;
  if (!locked.ok()) {
    found.state = FoundServer::kUnknown;
    found.why = locked.message();
    return found;
  }
  found.pid = look_in_proc ? ServerInProc() : 0;
  if (found.pid != 0) {
    found.state = FoundServer::kRunning;
    return found;
  }
  return FindInLockFiles();
}

pid_t RunningServer::ServerInProc() const {
  FileInfo prefix;
  if (!env_->GetFileInfo(location_.directory, &prefix).ok()) return 0;
  std::string real_prefix;
  const std::string prefix_name =
      env_->RealPath(location_.directory, &real_prefix).ok()
          ? LastElement(real_prefix)
          : std::string();
  return ProcSearch(env_, location_.proc, prefix, prefix_name).Find();
}

FoundServer RunningServer::FindInLockFiles() const {
  FoundServer found;
  bool unsafe = false;
  std::string unsafe_why;
  for (const ServerLockFile& file : CandidateLockFiles(&unsafe)) {
    pid_t holder = 0;
    switch (ProbeLock(env_, file, &holder)) {
      case LockFileState::kHeld:
        // A holder of another user's tells of a server, but is none to
        // take anything from.
        if (holder > 0 &&
            RunsAs(env_, location_.proc + "/" + std::to_string(holder),
                   file.uid)) {
          found.pid = holder;
        }
        found.state = FoundServer::kRunning;
        return found;
      case LockFileState::kUnsafe:
        if (unsafe_why.empty()) unsafe_why = WhyUnknowable(env_, file);
        unsafe = true;
        break;
      case LockFileState::kAbsent:
      case LockFileState::kFree:
        break;
    }
  }
  found.state = unsafe ? FoundServer::kUnknown : FoundServer::kNone;
  if (unsafe) {
    found.why = unsafe_why.empty()
                    ? location_.directory + "/wineserver: not a readable file"
                    : unsafe_why;
  }
  return found;
}

bool SaveGuard::ServerAppeared() const {
  return servers_->ServerInProc() != 0;
}

Status RunningServer::GuardSave(std::unique_ptr<SaveGuard>* guard) const {
  std::unique_ptr<SaveGuard> held(new SaveGuard(this));
  Status status = env_->LockDirectory(location_.directory,
                                      &held->directory_lock_);
  if (!status.ok()) return status;
  // No look in /proc now: the guard's last look, right before the file
  // changes, covers a server that started before the locks were taken.
  if (!TakeServerLocks(&held->server_locks_)) {
    return Status(Status::kBusy, kServerServesPrefix);
  }
  *guard = std::move(held);
  return Status();
}

bool RunningServer::TakeServerLocks(
    std::vector<std::unique_ptr<Lock>>* held) const {
  held->clear();
  bool unsafe = false;
  std::vector<ServerLockFile> files = CandidateLockFiles(&unsafe);
  if (unsafe) return false;
  for (const ServerLockFile& file : files) {
    std::unique_ptr<Lock> lock;
    switch (TakeLock(env_, file, &lock)) {
      case LockFileState::kAbsent:
        break;
      case LockFileState::kFree:
        held->push_back(std::move(lock));
        break;
      case LockFileState::kHeld:
      case LockFileState::kUnsafe:
        held->clear();
        return false;
    }
  }
  return true;
}

}  // namespace prefix
}  // namespace regservice
