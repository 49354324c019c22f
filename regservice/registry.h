// The seam behind the registry functions of regservice.h on platforms
// without a native registry.
//
// RegOpenKeyA and its siblings forward every call to the current Registry.
// Abstract so that tests can record the calls, or fail chosen ones, without
// touching any file. The default implementation serves the current user's
// hive of a Wine prefix: from its user.reg file (prefix/), or, while a
// wineserver serves the prefix, through the bridge to a helper running
// under that Wine (bridge/).
#ifndef QUILLFIX_REGSERVICE_REGISTRY_H_
#define QUILLFIX_REGSERVICE_REGISTRY_H_

#include "regservice/regservice.h"

namespace regservice {

// One implementation of the seven operations. Each method has the contract of
// the Windows function of the same name (RegOpenKeyA for OpenKey, and so on)
// and returns a Windows error code, ERROR_SUCCESS on success.
class Registry {
 public:
  virtual ~Registry() = default;

  virtual LONG OpenKey(HKEY key, LPCSTR sub_key, PHKEY result) = 0;
  virtual LONG OpenKeyEx(HKEY key, LPCSTR sub_key, DWORD options,
                         REGSAM access, PHKEY result) = 0;
  virtual LONG CreateKey(HKEY key, LPCSTR sub_key, PHKEY result) = 0;
  virtual LONG SetValueEx(HKEY key, LPCSTR value_name, DWORD reserved,
                          DWORD type, const BYTE* data, DWORD size) = 0;
  virtual LONG QueryInfoKey(HKEY key, LPSTR class_name, LPDWORD class_length,
                            LPDWORD reserved, LPDWORD subkeys,
                            LPDWORD max_subkey_length,
                            LPDWORD max_class_length, LPDWORD values,
                            LPDWORD max_value_name_length,
                            LPDWORD max_value_length,
                            LPDWORD security_descriptor_size,
                            PFILETIME last_write_time) = 0;
  virtual LONG CloseKey(HKEY key) = 0;
  virtual LONG QueryValueEx(HKEY key, LPCSTR value_name, LPDWORD reserved,
                            LPDWORD type, LPBYTE data, LPDWORD size) = 0;

  // The implementation the functions use unless another is installed.
  // Lives for the whole process; never null.
  static Registry* Default();
};

// The Registry the Reg* functions forward to now. Never null.
Registry* CurrentRegistry();

// Makes `registry` the current one (null restores Default()) and returns
// the one it replaces. The caller keeps ownership and must keep it alive
// while it is current. Not thread-safe: meant for tests and start-up.
Registry* SetCurrentRegistry(Registry* registry);

// Installs a Registry for the lifetime of a scope, restoring the previous
// one at its end.
class ScopedRegistry {
 public:
  explicit ScopedRegistry(Registry* registry)
      : previous_(SetCurrentRegistry(registry)) {}
  ~ScopedRegistry() { SetCurrentRegistry(previous_); }
  ScopedRegistry(const ScopedRegistry&) = delete;
  ScopedRegistry& operator=(const ScopedRegistry&) = delete;

 private:
  Registry* previous_;
};

}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_REGISTRY_H_
