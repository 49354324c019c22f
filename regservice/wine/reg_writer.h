// The lines Wine's registry server writes: escaped names and paths, value
// forms, times. See doc/user-reg-format.md.
#ifndef QUILLFIX_REGSERVICE_WINE_REG_WRITER_H_
#define QUILLFIX_REGSERVICE_WINE_REG_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "regservice/wine/reg_names.h"

namespace regservice {
namespace wine {

// Escapes units as Wine writes them. `quote` is the extra pair of characters
// that need a backslash: "[]" in key paths, "\"\"" in names and data.
std::string EscapeUnits(const char16_t* units, size_t count,
                        const char* quote);
std::string EscapeKeyPath(const std::vector<Name>& elements);

// The value's line(s) in Wine's form, each ending in `eol`.
std::string FormatValue(const Name& name, uint32_t type,
                        const std::string& data, const std::string& eol);

// The number Wine writes after a header's ']' (Unix seconds) and the text of
// its "#time=" line, for a FILETIME.
std::string FormatSeconds(uint64_t filetime);
std::string FormatTimeOption(uint64_t filetime);
uint64_t SecondsToFileTime(uint32_t seconds);

}  // namespace wine
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_WINE_REG_WRITER_H_
