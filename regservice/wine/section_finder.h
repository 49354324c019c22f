// Finds the lines of a user.reg that Wine's loader reads as section
// headers without walking every line of the file.
//
// A line is a header when its first non-blank byte is '[' and the loader
// meets it as a line of its own: the line before must not have continued a
// hex list ("hex:01,02,\" goes on at the next line, whatever that line
// holds). Only a line with a backslash can continue one, so the finder
// looks for '[' with memchr and reads the lines before a candidate only
// when the line just above it holds a backslash. Such lines are read back
// at most once and forward at most once, so the cost stays linear in the
// worst case.
#ifndef QUILLFIX_REGSERVICE_WINE_SECTION_FINDER_H_
#define QUILLFIX_REGSERVICE_WINE_SECTION_FINDER_H_

#include <cstddef>
#include <string>

#include "regservice/wine/reg_text.h"

namespace regservice {
namespace wine {

struct FoundHeader {
  size_t begin;       // of its line
  HeaderKind kind;
  size_t path_begin;  // for kPath: see ClassifyHeaderLine
};

class SectionFinder {
 public:
  // `body` is the start of the second line; `text` must outlive the finder.
  SectionFinder(const std::string& text, size_t body);
  SectionFinder(const SectionFinder&) = delete;
  SectionFinder& operator=(const SectionFinder&) = delete;

  // The next header line, in file order. False when there is none left.
  bool Next(FoundHeader* header);

 private:
  bool StartsOwnLine(size_t line_begin);

  const std::string& text_;
  size_t body_;
  size_t search_;   // where to look for the next '['
  // A line start the loader meets in its own right, at or after which
  // nothing has been read yet; a candidate before it was swallowed by a
  // hex list.
  size_t settled_;
  size_t header_;       // the last header line found (body_ before one)
  bool header_open_;    // whether it was accepted, so that values count
};

}  // namespace wine
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_WINE_SECTION_FINDER_H_
