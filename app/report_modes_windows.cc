// Windows keeps one registry per user and no Wine prefixes: --all and
// --list have nothing to look for, and the plain report nothing to add.
#include "app/report_modes.h"

namespace report {
namespace {

int NotHere(const char* option, std::ostream& err) {
  err << "quillfix-report: " << option
      << " looks for Wine prefixes, which Windows does not have" << std::endl;
  return 2;
}

}  // namespace

int ReportAll(bool, std::ostream&, std::ostream& err) {
  return NotHere("--all", err);
}

int ReportList(bool, std::ostream&, std::ostream& err) {
  return NotHere("--list", err);
}

void HintOtherPrefixes(std::ostream&) {}

}  // namespace report
