#include "regservice/prefix/ownership.h"

#include <errno.h>

#include <deque>

namespace regservice {
namespace prefix {

namespace {

// As many symlinks as the kernel follows in one path.
const int kMaxLinks = 40;
const uint32_t kWritableByOthers = 022;
const uint32_t kSticky = 01000;
const uint32_t kAnyExecute = 0111;

// The elements of `path`, "" and "." left out.
std::deque<std::string> ElementsOf(const std::string& path) {
  std::deque<std::string> elements;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string name = path.substr(start, end - start);
    if (!name.empty() && name != ".") elements.push_back(name);
    start = end + 1;
  }
  return elements;
}

std::string Join(const std::string& directory, const std::string& name) {
  return directory == "/" ? "/" + name : directory + "/" + name;
}

}  // namespace

bool IsHeldBy(const FileInfo& info, uid_t owner, const HoldRule& rule,
              bool sticky_allowed) {
  if (info.uid != owner && !(rule.root_may_hold && info.uid == 0)) {
    return false;
  }
  if (info.is_symlink) return true;
  if ((info.mode & kWritableByOthers) == 0) return true;
  return sticky_allowed && info.is_directory && (info.mode & kSticky) != 0;
}

Status WalkPath(Env* env, const std::string& path, PathWalk* walk) {
  *walk = PathWalk();
  if (path.empty() || path[0] != '/') {
    return Status(Status::kInvalidArgument, path + ": not an absolute path");
  }
  FileInfo info;
  Status status = env->GetLinkInfo("/", &info);
  if (!status.ok()) return status;
  walk->steps.push_back({"/", info});
  std::string current = "/";
  FileInfo current_info = info;
  std::deque<std::string> pending = ElementsOf(path);
  int links = 0;
  while (!pending.empty()) {
    const std::string name = pending.front();
    pending.pop_front();
    if (!current_info.is_directory) {
      return Status::FromErrno(Status::kNotFound, ENOTDIR, "lstat " + current);
    }
    if (name == "..") {
      current = DirectoryOf(current);
      status = env->GetLinkInfo(current, &current_info);
      if (!status.ok()) return status;
      continue;
    }
    const std::string next = Join(current, name);
    status = env->GetLinkInfo(next, &info);
    if (!status.ok()) return status;
    walk->steps.push_back({next, info});
    if (!info.is_symlink) {
      current = next;
      current_info = info;
      continue;
    }
    if (++links > kMaxLinks) {
      return Status::FromErrno(Status::kReadError, ELOOP, "follow " + path);
    }
    std::string target;
    status = env->ReadLink(next, &target);
    if (!status.ok()) return status;
    if (!target.empty() && target[0] == '/') {
      current = "/";
      status = env->GetLinkInfo(current, &current_info);
      if (!status.ok()) return status;
    }
    std::deque<std::string> more = ElementsOf(target);
    pending.insert(pending.begin(), more.begin(), more.end());
  }
  walk->resolved = current;
  walk->reached = current_info;
  return Status();
}

bool PathHeldBy(const PathWalk& walk, uid_t owner, const HoldRule& rule,
                std::string* why) {
  // The directory a file reached is in is as strict as the file.
  const std::string strict_directory =
      walk.reached.is_directory ? walk.resolved : DirectoryOf(walk.resolved);
  for (const PathStep& step : walk.steps) {
    const bool strict =
        step.path == walk.resolved || step.path == strict_directory;
    if (IsHeldBy(step.info, owner, rule, rule.sticky_on_the_way && !strict)) {
      continue;
    }
    if (why != nullptr) {
      const bool others =
          step.info.uid == owner || (rule.root_may_hold && step.info.uid == 0);
      *why = step.path + (others ? ": others may write to it"
                                 : ": belongs to another user");
    }
    return false;
  }
  return true;
}

bool FindTrustedFile(Env* env, const std::string& path, uid_t owner,
                     FileUse use, std::string* resolved, std::string* why) {
  PathWalk walk;
  Status status = WalkPath(env, path, &walk);
  if (!status.ok()) {
    if (why != nullptr) *why = status.message();
    return false;
  }
  const bool executable = (walk.reached.mode & kAnyExecute) != 0;
  if (!walk.reached.is_regular || (use == FileUse::kExecute && !executable)) {
    if (why != nullptr) {
      *why = walk.resolved + (use == FileUse::kExecute
                                  ? ": not an executable file"
                                  : ": not a regular file");
    }
    return false;
  }
  if (!PathHeldBy(walk, owner, HoldRule(), why)) return false;
  *resolved = walk.resolved;
  return true;
}

}  // namespace prefix
}  // namespace regservice
