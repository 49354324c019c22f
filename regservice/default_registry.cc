// Registry::Default() on this platform, for the Wine prefix a run acts on.
// While a wineserver serves the prefix, the registry lives in that server:
// calls then go through the bridge to a helper running under the server's
// own Wine, and user.reg is left to the server. Otherwise the current
// user's hive, user.reg, is read and written directly, flushed at normal
// exit, and no Wine is started.
#include "regservice/default_registry.h"

#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <utility>

#include "regservice/bridge/bridge_registry.h"
#include "regservice/bridge/helper_process.h"
#include "regservice/bridge/sandbox_entry.h"
#include "regservice/fallback_registry.h"
#include "regservice/prefix/wine_prefix_registry.h"

namespace regservice {
namespace {

// Never deleted: calls may come from other objects' destructors.
Registry* g_default = nullptr;
RegistryPlan* g_plan = nullptr;

void FlushFileRegistryAtExit() {
  static_cast<prefix::WinePrefixRegistry*>(g_default)->Flush();
}
// The bridge's helper ended, or, once the run went on with the file, the
// file flushed; the connection closed if no helper took it.
void FinishOnlineRunAtExit() {
  if (g_plan->connection != nullptr) g_plan->connection->Close();
  auto* registry = static_cast<FallbackRegistry*>(g_default);
  if (registry->offline()) {
    static_cast<prefix::WinePrefixRegistry*>(registry->current())->Flush();
  } else {
    static_cast<bridge::BridgeRegistry*>(registry->current())->Close();
  }
}

// How long a run waits for a server that does not answer to end, and how
// often it looks at the prefix again after one has.
const int kServerEndWaitMs = 10000;
const int kMostLooks = 3;

RegistryPlan Refused(RegistryPlan plan, const std::string& reason) {
  plan.kind = RegistryPlan::kRefused;
  plan.reason = reason;
  return plan;
}

// Starts the helper, which gets its own copy of the plan's connection; the
// run's copy is closed then, started or not: one helper is tried at most.
std::unique_ptr<bridge::HelperChannel> StartedWithConnection(
    const bridge::HelperLaunch& launch, const RegistryPlan& plan) {
  std::unique_ptr<bridge::HelperChannel> channel =
      bridge::StartHelper(launch, bridge::HelperTimeouts());
  if (plan.connection != nullptr) plan.connection->Close();
  return channel;
}

// The helper is started at the first call, under the Wine of the server
// the plan found or inside the server's sandbox, with the plan's
// connection as its Wine's only way to a server.
bridge::BridgeRegistry* NewBridge(prefix::Env* env, const RegistryPlan& plan) {
  return new bridge::BridgeRegistry(
      [env, plan]() -> std::unique_ptr<bridge::HelperChannel> {
        if (plan.sandboxed) {
          bridge::HelperLaunch launch;
          std::string why;
          if (bridge::PlanSandboxLaunch(env, plan.location, plan.server,
                                        plan.run.prefix_owner, &launch,
                                        &why) !=
              bridge::SandboxVerdict::kJoinable) {
            return nullptr;
          }
          launch.server_socket = plan.connection;
          return StartedWithConnection(launch, plan);
        }
        bridge::HelperLaunch launch;
        if (!bridge::PlanHelperLaunch(plan.location.directory, plan.server,
                                      plan.run.prefix_owner, &launch)) {
          return nullptr;
        }
        launch.server_socket = plan.connection;
        launch.clean_environment =
            plan.run.kind == prefix::RunIdentity::kPrefixOwner;
        launch.server_variables = bridge::ServerSyncVariables(
            env, plan.location.proc, plan.server);
        return StartedWithConnection(launch, plan);
      });
}

}  // namespace

RegistryPlan PlanRegistry(prefix::Env* env, const prefix::RunIdentity& run,
                          prefix::PrefixLocation location) {
  RegistryPlan plan;
  plan.run = run;
  plan.location = location;
  if (run.kind == prefix::RunIdentity::kRefused) {
    return Refused(plan, run.reason);
  }
  if (location.directory.empty()) {
    plan.kind = RegistryPlan::kFile;
    return plan;
  }
  // Wine serves a prefix only to its owner, and makes its files in /tmp
  // only as the owner: a run of another user's (a manager's entry naming
  // a prefix it may read) reads the file and makes nothing.
  prefix::FileInfo owner;
  if (run.kind == prefix::RunIdentity::kCaller && geteuid() != 0 &&
      env->GetFileInfo(location.directory, &owner).ok() &&
      owner.uid != geteuid()) {
    plan.kind = RegistryPlan::kFile;
    plan.read_only = location.directory + " is user id " +
                     std::to_string(owner.uid) + "'s, not this user's";
    return plan;
  }
  const prefix::RunningServer servers(env, location);
  for (int look = 1;; ++look) {
    const prefix::FoundServer found = servers.Find(true);
    switch (found.state) {
      case prefix::FoundServer::kNone:
        plan.kind = RegistryPlan::kFile;
        plan.found_free = true;
        return plan;
      case prefix::FoundServer::kUnknown:
        return Refused(plan, "cannot tell whether Wine runs for " +
                                 location.directory + ": " + found.why);
      case prefix::FoundServer::kRunning:
        break;
    }
    const std::string unreachable =
        "cannot reach the running Wine of " + location.directory + ": ";
    // A server in a sandbox is reached from inside its namespaces, or not
    // at all.
    bridge::SandboxPlan sandbox;
    std::string why;
    const bridge::SandboxVerdict verdict =
        bridge::PlanSandbox(env, bridge::LinuxNamespaceKernel(), location,
                            found.pid, run.prefix_owner, geteuid(), &sandbox,
                            &why);
    if (verdict == bridge::SandboxVerdict::kRefused) {
      return Refused(plan, unreachable + why);
    }
    std::unique_ptr<bridge::ServerSocket> connection;
    switch (bridge::ServerSocket::Connect(env, location.proc,
                                          location.directory, found.pid,
                                          run.prefix_owner, &connection,
                                          &why)) {
      case bridge::ServerSocket::kConnected:
        plan.kind = RegistryPlan::kRunningWine;
        plan.server = found.pid;
        plan.sandboxed = verdict == bridge::SandboxVerdict::kJoinable;
        plan.connection = std::move(connection);
        return plan;
      case bridge::ServerSocket::kNotTheServer:
        return Refused(plan, unreachable + why);
      case bridge::ServerSocket::kNoAnswer:
        break;
    }
    // A server going away: once it has ended, it has saved the registry
    // and let go of its lock, and the prefix is looked at afresh.
    if (look == kMostLooks || found.pid <= 0 ||
        !bridge::WaitForProcessEnd(found.pid, kServerEndWaitMs)) {
      return Refused(plan, unreachable + why);
    }
  }
}

namespace {

// The file registry, once the server of `plan` has gone: the bridge has
// failed, the server no longer answers, and it has ended (within
// kServerEndWaitMs), having saved its registry; and no server serves the
// prefix now, as a fresh decision, with all its checks, finds. Null
// otherwise.
std::unique_ptr<Registry> RegistryAfterServer(prefix::Env* env,
                                              const RegistryPlan& plan) {
  std::unique_ptr<bridge::ServerSocket> still;
  std::string why;
  if (bridge::ServerSocket::Connect(env, plan.location.proc,
                                    plan.location.directory, plan.server,
                                    plan.run.prefix_owner, &still, &why) !=
          bridge::ServerSocket::kNoAnswer ||
      !bridge::WaitForProcessEnd(plan.server, kServerEndWaitMs)) {
    return nullptr;
  }
  const RegistryPlan after = PlanRegistry(env, plan.run, plan.location);
  if (after.kind != RegistryPlan::kFile) return nullptr;
  return std::unique_ptr<Registry>(NewPlannedRegistry(env, after));
}

}  // namespace

Registry* NewPlannedRegistry(prefix::Env* env, const RegistryPlan& plan) {
  if (plan.kind == RegistryPlan::kRunningWine) {
    return new FallbackRegistry(
        std::unique_ptr<Registry>(NewBridge(env, plan)),
        [](LONG result) { return result == bridge::kBridgeFailed; },
        [env, plan] { return RegistryAfterServer(env, plan); });
  }
  prefix::PrefixLocation location = plan.location;
  if (plan.kind == RegistryPlan::kRefused) location.directory.clear();
  auto* file_registry = new prefix::WinePrefixRegistry(env, location);
  if (!plan.read_only.empty()) file_registry->RefuseChanges(plan.read_only);
  // The decision searched /proc: the first change need not again.
  if (plan.found_free) file_registry->NoteFoundFree();
  return file_registry;
}

RegistryPlan PlanPrefixRun(prefix::Env* env, prefix::Identity* identity,
                           prefix::PrefixLocation location) {
  prefix::RunIdentity run = prefix::AdoptPrefixOwner(env, identity, &location);
  // A run of the user's own acts for itself.
  if (run.kind == prefix::RunIdentity::kCaller &&
      identity->EffectiveUid() != 0) {
    run.prefix_owner = identity->EffectiveUid();
  }
  return PlanRegistry(env, run, location);
}

Registry* NewPrefixRegistry(prefix::Env* env, prefix::Identity* identity,
                            prefix::PrefixLocation location,
                            RegistryPlan* plan) {
  *plan = PlanPrefixRun(env, identity, std::move(location));
  return NewPlannedRegistry(env, *plan);
}

void InstallDefaultRegistry(const RegistryPlan& plan) {
  if (g_default != nullptr) return;
  g_plan = new RegistryPlan(plan);
  g_default = NewPlannedRegistry(prefix::PosixEnv(), *g_plan);
  if (plan.kind == RegistryPlan::kRunningWine) {
    atexit(FinishOnlineRunAtExit);
  } else {
    atexit(FlushFileRegistryAtExit);
  }
}

const RegistryPlan& DefaultRegistryPlan() {
  if (g_plan == nullptr) {
    InstallDefaultRegistry(
        PlanPrefixRun(prefix::PosixEnv(), prefix::PosixIdentity(),
                      prefix::PrefixLocationFromEnvironment()));
  }
  return *g_plan;
}

Registry* Registry::Default() {
  DefaultRegistryPlan();
  return g_default;
}

}  // namespace regservice
