// The Windows registry: the platform's own, readable whenever the current
// user's root is.
#include <string>

#include "app/registry_source.h"
#include "regservice/regservice.h"

namespace report {

RegistrySource CheckRegistry(const app::RunStart&) {
  RegistrySource source;
  source.name = "Windows registry";
  LONG status = RegQueryInfoKeyA(HKEY_CURRENT_USER, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr);
  source.readable = status == ERROR_SUCCESS;
  if (!source.readable) {
    source.problem = "cannot open HKEY_CURRENT_USER (error " +
                     std::to_string(status) + ")";
  }
  return source;
}

}  // namespace report
