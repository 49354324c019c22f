// Who a run acts as. Wine serves a prefix only to its owner; a run by root
// on another user's prefix becomes that user, for good, before it touches
// anything of the prefix, so that the kernel's own permission checks, not
// a decision of ours per file, keep it within what that user may do.
#ifndef QUILLFIX_REGSERVICE_PREFIX_PREFIX_OWNER_H_
#define QUILLFIX_REGSERVICE_PREFIX_PREFIX_OWNER_H_

#include <sys/types.h>

#include <string>

#include "regservice/prefix/env.h"
#include "regservice/prefix/running_server.h"

namespace regservice {
namespace prefix {

// The process's identity, behind an interface so that a test can see when
// the switch happens among the file calls of its Env.
class Identity {
 public:
  virtual ~Identity() = default;
  virtual uid_t EffectiveUid() = 0;
  // Becomes the user `uid` for good: the groups of its account entry, its
  // group, its user id, checked so that root cannot be regained; then
  // HOME, USER and LOGNAME are the account's. False with the reason in
  // *why when there is no account entry or a step fails; the process must
  // then touch nothing of the user's.
  virtual bool BecomeUser(uid_t uid, std::string* why) = 0;
};

// The real one. Lives for the whole process; never null.
Identity* PosixIdentity();

// What a run found out about whom it acts as.
struct RunIdentity {
  enum Kind {
    kCaller,       // as who started it (not root, or root's own prefix)
    kPrefixOwner,  // root that acts as the prefix's owner
    kRefused,      // root that may act for nobody: nothing is to be done
  };
  Kind kind = kCaller;
  uid_t prefix_owner = 0;  // owner of the prefix directory, when known
  std::string directory;   // the prefix directory acted on, when root's
  std::string reason;      // for kRefused, one line
};

// For a run with effective user id 0: follows the prefix path as named
// (lstat and readlink of each element, ownership.h) and decides, touching
// nothing: kCaller when root owns the directory reached, kPrefixOwner when
// another user does, kRefused when it is missing or anything on the way,
// as named or as followed, belongs to a third user or may be written by
// others (a sticky directory such as /tmp on the way excepted, never the
// prefix itself). location->directory becomes the resolved path, which no
// one but root and the owner can change. Others keep what they are.
RunIdentity DecidePrefixOwner(Env* env, uid_t effective_uid,
                              PrefixLocation* location);

// Carries out a kPrefixOwner decision: becomes the owner for good, or
// answers kRefused with the reason. Other decisions are returned as they
// are.
RunIdentity BecomePrefixOwner(Identity* identity, RunIdentity run);

// Both in one, for a run with nothing to do between them.
RunIdentity AdoptPrefixOwner(Env* env, Identity* identity,
                             PrefixLocation* location);

}  // namespace prefix
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_PREFIX_PREFIX_OWNER_H_
