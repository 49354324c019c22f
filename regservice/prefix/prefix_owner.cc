#include "regservice/prefix/prefix_owner.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

namespace regservice {
namespace prefix {

namespace {

class RealIdentity : public Identity {
 public:
  uid_t EffectiveUid() override { return geteuid(); }

  bool BecomeUser(uid_t uid, std::string* why) override {
    struct passwd entry;
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
      *why = "user id " + std::to_string(uid) + " has no account";
      return false;
    }
    const gid_t gid = entry.pw_gid;
    // Groups first: only root may set them, and root is given up last.
    if (initgroups(entry.pw_name, gid) != 0) return Failed("initgroups", why);
    if (setresgid(gid, gid, gid) != 0) return Failed("setresgid", why);
    if (setresuid(uid, uid, uid) != 0) return Failed("setresuid", why);
    if (!Dropped(uid, gid)) {
      *why = "could not give up root for user id " + std::to_string(uid);
      return false;
    }
    setenv("HOME", entry.pw_dir, 1);
    setenv("USER", entry.pw_name, 1);
    setenv("LOGNAME", entry.pw_name, 1);
    return true;
  }

 private:
  static bool Failed(const char* call, std::string* why) {
    *why = std::string(call) + ": " + strerror(errno);
    return false;
  }

  // A drop is checked, not assumed: every id is the user's and root's
  // cannot be taken back.
  static bool Dropped(uid_t uid, gid_t gid) {
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    if (getresuid(&ruid, &euid, &suid) != 0 ||
        getresgid(&rgid, &egid, &sgid) != 0) {
      return false;
    }
    if (ruid != uid || euid != uid || suid != uid || rgid != gid ||
        egid != gid || sgid != gid) {
      return false;
    }
    // A group of 0 is the account's own and may be set again.
    return setuid(0) != 0 && (gid == 0 || setgid(0) != 0);
  }
};

// Whether every directory from / down to `real_path` (resolved) belongs to
// root or `owner` and may be written by no one else (but a sticky one, such
// as /tmp, where others cannot move what is not theirs).
bool PathHeldBy(Env* env, const std::string& real_path, uid_t owner,
                std::string* why) {
  std::vector<std::string> directories = {"/"};
  for (size_t slash = real_path.find('/', 1); slash != std::string::npos;
       slash = real_path.find('/', slash + 1)) {
    directories.push_back(real_path.substr(0, slash));
  }
  if (real_path != "/") directories.push_back(real_path);
  for (const std::string& path : directories) {
    FileInfo info;
    if (!env->GetLinkInfo(path, &info).ok() || !info.is_directory) {
      *why = path + ": not a directory";
      return false;
    }
    const bool sticky = (info.mode & 01000) != 0;
    if ((info.uid != 0 && info.uid != owner) ||
        ((info.mode & 022) != 0 && !sticky)) {
      *why = path + ": another user can change it";
      return false;
    }
  }
  return true;
}

RunIdentity Refused(const std::string& reason) {
  RunIdentity run;
  run.kind = RunIdentity::kRefused;
  run.reason = reason;
  return run;
}

}  // namespace

Identity* PosixIdentity() {
  static Identity* identity = new RealIdentity;
  return identity;
}

RunIdentity AdoptPrefixOwner(Env* env, Identity* identity,
                             PrefixLocation* location) {
  RunIdentity run;
  if (location->directory.empty() || identity->EffectiveUid() != 0) {
    return run;
  }
  std::string real;
  FileInfo info;
  Status status = env->RealPath(location->directory, &real);
  if (status.ok()) status = env->GetFileInfo(real, &info);
  if (!status.ok()) {
    // Said as a run of the user's would say it: no user.reg there.
    const std::string why =
        status.code() == Status::kNotFound
            ? Status::FromErrno(Status::kReadError, status.error(),
                                "lstat " + location->directory + "/user.reg")
                  .message()
            : status.message();
    return Refused("no Wine prefix at " + location->directory + " (" + why +
                   ")");
  }
  std::string why;
  if (!PathHeldBy(env, real, info.uid, &why)) {
    return Refused("not acting on " + location->directory + ": " + why);
  }
  run.prefix_owner = info.uid;
  // From here on the resolved path: a symlink on the way, changed later,
  // cannot lead elsewhere.
  location->directory = real;
  run.directory = real;
  if (info.uid == 0) return run;
  if (!identity->BecomeUser(info.uid, &why)) {
    return Refused("not acting on " + location->directory + ": " + why);
  }
  run.kind = RunIdentity::kPrefixOwner;
  return run;
}

}  // namespace prefix
}  // namespace regservice
