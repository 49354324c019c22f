// Registry::Default() on this platform, for the Wine prefix the environment
// names. A run by root on another user's prefix first becomes that user.
// While a wineserver serves the prefix, the registry lives in that server:
// calls then go through the bridge to a helper running under the server's
// own Wine, and user.reg is left to the server. Otherwise the current
// user's hive, user.reg, is read and written directly, flushed at normal
// exit, and no Wine is started.
#include "regservice/default_registry.h"

#include <stdlib.h>

#include <memory>

#include "regservice/bridge/bridge_registry.h"
#include "regservice/bridge/helper_process.h"
#include "regservice/bridge/sandbox_entry.h"
#include "regservice/prefix/wine_prefix_registry.h"

namespace regservice {
namespace {

Registry* g_default = nullptr;
std::string* g_refusal = new std::string;  // never deleted, as g_default

void FlushFileRegistryAtExit() {
  static_cast<prefix::WinePrefixRegistry*>(g_default)->Flush();
}
void CloseBridgeAtExit() {
  static_cast<bridge::BridgeRegistry*>(g_default)->Close();
}

// The helper is started only when its Wine reaches the very server found:
// one that would start a second server for the prefix is never started. A
// server in a sandbox is reached from inside its namespaces, or not at all
// (the report then says why).
bridge::BridgeRegistry* NewBridge(prefix::Env* env,
                                  const prefix::PrefixLocation& location,
                                  pid_t server,
                                  const prefix::RunIdentity& run) {
  return new bridge::BridgeRegistry(
      [env, location, server,
       run]() -> std::unique_ptr<bridge::HelperChannel> {
        bridge::HelperLaunch sandboxed;
        std::string why;
        switch (bridge::PlanSandboxLaunch(env, location, server,
                                          run.prefix_owner, &sandboxed,
                                          &why)) {
          case bridge::SandboxVerdict::kJoinable:
            return bridge::StartHelper(sandboxed, bridge::HelperTimeouts());
          case bridge::SandboxVerdict::kRefused:
            *g_refusal = "cannot reach the running Wine of " +
                         location.directory + ": " + why;
            return nullptr;
          case bridge::SandboxVerdict::kOwnNamespaces:
            break;
        }
        std::string tmpdir;
        prefix::RunningServer servers(env, location);
        if (!servers.ReachableServerDirectory(server, &tmpdir)) return nullptr;
        bridge::HelperLaunch launch;
        if (!bridge::PlanHelperLaunch(location.directory, server,
                                      run.prefix_owner, tmpdir, &launch)) {
          return nullptr;
        }
        launch.clean_environment =
            run.kind == prefix::RunIdentity::kPrefixOwner;
        launch.server_variables =
            bridge::ServerSyncVariables(env, location.proc, server);
        return bridge::StartHelper(launch, bridge::HelperTimeouts());
      });
}

}  // namespace

Registry* NewPrefixRegistry(prefix::Env* env, prefix::Identity* identity,
                            prefix::PrefixLocation location,
                            prefix::RunIdentity* run) {
  *run = prefix::AdoptPrefixOwner(env, identity, &location);
  if (run->kind == prefix::RunIdentity::kRefused) {
    location.directory.clear();
    return new prefix::WinePrefixRegistry(env, std::move(location));
  }
  if (run->kind == prefix::RunIdentity::kCaller &&
      identity->EffectiveUid() != 0) {
    run->prefix_owner = identity->EffectiveUid();
  }
  prefix::FoundServer found;
  found.state = prefix::FoundServer::kUnknown;
  if (!location.directory.empty()) {
    found = prefix::RunningServer(env, location).Find(true);
  }
  if (found.state == prefix::FoundServer::kRunning) {
    return NewBridge(env, location, found.pid, *run);
  }
  auto* file_registry =
      new prefix::WinePrefixRegistry(env, std::move(location));
  // The look above searched /proc: the first change need not again. After
  // no look, or one that could not tell, the store looks for itself.
  if (found.state == prefix::FoundServer::kNone) file_registry->NoteFoundFree();
  return file_registry;
}

const std::string& DefaultRegistryRefusal() { return *g_refusal; }

Registry* Registry::Default() {
  if (g_default != nullptr) return g_default;
  // Never deleted: calls may come from other objects' destructors.
  prefix::RunIdentity run;
  g_default = NewPrefixRegistry(prefix::PosixEnv(), prefix::PosixIdentity(),
                                prefix::PrefixLocationFromEnvironment(), &run);
  if (run.kind == prefix::RunIdentity::kRefused) *g_refusal = run.reason;
  // What the run acts on, for whatever asks the environment later.
  if (!run.directory.empty()) setenv("WINEPREFIX", run.directory.c_str(), 1);
  if (dynamic_cast<bridge::BridgeRegistry*>(g_default) != nullptr) {
    atexit(CloseBridgeAtExit);
  } else {
    atexit(FlushFileRegistryAtExit);
  }
  return g_default;
}

}  // namespace regservice
