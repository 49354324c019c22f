// Registry::Default() on this platform: the current user's hive of the Wine
// prefix the environment names, flushed at normal exit.
#include <stdlib.h>

#include "regservice/prefix/env.h"
#include "regservice/prefix/wine_prefix_registry.h"

namespace regservice {
namespace {

prefix::WinePrefixRegistry* g_default = nullptr;

void FlushDefaultAtExit() { g_default->Flush(); }

}  // namespace

Registry* Registry::Default() {
  if (g_default == nullptr) {
    // Never deleted: calls may come from other objects' destructors.
    g_default = new prefix::WinePrefixRegistry(
        prefix::PosixEnv(), prefix::PrefixLocationFromEnvironment());
    atexit(FlushDefaultAtExit);
  }
  return g_default;
}

}  // namespace regservice
