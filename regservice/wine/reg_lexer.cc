#include "regservice/wine/reg_lexer.h"

#include <algorithm>
#include <cstring>
#include <limits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace regservice {
namespace wine {

namespace {

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
      p += 3;
      if (p < end && IsSpace(*p)) p = SkipSpaces(p, end);
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

bool IsBlankLine(const std::string& bytes, const Line& line) {
  return SkipBlanks(bytes, line) == line.content_end;
}

// Bit i set where byte i of the 64 at `block` is '\n'.
uint64_t NewlineMask(const char* block) {
  uint64_t mask = 0;
#ifdef __SSE2__
  const __m128i newline = _mm_set1_epi8('\n');
  for (int i = 0; i < 4; ++i) {
    const __m128i chunk =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i));
    mask |= static_cast<uint64_t>(static_cast<uint16_t>(
                _mm_movemask_epi8(_mm_cmpeq_epi8(chunk, newline))))
            << (16 * i);
  }
#else
  for (int i = 0; i < 64; ++i) {
    mask |= static_cast<uint64_t>(block[i] == '\n') << i;
  }
#endif
  return mask;
}

}  // namespace

// ---- Lines -------------------------------------------------------------

LineCursor::LineCursor(const std::string& bytes, size_t pos, size_t limit,
                       bool may_hold_nul)
    : bytes_(bytes),
      pos_(pos),
      limit_(std::min(limit, bytes.size())),
      may_hold_nul_(may_hold_nul) {}

size_t LineCursor::FindNewlineAfterBlock(size_t from) {
  while (from < limit_) {
    if (block_ <= from && from - block_ < 64) {
      const uint64_t ahead = newlines_ >> (from - block_);
      if (ahead != 0) return from + __builtin_ctzll(ahead);
      from = block_ + 64;
      continue;
    }
    if (limit_ - from < 64) break;
    block_ = from;
    newlines_ = NewlineMask(bytes_.data() + from);
  }
  if (from >= limit_) return limit_;
  const void* nl = std::memchr(bytes_.data() + from, '\n', limit_ - from);
  return nl ? static_cast<const char*>(nl) - bytes_.data() : limit_;
}

void LineCursor::EndLine(size_t text_end, Line* line) {
  const char* base = bytes_.data();
  const bool has_newline = text_end < limit_;
  line->begin = pos_;
  line->has_newline = has_newline;
  line->next = has_newline ? text_end + 1 : limit_;
  // Wine reads lines with fgets and strlen: a NUL byte ends the text.
  const void* nul = may_hold_nul_
                        ? std::memchr(base + pos_, '\0', text_end - pos_)
                        : nullptr;
  if (nul) {
    line->content_end = static_cast<const char*>(nul) - base;
  } else if (has_newline && text_end > pos_ && base[text_end - 1] == '\r') {
    line->content_end = text_end - 1;
  } else {
    line->content_end = text_end;
  }
  pos_ = line->next;
}

// ---- Escaped text ------------------------------------------------------

// Decodes one character or escape sequence at *p, as the server does
// (\x hex, octal, C escapes, UTF-8, invalid bytes dropped), into units[].
// Returns how many units it made (0 to 2), or -1 for a backslash that ends
// the text.
namespace {

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

}  // namespace

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

// ---- Headers -----------------------------------------------------------

