// LoadStringA over the program's own string table. Kept apart from the
// other process functions so that only programs that load strings need to
// define a table.
#include <cstring>

#include "winshim/process.h"
#include "winshim/resources.h"

int LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer,
                int cchBufferMax) {
  if (lpBuffer == nullptr || cchBufferMax <= 0) return 0;
  lpBuffer[0] = 0;
  if (hInstance != nullptr &&
      hInstance != reinterpret_cast<HINSTANCE>(GetModuleHandleA(nullptr))) {
    return 0;
  }
  for (std::size_t i = 0; i < winshim::kModuleStringCount; ++i) {
    const winshim::StringResource& entry = winshim::kModuleStringTable[i];
    if (entry.id != uID) continue;
    std::size_t length = std::strlen(entry.text);
    if (length > static_cast<std::size_t>(cchBufferMax - 1)) {
      length = cchBufferMax - 1;
    }
    std::memcpy(lpBuffer, entry.text, length);
    lpBuffer[length] = 0;
    return static_cast<int>(length);
  }
  return 0;
}
