#include "regservice/bridge/sandbox_entry.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/nsfs.h>
#include <linux/openat2.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "regservice/bridge/helper_process.h"
#include "regservice/prefix/proc_view.h"

namespace regservice {
namespace bridge {

using prefix::DirectoryOf;
using prefix::Env;
using prefix::FileInfo;
using prefix::SameFile;

const char kHelperCopyPrefix[] = ".quillfix-reghelper-";

namespace {

// The most of a server's environment read.
const size_t kMaxEnvironmentBytes = size_t{1} << 20;
// Symlinks followed from the loader to its file, as the kernel's own limit
// for a path is 40; a loader is one or two links away from its file.
const int kMaxLoaderLinks = 8;

Status Failure(const std::string& call) {
  return Status::FromErrno(Status::kReadError, errno, call);
}

bool SameIdentity(int fd, const struct stat& other) {
  struct stat st;
  return fstat(fd, &st) == 0 && st.st_dev == other.st_dev &&
         st.st_ino == other.st_ino;
}

// Opens the user namespace to join for the server whose user namespace is
// `path`: walking up from it, the last one before ours.
Status OpenUserNamespaceToJoin(const std::string& path, int* result) {
  struct stat ours;
  if (stat("/proc/self/ns/user", &ours) != 0) {
    return Failure("stat /proc/self/ns/user");
  }
  int current = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (current < 0) return Failure("open " + path);
  if (SameIdentity(current, ours)) {
    close(current);
    return Status(Status::kReadError, path + ": our own user namespace");
  }
  while (true) {
    // EPERM: the parent is not below ours, so neither is `path`.
    const int parent = ioctl(current, NS_GET_PARENT);
    if (parent < 0) {
      Status failed = Failure("NS_GET_PARENT of " + path);
      close(current);
      return failed;
    }
    fcntl(parent, F_SETFD, FD_CLOEXEC);
    if (SameIdentity(parent, ours)) {
      close(parent);
      *result = current;
      return Status();
    }
    close(current);
    current = parent;
  }
}

Status OwnerOfUserNamespace(int fd, uid_t* owner) {
  if (ioctl(fd, NS_GET_OWNER_UID, owner) != 0) {
    return Failure("NS_GET_OWNER_UID");
  }
  return Status();
}

class LinuxKernel : public NamespaceKernel {
 public:
  Status UserNamespaceOwner(const std::string& user_ns,
                            uid_t* owner) override {
    int fd = -1;
    Status status = OpenUserNamespaceToJoin(user_ns, &fd);
    if (!status.ok()) return status;
    status = OwnerOfUserNamespace(fd, owner);
    close(fd);
    return status;
  }

  Status InfoInRoot(const std::string& root, const std::string& path,
                    bool follow, FileInfo* info) override {
    const int fd = OpenInRoot(root, path, follow);
    if (fd < 0) return Failure("open " + path + " in " + root);
    struct stat st;
    const bool done = fstat(fd, &st) == 0;
    Status status = done ? Status() : Failure("fstat " + path);
    close(fd);
    if (done) *info = prefix::FileInfoFromStat(st);
    return status;
  }

  Status ReadLinkInRoot(const std::string& root, const std::string& path,
                        std::string* target) override {
    const int fd = OpenInRoot(root, path, false);
    if (fd < 0) return Failure("open " + path + " in " + root);
    char buffer[4096];
    const ssize_t n = readlinkat(fd, "", buffer, sizeof buffer);
    Status status = n < 0 ? Failure("readlink " + path) : Status();
    close(fd);
    if (n >= static_cast<ssize_t>(sizeof buffer)) {
      return Status(Status::kReadError, path + ": link too long");
    }
    if (status.ok()) target->assign(buffer, static_cast<size_t>(n));
    return status;
  }

