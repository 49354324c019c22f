// The pieces of user.reg's text syntax: lines, escaped strings, section
// headers, value lines, and the forms Wine's registry server writes them in.
// Reading follows the server's loader quirk for quirk, so that this code
// sees the same keys and values Wine would. Everything here works on the
// file's bytes in place and never reads outside the range it is given.
#ifndef QUILLFIX_REGSERVICE_WINE_REG_TEXT_H_
#define QUILLFIX_REGSERVICE_WINE_REG_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "regservice/wine/hive.h"

namespace regservice {
namespace wine {

constexpr size_t kMaxKeyNameUnits = 256;
constexpr size_t kMaxValueNameUnits = 16383;

// ---- Names: case folding and Wine's sort order -------------------------

// The Unicode lowercase of one UTF-16 unit (units outside the BMP's letters,
// surrogates included, stay as they are).
char16_t FoldUnit(char16_t unit);
Name FoldName(const Name& name);
bool NamesEqual(const Name& a, const Name& b);
// <0, 0 or >0, unit by unit on the lowercase forms; a prefix sorts first.
int CompareNames(const Name& a, const Name& b);

// ---- Lines -------------------------------------------------------------

// One physical line of the file as Wine's line reader sees it.
struct Line {
  size_t begin = 0;        // first byte of the line
  size_t content_end = 0;  // end of the text Wine sees: before a NUL byte,
                           // else before "\r\n" or "\n"
  size_t next = 0;         // first byte of the following line
  bool has_newline = false;
};

// Walks the lines of bytes[pos, limit). `bytes` must outlive the cursor.
// `may_hold_nul` false (the caller checked the range) spares looking for a
// NUL in every line.
class LineCursor {
 public:
  LineCursor(const std::string& bytes, size_t pos, size_t limit,
             bool may_hold_nul = true);
  bool Next(Line* line);
  size_t pos() const { return pos_; }
  void Rewind(size_t pos) { pos_ = pos; }

 private:
  const std::string& bytes_;
  size_t pos_;
  size_t limit_;
  bool may_hold_nul_;
};

// The first byte of `line` that is not white space; content_end if none.
size_t SkipBlanks(const std::string& bytes, const Line& line);
bool IsSpace(char c);

// ---- Reading -----------------------------------------------------------

// Unescapes text[p, end) up to the first unescaped `delim`, as the server
// does (\x hex, octal, C escapes, UTF-8, invalid bytes dropped). Appends
// the units to *out when out is not null. Returns the position just after
// the delimiter, or nullptr when the line ends first (malformed).
const char* ParseEscaped(const char* p, const char* end, char delim,
                         Name* out);

struct SectionHeader {
  // False when Wine rejects the header: no closing ']', or an element
  // longer than 256 units. Such a section's values are dropped.
  bool ok = false;
  std::vector<Name> elements;  // empty elements left out; empty: the root
  std::vector<size_t> element_offsets;  // of each element's first byte,
                                       // from the '['
  size_t path_end = 0;         // offset (from the '[') just after the ']'
  bool has_seconds = false;
  uint32_t seconds = 0;
};

// Parses a header line's text from its '[' at `p` to `end`.
void ParseSectionHeader(const char* p, const char* end, SectionHeader* out);

// Parses the header line that starts at text[begin]; path_end is then an
// offset in text and element_offsets are from `begin`. False if the line
// is not a header Wine accepts.
bool ParseHeaderLine(const std::string& text, size_t begin,
                     SectionHeader* header);

// What Wine makes of a section header line.
enum class HeaderKind {
  kRejected,  // no key: the section's values are dropped
  kRoot,      // the root's own section ("[]", or "[\0..." as Wine reads it)
  kPath,      // a key below the root
};

// Classifies the header line that starts at text[begin] (its first
// non-blank byte is '['). For kPath, *path_begin is where its path can be
// read from with ReadPathElement.
// The usual header (printable ASCII, a doubled backslash between elements,
// nothing else escaped) is told from its bytes without decoding or
// allocating; any other goes through ParseHeaderLine.
HeaderKind ClassifyHeaderLine(const std::string& text, size_t begin,
                              size_t* path_begin);

// One element of an accepted header's path, read from a point inside the
// path where an element or a separator starts (never the '[' itself).
struct PathElement {
  bool found = false;  // false: the path ends (']') first
  bool plain = false;  // printable ASCII, nothing escaped: the bytes are
                       // the name; otherwise `name` holds it
  size_t begin = 0;    // its first byte
  size_t end = 0;      // where the separator or ']' after it starts
  Name name;
};
void ReadPathElement(const std::string& text, size_t from, PathElement* out);

// The element of a well-formed header that starts at p (an element offset
// from ParseSectionHeader): read up to the next separator or the ']'.
Name ReadHeaderElement(const char* p, const char* end);

// A value line, with any hex continuation lines, read the way Wine does.
struct ValueLine {
  // False when the name cannot be read (no closing quote, no '=') or is too
  // long: Wine then creates no value at all.
  bool created = false;
  bool malformed = false;  // the value exists as REG_NONE with no data
  bool dangling = false;   // its hex list goes on past the end of the file
  Name name;
  uint32_t type = 0;
  std::string data;
  size_t own_end = 0;  // just after the value's own last line
  size_t end = 0;      // just after the lines read, which may include a
                       // blank line that ended a hex continuation
};

// Reads the value line `line` (its first non-blank byte is '"' or '@') and
// the continuation lines that follow it, which the cursor (positioned just
// after `line`) is advanced over. With want_data false the name and data
// are not stored, only the extent and whether the value exists.
void ReadValueLine(const std::string& bytes, const Line& line,
                   LineCursor* cursor, bool want_data, ValueLine* out);

// ---- Writing -----------------------------------------------------------

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

#endif  // QUILLFIX_REGSERVICE_WINE_REG_TEXT_H_
