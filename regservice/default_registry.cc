// Registry::Default() on this platform, for the Wine prefix the environment
// names. While a wineserver serves the prefix, the registry lives in that
// server: calls then go through the bridge to a helper running under the
// server's own Wine, and user.reg is left to the server. Otherwise the
// current user's hive, user.reg, is read and written directly, flushed at
// normal exit, and no Wine is started.
#include <stdlib.h>

#include <memory>

#include "regservice/bridge/bridge_registry.h"
#include "regservice/bridge/helper_process.h"
#include "regservice/prefix/env.h"
#include "regservice/prefix/wine_prefix_registry.h"
#include "regservice/prefix/wineserver_lock.h"

namespace regservice {
namespace {

prefix::WinePrefixRegistry* g_file_registry = nullptr;
bridge::BridgeRegistry* g_bridge = nullptr;

void FlushFileRegistryAtExit() { g_file_registry->Flush(); }
void CloseBridgeAtExit() { g_bridge->Close(); }

bridge::BridgeRegistry* NewBridge(const std::string& prefix_dir,
                                  pid_t server) {
  return new bridge::BridgeRegistry(
      [prefix_dir, server]() -> std::unique_ptr<bridge::HelperChannel> {
        bridge::HelperLaunch launch;
        if (!bridge::PlanHelperLaunch(prefix_dir, server, &launch)) {
          return nullptr;
        }
        return bridge::StartHelper(launch, bridge::HelperTimeouts());
      });
}

}  // namespace

Registry* Registry::Default() {
  if (g_file_registry != nullptr) return g_file_registry;
  if (g_bridge != nullptr) return g_bridge;
  // Never deleted: calls may come from other objects' destructors.
  prefix::PrefixLocation location = prefix::PrefixLocationFromEnvironment();
  prefix::WineserverLock servers(prefix::PosixEnv(), location);
  pid_t server = 0;
  bool served = false;
  if (!location.directory.empty()) {
    // Our own saves hold the server's lock too, but only under the
    // directory lock: holding it while asking keeps another process's save
    // from passing for a running server.
    std::unique_ptr<prefix::Lock> directory_lock;
    prefix::PosixEnv()->LockDirectory(location.directory, &directory_lock);
    served = servers.FindServer(&server);
  }
  if (served) {
    g_bridge = NewBridge(location.directory, server);
    atexit(CloseBridgeAtExit);
    return g_bridge;
  }
  const bool looked = !location.directory.empty();
  g_file_registry =
      new prefix::WinePrefixRegistry(prefix::PosixEnv(), std::move(location));
  // The look above searched /proc: the first change need not again.
  if (looked) g_file_registry->NoteNoServerInProc();
  atexit(FlushFileRegistryAtExit);
  return g_file_registry;
}

}  // namespace regservice
