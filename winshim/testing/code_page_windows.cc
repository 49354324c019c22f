// The code-page switch of the multibyte tests, on Windows: the C runtime's
// own multibyte code page, so the tests written for the stand-in check the
// runtime's functions with the same cases.
#include <mbctype.h>

#include "winshim/mbstring.h"
#include "winshim/testing/code_page_windows.h"

namespace winshim {

unsigned int MultibyteCodePage() { return static_cast<unsigned>(_getmbcp()); }

void SetMultibyteCodePage(unsigned int code_page) {
  _setmbcp(static_cast<int>(code_page));
}

}  // namespace winshim