namespace {

// Printable ASCII but the backslash (an escape) and the ']' that ends a
// path: in a path such a byte is the unit of the same value.
struct PlainPathBytes {
  bool plain[256];
  constexpr PlainPathBytes() : plain() {
    for (int c = 0x20; c < 0x7f; ++c) plain[c] = c != '\\' && c != ']';
  }
};
constexpr PlainPathBytes kPlainPathBytes;

bool IsPlainPathByte(char c) {
  return kPlainPathBytes.plain[static_cast<unsigned char>(c)];
}

// The first byte of [q, end) that is not a plain path byte, or end; 16
// bytes at a time, since paths are mostly plain.
const char* SkipPlainPathBytes(const char* q, const char* end) {
#ifdef __SSE2__
  const __m128i space = _mm_set1_epi8(0x20);
  const __m128i del = _mm_set1_epi8(0x7f);
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i bracket = _mm_set1_epi8(']');
  while (end - q >= 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    // Signed, bytes from 0x80 up are below 0x20 too.
    const __m128i other = _mm_or_si128(
        _mm_or_si128(_mm_cmplt_epi8(chunk, space), _mm_cmpeq_epi8(chunk, del)),
        _mm_or_si128(_mm_cmpeq_epi8(chunk, backslash),
                     _mm_cmpeq_epi8(chunk, bracket)));
    const int mask = _mm_movemask_epi8(other);
    if (mask != 0) return q + __builtin_ctz(mask);
    q += 16;
  }
#endif
  while (q < end && IsPlainPathByte(*q)) ++q;
  return q;
}

}  // namespace

void ReadHeader(const char* p, const char* end, SectionHeader* out,
                size_t max_elements, size_t kept_elements, bool with_seconds) {
  out->ok = false;
  out->has_seconds = false;
  out->seconds = 0;
  // The path is unescaped, then split at each backslash unit; empty
  // elements are skipped. The elements' strings are reused from the last
  // header read, since loading reads every header.
  std::vector<Name>& elements = out->elements;
  size_t count = 0;     // elements finished
  size_t length = 0;    // units of the element being read
  bool any_unit = false;
  bool root = false;
  bool too_long = false;
  auto end_element = [&] {
    if (length == 0) return;
    too_long |= length > kMaxKeyNameUnits;
    ++count;
    length = 0;
  };
  // An element is stored only when it is one of the first kept_elements.
  auto start_element = [&] {
    if (count >= kept_elements) return;
    if (count == elements.size()) elements.emplace_back();
    elements[count].clear();
  };
  auto put = [&](char16_t unit) {
    if (!any_unit) {
      any_unit = true;
      root = unit == 0;  // "[\0..." is the root to Wine
    }
    if (unit == u'\\') {
      end_element();
      return;
    }
    if (length == 0) start_element();
    if (count < kept_elements) elements[count].push_back(unit);
    ++length;
  };
  const char* q = p + 1;
  char16_t units[2];
  while (q < end && *q != ']' && count < max_elements) {
    if (IsPlainPathByte(*q)) {
      // A run of bytes that stand for themselves, taken at once.
      const char* run = q;
      q = SkipPlainPathBytes(q + 1, end);
      any_unit = true;  // root stays false: the run's first unit is no NUL
      if (length == 0) start_element();
      if (count < kept_elements) {
        Name& element = elements[count];
        const size_t old_size = element.size();
        element.resize(old_size + (q - run));
        std::copy(run, q, &element[old_size]);
      }
      length += q - run;
      continue;
    }
    if (*q == '\\' && end - q >= 2 && q[1] == '\\' && any_unit) {
      end_element();  // the usual escaped separator
      q += 2;
      continue;
    }
    int n = DecodeSequence(&q, end, units);
    if (n < 0) break;
    for (int i = 0; i < n; ++i) put(units[i]);
  }
  if (count == max_elements) {
    elements.resize(std::min(count, kept_elements));
    out->depth = count;
    if (root) {
      elements.clear();
      out->depth = 0;
    }
    out->ok = true;
    return;
  }
  end_element();
  elements.resize(std::min(count, kept_elements));
  if (q >= end || *q != ']') {  // no closing ']'
    elements.clear();
    return;
  }
  const char* after = q + 1;
  out->path_end = after - p;
  // " %u": white space, then a decimal number; anything after is ignored.
  const char* r = SkipSpaces(after, end);
  const char* digits = r;
  if (digits < end && (*digits == '+' || *digits == '-')) ++digits;
  if (with_seconds && digits < end && *digits >= '0' && *digits <= '9') {
    out->has_seconds = true;
    // Up to 19 digits cannot overflow: read them without strtoul's care
    // for signs and overflow.
    uint64_t seconds = 0;
    const char* d = digits;
    while (d < end && d - digits < 20 && *d >= '0' && *d <= '9') {
      seconds = seconds * 10 + (*d++ - '0');
    }
    if (digits != r || d - digits > 19) seconds = StrToUL(r, end, 10, nullptr);
    out->seconds = static_cast<uint32_t>(seconds);
  }
  if (root) {
    elements.clear();
    count = 0;
  } else if (too_long) {
    elements.clear();
    return;
  }
  out->depth = count;
  out->ok = true;
}

