#include "regservice/wine/section_finder.h"

#include <cstring>

namespace regservice {
namespace wine {

namespace {

// Whether "hex" occurs in [p, end): a line without it holds no hex list.
bool MayHoldHexTag(const char* p, const char* end) {
  while ((p = static_cast<const char*>(std::memchr(p, 'h', end - p)))) {
    if (end - p >= 3 && p[1] == 'e' && p[2] == 'x') return true;
    ++p;
  }
  return false;
}

bool HoldsBackslash(const char* p, const char* end) {
  return std::memchr(p, '\\', end - p) != nullptr;
}

}  // namespace

SectionFinder::SectionFinder(const std::string& text, size_t body)
    : text_(text),
      body_(body),
      search_(body),
      settled_(body),
      header_(body),
      header_open_(false) {}

bool SectionFinder::Next(FoundHeader* header) {
  const char* base = text_.data();
  const size_t size = text_.size();
  while (search_ < size) {
    const void* found = std::memchr(base + search_, '[', size - search_);
    if (!found) {
      search_ = size;
      return false;
    }
    const size_t bracket = static_cast<const char*>(found) - base;
    search_ = bracket + 1;
    // Only blanks may stand before the '[' on its line.
    size_t line = bracket;
    while (line > body_ && base[line - 1] != '\n' && IsSpace(base[line - 1])) {
      --line;
    }
    if (line < body_ || base[line - 1] != '\n' || !StartsOwnLine(line)) {
      continue;
    }
    header->begin = line;
    header->kind = ClassifyHeaderLine(text_, line, &header->path_begin);
    header_ = line;
    header_open_ = header->kind != HeaderKind::kRejected;
    settled_ = line;
    // Nothing else on this line can start a header.
    const void* nl = std::memchr(base + bracket, '\n', size - bracket);
    search_ = nl ? static_cast<const char*>(nl) - base + 1 : size;
    return true;
  }
  return false;
}

bool SectionFinder::StartsOwnLine(size_t line_begin) {
  if (line_begin < settled_) return false;
  if (line_begin == settled_) return true;
  const char* base = text_.data();
  // Back over the lines that could have continued a list, down to one that
  // could not (the line after it starts afresh) or to a line start already
  // known to stand on its own.
  size_t start = line_begin;
  while (start > settled_) {
    const size_t newline = start - 1;
    const void* before = newline > settled_
        ? memrchr(base + settled_, '\n', newline - settled_)
        : nullptr;
    const size_t prev = before ? static_cast<const char*>(before) - base + 1
                               : settled_;
    if (!HoldsBackslash(base + prev, base + newline)) break;
    start = prev;
  }
  if (start == line_begin) return true;
  // Read those lines as the loader does; a hex list counts only in a
  // section whose header was accepted.
  LineCursor cursor(text_, start, text_.size());
  Line line;
  ValueLine value;
  while (cursor.pos() < line_begin && cursor.Next(&line)) {
    if (!header_open_ || line.begin == header_) continue;
    const size_t first = SkipBlanks(text_, line);
    const char* p = base + first;
    const char* end = base + line.content_end;
    if (first < line.content_end && (*p == '"' || *p == '@') &&
        HoldsBackslash(p, end) && MayHoldHexTag(p, end)) {
      ReadValueLine(text_, line, &cursor, false, &value);
    }
  }
  settled_ = cursor.pos();
  return settled_ == line_begin;
}

}  // namespace wine
}  // namespace regservice
