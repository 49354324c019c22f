#include "regservice/wine/reg_text.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

namespace regservice {
namespace wine {

namespace {

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;
constexpr uint64_t kTicksPerSecond = 10000000;
constexpr int64_t kTicks1601To1970 = 116444736000000000LL;

// Lowercase of every BMP unit, from the C library's Unicode tables.
struct FoldTable {
  std::array<char16_t, 0x10000> lower;
  FoldTable() {
    locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    for (uint32_t c = 0; c < 0x10000; ++c) {
      uint32_t folded = c;
      if (c >= 'A' && c <= 'Z') {
        folded = c + ('a' - 'A');
      } else if (c >= 0x80 && utf8 != static_cast<locale_t>(0) &&
                 (c < 0xd800 || c > 0xdfff)) {
        wint_t w = towlower_l(static_cast<wint_t>(c), utf8);
        if (w <= 0xffff) folded = static_cast<uint32_t>(w);
      }
      lower[c] = static_cast<char16_t>(folded);
    }
    if (utf8 != static_cast<locale_t>(0)) freelocale(utf8);
  }
};

const FoldTable& Folds() {
  static const FoldTable* table = new FoldTable();
  return *table;
}

// Each byte's value as a hex digit, -1 if it is none: hex lists are most
// of a typical file's bytes.
struct HexDigits {
  int8_t value[256];
  constexpr HexDigits() : value() {
    for (int c = 0; c < 256; ++c) {
      value[c] = c >= '0' && c <= '9'   ? static_cast<int8_t>(c - '0')
                 : c >= 'a' && c <= 'f' ? static_cast<int8_t>(c - 'a' + 10)
                 : c >= 'A' && c <= 'F' ? static_cast<int8_t>(c - 'A' + 10)
                                        : static_cast<int8_t>(-1);
    }
  }
};
constexpr HexDigits kHexDigits;

bool IsHexDigit(char c) {
  return kHexDigits.value[static_cast<unsigned char>(c)] >= 0;
}

int HexValue(char c) {
  return kHexDigits.value[static_cast<unsigned char>(c)];
}

// C strtoul(p, &end, base) on [p, end) without reading past `end`:
// leading space, a sign, "0x" in base 16; ULONG_MAX on overflow.
uint64_t StrToUL(const char* p, const char* end, int base,
                 const char** stop) {
  const char* start = p;
  while (p < end && IsSpace(*p)) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  if (base == 16 && end - p >= 3 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
      IsHexDigit(p[2])) {
    p += 2;
  }
  uint64_t value = 0;
  bool overflow = false;
  const char* digits = p;
  while (p < end) {
    int digit;
    if (base == 16 && IsHexDigit(*p)) {
      digit = HexValue(*p);
    } else if (base == 10 && *p >= '0' && *p <= '9') {
      digit = *p - '0';
    } else {
      break;
    }
    uint64_t max = std::numeric_limits<uint64_t>::max();
    if (value > (max - digit) / base) overflow = true;
    value = value * base + digit;
    ++p;
  }
  if (p == digits) {
    if (stop) *stop = start;
    return 0;
  }
  if (stop) *stop = p;
  if (overflow) return std::numeric_limits<uint64_t>::max();
  return negative ? (0 - value) : value;
}

const char* SkipSpaces(const char* p, const char* end) {
  while (p < end && IsSpace(*p)) ++p;
  return p;
}

bool StartsWith(const char* p, const char* end, const char* tag) {
  size_t n = std::strlen(tag);
  return static_cast<size_t>(end - p) >= n && std::memcmp(p, tag, n) == 0;
}

// The bytes of a hex list at p; returns where it stopped, or nullptr on a
// byte above 0xff. Mirrors the server's parse_hex.
const char* ParseHexList(const char* p, const char* end, std::string* out) {
  while (p < end && IsHexDigit(*p)) {
    if (end - p >= 3 && p[2] == ',' && IsHexDigit(p[1])) {
      // "hh,", as Wine writes every byte but a line's last.
      if (out) {
        out->push_back(static_cast<char>(HexValue(p[0]) * 16 + HexValue(p[1])));
      }
      p = SkipSpaces(p + 3, end);
      continue;
    }
    const char* stop;
    uint32_t byte;
    if (end - p >= 2 && IsHexDigit(p[1]) && (end - p == 2 || !IsHexDigit(p[2]))) {
      // The usual two digits: what strtoul would read, without its cost.
      byte = HexValue(p[0]) * 16 + HexValue(p[1]);
      stop = p + 2;
    } else {
      byte = static_cast<uint32_t>(StrToUL(p, end, 16, &stop));
    }
    if (stop == p || byte > 0xff) return nullptr;
    if (out) out->push_back(static_cast<char>(byte));
    p = SkipSpaces(stop, end);
    if (p < end && *p == ',') ++p;
    p = SkipSpaces(p, end);
  }
  return p;
}

struct DataTag {
  const char* tag;
  uint32_t type;
  bool is_string;
};

const DataTag kDataTags[] = {
    {"\"", kRegSz, true},
    {"str:\"", kRegSz, true},
    {"str(2):\"", kRegExpandSz, true},
    {"str(7):\"", kRegMultiSz, true},
    {"hex:", kRegBinary, false},
    {"dword:", kRegDword, false},
};

enum class DataForm { kNone, kString, kDword, kHex };

// Reads the type tag at p. Returns the form and sets *type and *data_start.
DataForm ReadDataTag(const char* p, const char* end, uint32_t* type,
                     const char** data_start) {
  for (const DataTag& t : kDataTags) {
    if (!StartsWith(p, end, t.tag)) continue;
    *type = t.type;
    *data_start = p + std::strlen(t.tag);
    if (t.is_string) return DataForm::kString;
    return t.type == kRegDword ? DataForm::kDword : DataForm::kHex;
  }
  if (StartsWith(p, end, "hex(")) {
    const char* stop;
    // The server keeps strtoul's result whatever it is, even with no digits.
    uint64_t n = StrToUL(p + 4, end, 16, &stop);
    if (!StartsWith(stop, end, "):")) return DataForm::kNone;
    *type = static_cast<uint32_t>(n);
    *data_start = stop + 2;
    return DataForm::kHex;
  }
  return DataForm::kNone;
}

void AppendUnitsLE(const Name& units, std::string* out) {
  for (char16_t u : units) {
    out->push_back(static_cast<char>(u & 0xff));
    out->push_back(static_cast<char>(u >> 8));
  }
}

bool IsBlankLine(const std::string& bytes, const Line& line) {
  return SkipBlanks(bytes, line) == line.content_end;
}

}  // namespace

// ---- Names -------------------------------------------------------------

char16_t FoldUnit(char16_t unit) { return Folds().lower[unit]; }

Name FoldName(const Name& name) {
  Name folded(name);
  for (char16_t& u : folded) u = FoldUnit(u);
  return folded;
}

bool NamesEqual(const Name& a, const Name& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && FoldUnit(a[i]) != FoldUnit(b[i])) return false;
  }
  return true;
}

