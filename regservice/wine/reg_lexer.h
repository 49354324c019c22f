// Reading user.reg's text the way Wine's registry server loads it, quirk
// for quirk: the lines and their kinds, escaped text, section headers,
// value lines and options. doc/user-reg-format.md describes the format.
// Everything here works on the file's bytes in place and never reads
// outside the range it is given.
#ifndef QUILLFIX_REGSERVICE_WINE_REG_LEXER_H_
#define QUILLFIX_REGSERVICE_WINE_REG_LEXER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "regservice/wine/reg_names.h"

namespace regservice {
namespace wine {

inline bool IsSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');  // \t \n \v \f \r
}

// One physical line of the file as Wine's line reader sees it.
struct Line {
  size_t begin = 0;        // first byte of the line
  size_t content_end = 0;  // end of the text Wine sees: before a NUL byte,
                           // else before "\r\n" or "\n"
  size_t next = 0;         // first byte of the following line
  bool has_newline = false;
};

// Splits bytes[pos, limit) into lines, forward. `bytes` must outlive it.
class LineCursor {
 public:
  LineCursor(const std::string& bytes, size_t pos, size_t limit);
  // The line at pos(); false at the limit.
  bool Next(Line* line);
  size_t pos() const { return pos_; }
  // REQUIRES: pos starts a line.
  void MoveTo(size_t pos) { pos_ = pos; }

 private:
  const std::string& bytes_;
  size_t pos_;
  size_t limit_;
};

// The first byte of `line` that is not white space; content_end if none.
inline size_t SkipBlanks(const std::string& bytes, const Line& line) {
  size_t p = line.begin;
  while (p < line.content_end && IsSpace(bytes[p])) ++p;
  return p;
}

// Unescapes text[p, end) up to the first unescaped `delim`. Appends the
// units to *out when out is not null. Returns the position just after the
// delimiter, or nullptr when the text ends first (malformed).
const char* ParseEscaped(const char* p, const char* end, char delim,
                         Name* out);

// What Wine makes of a section header line.
struct SectionHeader {
  // False when Wine rejects the header: no closing ']', or an element
  // longer than kMaxKeyNameUnits. Such a section's values are dropped.
  bool ok = false;
  std::vector<Name> elements;  // empty elements left out; empty: the root
  size_t depth = 0;            // elements in the path, stored or not
  size_t path_end = 0;         // just after the ']'
  bool has_seconds = false;
  uint32_t seconds = 0;
};

// The one reader of header syntax: the text from a header's '[' at `p` to
// the end of its line. path_end is an offset from p. Only the first
// kept_elements elements are stored; the others are still checked. The
// strings of out->elements are reused, since loading reads every header.
constexpr size_t kAllElements = static_cast<size_t>(-1);
void ReadHeader(const char* p, const char* end, SectionHeader* out,
                size_t kept_elements = kAllElements);

// Reads the header line that starts at text[begin]; path_end is then an
// offset in text. False if the line is not a header Wine accepts.
bool ReadHeaderLine(const std::string& text, size_t begin,
                    SectionHeader* header);

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
// after `line`) is advanced over.
void ReadValueLine(const std::string& bytes, const Line& line,
                   LineCursor* cursor, ValueLine* out);

// Options, given the text of a '#' line from its '#' to its end. Each
// returns false for a line that is another option.
//
// "#arch=": *arch is the rest of the line as written ("win32", "win64").
bool ReadArchOption(const char* p, const char* end, std::string* arch);
// "#time=": the hex digits up to the first other byte, as Wine reads them
// (no digits: 0; more than 16: the last 16 count).
bool ReadTimeOption(const char* p, const char* end, uint64_t* time);

enum class LineKind {
  kBlank,
  kHeader,        // first non-blank byte '['
  kValue,         // '"' or '@'
  kOption,        // '#': #time, #class, #arch, #link...
  kComment,       // ';'
  kContinuation,  // a '[' line read as the last line of a hex list that
                  // goes on from the line before it
  kOther,         // anything else, which Wine skips
};

struct LexedLine : Line {
  LineKind kind = LineKind::kBlank;
  size_t text = 0;  // first non-blank byte
};

// Gives every line of the file from `pos` (after the signature line) its
// kind, in one forward pass, for finding the sections: a line Wine reads
// as part of a hex list is never a header. A list goes on only inside a
// section whose header Wine accepted, since elsewhere Wine skips values
// unread. Whether a list goes on is worked out only where a header hangs
// on it: a list's other lines get the kind of their first byte (a line of
// hex kOther, a blank line ending a list kBlank), which is all that
// loading needs. Headers keep at most `kept_elements` path elements.
class Lexer {
 public:
  Lexer(const std::string& bytes, size_t pos,
        size_t kept_elements = kAllElements);
  bool Next(LexedLine* line);
  // Inside an accepted section, moves on to its next line whose first
  // non-blank byte is '[', the only kind that can end the section; the
  // others (values, options, comments) are not given. Elsewhere it does
  // nothing. For loading, which needs only the headers of a section.
  void SkipToBracketLine();
  // The last header line read.
  const SectionHeader& header() const { return header_; }
  // Whether a section Wine accepted is open at the current line.
  bool key_open() const { return key_open_; }

 private:
  static constexpr size_t kNoList = static_cast<size_t>(-1);
  bool ContinuesList(const Line& line);

  const std::string& bytes_;
  const size_t kept_elements_;
  LineCursor cursor_;
  Line previous_;  // the line before the current one
  bool key_open_ = false;
  // The first value line since the section's header or a blank line: where
  // a list that may still be going on can have started; kNoList for none.
  size_t list_start_ = kNoList;
  SectionHeader header_;
};

// What the "#arch=" line before the first key of `bytes` says ("win32",
// "win64", as written); empty when there is none. For the start of a
// file, such as the first few KiB of system.reg.
std::string ArchitectureBeforeFirstKey(const std::string& bytes);

}  // namespace wine
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_WINE_REG_LEXER_H_
