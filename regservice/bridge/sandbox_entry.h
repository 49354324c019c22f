// Starting the helper inside the namespaces of a sandboxed wineserver
// (bwrap, flatpak, unshare), as `flatpak enter` joins a running sandbox:
// the run's connection reaches the server from anywhere, but a Wine client
// must live in the server's process-id namespace (the server signals
// clients by the ids they report) and sees its files as the server does. doc/running-wine.md, "A sandboxed
// Wine", tells what is joined and what is refused.
//
// The plan is made before fork from what /proc shows of the server (read
// through an Env, so that tests can lay out a /proc of their own) and what
// only the kernel can tell (a NamespaceKernel). JoinSandbox runs in the
// forked child, between fork and exec: async-signal-safe calls only.
#ifndef QUILLFIX_REGSERVICE_BRIDGE_SANDBOX_ENTRY_H_
#define QUILLFIX_REGSERVICE_BRIDGE_SANDBOX_ENTRY_H_

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "regservice/prefix/env.h"
#include "regservice/prefix/running_server.h"

namespace regservice {
namespace bridge {

struct HelperLaunch;

// What the kernel says of namespaces and of paths in another process's
// root, which no file read tells. Abstract so that tests can answer for
// it.
class NamespaceKernel {
 public:
  virtual ~NamespaceKernel() = default;
  // The owner of the user namespace to join for the server whose user
  // namespace is `user_ns` (its /proc/<pid>/ns/user): of those on the way
  // from ours down to it, the outermost one that is not ours. An error
  // when it is not below ours.
  virtual Status UserNamespaceOwner(const std::string& user_ns,
                                    uid_t* owner) = 0;
  // stat (`follow`) or lstat of `path` resolved inside the root directory
  // `root` (a /proc/<pid>/root), every symlink on the way staying in it.
  virtual Status InfoInRoot(const std::string& root, const std::string& path,
                            bool follow, prefix::FileInfo* info) = 0;
  virtual Status ReadLinkInRoot(const std::string& root,
                                const std::string& path,
                                std::string* target) = 0;
};

// The real one. Lives for the whole process; never null.
NamespaceKernel* LinuxNamespaceKernel();

// How a server is confined, as its /proc/<pid>/status shows it: whether
// it may gain privileges through exec, and its capability sets (bit n is
// capability n). The helper in its sandbox is confined no less. What
// cannot be read counts as the most confined: no new privileges, no
// capabilities.
struct Confinement {
  bool no_new_privs = true;
  unsigned long long inheritable = 0;
  unsigned long long permitted = 0;
  unsigned long long effective = 0;
  unsigned long long bounding = 0;
  unsigned long long ambient = 0;
};

// The confinement the status text `status` (of /proc/<pid>/status) shows.
Confinement ConfinementFromStatus(const std::string& status);

// In a forked child that has joined a sandbox's user namespace, before
// exec (async-signal-safe): drops every capability `server` lacks from the
// bounding, ambient, inheritable, permitted and effective sets, and sets
// no-new-privileges when the server has it. Exits with status 127 when
// one step fails. A seccomp filter of the server's cannot be copied: only
// root in the initial user namespace may read one.
void ConfineLike(const Confinement& server);

// The namespaces and files of one server, as planned before fork.
struct SandboxPlan {
  pid_t server = 0;
  uid_t owner = 0;                    // the prefix's owner
  unsigned long long start_time = 0;  // field 22 of /proc/<pid>/stat
  bool join_user = false;             // each: the server's differs from ours
  bool join_mount = false;
  bool join_pid = false;
  std::string prefix;  // the prefix as the server sees it
  // Wine's loader beside the server, as the server sees it: the file it
  // leads to, which was checked.
  std::string loader;
  // The child's whole environment: the server's own, less display and
  // session variables, with WINEPREFIX (`prefix`) and WINEDEBUG=-all.
  std::vector<std::string> environment;
  // The server's confinement, which the child gets too.
  Confinement confinement;
};

// What a look at the server's namespaces found.
enum class SandboxVerdict {
  kOwnNamespaces,  // the server runs in ours: start the helper as ever
  kJoinable,       // in others that may be joined
  kRefused,        // in others that may not (or cannot) be joined
};

// Plans the helper's start for the server `server` of the prefix at
// `location` owned by `owner`, by a run whose effective user id is
// `caller` (root never joins). kRefused says why in *why, one phrase.
SandboxVerdict PlanSandbox(prefix::Env* env, NamespaceKernel* kernel,
                           const prefix::PrefixLocation& location,
                           pid_t server, uid_t owner, uid_t caller,
                           SandboxPlan* plan, std::string* why);

// The server's namespaces, open, and the helper's copy in the prefix.
// Closes the descriptors and removes the copy when destroyed: a helper
// started with it must have ended by then.
class SandboxEntry {
 public:
  ~SandboxEntry();
  SandboxEntry(const SandboxEntry&) = delete;
  SandboxEntry& operator=(const SandboxEntry&) = delete;

