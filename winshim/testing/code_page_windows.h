// The code-page switch of the multibyte tests, declared for Windows, where
// winshim/mbstring.h is the C runtime's header. Forced into those tests.
#ifndef QUILLFIX_WINSHIM_TESTING_CODE_PAGE_WINDOWS_H_
#define QUILLFIX_WINSHIM_TESTING_CODE_PAGE_WINDOWS_H_

namespace winshim {

// The C runtime's multibyte code page (_getmbcp, _setmbcp).
unsigned int MultibyteCodePage();
void SetMultibyteCodePage(unsigned int code_page);

}  // namespace winshim

#endif  // QUILLFIX_WINSHIM_TESTING_CODE_PAGE_WINDOWS_H_
