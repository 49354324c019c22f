// quillfix: sets the Quillfix preference of each installed edition of the
// product for the current user. Takes no options; prints nothing unless
// the framework fails to start.
#include <iostream>

#include "app/product_root.h"
#include "app/resource.h"
#include "winshim/afx.h"
#include "winshim/process.h"

CWinApp theApp(nullptr);

int main(int, char*[], char*[]) {
  if (!AfxWinInit(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), 0)) {
    std::cerr << "Fatal Error: MFC initialization failed" << std::endl;
    return 1;
  }

  const BYTE enabled = 0x01;
  CProductRoot root(IDS_ROOT_VARLO);
  if (root.Exists()) root.WriteValue("Preferences", "Quillfix", &enabled, 1);
  root.stringId = IDS_ROOT_VARLOPLUS;
  if (root.Exists()) root.WriteValue("Preferences", "Quillfix", &enabled, 1);
  return 0;
}
