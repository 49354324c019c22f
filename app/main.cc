// quillfix: sets the Quillfix preference of each installed edition of the
// product for the current user. Takes no options; prints nothing unless
// the framework fails to start.
#include "app/product_root.h"
#include "app/resource.h"
#include "app/run_start.h"
#include "winshim/afx.h"
#include "winshim/process.h"

// The application object comes first: a file's objects are built in the
// order they are defined and destroyed in reverse, so defining it ahead of
// <iostream>, whose std::ios_base::Init object readies the standard
// streams, builds it before them and destroys it after. Nothing else in
// the program includes <iostream>.
CWinApp theApp(nullptr);

#include <iostream>  // NOLINT(build/include_order): after theApp

int main(int, char*[], char*[]) {
  if (!AfxWinInit(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), 0)) {
    std::cerr << "Fatal Error: MFC initialization failed" << std::endl;
    return 1;
  }

  // Whom the run acts as, and on which registry: decided once, here,
  // before anything of the user's is read.
  app::StartRun(app::StoppedRun());

  const BYTE enabled = 0x01;
  CProductRoot root(IDS_ROOT_VARLO);
  if (root.Exists()) root.WriteValue("Preferences", "Quillfix", &enabled, 1);
  root.stringId = IDS_ROOT_VARLOPLUS;
  if (root.Exists()) root.WriteValue("Preferences", "Quillfix", &enabled, 1);
  return 0;
}
