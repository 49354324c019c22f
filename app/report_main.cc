// quillfix-report: says, for the current user, whether each edition of the
// product is installed and what its Preferences\Quillfix value holds, and
// which registry it read. Reads only; takes no options.
//
// Exit status: 0 when every installed edition holds REG_BINARY 01 (also
// when none is installed), 1 when one does not, 2 when the registry cannot
// be read, with the reason on standard error.
#include "app/registry_source.h"
#include "app/report.h"
#include "winshim/afx.h"
#include "winshim/process.h"

// Built before the standard streams and destroyed after them, as in
// quillfix's main.cc.
CWinApp theApp(nullptr);

#include <iostream>  // NOLINT(build/include_order): after theApp

int main(int, char*[], char*[]) {
  if (!AfxWinInit(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), 0)) {
    std::cerr << "Fatal Error: MFC initialization failed" << std::endl;
    return 2;
  }
  const report::RegistrySource source = report::CheckRegistry();
  if (!source.readable) {
    std::cerr << "quillfix-report: " << source.problem << std::endl;
    return 2;
  }
  const std::vector<report::Edition> editions = report::ReadEditions();
  for (const report::Edition& edition : editions) {
    std::cout << report::Describe(edition) << '\n';
  }
  std::cout << "registry: " << source.name << std::endl;
  const int status = report::ExitStatus(editions);
  if (status == 2) {
    std::cerr << "quillfix-report: a value could not be read" << std::endl;
  }
  return status;
}