 private:
  // `path` opened (O_PATH) inside `root`: absolute symlinks and ".." stay
  // in it, as they do for the processes that have it as their root.
  static int OpenInRoot(const std::string& root, const std::string& path,
                        bool follow) {
    const int root_fd = open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (root_fd < 0) return -1;
    struct open_how how;
    memset(&how, 0, sizeof how);
    how.flags = O_PATH | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    const int fd = static_cast<int>(
        syscall(SYS_openat2, root_fd, path.c_str(), &how, sizeof how));
    const int error = errno;
    close(root_fd);
    errno = error;
    return fd;
  }
};

// Whether the process's namespace `kind` (ns/<kind>) is ours; an error
// when either cannot be looked at.
Status SameNamespace(Env* env, const std::string& proc,
                     const std::string& process, const char* kind,
                     bool* same) {
  FileInfo ours, theirs;
  Status status = env->GetFileInfo(proc + "/self/ns/" + kind, &ours);
  if (status.ok()) {
    status = env->GetFileInfo(process + "/ns/" + kind, &theirs);
  }
  *same = SameFile(ours, theirs);
  return status;
}

// Field 22 of /proc/<pid>/stat: when the process started, in clock ticks
// after boot; with the process id, it names one process for good.
bool ReadStartTime(Env* env, const std::string& process,
                   unsigned long long* start_time) {
  prefix::ProcStat stat;
  if (!prefix::ReadProcStat(env, process, &stat) || stat.fields < 4) {
    return false;
  }
  *start_time = stat.start_time;
  return true;
}

// The prefix as the server sees it: the path of the descriptor it holds
// open on the prefix directory.
bool ServerViewOfPrefix(Env* env, const std::string& process,
                        const FileInfo& prefix, std::string* path) {
  std::vector<std::string> descriptors;
  if (!env->ListDirectory(process + "/fd", &descriptors).ok()) return false;
  for (const std::string& fd : descriptors) {
    const std::string link = process + "/fd/" + fd;
    FileInfo open_file;
    std::string target;
    if (env->GetFileInfo(link, &open_file).ok() && open_file.is_directory &&
        SameFile(open_file, prefix) && env->ReadLink(link, &target).ok() &&
        !target.empty() && target[0] == '/' &&
        prefix::WithoutDeletedMark(target) == target) {
      *path = target;
      return true;
    }
  }
  return false;
}

// Owned by root or `owner`, writable by no one else: the rule for a
// loader run on the owner's behalf and for its directories.
bool HeldBy(const FileInfo& info, uid_t owner) {
  return (info.uid == 0 || info.uid == owner) && (info.mode & 022) == 0;
}

bool DirectoryHeldBy(NamespaceKernel* kernel, const std::string& root,
                     const std::string& path, uid_t owner) {
  FileInfo info;
  return kernel->InfoInRoot(root, path, true, &info).ok() &&
         info.is_directory && HeldBy(info, owner);
}

// A loader that may be run on `owner`'s behalf, seen in the server's root:
// executable and, with the directory it is found in and the file and
// directory it leads to, held by root or `owner` alone. *resolved is the
// file it leads to, to be run: the one checked.
bool IsTrustedLoaderInRoot(NamespaceKernel* kernel, const std::string& root,
                           const std::string& path, uid_t owner,
                           std::string* resolved) {
  if (!DirectoryHeldBy(kernel, root, DirectoryOf(path), owner)) return false;
  std::string real = path;
  FileInfo info;
  for (int links = 0;; ++links) {
    if (!kernel->InfoInRoot(root, real, false, &info).ok()) return false;
    if (!info.is_symlink) break;
    std::string target;
    if (links == kMaxLoaderLinks ||
        !kernel->ReadLinkInRoot(root, real, &target).ok() || target.empty()) {
      return false;
    }
    real = target[0] == '/' ? target : DirectoryOf(real) + "/" + target;
  }
  *resolved = real;
  return info.is_regular && (info.mode & 0111) != 0 && HeldBy(info, owner) &&
         DirectoryHeldBy(kernel, root, DirectoryOf(real), owner);
}

// wine64 or wine beside the server's executable, as the server sees it:
// the file it leads to there.
bool FindLoaderInRoot(Env* env, NamespaceKernel* kernel,
                      const std::string& process, uid_t owner,
                      std::string* loader) {
  std::string exe;
  if (!env->ReadLink(process + "/exe", &exe).ok()) return false;
  exe = prefix::WithoutDeletedMark(exe);
  if (exe.empty() || exe[0] != '/') return false;
  const std::string dir = DirectoryOf(exe);
  for (const char* name : {"wine64", "wine"}) {
    const std::string path = (dir == "/" ? "" : dir) + "/" + name;
    if (IsTrustedLoaderInRoot(kernel, process + "/root", path, owner,
                              loader)) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> EnvironmentOf(Env* env, const std::string& process) {
  std::vector<std::string> entries;
  std::string block;
  if (!env->ReadFileStart(process + "/environ", kMaxEnvironmentBytes, &block)
           .ok()) {
    return entries;
  }
  return prefix::ParseEnvironment(block);
}

std::string NameOf(const std::string& entry) {
  return entry.substr(0, entry.find('='));
}

std::vector<std::string> HelperEnvironment(
    const std::vector<std::string>& server_environment,
    const std::string& prefix) {
  std::vector<std::string> environment;
  for (const std::string& entry : server_environment) {
    const std::string name = NameOf(entry);
    if (entry.find('=') == std::string::npos || IsSessionVariable(name) ||
        name == "WINEPREFIX" || name == "WINEDEBUG") {
      continue;
    }
    environment.push_back(entry);
  }
  environment.push_back("WINEPREFIX=" + prefix);
  environment.push_back("WINEDEBUG=-all");
  return environment;
}

SandboxVerdict Refuse(const std::string& reason, std::string* why) {
  *why = reason;
  return SandboxVerdict::kRefused;
}

std::string RandomHex() {
  std::random_device random;
  char text[17];
  snprintf(text, sizeof text, "%08x%08x", random(), random());
  return text;
}

void CloseIfOpen(int fd) {
  if (fd >= 0) close(fd);
}

// Closes every descriptor from `from` up; `open_max` bounds the loop where
// the kernel has no close_range. Async-signal-safe.
void CloseDescriptorsFrom(int from, int open_max) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, static_cast<unsigned>(from), ~0U, 0U) == 0) {
    return;
  }
#endif
  for (int fd = from; fd < open_max; ++fd) close(fd);
}

// Ends with the parent `parent`, even one killed: a parent gone before the
// request took effect shows as another. Async-signal-safe.
void DieWithParent(pid_t parent) {
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
    _exit(127);
  }
}

// The first child, once the helper is forked: holds nothing of the
// helper's channel, waits for it and exits with its status.
[[noreturn]] void WaitForHelper(pid_t helper) {
  // Standard error is /dev/null: nothing of the channel stays open here.
  dup2(2, 0);
  dup2(2, 1);
  CloseDescriptorsFrom(3, 65536);
  int status = 0;
  while (waitpid(helper, &status, 0) < 0) {
    if (errno != EINTR) _exit(127);
  }
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

// The hexadecimal value of the status line "<name>:\t<hex>", or
// `otherwise` when there is none.
unsigned long long StatusHex(const std::string& status, const char* name,
                             unsigned long long otherwise) {
  const std::string key = std::string("\n") + name + ":";
  const size_t at = ("\n" + status).find(key);
  if (at == std::string::npos) return otherwise;
  char* end = nullptr;
  const char* text = status.c_str() + at + key.size() - 1;
  const unsigned long long value = strtoull(text, &end, 16);
  return end == text ? otherwise : value;
}

}  // namespace

Confinement ConfinementFromStatus(const std::string& status) {
  Confinement confinement;
  confinement.no_new_privs = StatusHex(status, "NoNewPrivs", 1) != 0;
  confinement.inheritable = StatusHex(status, "CapInh", 0);
  confinement.permitted = StatusHex(status, "CapPrm", 0);
  confinement.effective = StatusHex(status, "CapEff", 0);
  confinement.bounding = StatusHex(status, "CapBnd", 0);
  confinement.ambient = StatusHex(status, "CapAmb", 0);
  return confinement;
}

void ConfineLike(const Confinement& server) {
  // The bounding and ambient sets first: dropping from them takes
  // CAP_SETPCAP, which the capset below may drop.
  for (unsigned long cap = 0; cap < 64; ++cap) {
    if ((server.bounding >> cap & 1) == 0 &&
        prctl(PR_CAPBSET_READ, cap, 0, 0, 0) == 1 &&
        prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) {
      _exit(127);
    }
  }
  if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 &&
      errno != EINVAL) {
    _exit(127);
  }
  struct __user_cap_header_struct header;
  struct __user_cap_data_struct data[2];
  memset(&header, 0, sizeof header);
  memset(data, 0, sizeof data);
  header.version = _LINUX_CAPABILITY_VERSION_3;
  // Inheritable only within the new bounding set, as capset allows.
  const unsigned long long inheritable = server.inheritable & server.bounding;
  for (int half = 0; half < 2; ++half) {
    data[half].effective = static_cast<__u32>(server.effective >> (32 * half));
    data[half].permitted = static_cast<__u32>(server.permitted >> (32 * half));
    data[half].inheritable = static_cast<__u32>(inheritable >> (32 * half));
  }
  if (syscall(SYS_capset, &header, data) != 0) _exit(127);
  for (unsigned long cap = 0; cap < 64; ++cap) {
    // One the kernel refuses stays out: less than the server's.
    if (server.ambient >> cap & 1) {
      prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, cap, 0, 0);
    }
  }
  if (server.no_new_privs && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    _exit(127);
  }
}