  // Opens what `plan` names and copies `helper_program` into the prefix
  // (`prefix_dir`, the prefix as we see it) under a name of its own. Null
  // with the reason in *why when the server has ended since (its start
  // time differs), a namespace cannot be opened or the copy fails.
  static std::unique_ptr<SandboxEntry> Open(
      prefix::Env* env, const prefix::PrefixLocation& location,
      const SandboxPlan& plan, const std::string& helper_program,
      std::string* why);

  // The helper's copy as the server sees it.
  const std::string& helper_in_sandbox() const { return helper_in_sandbox_; }
  // Removes the copy, once Wine has loaded it (the helper said hello), so
  // that a run killed later leaves nothing behind. Idempotent.
  void RemoveHelperCopy();
  // Whether the server found still runs: the very process, not another
  // that got its id.
  bool ServerRuns() const;

  // In the forked child of `parent`, between fork and exec
  // (async-signal-safe calls only): joins the user, mount and process-id
  // namespaces in that order, changes to the server's root, confines
  // itself as the server is (ConfineLike), and forks once
  // more so that the helper is born in the server's process-id namespace;
  // returns in that new process, which dies with its parent, with the
  // namespaces' descriptors closed. The first child waits for it and exits
  // with its status. Exits with status 127 when a step fails.
  void JoinInChild(pid_t parent) const;

 private:
  SandboxEntry() = default;

  prefix::Env* env_ = nullptr;
  int user_ns_ = -1;
  int mount_ns_ = -1;
  int pid_ns_ = -1;
  int root_ = -1;
  int server_ = -1;  // a pidfd: readable once the server has ended
  std::string helper_copy_;  // our path of the copy, to remove it
  std::string helper_in_sandbox_;
  Confinement confinement_;  // the server's
};

// The whole plan for the server `server` of the prefix at `location`
// (owned by `owner`), with the real kernel: kOwnNamespaces leaves *launch
// alone; kJoinable fills it to start the helper inside the server's
// namespaces, its copy in the prefix made; kRefused says why in *why.
SandboxVerdict PlanSandboxLaunch(prefix::Env* env,
                                 const prefix::PrefixLocation& location,
                                 pid_t server, uid_t owner,
                                 HelperLaunch* launch, std::string* why);

// The prefix of the names of the helper's copies, each
// "<prefix><pid>-<random>.exe" after the run that made it.
extern const char kHelperCopyPrefix[];

// Removes the copies in the prefix directory `prefix_dir` (ours) that runs
// since ended left behind (runs killed before their helper started).
void RemoveStaleHelperCopies(prefix::Env* env, const std::string& prefix_dir);

// WINEESYNC and WINEFSYNC as the server `server` was started with them
// ("NAME=value" each, those it has): a client must use the server's, or
// Wine refuses it.
std::vector<std::string> ServerSyncVariables(prefix::Env* env,
                                             const std::string& proc,
                                             pid_t server);

// Whether an environment variable's name is one of a desktop session's
// (display, session bus, seat), which a helper gets from no one.
bool IsSessionVariable(const std::string& name);

}  // namespace bridge
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_BRIDGE_SANDBOX_ENTRY_H_
