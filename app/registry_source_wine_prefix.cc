// The registry a run started on, in a Wine prefix: the user.reg that the
// default registry loads, and, when it cannot, the store's reason; or,
// while a wineserver serves the prefix, that server's registry, and its
// user.reg once the server has gone.
#include <string>

#include "app/registry_source.h"
#include "app/terminal_text.h"
#include "regservice/fallback_registry.h"
#include "regservice/prefix/wine_prefix_registry.h"
#include "regservice/registry.h"

namespace report {

namespace {

// Why user.reg of `start` cannot be read, from what its store says.
std::string FileProblem(const app::RunStart& start, LONG status,
                        const regservice::prefix::HiveStore& store) {
  const std::string path = store.UserRegPath();
  if (start.prefix.empty()) {
    return "no Wine prefix (" + store.last_error() +
           "); set WINEPREFIX to the prefix's absolute path";
  }
  if (status == ERROR_FILE_NOT_FOUND) {
    return "no Wine prefix at " + start.prefix + " (" + store.last_error() +
           ")";
  }
  if (status == ERROR_BADDB) {
    return path + ": Wine would not load this file (" + store.last_error() +
           ")";
  }
  return "cannot read " + path + " (" + store.last_error() + ")";
}

}  // namespace

RegistrySource CheckRegistry(const app::RunStart& start) {
  RegistrySource source;
  if (start.registry == app::RunStart::kRefused) {
    source.problem = start.reason;
    // A run by root refuses a missing prefix as a user's run reports it.
    source.no_prefix = start.reason.compare(0, 15, "no Wine prefix ") == 0;
    return source;
  }
  // Loads user.reg, or reaches the running Wine, or fails with the reason.
  const LONG status = RegQueryInfoKeyA(
      HKEY_CURRENT_USER, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
      nullptr, nullptr, nullptr, nullptr, nullptr);
  source.readable = status == ERROR_SUCCESS;
  regservice::Registry* registry = regservice::CurrentRegistry();
  auto* online = dynamic_cast<regservice::FallbackRegistry*>(registry);
  // A server that has gone since the start saved its registry: the run
  // reads the file then.
  if (online != nullptr && online->offline()) {
    registry = online->current();
  } else if (start.registry == app::RunStart::kRunningWine) {
    source.name = "running Wine of " + text::ForPeople(start.prefix);
    if (!source.readable) {
      source.problem = "cannot reach the running Wine of " + start.prefix +
                       " (error " + std::to_string(status) + ")";
    }
    return source;
  }
  auto* prefix =
      dynamic_cast<regservice::prefix::WinePrefixRegistry*>(registry);
  if (prefix == nullptr) {
    // Some other registry stands in (a test's).
    source.name = "Wine registry";
    if (!source.readable) {
      source.problem = "cannot open HKEY_CURRENT_USER (error " +
                       std::to_string(status) + ")";
    }
    return source;
  }
  source.name = text::ForPeople(prefix->store().UserRegPath());
  if (!source.readable) {
    source.problem = FileProblem(start, status, prefix->store());
    source.no_prefix = start.prefix.empty() || status == ERROR_FILE_NOT_FOUND;
  }
  return source;
}

}  // namespace report