NamespaceKernel* LinuxNamespaceKernel() {
  static NamespaceKernel* kernel = new LinuxKernel;
  return kernel;
}

bool IsSessionVariable(const std::string& name) {
  static const char* const kNames[] = {
      "DISPLAY",         "WAYLAND_DISPLAY", "XAUTHORITY",
      "XAUTHLOCALHOSTNAME", "DBUS_SESSION_BUS_ADDRESS",
      "SESSION_MANAGER", "DESKTOP_SESSION", "XDG_SEAT",
      "XDG_VTNR",        "WINDOWID"};
  for (const char* known : kNames) {
    if (name == known) return true;
  }
  return name.compare(0, 12, "XDG_SESSION_") == 0;
}

SandboxVerdict PlanSandbox(Env* env, NamespaceKernel* kernel,
                           const prefix::PrefixLocation& location,
                           pid_t server, uid_t owner, uid_t caller,
                           SandboxPlan* plan, std::string* why) {
  const std::string process = location.proc + "/" + std::to_string(server);
  bool same_user = true, same_mount = true, same_pid = true;
  if (server <= 0) return SandboxVerdict::kOwnNamespaces;
  Status looked = SameNamespace(env, location.proc, process, "user", &same_user);
  if (looked.ok()) {
    looked = SameNamespace(env, location.proc, process, "mnt", &same_mount);
  }
  if (looked.ok()) {
    looked = SameNamespace(env, location.proc, process, "pid", &same_pid);
  }
  if (looked.code() == Status::kAccessDenied) {
    // The owner has no rights in the user namespace the server runs in.
    return Refuse(
        "it runs in a user namespace that is not the prefix owner's (user "
        "id " + std::to_string(owner) + " may not look into it)",
        why);
  }
  if (!looked.ok()) {
    return Refuse("its namespaces cannot be looked at (" + looked.message() +
                      ")",
                  why);
  }
  if (same_user && same_mount && same_pid) {
    return SandboxVerdict::kOwnNamespaces;
  }
  *plan = SandboxPlan();
  plan->server = server;
  plan->owner = owner;
  plan->join_user = !same_user;
  plan->join_mount = !same_mount;
  plan->join_pid = !same_pid;
  if (!ReadStartTime(env, process, &plan->start_time)) {
    return Refuse("the server has ended", why);
  }
  // A run by root became the prefix's owner, unless root owns the prefix:
  // root never enters what a sandbox's processes could have prepared.
  if (caller == 0) return Refuse("root does not enter a sandbox", why);
  if (!plan->join_user) {
    // Namespaces of our own user namespace: only its root may enter them.
    return Refuse("it runs in namespaces only root may enter", why);
  }
  {
    uid_t ns_owner = 0;
    Status status = kernel->UserNamespaceOwner(process + "/ns/user", &ns_owner);
    if (!status.ok()) {
      return Refuse("its user namespace cannot be joined (" +
                        status.message() + ")",
                    why);
    }
    if (ns_owner != owner) {
      return Refuse("its sandbox's user namespace belongs to user id " +
                        std::to_string(ns_owner) +
                        ", not to the prefix's owner (user id " +
                        std::to_string(owner) + ")",
                    why);
    }
  }
  FileInfo prefix;
  if (!env->GetFileInfo(location.directory, &prefix).ok() ||
      !ServerViewOfPrefix(env, process, prefix, &plan->prefix)) {
    return Refuse("the server holds no prefix directory open", why);
  }
  if (!FindLoaderInRoot(env, kernel, process, owner, &plan->loader)) {
    return Refuse("no loader of root's or the owner's beside the server", why);
  }
  plan->environment =
      HelperEnvironment(EnvironmentOf(env, process), plan->prefix);
  std::string status;
  if (env->ReadFileStart(process + "/status", 16384, &status).ok()) {
    plan->confinement = ConfinementFromStatus(status);
  }
  return SandboxVerdict::kJoinable;
}

