// Linked into a test build of quillfix: a registry that rejects
// HKEY_CURRENT_USER when it is wrapped as a tree's root, and otherwise
// passes every call on to the real one. When QUILLFIX_CALL_LOG names a
// file, each call is appended to it as "Op name" lines.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "regservice/registry.h"

namespace {

using regservice::Registry;

class RejectRootRegistry : public Registry {
 public:
  LONG OpenKey(HKEY key, LPCSTR sub_key, PHKEY result) override {
    Log("OpenKey", sub_key);
    return Real()->OpenKey(key, sub_key, result);
  }
  LONG OpenKeyEx(HKEY key, LPCSTR sub_key, DWORD options, REGSAM access,
                 PHKEY result) override {
    Log("OpenKeyEx", sub_key);
    return Real()->OpenKeyEx(key, sub_key, options, access, result);
  }
  LONG CreateKey(HKEY key, LPCSTR sub_key, PHKEY result) override {
    Log("CreateKey", sub_key);
    return Real()->CreateKey(key, sub_key, result);
  }
  LONG SetValueEx(HKEY key, LPCSTR name, DWORD reserved, DWORD type,
                  const BYTE* data, DWORD size) override {
    Log("SetValueEx", name);
    return Real()->SetValueEx(key, name, reserved, type, data, size);
  }
  LONG QueryInfoKey(HKEY key, LPSTR class_name, LPDWORD class_length,
                    LPDWORD reserved, LPDWORD subkeys, LPDWORD max_subkey,
                    LPDWORD max_class, LPDWORD values, LPDWORD max_value_name,
                    LPDWORD max_value, LPDWORD security,
                    PFILETIME last_write) override {
    Log("QueryInfoKey", key == HKEY_CURRENT_USER ? "HKEY_CURRENT_USER" : "");
    if (key == HKEY_CURRENT_USER) return ERROR_INVALID_HANDLE;
    return Real()->QueryInfoKey(key, class_name, class_length, reserved,
                                subkeys, max_subkey, max_class, values,
                                max_value_name, max_value, security,
                                last_write);
  }
  LONG CloseKey(HKEY key) override {
    Log("CloseKey", "");
    return Real()->CloseKey(key);
  }
  LONG QueryValueEx(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type,
                    LPBYTE data, LPDWORD size) override {
    Log("QueryValueEx", name);
    return Real()->QueryValueEx(key, name, reserved, type, data, size);
  }

 private:
  static Registry* Real() { return Registry::Default(); }

  static void Log(const char* op, const char* name) {
    const char* path = std::getenv("QUILLFIX_CALL_LOG");
    if (path == nullptr) return;
    if (std::FILE* log = std::fopen(path, "a")) {
      std::fprintf(log, "%s %s\n", op, name != nullptr ? name : "");
      std::fclose(log);
    }
  }
};

RejectRootRegistry g_registry;
const bool kInstalled = (regservice::SetCurrentRegistry(&g_registry), true);

}  // namespace
