// paused_save_driver: sets one REG_BINARY value in the user.reg of the
// prefix that WINEPREFIX (or HOME) names, as a run of the program does, and
// stops its save between the last check for a wineserver and the rename,
// until told to go on. For tests that start Wine in that moment.
//
// Usage: paused_save_driver KEY NAME HEXBYTE
// Prints "paused" when the save has stopped and waits for a line on
// standard input; prints "save <result>" at the end. Exit status 0 when the
// save succeeded, 1 when it failed, 2 for a usage error.
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "regservice/prefix/fault_injection_env.h"
#include "regservice/prefix/hive_store.h"
#include "regservice/prefix/prefix_owner.h"
#include "regservice/prefix/wine_prefix_registry.h"

namespace prefix = regservice::prefix;

namespace {

regservice::wine::KeyPath SplitPath(const std::string& text) {
  regservice::wine::KeyPath path;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\\', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) {
      std::string element = text.substr(start, end - start);
      path.emplace_back(element.begin(), element.end());
    }
    start = end + 1;
  }
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: paused_save_driver KEY NAME HEXBYTE\n");
    return 2;
  }
  const std::string name = argv[2];
  const std::string data(1, static_cast<char>(strtoul(argv[3], nullptr, 16)));
  const uint64_t kChangeTime = 0x1dd884ccfb82800;  // a fixed FILETIME

  prefix::FaultInjectionEnv env;
  env.PauseAt(prefix::FaultInjectionEnv::kRename, [] {
    printf("paused\n");
    fflush(stdout);
    char line[16];
    if (fgets(line, sizeof line, stdin) == nullptr) return;
  });
  // As a run of the program: root on a user's prefix acts as that user.
  prefix::PrefixLocation location = prefix::PrefixLocationFromEnvironment();
  if (prefix::AdoptPrefixOwner(&env, prefix::PosixIdentity(), &location).kind ==
      prefix::RunIdentity::kRefused) {
    printf("refused\n");
    return 1;
  }
  prefix::HiveStore store(&env, location);
  regservice::Status status = store.Load();
  const regservice::wine::KeyPath key = SplitPath(argv[1]);
  if (status.ok()) status = store.CreateKey(key, kChangeTime);
  if (status.ok()) {
    status = store.SetValue(key, regservice::wine::Name(name.begin(), name.end()),
                            REG_BINARY, data, kChangeTime);
  }
  if (status.ok()) status = store.Save();
  const LONG result = prefix::WindowsError(status);
  printf("save %ld\n", static_cast<long>(result));
  if (result != ERROR_SUCCESS) {
    fprintf(stderr, "paused_save_driver: %s\n", store.last_error().c_str());
  }
  return result == ERROR_SUCCESS ? 0 : 1;
}
