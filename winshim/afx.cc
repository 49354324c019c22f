#include "winshim/afx.h"

#include <vector>

namespace {

CWinApp* g_app = nullptr;
HINSTANCE g_resources = nullptr;
bool g_initialised = false;
bool g_fail_init = false;

// A function's static: AfxWinInit may run before this file's globals are
// built.
std::vector<winshim::AfxWinInitArguments>& InitCalls() {
  static std::vector<winshim::AfxWinInitArguments> calls;
  return calls;
}

}  // namespace

BOOL CString::LoadStringA(UINT id) {
  text_.clear();
  if (!g_initialised) return FALSE;
  // A string resource holds at most 65535 characters; grow the buffer until
  // the string no longer fills it.
  std::vector<char> buffer(256);
  while (true) {
    int length = ::LoadStringA(g_resources, id, buffer.data(),
                               static_cast<int>(buffer.size()));
    if (length <= 0) return FALSE;
    if (static_cast<size_t>(length) < buffer.size() - 1 ||
        buffer.size() > 65536) {
      text_.assign(buffer.data(), length);
      return TRUE;
    }
    buffer.resize(buffer.size() * 2);
  }
}

CWinApp::CWinApp(const char* app_name) : m_pszAppName(app_name) {
  g_app = this;
}

CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}

CWinApp* AfxGetApp() { return g_app; }

HINSTANCE AfxGetResourceHandle() { return g_resources; }

BOOL AfxWinInit(HINSTANCE instance, HINSTANCE previous, char* command_line,
                int show) {
  InitCalls().push_back({instance, previous, command_line, show});
  if (g_fail_init) return FALSE;
  g_resources = instance;
  if (g_app != nullptr) {
    g_app->m_hInstance = instance;
    g_app->m_lpCmdLine = command_line;
    g_app->m_nCmdShow = show;
  }
  g_initialised = true;
  return TRUE;
}

namespace winshim {
void FailAfxWinInitForTesting() { g_fail_init = true; }

const std::vector<AfxWinInitArguments>& AfxWinInitCallsForTesting() {
  return InitCalls();
}
}  // namespace winshim