bool ReadHeaderLine(const std::string& text, size_t begin,
                    SectionHeader* header, size_t max_elements) {
  LineCursor cursor(text, begin, text.size());
  Line line;
  header->ok = false;
  if (!cursor.Next(&line)) return false;
  size_t start = SkipBlanks(text, line);
  if (start == line.content_end || text[start] != '[') return false;
  ReadHeader(text.data() + start, text.data() + line.content_end, header,
             max_elements);
  header->path_end += start;
  return header->ok;
}

// ---- Values ------------------------------------------------------------

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
  // A name too long creates no value, and then no list goes on either.
  // Every unit takes at least one byte, so a short name needs no count.
  if (*p == '@') {
    ++p;
  } else {
    const char* after =
        ParseEscaped(p + 1, end, '"', want_data ? &out->name : nullptr);
    if (!after) return;
    if (!want_data && static_cast<size_t>(after - p) > kMaxValueNameUnits + 2) {
      ParseEscaped(p + 1, end, '"', &out->name);
    }
    p = after;
  }
  p = SkipSpaces(p, end);
  if (p >= end || *p != '=') return;
  p = SkipSpaces(p + 1, end);
  if (!IsValidValueName(out->name)) return;
  if (!want_data) out->name.clear();
  out->created = true;

  std::string* data = want_data ? &out->data : nullptr;
  const char* data_start = nullptr;
  uint32_t type = 0;
  bool ok = false;
  switch (ReadDataTag(p, end, &type, &data_start)) {
    case DataForm::kNone:
      break;
    case DataForm::kString: {
      if (!want_data) break;  // one line, whatever it holds
      Name text;
      if (ParseEscaped(data_start, end, '"', want_data ? &text : nullptr)) {
        ok = true;
        if (data) {
          text.push_back(0);
          AppendUtf16Le(text, data);
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


// ---- Lexer -------------------------------------------------------------

Lexer::Lexer(const std::string& bytes, size_t pos, size_t kept_elements,
             bool sections_only)
    : bytes_(bytes),
      may_hold_nul_(std::memchr(bytes.data(), '\0', bytes.size()) != nullptr),
      kept_elements_(kept_elements),
      sections_only_(sections_only && !may_hold_nul_),
      cursor_(bytes, pos, bytes.size(), may_hold_nul_) {}

// Jumps from '[' to '[' with memchr, which is quick because headers hold
// nearly all of them, and takes the first one that only white space
// separates from the start of its line. The line before it is found
// backwards from there.
bool Lexer::SkipToBracketLine() {
  const char* base = bytes_.data();
  const size_t size = bytes_.size();
  const size_t from = cursor_.pos();  // starts a line
  size_t search = from;
  while (search < size) {
    const void* hit = std::memchr(base + search, '[', size - search);
    if (hit == nullptr) break;
    const size_t bracket = static_cast<const char*>(hit) - base;
    size_t start = bracket;
    while (start > from && base[start - 1] != '\n' &&
           IsSpace(base[start - 1])) {
      --start;
    }
    search = bracket + 1;
    if (start != from && base[start - 1] != '\n') continue;
    if (start != from) {
      const void* newline = memrchr(base + from, '\n', start - 1 - from);
      previous_begin_ =
          newline != nullptr ? static_cast<const char*>(newline) - base + 1
                             : from;
    }
    previous_end_ = start - 1;  // its newline
    cursor_.Rewind(start);
    return true;
  }
  cursor_.Rewind(size);
  return false;
}

bool Lexer::Next(LexedLine* line) {
  if (sections_only_ && key_open_ && !SkipToBracketLine()) return false;
  if (!cursor_.Next(line)) return false;
  const size_t previous_begin = previous_begin_;
  const size_t previous_end = previous_end_;
  previous_begin_ = line->begin;
  previous_end_ = line->content_end;
  line->text = SkipBlanks(bytes_, *line);
  if (line->text == line->content_end) {
    // A blank line ends any hex list, so the next line starts afresh.
    line->kind = LineKind::kBlank;
    list_start_ = kNoList;
    return true;
  }
  const char* base = bytes_.data();
  switch (base[line->text]) {
    case '[':
      if (InsideList(previous_begin, previous_end, *line)) {
        line->kind = LineKind::kContinuation;
        if (sections_only_) list_start_ = line->next;
        break;
      }
      line->kind = LineKind::kHeader;
      ReadHeader(base + line->text, base + line->content_end, &header_,
                 kAllElements, kept_elements_, false);
      key_open_ = header_.ok;
      // Lists go on only in an accepted section.
      list_start_ = sections_only_ && key_open_ ? line->next : kNoList;
      break;
    case '"':
    case '@':
      line->kind = LineKind::kValue;
      if (key_open_ && list_start_ == kNoList) list_start_ = line->begin;
      break;
    case '#':
      line->kind = LineKind::kOption;
      break;
    case ';':
      line->kind = LineKind::kComment;
      break;
    default:
      line->kind = LineKind::kOther;
      break;
  }
  return true;
}

// Whether the '[' line `line` is read as part of a hex list that goes on
// from an earlier line. Only a list whose line before it (the text from
// previous_begin to previous_end) holds a backslash can go on, so in a
// file as Wine writes it (a blank line before each header) nothing is
// read again. Otherwise the value lines from list_start_ are read as Wine
// reads them, up to this line; each line is read this way at most once in
// all, since list_start_ only moves forward.
bool Lexer::InsideList(size_t previous_begin, size_t previous_end,
                       const Line& line) {
  if (list_start_ == kNoList ||
      !std::memchr(bytes_.data() + previous_begin, '\\',
                   previous_end - previous_begin)) {
    return false;
  }
  LineCursor cursor(bytes_, list_start_, line.begin, may_hold_nul_);
  Line value_line;
  ValueLine value;
  while (cursor.Next(&value_line)) {
    size_t text = SkipBlanks(bytes_, value_line);
    if (text == value_line.content_end ||
        (bytes_[text] != '"' && bytes_[text] != '@')) {
      continue;
    }
    // The cursor reads up to this line only; the value's lines beyond it
    // are found by a cursor of its own.
    LineCursor rest(bytes_, value_line.next, bytes_.size(), may_hold_nul_);
    ReadValueLine(bytes_, value_line, &rest, false, &value);
    if (value.end > line.begin) {
      // The bracket is no hex: the list ends at this line.
      list_start_ = kNoList;
      return true;
    }
    cursor.Rewind(value.end);
  }
  list_start_ = kNoList;
  return false;
}

std::string ArchitectureBeforeFirstKey(const std::string& bytes) {
  static const char kTag[] = "#arch=";
  const size_t tag_size = sizeof kTag - 1;
  Lexer lexer(bytes, 0);
  LexedLine line;
  while (lexer.Next(&line) && line.kind != LineKind::kHeader) {
    if (line.kind == LineKind::kOption &&
        line.content_end - line.text >= tag_size &&
        bytes.compare(line.text, tag_size, kTag) == 0) {
      return bytes.substr(line.text + tag_size,
                          line.content_end - line.text - tag_size);
    }
  }
  return "";
}

}  // namespace wine
}  // namespace regservice
