// The registry functions of regservice.h, forwarding to the current Registry.
#include "regservice/registry.h"

namespace regservice {
namespace {
Registry* g_current = nullptr;
}  // namespace

Registry* CurrentRegistry() {
  return g_current != nullptr ? g_current : Registry::Default();
}

Registry* SetCurrentRegistry(Registry* registry) {
  Registry* previous = CurrentRegistry();
  g_current = registry;
  return previous;
}

}  // namespace regservice

using regservice::CurrentRegistry;

extern "C" {

LONG RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  return CurrentRegistry()->OpenKey(hKey, lpSubKey, phkResult);
}

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions,
                   REGSAM samDesired, PHKEY phkResult) {
  return CurrentRegistry()->OpenKeyEx(hKey, lpSubKey, ulOptions, samDesired,
                                      phkResult);
}

LONG RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  return CurrentRegistry()->CreateKey(hKey, lpSubKey, phkResult);
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved,
                    DWORD dwType, const BYTE* lpData, DWORD cbData) {
  return CurrentRegistry()->SetValueEx(hKey, lpValueName, Reserved, dwType,
                                       lpData, cbData);
}

LONG RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass,
                      LPDWORD lpReserved, LPDWORD lpcSubKeys,
                      LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                      LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                      LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                      PFILETIME lpftLastWriteTime) {
  return CurrentRegistry()->QueryInfoKey(
      hKey, lpClass, lpcchClass, lpReserved, lpcSubKeys, lpcbMaxSubKeyLen,
      lpcbMaxClassLen, lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen,
      lpcbSecurityDescriptor, lpftLastWriteTime);
}

LONG RegCloseKey(HKEY hKey) { return CurrentRegistry()->CloseKey(hKey); }

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  return CurrentRegistry()->QueryValueEx(hKey, lpValueName, lpReserved,
                                         lpType, lpData, lpcbData);
}

}  // extern "C"
