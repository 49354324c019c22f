// The few pieces of the Windows application framework (MFC) that the
// program uses: owned text that loads string resources, the application
// object, and the framework's start-up. Used on every platform; on Windows
// it sits on the platform's resource functions.
#ifndef QUILLFIX_WINSHIM_AFX_H_
#define QUILLFIX_WINSHIM_AFX_H_

#include <string>
#include <vector>

#include "winshim/process.h"

// Owned multibyte text.
class CString {
 public:
  CString() = default;
  CString(const char* text) : text_(text != nullptr ? text : "") {}  // NOLINT

  // Replaces the text with string resource `id` of the program. An ID with
  // no string gives empty text and returns FALSE.
  BOOL LoadStringA(UINT id);

  CString& operator+=(const CString& other) {
    text_ += other.text_;
    return *this;
  }

  // The text, NUL-terminated; valid until the string changes.
  operator const char*() const { return text_.c_str(); }  // NOLINT
  int GetLength() const { return static_cast<int>(text_.size()); }

 private:
  std::string text_;
};

// The application object. A program makes exactly one, as a global, and
// derives nothing from it.
class CWinApp {
 public:
  explicit CWinApp(const char* app_name = nullptr);
  ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  const char* m_pszAppName;
  HINSTANCE m_hInstance = nullptr;
  char* m_lpCmdLine = nullptr;
  int m_nCmdShow = 0;
};

// The application object, or null when there is none.
CWinApp* AfxGetApp();

// The module whose resources string loads read; set by AfxWinInit.
HINSTANCE AfxGetResourceHandle();

// Starts the framework for the module `instance`: from then on string
// resources load by ID. Returns non-zero when the framework is ready.
BOOL AfxWinInit(HINSTANCE instance, HINSTANCE previous, char* command_line,
                int show);

namespace winshim {
// Makes every later AfxWinInit fail, as it would on a broken machine. For
// tests only.
void FailAfxWinInitForTesting();

// The arguments of one AfxWinInit call.
struct AfxWinInitArguments {
  HINSTANCE instance;
  HINSTANCE previous;
  char* command_line;
  int show;
};

// Every AfxWinInit call of the process so far, in order. For tests.
const std::vector<AfxWinInitArguments>& AfxWinInitCallsForTesting();
}  // namespace winshim

#endif  // QUILLFIX_WINSHIM_AFX_H_
