// Linux: the current user's registry of the Wine prefix the environment
// names, acted on as its owner.
#include <stdlib.h>
#include <unistd.h>

#include "app/run_start.h"
#include "app/supervisor.h"
#include "regservice/default_registry.h"
#include "regservice/prefix/ownership.h"
#include "regservice/prefix/prefix_owner.h"
#include "regservice/prefix/wine_prefix_registry.h"

namespace app {

namespace {

using regservice::RegistryPlan;
using regservice::prefix::RunIdentity;

RunIdentity Refused(const std::string& reason) {
  RunIdentity run;
  run.kind = RunIdentity::kRefused;
  run.reason = reason;
  return run;
}

// Becomes the prefix's owner under a supervisor that stays root. Anything
// that fails leaves the worker refused, touching nothing.
RunIdentity BecomeOwnerUnderSupervisor(const RunIdentity& decided,
                                       const StoppedRun& stopped) {
  SupervisorLimits limits;
  limits.stopped_status = stopped.status;
  limits.stopped_message = stopped.message;
  limits.lost_output_status = stopped.lost_output_status;
  limits.lost_output_name = stopped.program;
  const pid_t supervisor = SuperviseRestOfRun(limits);
  if (supervisor < 0) {
    return Refused("not acting on " + decided.directory +
                   ": no process to act as its owner");
  }
  // Nothing of root's goes with it but what the run needs.
  CloseDescriptorsBut(stopped.kept_descriptors);
  RunIdentity run = regservice::prefix::BecomePrefixOwner(
      regservice::prefix::PosixIdentity(), decided);
  if (run.kind != RunIdentity::kRefused && !DieWithSupervisor(supervisor)) {
    return Refused("not acting on " + decided.directory +
                   ": its supervisor has gone");
  }
  return run;
}

// Whether `path` is a directory of `owner`'s own, which no one else may
// write to: a TMPDIR given for that user, not root's.
bool IsOwnDirectory(regservice::prefix::Env* env, const std::string& path,
                    uid_t owner) {
  regservice::prefix::FileInfo info;
  regservice::prefix::HoldRule owner_only;
  owner_only.root_may_hold = false;
  return !path.empty() && env->GetLinkInfo(path, &info).ok() &&
         info.is_directory &&
         regservice::prefix::IsHeldBy(info, owner, owner_only, false);
}

RunStart Describe(const RegistryPlan& plan) {
  RunStart start;
  start.prefix = plan.location.directory;
  start.reason = plan.reason;
  switch (plan.kind) {
    case RegistryPlan::kFile:
      start.registry = RunStart::kUserReg;
      break;
    case RegistryPlan::kRunningWine:
      start.registry = RunStart::kRunningWine;
      break;
    case RegistryPlan::kRefused:
      start.registry = RunStart::kRefused;
      break;
  }
  return start;
}

}  // namespace

RunStart StartRun(const StoppedRun& stopped) {
  regservice::prefix::Env* env = regservice::prefix::PosixEnv();
  // Who: the environment names the prefix; root decides from its path.
  regservice::prefix::PrefixLocation location =
      regservice::prefix::PrefixLocationFromEnvironment();
  const uid_t caller = geteuid();
  RunIdentity run =
      regservice::prefix::DecidePrefixOwner(env, caller, &location);
  if (run.kind == RunIdentity::kPrefixOwner) {
    run = BecomeOwnerUnderSupervisor(run, stopped);
    // Where, from the owner's side: a TMPDIR of root's is not theirs.
    if (!IsOwnDirectory(env, location.tmpdir, run.prefix_owner)) {
      location.tmpdir.clear();
      unsetenv("TMPDIR");
    }
  } else if (run.kind == RunIdentity::kCaller && caller != 0) {
    run.prefix_owner = caller;
  }
  // How: one look at the prefix, under its lock.
  const RegistryPlan plan = regservice::PlanRegistry(env, run, location);
  regservice::InstallDefaultRegistry(plan);
  return Describe(plan);
}

}  // namespace app
