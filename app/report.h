// quillfix-report's reading of the registry: for each edition, whether it
// is installed and what its Preferences\Quillfix holds, as one line of
// text, and the exit status the whole report gives. Reads only.
#ifndef QUILLFIX_APP_REPORT_H_
#define QUILLFIX_APP_REPORT_H_

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "regservice/regservice.h"

namespace report {

// One edition as found in the current user's registry.
struct Edition {
  std::string root;        // the root path as the string table holds it
  bool installed = false;  // whether the root key could be opened
  // Reading Preferences\Quillfix: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND
  // when the key or the value is missing, or another failure.
  LONG read = ERROR_FILE_NOT_FOUND;
  DWORD type = REG_NONE;
  std::string data;
};

// Reads the edition whose root path is string resource `string_id`.
Edition ReadEdition(uint32_t string_id);

// The editions in the order the patch run takes them.
std::vector<Edition> ReadEditions();

// The report's line for an edition, without a line end, e.g.
// "HKEY_CURRENT_USER\SOFTWARE\Corvane\Varlo 6.8: installed,
// Preferences\Quillfix = 01".
std::string Describe(const Edition& edition);

// "REG_BINARY", "REG_DWORD", ... or "type 0x12345".
std::string TypeName(DWORD type);

// Whether the edition holds what quillfix writes: REG_BINARY, one byte 01.
bool IsPatched(const Edition& edition);

// The exit status: 0 when every installed edition is patched (none being
// installed included), 1 when one is not, 2 when a value could not be
// read.
int ExitStatus(const std::vector<Edition>& editions);

// Flushes `out`: true when everything written to it got out; false, with
// a line on `err` saying why (a full disk, a closed pipe), when not.
bool Delivered(std::ostream& out, std::ostream& err);

}  // namespace report

#endif  // QUILLFIX_APP_REPORT_H_
