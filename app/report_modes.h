// quillfix-report's views over every Wine prefix the user keeps (see
// app/prefix_finder.h): --all, --list, and the hint the plain report adds
// when its own prefix holds no edition. One implementation per platform:
// Windows has no Wine prefixes, and there --all and --list only say so.
#ifndef QUILLFIX_APP_REPORT_MODES_H_
#define QUILLFIX_APP_REPORT_MODES_H_

#include <ostream>

namespace report {

// --all: for each prefix found, a line "prefix: <path> (<maker>)", then
// the plain report's lines for it (a prefix that cannot be read: its
// reason on `err`). Status 0 when every installed edition in every prefix
// holds REG_BINARY 01 (none installed included), 1 when one does not, 2
// when a prefix could not be read or none was found, or `out` could not be
// written. Paths are escaped for a terminal (app/terminal_text.h). When
// `for_terminal`, a closing line counts the prefixes by outcome.
// Lock waits of all the checks together are bounded (kListingWaitsMs).
// REQUIRES: this process has not used the registry.
int ReportAll(bool for_terminal, std::ostream& out, std::ostream& err);

// --list: the path of each prefix where an edition is installed, ended by
// '\n', or by '\0' when `nul_terminated`, byte for byte. Status 0, or 2
// when a prefix could not be read (its reason on `err`; the others are
// still listed), none was found, `out` could not be written, or a path
// holds a line end without `nul_terminated` (not listed; named on `err`).
// REQUIRES: as ReportAll.
int ReportList(bool nul_terminated, std::ostream& out, std::ostream& err);

// For the plain report whose prefix holds no edition or is missing: one
// line on `err` naming the other prefixes where an edition is installed,
// and the command that patches each; nothing when there are none. Looks
// in a new run of this program (quillfix-report --list), since this
// process's registry already serves its own prefix.
void HintOtherPrefixes(std::ostream& err);

}  // namespace report

#endif  // QUILLFIX_APP_REPORT_MODES_H_
