// Default registry until a real store is wired in: every operation fails, so
// nothing can pretend a write happened.
#include "regservice/registry.h"

namespace regservice {
namespace {

class UnavailableRegistry : public Registry {
 public:
  LONG OpenKey(HKEY, LPCSTR, PHKEY result) override {
    if (result != nullptr) *result = nullptr;
    return ERROR_CANTOPEN;
  }
  LONG OpenKeyEx(HKEY, LPCSTR, DWORD, REGSAM, PHKEY result) override {
    if (result != nullptr) *result = nullptr;
    return ERROR_CANTOPEN;
  }
  LONG CreateKey(HKEY, LPCSTR, PHKEY result) override {
    if (result != nullptr) *result = nullptr;
    return ERROR_CANTOPEN;
  }
  LONG SetValueEx(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD) override {
    return ERROR_CANTOPEN;
  }
  LONG QueryInfoKey(HKEY, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                    LPDWORD, LPDWORD, LPDWORD, LPDWORD, PFILETIME) override {
    return ERROR_CANTOPEN;
  }
  LONG CloseKey(HKEY) override { return ERROR_INVALID_HANDLE; }
};

}  // namespace

Registry* Registry::Default() {
  static UnavailableRegistry* registry = new UnavailableRegistry;
  return registry;
}

}  // namespace regservice
