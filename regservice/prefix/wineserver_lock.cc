#include "regservice/prefix/wineserver_lock.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>

namespace regservice {
namespace prefix {

WineserverLock::WineserverLock(Env* env, std::string prefix_dir,
                               std::string tmpdir, uid_t uid)
    : env_(env),
      prefix_dir_(std::move(prefix_dir)),
      tmpdir_(std::move(tmpdir)),
      uid_(uid) {}

std::vector<std::string> WineserverLock::CandidateLockFiles() const {
  std::vector<std::string> paths;
  FileInfo prefix;
  if (!env_->GetFileInfo(prefix_dir_, &prefix).ok()) return paths;
  char server_dir[64];
  snprintf(server_dir, sizeof server_dir, "server-%llx-%llx",
           static_cast<unsigned long long>(prefix.device),
           static_cast<unsigned long long>(prefix.inode));

  std::string name;
  if (env_->ReadFile(prefix_dir_ + "/wineserver", &name).ok() &&
      !name.empty() && name.find('/') == std::string::npos && name != "." &&
      name != "..") {
    std::vector<std::string> bases;
    if (!tmpdir_.empty()) bases.push_back(tmpdir_);
    bases.push_back("/tmp");
    for (const std::string& base : bases) {
      std::string path = base + "/" + name + "/" + server_dir + "/lock";
      if (std::find(paths.begin(), paths.end(), path) == paths.end()) {
        paths.push_back(path);
      }
    }
  }
  paths.push_back("/tmp/.wine-" + std::to_string(uid_) + "/" + server_dir +
                  "/lock");
  return paths;
}

bool WineserverLock::ServerRunning() const {
  for (const std::string& path : CandidateLockFiles()) {
    if (env_->ProbeServerLock(path) == ServerLockState::kHeld) return true;
  }
  return false;
}

namespace {

// The process holding the server lock of `path`, or 0.
pid_t LockHolder(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return 0;
  struct flock probe = {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = 0;
  probe.l_len = 1;
  pid_t holder = 0;
  if (fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK) {
    holder = probe.l_pid;
  }
  close(fd);
  return holder;
}

}  // namespace

bool WineserverLock::FindServer(pid_t* pid) const {
  *pid = 0;
  for (const std::string& path : CandidateLockFiles()) {
    if (env_->ProbeServerLock(path) == ServerLockState::kHeld) {
      *pid = LockHolder(path);
      return true;
    }
  }
  return false;
}

bool WineserverLock::HoldAgainstServers(
    std::vector<std::unique_ptr<Lock>>* held) const {
  held->clear();
  for (const std::string& path : CandidateLockFiles()) {
    std::unique_ptr<Lock> lock;
    switch (env_->TakeServerLock(path, &lock)) {
      case ServerLockState::kAbsent:
        break;
      case ServerLockState::kFree:
        held->push_back(std::move(lock));
        break;
      case ServerLockState::kHeld:
        held->clear();
        return false;
    }
  }
  return true;
}

}  // namespace prefix
}  // namespace regservice
