// regdriver: runs registry operations given on the command line through the
// seven Reg* functions, on the prefix that WINEPREFIX (or HOME) names, and
// prints one line per operation. For tests that drive the registry service
// from outside: round trips with Wine, several writers at once, crashes.
//
// Usage: regdriver [--codepage N] OPERATION...
//   create PATH        RegCreateKeyA(HKEY_CURRENT_USER, PATH); makes the
//                      result the current key
//   open PATH          RegOpenKeyA(HKEY_CURRENT_USER, PATH); likewise
//   openex PATH        RegOpenKeyExA(HKEY_CURRENT_USER, PATH, KEY_ALL_ACCESS)
//   createsub PATH, opensub PATH, openexsub PATH
//                      the same below the current key
//   set NAME TYPE HEX  RegSetValueExA(current key, NAME, 0, TYPE, bytes);
//                      TYPE in decimal, HEX the data ("" or "-" for none)
//   query              RegQueryInfoKeyA(current key) with every output
//   get NAME SIZE      RegQueryValueExA(current key, NAME) with a type and a
//                      size pointer and a buffer of SIZE bytes (at most 64,
//                      filled with 0xcc), or "-" for no buffer (the size
//                      then goes in as 8); prints the type, the size and
//                      the buffer with two bytes past its end
//   close              RegCloseKey(current key); the current key becomes
//                      the one opened before it
//   closeroot          RegCloseKey(HKEY_CURRENT_USER)
//   sleep MS           waits
//   crash              ends the process at once, as a kill would, so that
//                      changes not yet written are lost
// Each line is "<operation> <result>" and, for query, the outputs. A path
// or name "-" stands for the empty string, and "@N*c" for N times the
// character c (long names overflow a Windows command line). The exit status is
// 0 when every operation returned 0, 1 when one failed, 2 for a usage error.
//
// It also builds for Windows with MinGW, to run the same operations under
// Wine's own registry and compare; --codepage is then ignored (the process
// uses its ANSI code page).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <string>
#include <vector>

#include "regservice/regservice.h"
#ifndef _WIN32
#include "winshim/mbstring.h"
#endif

namespace {

int Usage() {
  fprintf(stderr,
          "usage: regdriver [--codepage N] "
          "{create|open|openex[sub] PATH | set NAME TYPE HEX | get NAME SIZE | "
          "query | close | "
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

std::string Arg(const char* text) {
  if (strcmp(text, "-") == 0) return "";
  if (text[0] == '@') {
    char* end = nullptr;
    unsigned long count = strtoul(text + 1, &end, 10);
    if (end != text + 1 && end[0] == '*' && end[1] != '\0' && end[2] == '\0') {
      return std::string(count, end[1]);
    }
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  int i = 1;
  if (i + 1 < argc && strcmp(argv[i], "--codepage") == 0) {
#ifndef _WIN32
    winshim::SetMultibyteCodePage(static_cast<unsigned>(atoi(argv[i + 1])));
#endif
    i += 2;
  }
  std::vector<HKEY> keys;  // opened keys, the current one last
  bool all_ok = true;
  for (; i < argc; ++i) {
    std::string op = argv[i];
    HKEY current = keys.empty() ? HKEY_CURRENT_USER : keys.back();
    LONG result = ERROR_SUCCESS;
    std::string details;
    const bool below_current =
        op == "createsub" || op == "opensub" || op == "openexsub";
    const std::string kind = below_current ? op.substr(0, op.size() - 3) : op;
    if (kind == "create" || kind == "open" || kind == "openex") {
      if (i + 1 >= argc) return Usage();
      const std::string path_text = Arg(argv[++i]);
      const char* path = path_text.c_str();
      HKEY parent = below_current ? current : HKEY_CURRENT_USER;
      HKEY key = nullptr;
      if (kind == "create") {
        result = RegCreateKeyA(parent, path, &key);
      } else if (kind == "open") {
        result = RegOpenKeyA(parent, path, &key);
      } else {
        result = RegOpenKeyExA(parent, path, 0, KEY_ALL_ACCESS, &key);
      }
      if (result == ERROR_SUCCESS) keys.push_back(key);
    } else if (op == "set") {
      if (i + 3 >= argc) return Usage();
      const std::string name_text = Arg(argv[i + 1]);
      const char* name = name_text.c_str();
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
                 " class=%s class_length=%lu subkeys=%lu max_subkey=%lu "
                 "max_class=%lu values=%lu max_value_name=%lu max_value=%lu "
                 "time=%llu",
                 class_name, static_cast<unsigned long>(class_length),
                 static_cast<unsigned long>(subkeys),
                 static_cast<unsigned long>(max_subkey),
                 static_cast<unsigned long>(max_class),
                 static_cast<unsigned long>(values),
                 static_cast<unsigned long>(max_value_name),
                 static_cast<unsigned long>(max_value),
                 (static_cast<unsigned long long>(time.dwHighDateTime) << 32) |
                     time.dwLowDateTime);
        details = line;
      }
    } else if (op == "get") {
      if (i + 2 >= argc) return Usage();
      const std::string name_text = Arg(argv[i + 1]);
      const bool with_buffer = strcmp(argv[i + 2], "-") != 0;
      const DWORD room =
          with_buffer ? static_cast<DWORD>(strtoul(argv[i + 2], nullptr, 10))
                      : 8;
      if (room > 64) return Usage();
      i += 2;
      BYTE buffer[66];
      memset(buffer, 0xcc, sizeof buffer);
      DWORD type = 0xdeadbeef, size = room;
      result = RegQueryValueExA(current, name_text.c_str(), nullptr, &type,
                                with_buffer ? buffer : nullptr, &size);
      char line[200];
      snprintf(line, sizeof line, " type=%lx size=%lu",
               static_cast<unsigned long>(type),
               static_cast<unsigned long>(size));
      details = line;
      if (with_buffer) {
        details += " data=";
        for (DWORD b = 0; b < room + 2; ++b) {
          snprintf(line, sizeof line, "%02x", buffer[b]);
          details += line;
        }
      }
    } else if (op == "close") {
      result = RegCloseKey(current);
      if (!keys.empty()) keys.pop_back();
    } else if (op == "closeroot") {
      result = RegCloseKey(HKEY_CURRENT_USER);
    } else if (op == "sleep") {
      if (i + 1 >= argc) return Usage();
      int milliseconds = atoi(argv[++i]);
#ifdef _WIN32
      Sleep(static_cast<DWORD>(milliseconds));
#else
      usleep(static_cast<useconds_t>(milliseconds) * 1000);
#endif
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
