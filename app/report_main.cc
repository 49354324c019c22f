// quillfix-report: says, for the current user, whether each edition of the
// product is installed and what its Preferences\Quillfix value holds, and
// which registry it read. Reads only. --help and --version print the usage
// and the version; --all and --list look at every Wine prefix the user
// keeps (app/report_modes.h); other arguments are ignored.
//
// Exit status: 0 when every installed edition holds REG_BINARY 01 (also
// when none is installed), 1 when one does not, 2 when the registry cannot
// be read, with the reason on standard error.
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "app/registry_source.h"
#include "app/report.h"
#include "app/report_modes.h"
#include "app/resource.h"
#include "app/run_start.h"
#include "app/terminal_text.h"
#include "winshim/afx.h"
#include "winshim/process.h"

// Built before the standard streams and destroyed after them, as in
// quillfix's main.cc.
CWinApp theApp(nullptr);

#include <iostream>  // NOLINT(build/include_order): after theApp

namespace {

const char kUsage[] =
    "Usage: quillfix-report [--all | --list [-0] | --help | --version]\n"
    "Prints, for the current user, whether each edition of Varlo is\n"
    "installed and what its Preferences\\Quillfix value holds, then the\n"
    "registry it read: that of $WINEPREFIX, or ~/.wine. Reads only.\n"
    "  --all      the same for every Wine prefix of the user's: Wine's,\n"
    "             winetricks', Bottles', Lutris', Heroic's, PlayOnLinux's,\n"
    "             CrossOver's, Steam's; each after a line with its path\n"
    "  --list     the path of each prefix where an edition is installed,\n"
    "             one a line (-0: each ended by a NUL, for any name; a\n"
    "             name with a line end is listed only so), to patch each\n"
    "             with WINEPREFIX=<path> quillfix\n"
    "  --help     this text\n"
    "  --version  the program's name and version\n"
    "Exit status: 0 when every installed edition holds REG_BINARY 01, 1 when\n"
    "one does not, 2 when the registry (a prefix) cannot be read, output\n"
    "cannot be written or, with --all or --list, no prefix is found.\n";

// The first --help or --version among the arguments, or null.
const char* InfoRequest(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "--version") == 0) {
      return argv[i];
    }
  }
  return nullptr;
}

// The first --all or --list among the arguments, or null.
const char* ListingRequest(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--all") == 0 || strcmp(argv[i], "--list") == 0) {
      return argv[i];
    }
  }
  return nullptr;
}

bool HasArgument(int argc, char* argv[], const char* wanted) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], wanted) == 0) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char* argv[], char*[]) {
#ifdef SIGPIPE
  // A reader that goes away is a write error to say and count, as the
  // coreutils count it, not a silent end.
  signal(SIGPIPE, SIG_IGN);
#endif
  if (!AfxWinInit(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), 0)) {
    std::cerr << "Fatal Error: MFC initialization failed" << std::endl;
    return 2;
  }
  if (const char* request = InfoRequest(argc, argv)) {
    if (strcmp(request, "--help") == 0) {
      std::cout << kUsage;
    } else {
      // The program's title, which names its version.
      CString title;
      title.LoadStringA(IDS_TITLE);
      std::cout << static_cast<const char*>(title) << '\n';
    }
    return report::Delivered(std::cout, std::cerr) ? 0 : 2;
  }
  // Every prefix of the user's: each is started on, as below, by a
  // process of its own (app/report_modes.h).
  if (const char* listing = ListingRequest(argc, argv)) {
    if (strcmp(listing, "--all") == 0) {
      return report::ReportAll(isatty(STDOUT_FILENO) == 1, std::cout,
                               std::cerr);
    }
    return report::ReportList(HasArgument(argc, argv, "-0"), std::cout,
                              std::cerr);
  }
  // Whom the run acts as, and on which registry: decided once, here,
  // before anything of the user's is read.
  app::StoppedRun stopped;
  stopped.status = 2;
  stopped.message =
      "quillfix-report: stopped: the run did not end within its time limit";
  stopped.lost_output_status = 2;
  stopped.program = "quillfix-report";
  const report::RegistrySource source =
      report::CheckRegistry(app::StartRun(stopped));
  if (!source.readable) {
    std::cerr << "quillfix-report: " << text::MessageText(source.problem)
              << std::endl;
    if (source.no_prefix) report::HintOtherPrefixes(std::cerr);
    return 2;
  }
  const std::vector<report::Edition> editions = report::ReadEditions();
  for (const report::Edition& edition : editions) {
    std::cout << report::Describe(edition) << '\n';
  }
  std::cout << "registry: " << source.name << '\n';
  if (!report::Delivered(std::cout, std::cerr)) return 2;
  const int status = report::ExitStatus(editions);
  if (status == 2) {
    std::cerr << "quillfix-report: a value could not be read" << std::endl;
  }
  bool any_installed = false;
  for (const report::Edition& edition : editions) {
    any_installed = any_installed || edition.installed;
  }
  if (!any_installed) report::HintOtherPrefixes(std::cerr);
  return status;
}
