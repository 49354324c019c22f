// The current user's registry of a Wine prefix: the user.reg that the
// default registry loads, and, when it cannot, the store's reason; or,
// while a wineserver serves the prefix, that server's registry.
#include <string>

#include "app/registry_source.h"
#include "regservice/bridge/bridge_registry.h"
#include "regservice/default_registry.h"
#include "regservice/prefix/wine_prefix_registry.h"
#include "regservice/registry.h"

namespace report {

RegistrySource CheckRegistry() {
  RegistrySource source;
  // Loads user.reg, or fails with the reason the store gives.
  LONG status = RegQueryInfoKeyA(HKEY_CURRENT_USER, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr);
  source.readable = status == ERROR_SUCCESS;
  regservice::Registry* registry = regservice::CurrentRegistry();
  const std::string& refusal = regservice::DefaultRegistryRefusal();
  if (!source.readable && !refusal.empty()) {
    source.problem = refusal;
    // A run by root refuses a missing prefix as a user's run reports it.
    source.no_prefix = refusal.compare(0, 15, "no Wine prefix ") == 0;
    return source;
  }
  if (dynamic_cast<regservice::bridge::BridgeRegistry*>(registry) != nullptr) {
    const std::string directory =
        regservice::prefix::PrefixLocationFromEnvironment().directory;
    source.name = "running Wine of " + directory;
    if (!source.readable) {
      source.problem = "cannot reach the running Wine of " + directory +
                       " (error " + std::to_string(status) + ")";
    }
    return source;
  }
  auto* prefix =
      dynamic_cast<regservice::prefix::WinePrefixRegistry*>(registry);
  if (prefix == nullptr) {
    // Some other registry stands in (a test's, or one through Wine).
    source.name = "Wine registry";
    if (!source.readable) {
      source.problem = "cannot open HKEY_CURRENT_USER (error " +
                       std::to_string(status) + ")";
    }
    return source;
  }
  const regservice::prefix::HiveStore& store = prefix->store();
  source.name = store.UserRegPath();
  if (source.readable) return source;

  const std::string path = store.UserRegPath();
  const std::string directory = path.substr(0, path.size() - 9);  // /user.reg
  source.no_prefix = directory.empty() || status == ERROR_FILE_NOT_FOUND;
  if (directory.empty()) {
    source.problem = "no Wine prefix (" + store.last_error() +
                     "); set WINEPREFIX to the prefix's absolute path";
  } else if (status == ERROR_FILE_NOT_FOUND) {
    source.problem =
        "no Wine prefix at " + directory + " (" + store.last_error() + ")";
  } else if (status == ERROR_BADDB) {
    source.problem =
        path + ": Wine would not load this file (" + store.last_error() + ")";
  } else {
    source.problem = "cannot read " + path + " (" + store.last_error() + ")";
  }
  return source;
}

}  // namespace report
