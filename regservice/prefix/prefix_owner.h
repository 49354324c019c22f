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
    kPrefixOwner,  // root that became the prefix's owner
    kRefused,      // root that may act for nobody: nothing is to be done
  };
  Kind kind = kCaller;
  uid_t prefix_owner = 0;  // owner of the prefix directory, when known
  std::string directory;   // the prefix directory acted on, when root's
  std::string reason;      // for kRefused, one line
};

// For a run with effective user id 0: stats the prefix directory (and the
// directories its real path goes through) and no more, then stays root
// when root owns it, becomes its owner when another user does, or refuses
// when it is missing, the owner cannot be become, or a directory on the
// way belongs to a third user or may be written by others (it could be
// swapped for another). Staying root, location->directory becomes the real
// path, so that a symlink changed later cannot lead root elsewhere.
// Others keep what they are.
RunIdentity AdoptPrefixOwner(Env* env, Identity* identity,
                             PrefixLocation* location);

}  // namespace prefix
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_PREFIX_PREFIX_OWNER_H_
