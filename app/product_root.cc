#include "app/product_root.h"

#include <cstdlib>

#include "regtree/registry_tree.h"

namespace {

// The one fatal case: the current user's registry is not usable at all, so
// no edition can be patched. The patch run must not go on and nothing may
// be written; there is nobody to tell, so the process aborts (SIGABRT on
// POSIX, status 3 on Windows), which a shell tells apart from any normal
// exit status. Changes written for an earlier edition are already stored:
// each write reaches the registry before its tree is torn down.
[[noreturn]] void EndPatchRunAbnormally() { std::abort(); }

}  // namespace

bool CProductRoot::Exists() {
  CString path;
  path.LoadStringA(stringId);
  HKEY key = nullptr;
  if (RegOpenKeyA(HKEY_CURRENT_USER, path, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

void CProductRoot::WriteValue(CString subkey, CString valueName,
                              const BYTE* data, DWORD size) {
  CString path;
  path.LoadStringA(stringId);
  path += subkey;  // the root path ends in a backslash already

  bool ok = false;
  CKeyRef root = WrapRoot(HKEY_CURRENT_USER, ok);
  if (!ok) EndPatchRunAbnormally();

  // The key reference is a temporary: the key lives on through its value.
  CValueRef value = root.Subkey(path).Value(valueName);
  if (size == 4) {
    value.SetDword(data);
  } else {
    value.SetBinary(data, size);
  }
  // Leaving the scope releases the value, then the root: the tree folds up
  // leaf first, closing each key, and HKEY_CURRENT_USER last.
}

LONG CProductRoot::ReadValue(CString subkey, CString valueName, DWORD* type,
                             std::string* data) {
  CString path;
  path.LoadStringA(stringId);
  path += subkey;
  HKEY key = nullptr;
  LONG result = RegOpenKeyA(HKEY_CURRENT_USER, path, &key);
  if (result != ERROR_SUCCESS) return result;
  // Ask for the size, then read; again if the value grew in between.
  DWORD size = 0;
  result = RegQueryValueExA(key, valueName, nullptr, type, nullptr, &size);
  while (result == ERROR_SUCCESS) {
    data->assign(size, '\0');
    result = RegQueryValueExA(key, valueName, nullptr, type,
                              reinterpret_cast<BYTE*>(&(*data)[0]), &size);
    if (result == ERROR_SUCCESS) {
      data->resize(size);
      break;
    }
    if (result == ERROR_MORE_DATA) result = ERROR_SUCCESS;
  }
  RegCloseKey(key);
  return result;
}
