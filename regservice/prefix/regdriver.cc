// regdriver: runs registry operations given on the command line through the
// six Reg* functions, on the prefix that WINEPREFIX (or HOME) names, and
// prints one line per operation. For tests that drive the registry service
// from outside: round trips with Wine, several writers at once, crashes.
//
// Usage: regdriver [--codepage N] OPERATION...
//   create PATH        RegCreateKeyA(HKEY_CURRENT_USER, PATH); makes the
//                      result the current key
//   open PATH          RegOpenKeyA(HKEY_CURRENT_USER, PATH); likewise
//   openex PATH        RegOpenKeyExA(HKEY_CURRENT_USER, PATH, KEY_ALL_ACCESS)
//   set NAME TYPE HEX  RegSetValueExA(current key, NAME, 0, TYPE, bytes);
//                      TYPE in decimal, HEX the data ("" or "-" for none)
//   query              RegQueryInfoKeyA(current key) with every output
//   close              RegCloseKey(current key); the current key becomes
//                      the one opened before it
//   closeroot          RegCloseKey(HKEY_CURRENT_USER)
//   sleep MS           waits
//   crash              ends the process at once, as a kill would, so that
//                      changes not yet written are lost
// Each line is "<operation> <result>" and, for query, the outputs. A path
// or name "-" stands for the empty string. The exit status is 0 when every
// operation returned 0, 1 when one failed, 2 for a usage error.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "regservice/regservice.h"
#include "winshim/mbstring.h"

namespace {

int Usage() {
  fprintf(stderr,
          "usage: regdriver [--codepage N] "
          "{create|open|openex PATH | set NAME TYPE HEX | query | close | "
          "closeroot | sleep MS | crash}...\n");
  return 2;
}

bool ParseHex(const std::string& text, std::string* bytes) {
  bytes->clear();
  if (text == "-") return true;
  if (text.size() % 2 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    char* end = nullptr;
    std::string pair = text.substr(i, 2);
    long byte = strtol(pair.c_str(), &end, 16);
    if (*end != '\0') return false;
    bytes->push_back(static_cast<char>(byte));
  }
  return true;
}

const char* Arg(const char* text) { return strcmp(text, "-") == 0 ? "" : text; }

}  // namespace

int main(int argc, char** argv) {
  int i = 1;
  if (i + 1 < argc && strcmp(argv[i], "--codepage") == 0) {
    winshim::SetMultibyteCodePage(static_cast<unsigned>(atoi(argv[i + 1])));
    i += 2;
  }
  std::vector<HKEY> keys;  // opened keys, the current one last
  bool all_ok = true;
  for (; i < argc; ++i) {
    std::string op = argv[i];
    HKEY current = keys.empty() ? HKEY_CURRENT_USER : keys.back();
    LONG result = ERROR_SUCCESS;
    std::string details;
    if (op == "create" || op == "open" || op == "openex") {
      if (i + 1 >= argc) return Usage();
      const char* path = Arg(argv[++i]);
      HKEY key = nullptr;
      if (op == "create") {
        result = RegCreateKeyA(HKEY_CURRENT_USER, path, &key);
      } else if (op == "open") {
        result = RegOpenKeyA(HKEY_CURRENT_USER, path, &key);
      } else {
        result =
            RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_ALL_ACCESS, &key);
      }
      if (result == ERROR_SUCCESS) keys.push_back(key);
    } else if (op == "set") {
      if (i + 3 >= argc) return Usage();
      const char* name = Arg(argv[i + 1]);
      DWORD type = static_cast<DWORD>(strtoul(argv[i + 2], nullptr, 10));
      std::string data;
      if (!ParseHex(argv[i + 3], &data)) return Usage();
      i += 3;
      result = RegSetValueExA(current, name, 0, type,
                              reinterpret_cast<const BYTE*>(data.data()),
                              static_cast<DWORD>(data.size()));
    } else if (op == "query") {
      char class_name[260];
      DWORD class_length = sizeof class_name;
      DWORD subkeys = 0, max_subkey = 0, max_class = 0, values = 0,
            max_value_name = 0, max_value = 0, security = 0;
      FILETIME time = {0, 0};
      result = RegQueryInfoKeyA(current, class_name, &class_length, nullptr,
                                &subkeys, &max_subkey, &max_class, &values,
                                &max_value_name, &max_value, &security, &time);
      if (result == ERROR_SUCCESS) {
        char line[512];
        snprintf(line, sizeof line,
                 " class=%s class_length=%u subkeys=%u max_subkey=%u "
                 "max_class=%u values=%u max_value_name=%u max_value=%u "
                 "time=%llu",
                 class_name, class_length, subkeys, max_subkey, max_class,
                 values, max_value_name, max_value,
                 (static_cast<unsigned long long>(time.dwHighDateTime) << 32) |
                     time.dwLowDateTime);
        details = line;
      }
    } else if (op == "close") {
      result = RegCloseKey(current);
      if (!keys.empty()) keys.pop_back();
    } else if (op == "closeroot") {
      result = RegCloseKey(HKEY_CURRENT_USER);
    } else if (op == "sleep") {
      if (i + 1 >= argc) return Usage();
      usleep(static_cast<useconds_t>(atoi(argv[++i])) * 1000);
    } else if (op == "crash") {
      printf("crash 0\n");
      fflush(stdout);
      _exit(0);
    } else {
      return Usage();
    }
    printf("%s %ld%s\n", op.c_str(), static_cast<long>(result),
           details.c_str());
    fflush(stdout);
    if (result != ERROR_SUCCESS) all_ok = false;
  }
  return all_ok ? 0 : 1;
}
