// The per-user settings key of one edition of the product, known by the ID
// of the string resource that holds its path below HKEY_CURRENT_USER.
#ifndef QUILLFIX_APP_PRODUCT_ROOT_H_
#define QUILLFIX_APP_PRODUCT_ROOT_H_

#include <cstdint>
#include <string>

#include "regservice/regservice.h"
#include "winshim/afx.h"

class CProductRoot {
 public:
  explicit CProductRoot(uint32_t id) : stringId(id) {}
  virtual ~CProductRoot() = default;

  // Whether the root key can be opened for the current user. Opens it with
  // the path exactly as loaded and closes it again at once.
  bool Exists();

  // Writes one value named `valueName` into the key at the root path
  // followed by `subkey`, making missing keys: `size` bytes at `data`, as
  // REG_DWORD when `size` is 4 and REG_BINARY otherwise. Failures to write
  // are silent. Builds its own registry tree over HKEY_CURRENT_USER and has
  // closed every handle of it when it returns.
  //
  // If HKEY_CURRENT_USER cannot be wrapped, the process ends abnormally
  // here, writing nothing (see EndPatchRunAbnormally).
  void WriteValue(CString subkey, CString valueName, const BYTE* data,
                  DWORD size);

  // Reads the value `valueName` of the key at the root path followed by
  // `subkey` into *type and *data, changing nothing. Returns the first
  // failure of RegOpenKeyA or RegQueryValueExA (ERROR_FILE_NOT_FOUND when
  // the key or the value is missing), ERROR_SUCCESS otherwise; closes the
  // key it opened.
  LONG ReadValue(CString subkey, CString valueName, DWORD* type,
                 std::string* data);

  // Public: the patch run re-targets one object by assigning it.
  uint32_t stringId;
};

#endif  // QUILLFIX_APP_PRODUCT_ROOT_H_
