// The one rule for what a run may trust on a user's behalf: a file, a
// directory or a path that no one but root and that user can change.
//
// A path is judged as named, not only where it leads: every directory and
// every symlink met on the way, from / down, as given and as followed,
// counts. A symlink of a third user's on the way could lead the run
// anywhere later, whatever it points to now.
#ifndef QUILLFIX_REGSERVICE_PREFIX_OWNERSHIP_H_
#define QUILLFIX_REGSERVICE_PREFIX_OWNERSHIP_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "regservice/prefix/env.h"
#include "regservice/status.h"

namespace regservice {
namespace prefix {

// Who may hold what is checked.
struct HoldRule {
  // Root too, or the owner only (a server's own directories).
  bool root_may_hold = true;
  // A directory others may write to but with the sticky bit (such as /tmp)
  // on the way: others cannot move or remove what is not theirs in it.
  // Never the last directory, nor the one a checked file is in.
  bool sticky_on_the_way = true;
};

// Whether `info` belongs to root (if the rule lets it) or `owner`, and, but
// for a symlink, whose own mode means nothing, may be written by no one
// else. `sticky_allowed`: a sticky directory others may write counts.
bool IsHeldBy(const FileInfo& info, uid_t owner, const HoldRule& rule,
              bool sticky_allowed);

// One element met while a path was followed.
struct PathStep {
  std::string path;  // as reached: the directories above it resolved
  FileInfo info;     // lstat of it
};

// A path followed from / down, symlinks resolved on the way.
struct PathWalk {
  std::vector<PathStep> steps;  // in the order met; symlinks included
  std::string resolved;         // where the path leads
  FileInfo reached;             // lstat of `resolved`
};

// Follows the absolute `path` element by element (lstat and readlink only,
// through `env`), as the kernel would, and records what it meets. Fails
// when an element is missing (kNotFound), for a relative path, or after 40
// symlinks.
Status WalkPath(Env* env, const std::string& path, PathWalk* walk);

// Whether everything `walk` met is held by root or `owner` under `rule`:
// each directory and symlink on the way, the element reached (never a
// sticky exception), and, when that is a file, the directory it is in.
// *why (optional) names the first that is not, in one line.
bool PathHeldBy(const PathWalk& walk, uid_t owner, const HoldRule& rule,
                std::string* why);

// What a file is to be used for.
enum class FileUse { kRead, kExecute };

// A file a run may read or start on `owner`'s behalf: `path`, followed as
// above, leads to a regular file (with an execute bit for kExecute), held
// by root or `owner` like every element on the way and its directory.
// *resolved is then its real path, which no one else can change, so that
// the file used is the one checked.
bool FindTrustedFile(Env* env, const std::string& path, uid_t owner,
                     FileUse use, std::string* resolved, std::string* why);

}  // namespace prefix
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_PREFIX_OWNERSHIP_H_