SandboxEntry::~SandboxEntry() {
  for (int fd : {user_ns_, mount_ns_, pid_ns_, root_, server_}) {
    CloseIfOpen(fd);
  }
  RemoveHelperCopy();
}

void SandboxEntry::RemoveHelperCopy() {
  if (!helper_copy_.empty()) env_->RemoveFile(helper_copy_);
  helper_copy_.clear();
}

void RemoveStaleHelperCopies(Env* env, const std::string& prefix_dir) {
  std::vector<std::string> names;
  if (!env->ListDirectory(prefix_dir, &names).ok()) return;
  const size_t length = sizeof kHelperCopyPrefix - 1;
  for (const std::string& name : names) {
    if (name.compare(0, length, kHelperCopyPrefix) != 0) continue;
    const pid_t run = static_cast<pid_t>(atol(name.c_str() + length));
    // A copy of a run still going (ours included) is its own.
    if (run > 0 && kill(run, 0) != 0 && errno == ESRCH) {
      env->RemoveFile(prefix_dir + "/" + name);
    }
  }
}

std::unique_ptr<SandboxEntry> SandboxEntry::Open(
    Env* env, const prefix::PrefixLocation& location, const SandboxPlan& plan,
    const std::string& helper_program, std::string* why) {
  std::unique_ptr<SandboxEntry> entry(new SandboxEntry);
  entry->env_ = env;
  const std::string process =
      location.proc + "/" + std::to_string(plan.server);
  // The very process planned for: its pidfd, then its start time.
  entry->server_ =
      static_cast<int>(syscall(SYS_pidfd_open, plan.server, 0U));
  unsigned long long start_time = 0;
  if (entry->server_ < 0 || !ReadStartTime(env, process, &start_time) ||
      start_time != plan.start_time) {
    *why = "the server has ended";
    return nullptr;
  }
  if (plan.join_user) {
    uid_t ns_owner = 0;
    Status status = OpenUserNamespaceToJoin(process + "/ns/user",
                                            &entry->user_ns_);
    if (status.ok()) status = OwnerOfUserNamespace(entry->user_ns_, &ns_owner);
    if (!status.ok() || ns_owner != plan.owner) {
      *why = "its user namespace cannot be joined";
      return nullptr;
    }
  }
  if (plan.join_mount) {
    entry->mount_ns_ = open((process + "/ns/mnt").c_str(), O_RDONLY | O_CLOEXEC);
    entry->root_ =
        open((process + "/root").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  if (plan.join_pid) {
    entry->pid_ns_ = open((process + "/ns/pid").c_str(), O_RDONLY | O_CLOEXEC);
  }
  // Opened while the server still ran: its own, not a later process's.
  if ((plan.join_mount && (entry->mount_ns_ < 0 || entry->root_ < 0)) ||
      (plan.join_pid && entry->pid_ns_ < 0) || !entry->ServerRuns()) {
    *why = "its namespaces cannot be opened";
    return nullptr;
  }
  // The helper, where Wine in the sandbox finds it: in the prefix, under a
  // name of its own.
  RemoveStaleHelperCopies(env, location.directory);
  const std::string name = kHelperCopyPrefix + std::to_string(getpid()) +
                           "-" + RandomHex() + ".exe";
  std::string bytes;
  FileInfo like;
  like.mode = 0700;
  like.uid = geteuid();
  like.gid = getegid();
  std::unique_ptr<prefix::WritableFile> copy;
  const std::string copy_path = location.directory + "/" + name;
  Status status = env->ReadFile(helper_program, &bytes);
  if (status.ok()) status = env->NewExclusiveFile(copy_path, like, &copy);
  if (status.ok()) {
    entry->helper_copy_ = copy_path;
    status = copy->Append(bytes);
    if (status.ok()) status = copy->Close();
  }
  if (!status.ok()) {
    *why = "the helper cannot be copied into the prefix (" +
           status.message() + ")";
    return nullptr;
  }
  entry->helper_in_sandbox_ = plan.prefix + "/" + name;
  entry->confinement_ = plan.confinement;
  return entry;
}

bool SandboxEntry::ServerRuns() const {
  struct pollfd ended = {server_, POLLIN, 0};
  return server_ >= 0 && poll(&ended, 1, 0) == 0;
}

void SandboxEntry::JoinInChild(pid_t parent) const {
  if (user_ns_ >= 0 && setns(user_ns_, CLONE_NEWUSER) != 0) _exit(127);
  if (mount_ns_ >= 0 &&
      (setns(mount_ns_, CLONE_NEWNS) != 0 || fchdir(root_) != 0 ||
       chroot(".") != 0)) {
    _exit(127);
  }
  if (pid_ns_ >= 0 && setns(pid_ns_, CLONE_NEWPID) != 0) _exit(127);
  // Joined, with every capability in the sandbox: no more than the
  // server's from here on, for what this process starts too.
  ConfineLike(confinement_);
  // Joining a user namespace changed our credentials, which drops the
  // request to die with the parent: asked again.
  DieWithParent(parent);
  // The first child's id as its children see it: outside the server's
  // process-id namespace, it shows as 0 there.
  const pid_t first_seen = pid_ns_ >= 0 ? 0 : getpid();
  for (int fd : {user_ns_, mount_ns_, pid_ns_, root_, server_}) {
    CloseIfOpen(fd);
  }
  const pid_t helper = fork();
  if (helper < 0) _exit(127);
  if (helper > 0) WaitForHelper(helper);
  DieWithParent(first_seen);
}

SandboxVerdict PlanSandboxLaunch(Env* env,
                                 const prefix::PrefixLocation& location,
                                 pid_t server, uid_t owner,
                                 HelperLaunch* launch, std::string* why) {
  SandboxPlan plan;
  const SandboxVerdict verdict = PlanSandbox(
      env, LinuxNamespaceKernel(), location, server, owner, geteuid(), &plan,
      why);
  if (verdict != SandboxVerdict::kJoinable) return verdict;
  const std::string helper = FindHelperProgram(owner);
  if (helper.empty()) return Refuse("no helper program", why);
  std::unique_ptr<SandboxEntry> entry =
      SandboxEntry::Open(env, location, plan, helper, why);
  if (entry == nullptr) return SandboxVerdict::kRefused;
  launch->loader = plan.loader;
  launch->helper = entry->helper_in_sandbox();
  launch->prefix = plan.prefix;
  launch->environment = plan.environment;
  launch->sandbox = std::move(entry);
  return SandboxVerdict::kJoinable;
}

std::vector<std::string> ServerSyncVariables(Env* env, const std::string& proc,
                                             pid_t server) {
  std::vector<std::string> found;
  if (server <= 0) return found;
  for (const std::string& entry :
       EnvironmentOf(env, proc + "/" + std::to_string(server))) {
    const std::string name = NameOf(entry);
    if (name == "WINEESYNC" || name == "WINEFSYNC") found.push_back(entry);
  }
  return found;
}

}  // namespace bridge
}  // namespace regservice
