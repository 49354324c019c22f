#include "regservice/prefix/prefix_owner.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "regservice/prefix/ownership.h"

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

RunIdentity DecidePrefixOwner(Env* env, uid_t effective_uid,
                              PrefixLocation* location) {
  RunIdentity run;
  if (location->directory.empty() || effective_uid != 0) return run;
  PathWalk walk;
  Status status = WalkPath(env, location->directory, &walk);
  if (status.ok() && !walk.reached.is_directory) {
    status = Status::FromErrno(Status::kNotFound, ENOTDIR,
                               "lstat " + location->directory + "/user.reg");
  }
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
  const uid_t owner = walk.reached.uid;
  std::string why;
  if (!PathHeldBy(walk, owner, HoldRule(), &why)) {
    return Refused("not acting on " + location->directory + ": " + why);
  }
  run.prefix_owner = owner;
  // From here on the resolved path: nothing on it can be changed by
  // anyone but root and the owner.
  location->directory = walk.resolved;
  run.directory = walk.resolved;
  run.kind = owner == 0 ? RunIdentity::kCaller : RunIdentity::kPrefixOwner;
  return run;
}

RunIdentity BecomePrefixOwner(Identity* identity, RunIdentity run) {
  if (run.kind != RunIdentity::kPrefixOwner) return run;
  std::string why;
  if (!identity->BecomeUser(run.prefix_owner, &why)) {
    return Refused("not acting on " + run.directory + ": " + why);
  }
  return run;
}

RunIdentity AdoptPrefixOwner(Env* env, Identity* identity,
                             PrefixLocation* location) {
  return BecomePrefixOwner(
      identity,
      DecidePrefixOwner(env, identity->EffectiveUid(), location));
}

}  // namespace prefix
}  // namespace regservice