int CompareNames(const Name& a, const Name& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    int diff = static_cast<int>(FoldUnit(a[i])) - static_cast<int>(FoldUnit(b[i]));
    if (diff != 0) return diff;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

// ---- Lines -------------------------------------------------------------

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

LineCursor::LineCursor(const std::string& bytes, size_t pos, size_t limit,
                       bool may_hold_nul)
    : bytes_(bytes),
      pos_(pos),
      limit_(std::min(limit, bytes.size())),
      may_hold_nul_(may_hold_nul) {}

bool LineCursor::Next(Line* line) {
  if (pos_ >= limit_) return false;
  const char* base = bytes_.data();
  const char* start = base + pos_;
  const void* nl = std::memchr(start, '\n', limit_ - pos_);
  size_t text_end = nl ? static_cast<const char*>(nl) - base : limit_;
  line->begin = pos_;
  line->has_newline = nl != nullptr;
  line->next = nl ? text_end + 1 : limit_;
  // Wine reads lines with fgets and strlen: a NUL byte ends the text.
  const void* nul =
      may_hold_nul_ ? std::memchr(start, '\0', text_end - pos_) : nullptr;
  if (nul) {
    line->content_end = static_cast<const char*>(nul) - base;
  } else if (nl && text_end > pos_ && base[text_end - 1] == '\r') {
    line->content_end = text_end - 1;
  } else {
    line->content_end = text_end;
  }
  pos_ = line->next;
  return true;
}

size_t SkipBlanks(const std::string& bytes, const Line& line) {
  size_t p = line.begin;
  while (p < line.content_end && IsSpace(bytes[p])) ++p;
  return p;
}

// ---- Reading -----------------------------------------------------------

// Decodes one character or escape sequence at *p, as the server does
// (\x hex, octal, C escapes, UTF-8, invalid bytes dropped), into units[].
// Returns how many units it made (0 to 2), or -1 for a backslash that ends
// the text.
int DecodeSequence(const char** pp, const char* end, char16_t units[2]) {
  const char* p = *pp;
  int count = 0;
  auto put = [&count, units](uint32_t unit) {
    units[count++] = static_cast<char16_t>(unit);
  };
  if (*p == '\\') {
    ++p;
    if (p >= end) return -1;
    int escaped = -1;
    switch (*p) {
      case 'a': escaped = '\a'; break;
      case 'b': escaped = '\b'; break;
      case 'e': escaped = 0x1b; break;
      case 'f': escaped = '\f'; break;
      case 'n': escaped = '\n'; break;
      case 'r': escaped = '\r'; break;
      case 't': escaped = '\t'; break;
      case 'v': escaped = '\v'; break;
      default: break;
    }
    if (escaped >= 0) {
      put(escaped);
      *pp = p + 1;
      return count;
    }
    if (*p == 'x') {
      ++p;
      if (p >= end || !IsHexDigit(*p)) {
        put('x');
      } else {
        uint32_t unit = 0;
        for (int i = 0; i < 4 && p < end && IsHexDigit(*p); ++i, ++p) {
          unit = unit * 16 + HexValue(*p);
        }
        put(unit);
      }
      *pp = p;
      return count;
    }
    if (*p >= '0' && *p <= '7') {
      uint32_t unit = 0;
      for (int i = 0; i < 3 && p < end && *p >= '0' && *p <= '7'; ++i, ++p) {
        unit = unit * 8 + (*p - '0');
      }
      put(unit);
      *pp = p;
      return count;
    }
    // Any other escaped character stands for itself.
  }
  unsigned char ch = static_cast<unsigned char>(*p++);
  *pp = p;
  if (ch < 0x80) {
    put(ch);
    return count;
  }
  // UTF-8; a malformed sequence is dropped, as the server does.
  int trail = ch >= 0xf0 ? (ch < 0xf8 ? 3 : -1)
            : ch >= 0xe0 ? 2
            : ch >= 0xc0 ? 1
                         : -1;
  if (trail < 0) return 0;
  static const uint32_t kMask[] = {0x7f, 0x1f, 0x0f, 0x07};
  static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  uint32_t code = ch & kMask[trail];
  for (int i = 0; i < trail; ++i) {
    if (p >= end) return 0;
    unsigned char next = static_cast<unsigned char>(*p) ^ 0x80;
    if (next >= 0x40) return 0;
    code = (code << 6) | next;
    *pp = ++p;
  }
  if (code < kMin[trail] || code > 0x10ffff) return 0;
  if (code <= 0xffff) {
    put(code);
  } else {
    code -= 0x10000;
    put(0xd800 | (code >> 10));
    put(0xdc00 | (code & 0x3ff));
  }
  return count;
}

const char* ParseEscaped(const char* p, const char* end, char delim,
                         Name* out) {
  char16_t units[2];
  while (p < end && *p != delim) {
    int count = DecodeSequence(&p, end, units);
    if (count < 0) return nullptr;
    if (out) out->append(units, count);
  }
  if (p >= end) return nullptr;
  return p + 1;
}

namespace {

// ParseEscaped that only counts the units, for a name read to be skipped.
const char* CountEscaped(const char* p, const char* end, char delim,
                         size_t* count) {
  char16_t units[2];
  *count = 0;
  while (p < end && *p != delim) {
    int n = DecodeSequence(&p, end, units);
    if (n < 0) return nullptr;
    *count += static_cast<size_t>(n);
  }
  if (p >= end) return nullptr;
  return p + 1;
}

}  // namespace

void ParseSectionHeader(const char* p, const char* end, SectionHeader* out) {
  out->ok = false;
  out->elements.clear();
  out->element_offsets.clear();
  out->has_seconds = false;
  out->seconds = 0;
  // The path is unescaped, then split at each backslash unit; empty
  // elements are skipped.
  bool any_unit = false;
  bool root = false;
  bool too_long = false;
  Name element;
  size_t element_offset = 0;
  auto finish_element = [&]() {
    if (element.empty()) return;
    if (element.size() > kMaxKeyNameUnits) too_long = true;
    out->elements.push_back(std::move(element));
    out->element_offsets.push_back(element_offset);
    element.clear();
  };
  const char* q = p + 1;
  char16_t units[2];
  while (q < end && *q != ']') {
    const char* sequence = q;
    int count = DecodeSequence(&q, end, units);
    if (count < 0) return;
    for (int i = 0; i < count; ++i) {
      if (!any_unit) {
        any_unit = true;
        root = units[i] == 0;  // "[\0..." is the root to Wine
      }
      if (units[i] == u'\\') {
        finish_element();
      } else {
        if (element.empty()) element_offset = sequence - p;
        element.push_back(units[i]);
      }
    }
  }
  if (q >= end) return;  // no closing ']'
  finish_element();
  const char* after = q + 1;
  out->path_end = after - p;
  // " %u": white space, then a decimal number; anything after is ignored.
  const char* r = SkipSpaces(after, end);
  const char* digits = r;
  if (digits < end && (*digits == '+' || *digits == '-')) ++digits;
  if (digits < end && *digits >= '0' && *digits <= '9') {
    out->has_seconds = true;
    out->seconds = static_cast<uint32_t>(StrToUL(r, end, 10, nullptr));
  }
  if (root) {
    out->elements.clear();
    out->element_offsets.clear();
  } else if (too_long) {
    out->elements.clear();
    out->element_offsets.clear();
    return;
  }
  out->ok = true;
}

bool ParseHeaderLine(const std::string& text, size_t begin,
                     SectionHeader* header) {
  LineCursor cursor(text, begin, text.size());
  Line line;
  header->ok = false;
  if (!cursor.Next(&line)) return false;
  size_t start = SkipBlanks(text, line);
  if (start == line.content_end || text[start] != '[') return false;
  ParseSectionHeader(text.data() + start, text.data() + line.content_end, header);
  header->path_end += start;
  for (size_t& offset : header->element_offsets) offset += start - begin;
  return header->ok;
}

namespace {

// Which bytes of a key path stand for themselves: printable ASCII but the
// backslash (an escape, or half of a separator) and the closing ']'.
struct PlainPathBytes {
  bool plain[256];
  constexpr PlainPathBytes() : plain() {
    for (int c = 0x20; c < 0x7f; ++c) plain[c] = c != '\\' && c != ']';
  }
};
constexpr PlainPathBytes kPlainPathBytes;

inline const char* SkipPlainPathBytes(const char* q, const char* end) {
  while (q < end && kPlainPathBytes.plain[static_cast<unsigned char>(*q)]) ++q;
  return q;
}

bool IsSeparator(const char* q, const char* end) {
  return end - q >= 2 && q[0] == '\\' && q[1] == '\\';
}

}  // namespace

HeaderKind ClassifyHeaderLine(const std::string& text, size_t begin,
                              size_t* path_begin) {
  const char* base = text.data();
  const char* end = base + text.size();
  const char* q = base + begin;
  while (q < end && *q != '\n' && IsSpace(*q)) ++q;
  if (q < end && *q == '[') {
    const char* path = q + 1;
    // Stops at ']' or at the first byte that is not plain; a line break or
    // a NUL is not, so the loop never leaves the line.
    bool any = false;
    const char* element = path;
    for (q = path;;) {
      q = SkipPlainPathBytes(q, end);
      // One byte is one unit here; a longer element is Wine's to reject.
      if (q - element > static_cast<ptrdiff_t>(kMaxKeyNameUnits)) break;
      if (q > element) any = true;
      if (q < end && *q == ']') {
        *path_begin = path - base;
        return any ? HeaderKind::kPath : HeaderKind::kRoot;
      }
      if (!IsSeparator(q, end)) break;
      q += 2;
      element = q;
    }
  }
  SectionHeader header;
  if (!ParseHeaderLine(text, begin, &header)) return HeaderKind::kRejected;
  if (header.elements.empty()) return HeaderKind::kRoot;
  *path_begin = begin + header.element_offsets[0];
  return HeaderKind::kPath;
}

// The header was accepted, so its ']' comes before the end of its line and
// no sequence reaches past the ']': reading up to the text's end finds the
// same sequences as reading up to the line's end would.
void ReadPathElement(const std::string& text, size_t from, PathElement* out) {
  const char* base = text.data();
  const char* end = base + text.size();
  const char* q = base + from;
  out->found = false;
  out->plain = true;
  out->name.clear();
  char16_t units[2];
  // Separators, and empty elements between them.
  for (;;) {
    if (q >= end || *q == ']') return;
    if (kPlainPathBytes.plain[static_cast<unsigned char>(*q)]) break;
    if (IsSeparator(q, end)) {
      q += 2;
      continue;
    }
    const char* sequence = q;
    const int count = DecodeSequence(&q, end, units);
    if (count < 0) return;
    if (count == 1 && units[0] == u'\\') continue;
    if (count > 0) {
      q = sequence;
      break;
    }
  }
  out->found = true;
  out->begin = q - base;
  for (;;) {
    const char* run = q;
    q = SkipPlainPathBytes(q, end);
    if (!out->plain) {
      for (; run < q; ++run) out->name.push_back(static_cast<unsigned char>(*run));
    }
    if (q >= end || *q == ']' || IsSeparator(q, end)) break;
    const char* sequence = q;
    const int count = DecodeSequence(&q, end, units);
    if (count < 0) break;
    if (count == 1 && units[0] == u'\\') {
      q = sequence;
      break;
    }
    if (out->plain) {
      out->plain = false;
      for (const char* b = base + out->begin; b < sequence; ++b) {
        out->name.push_back(static_cast<unsigned char>(*b));
      }
    }
    for (int i = 0; i < count; ++i) out->name.push_back(units[i]);
  }
  out->end = q - base;
}

Name ReadHeaderElement(const char* p, const char* end) {
  Name element;
  char16_t units[2];
  while (p < end && *p != ']') {
    int count = DecodeSequence(&p, end, units);
    if (count < 0) break;
    for (int i = 0; i < count; ++i) {
      if (units[i] == u'\\') return element;
      element.push_back(units[i]);
    }
  }
  return element;
}

void ReadValueLine(const std::string& bytes, const Line& line,
                   LineCursor* cursor, bool want_data, ValueLine* out) {
  out->created = false;
  out->malformed = false;
  out->dangling = false;
  out->name.clear();
  out->type = 0;
  out->data.clear();
  out->own_end = line.next;
  out->end = line.next;

  const char* base = bytes.data();
  const char* p = base + SkipBlanks(bytes, line);
  const char* end = base + line.content_end;
  Name* name = want_data ? &out->name : nullptr;
  size_t name_units = 0;
  if (*p == '@') {
    ++p;
  } else {
    const char* after = want_data ? ParseEscaped(p + 1, end, '"', name)
                                  : CountEscaped(p + 1, end, '"', &name_units);
    if (!after) return;
    if (want_data) name_units = name->size();
    p = after;
  }
  p = SkipSpaces(p, end);
  if (p >= end || *p != '=') return;
  p = SkipSpaces(p + 1, end);
  if (name_units > kMaxValueNameUnits) return;
  out->created = true;

  std::string* data = want_data ? &out->data : nullptr;
  const char* data_start = nullptr;
  uint32_t type = 0;
  bool ok = false;
  switch (ReadDataTag(p, end, &type, &data_start)) {
    case DataForm::kNone:
      break;
    case DataForm::kString: {
      Name text;
      if (ParseEscaped(data_start, end, '"', want_data ? &text : nullptr)) {
        ok = true;
        if (data) {
          text.push_back(0);
          AppendUnitsLE(text, data);
        }
      }
      break;
    }
    case DataForm::kDword: {
      uint32_t dword =
          static_cast<uint32_t>(StrToUL(data_start, end, 16, nullptr));
      ok = true;
      if (data) {
        for (int i = 0; i < 4; ++i) data->push_back(static_cast<char>(dword >> (8 * i)));
      }
      break;
    }
    case DataForm::kHex: {
      const char* q = data_start;
      for (;;) {
        q = ParseHexList(q, end, data);
        if (!q) break;
        q = SkipSpaces(q, end);
        if (q >= end) {
          ok = true;
          break;
        }
        if (*q != '\\') break;
        // Anything after the backslash is ignored; the list goes on at the
        // next line, and a blank line ends it.
        Line next;
        if (!cursor->Next(&next)) {
          out->dangling = true;
          break;
        }
        out->end = next.next;
        if (IsBlankLine(bytes, next)) {
          ok = true;
          break;
        }
        out->own_end = next.next;
        q = base + SkipBlanks(bytes, next);
        end = base + next.content_end;
      }
      break;
    }
  }
  if (ok) {
    out->type = type;
  } else {
    out->malformed = true;
    out->type = 0;
    out->data.clear();
  }
}

// ---- Writing -----------------------------------------------------------

std::string EscapeUnits(const char16_t* units, size_t count,
                        const char* quote) {
  static const char kEscapes[33] = ".......abtnvfr.............e....";
  std::string out;
  out.reserve(count);
  char buf[16];
  for (size_t i = 0; i < count; ++i) {
    char16_t u = units[i];
    bool has_next = i + 1 < count;
    char16_t next = has_next ? units[i + 1] : 0;
    if (u > 127) {
      bool pad = has_next && next < 128 && IsHexDigit(static_cast<char>(next));
      std::snprintf(buf, sizeof(buf), pad ? "\\x%04x" : "\\x%x",
                    static_cast<unsigned>(u));
      out += buf;
    } else if (u < 32) {
      if (kEscapes[u] != '.') {
        out += '\\';
        out += kEscapes[u];
      } else {
        bool pad = has_next && next >= '0' && next <= '7';
        std::snprintf(buf, sizeof(buf), pad ? "\\%03o" : "\\%o",
                      static_cast<unsigned>(u));
        out += buf;
      }
    } else {
      char c = static_cast<char>(u);
      if (c == '\\' || c == quote[0] || c == quote[1]) out += '\\';
      out += c;
    }
  }
  return out;
}

std::string EscapeKeyPath(const std::vector<Name>& elements) {
  std::string out;
  for (size_t i = 0; i < elements.size(); ++i) {
    if (i > 0) out += "\\\\";
    out += EscapeUnits(elements[i].data(), elements[i].size(), "[]");
  }
  return out;
}

std::string FormatValue(const Name& name, uint32_t type,
                        const std::string& data, const std::string& eol) {
  std::string out;
  if (name.empty()) {
    out = "@=";
  } else {
    out = "\"" + EscapeUnits(name.data(), name.size(), "\"\"") + "\"=";
  }
  size_t count = out.size();
  char buf[32];
  const size_t len = data.size();
  auto unit_at = [&data](size_t i) {
    return static_cast<char16_t>(static_cast<unsigned char>(data[2 * i]) |
                                 static_cast<unsigned char>(data[2 * i + 1]) << 8);
  };
  if ((type == kRegSz || type == kRegExpandSz || type == kRegMultiSz) &&
      len >= 2 && len % 2 == 0 && unit_at(len / 2 - 1) == 0) {
    std::u16string units;
    for (size_t i = 0; i + 1 < len / 2; ++i) units.push_back(unit_at(i));
    if (type != kRegSz) {
      std::snprintf(buf, sizeof(buf), "str(%x):", static_cast<unsigned>(type));
      out += buf;
    }
    out += '"';
    out += EscapeUnits(units.data(), units.size(), "\"\"");
    out += '"';
    out += eol;
    return out;
  }
  if (type == kRegDword && len == 4) {
    uint32_t dword = 0;
    for (int i = 0; i < 4; ++i) {
      dword |= static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    }
    std::snprintf(buf, sizeof(buf), "dword:%08x", static_cast<unsigned>(dword));
    return out + buf + eol;
  }
  if (type == kRegBinary) {
    std::snprintf(buf, sizeof(buf), "hex:");
  } else {
    std::snprintf(buf, sizeof(buf), "hex(%x):", static_cast<unsigned>(type));
  }
  out += buf;
  count += std::strlen(buf);
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < len; ++i) {
    unsigned char b = static_cast<unsigned char>(data[i]);
    out += kHex[b >> 4];
    out += kHex[b & 15];
    count += 2;
    if (i + 1 < len) {
      out += ',';
      if (++count > 76) {
        out += '\\';
        out += eol;
        out += "  ";
        count = 2;
      }
    }
  }
  out += eol;
  return out;
}

std::string FormatSeconds(uint64_t filetime) {
  int64_t ticks = static_cast<int64_t>(filetime) - kTicks1601To1970;
  return std::to_string(static_cast<uint32_t>(
      ticks / static_cast<int64_t>(kTicksPerSecond)));
}

std::string FormatTimeOption(uint64_t filetime) {
  char buf[40];
  std::snprintf(buf, sizeof(buf), "#time=%x%08x",
                static_cast<unsigned>(filetime >> 32),
                static_cast<unsigned>(filetime & 0xffffffffu));
  return buf;
}

uint64_t SecondsToFileTime(uint32_t seconds) {
  return static_cast<uint64_t>(seconds) * kTicksPerSecond + kTicks1601To1970;
}

}  // namespace wine
}  // namespace regservice
