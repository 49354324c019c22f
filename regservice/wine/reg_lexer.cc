#include "regservice/wine/reg_lexer.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace regservice {
namespace wine {

namespace {

// A hex digit's value, or -1 for any other byte.
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsHexDigit(char c) { return HexValue(c) >= 0; }

const char* SkipSpaces(const char* p, const char* end) {
  while (p < end && IsSpace(*p)) ++p;
  return p;
}

bool StartsWith(const char* p, const char* end, const char* tag) {
  size_t n = std::strlen(tag);
  return static_cast<size_t>(end - p) >= n && std::memcmp(p, tag, n) == 0;
}

// C strtoul(p, &end, base) on [p, end) without reading past `end`:
// leading space, a sign, "0x" in base 16; ULONG_MAX on overflow.
uint64_t StrToUL(const char* p, const char* end, int base,
                 const char** stop) {
  const char* start = p;
  p = SkipSpaces(p, end);
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  if (base == 16 && end - p >= 3 && p[0] == '0' &&
      (p[1] == 'x' || p[1] == 'X') && IsHexDigit(p[2])) {
    p += 2;
  }
  uint64_t value = 0;
  bool overflow = false;
  const char* digits = p;
  for (; p < end; ++p) {
    const int digit = base == 16 ? HexValue(*p)
                      : *p >= '0' && *p <= '9' ? *p - '0'
                                               : -1;
    if (digit < 0) break;
    overflow |= __builtin_mul_overflow(value, base, &value) ||
                __builtin_add_overflow(value, digit, &value);
  }
  if (p == digits) {
    if (stop) *stop = start;
    return 0;
  }
  if (stop) *stop = p;
  if (overflow) return std::numeric_limits<uint64_t>::max();
  return negative ? (0 - value) : value;
}

}  // namespace

// ---- Lines -------------------------------------------------------------

LineCursor::LineCursor(const std::string& bytes, size_t pos, size_t limit)
    : bytes_(bytes), pos_(pos), limit_(std::min(limit, bytes.size())) {}

bool LineCursor::Next(Line* line) {
  if (pos_ >= limit_) return false;
  const char* base = bytes_.data();
  const char* begin = base + pos_;
  const char* newline =
      static_cast<const char*>(std::memchr(begin, '\n', limit_ - pos_));
  const char* text_end = newline ? newline : base + limit_;
  line->begin = pos_;
  line->has_newline = newline != nullptr;
  line->next = newline ? newline + 1 - base : limit_;
  // Wine reads lines with fgets and strlen: a NUL byte ends the text.
  const char* nul =
      static_cast<const char*>(std::memchr(begin, '\0', text_end - begin));
  if (nul) {
    text_end = nul;
  } else if (newline && text_end > begin && text_end[-1] == '\r') {
    --text_end;
  }
  line->content_end = text_end - base;
  pos_ = line->next;
  return true;
}

// ---- Escaped text ------------------------------------------------------

namespace {

// The unit a C escape letter stands for, or -1.
int CEscape(char c) {
  switch (c) {
    case 'a': return '\a';
    case 'b': return '\b';
    case 'e': return 0x1b;
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    case 'v': return '\v';
    default: return -1;
  }
}

// The escape after a backslash, at *pp (before end): a C escape, \x and up
// to four hex digits (none: 'x' itself), or up to three octal digits.
// False for any other character, which then stands for itself.
bool DecodeEscape(const char** pp, const char* end, char16_t* unit) {
  const char* p = *pp;
  const int escaped = CEscape(*p);
  uint32_t value = 0;
  if (escaped >= 0) {
    value = escaped;
    ++p;
  } else if (*p == 'x') {
    value = 'x';
    ++p;
    if (p < end && IsHexDigit(*p)) value = 0;
    for (int i = 0; i < 4 && p < end && IsHexDigit(*p); ++i, ++p) {
      value = value * 16 + HexValue(*p);
    }
  } else if (*p >= '0' && *p <= '7') {
    for (int i = 0; i < 3 && p < end && *p >= '0' && *p <= '7'; ++i, ++p) {
      value = value * 8 + (*p - '0');
    }
  } else {
    return false;
  }
  *unit = static_cast<char16_t>(value);
  *pp = p;
  return true;
}

// The rest of a UTF-8 sequence whose lead byte was just read, at *pp the
// byte after it. A malformed sequence makes no unit, as in the server:
// *pp then stops at the first byte that does not belong to it.
int DecodeUtf8(const char** pp, const char* end, unsigned char lead,
               char16_t units[2]) {
  const int trail = lead >= 0xf0 ? (lead < 0xf8 ? 3 : -1)
                    : lead >= 0xe0 ? 2
                    : lead >= 0xc0 ? 1
                                   : -1;
  if (trail < 0) return 0;
  static const uint32_t kMask[] = {0x7f, 0x1f, 0x0f, 0x07};
  static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  uint32_t code = lead & kMask[trail];
  for (int i = 0; i < trail; ++i) {
    if (*pp >= end) return 0;
    const unsigned char next = static_cast<unsigned char>(**pp) ^ 0x80;
    if (next >= 0x40) return 0;
    code = (code << 6) | next;
    ++*pp;
  }
  if (code < kMin[trail] || code > 0x10ffff) return 0;
  if (code <= 0xffff) {
    units[0] = static_cast<char16_t>(code);
    return 1;
  }
  code -= 0x10000;
  units[0] = static_cast<char16_t>(0xd800 | (code >> 10));
  units[1] = static_cast<char16_t>(0xdc00 | (code & 0x3ff));
  return 2;
}

// Decodes one character or escape sequence at *pp, as the server does,
// into units[]. Returns how many units it made (0 to 2), or -1 for a
// backslash that ends the text.
int DecodeSequence(const char** pp, const char* end, char16_t units[2]) {
  const char* p = *pp;
  if (*p == '\\') {
    if (++p >= end) return -1;
    if (DecodeEscape(&p, end, &units[0])) {
      *pp = p;
      return 1;
    }
  }
  const unsigned char ch = static_cast<unsigned char>(*p++);
  *pp = p;
  if (ch < 0x80) {
    units[0] = ch;
    return 1;
  }
  return DecodeUtf8(pp, end, ch, units);
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
// path: in a path each such byte is the unit of its value, and most paths
// are made of them alone.
bool IsPlainPathByte(char c) {
  return c >= 0x20 && c < 0x7f && c != '\\' && c != ']';
}

// Splits a header's unescaped path into its elements at each backslash
// unit, leaving out empty ones, as Wine does; only the first `kept` are
// stored. Keeps the strings of `elements` from the header read before, to
// reuse their memory.
class PathSplitter {
 public:
  PathSplitter(std::vector<Name>* elements, size_t kept)
      : elements_(*elements), kept_(kept) {}

  void Put(char16_t unit) {
    if (unit == u'\\') {
      if (!any_unit_) any_unit_ = true;
      EndElement();
      return;
    }
    StartUnit(unit);
    if (count_ < kept_) elements_[count_].push_back(unit);
    ++length_;
  }

  // Bytes that each stand for the unit of their value, none of them a
  // backslash or a NUL.
  void PutPlain(const char* p, const char* end) {
    StartUnit(*p);
    if (count_ < kept_) elements_[count_].append(p, end);
    length_ += end - p;
  }

  // Ends the path: `elements` holds its first `kept` elements.
  void Finish() {
    EndElement();
    elements_.resize(std::min(count_, kept_));
  }

  size_t depth() const { return count_; }
  bool root() const { return root_; }
  bool too_long() const { return too_long_; }

 private:
  // Before a unit that is no backslash.
  void StartUnit(char16_t unit) {
    if (!any_unit_) {
      any_unit_ = true;
      root_ = unit == 0;  // "[\0..." is the root to Wine
    }
    if (length_ == 0 && count_ < kept_) {
      if (count_ == elements_.size()) elements_.emplace_back();
      elements_[count_].clear();
    }
  }

  void EndElement() {
    if (length_ == 0) return;
    too_long_ |= length_ > kMaxKeyNameUnits;
    ++count_;
    length_ = 0;
  }

  std::vector<Name>& elements_;
  const size_t kept_;
  size_t count_ = 0;   // elements finished
  size_t length_ = 0;  // units of the element being read
  bool any_unit_ = false;
  bool root_ = false;
  bool too_long_ = false;
};

}  // namespace

void ReadHeader(const char* p, const char* end, SectionHeader* out,
                size_t kept_elements) {
  out->ok = false;
  out->depth = 0;
  out->path_end = 0;
  out->has_seconds = false;
  out->seconds = 0;
  PathSplitter path(&out->elements, kept_elements);
  const char* q = p + 1;
  char16_t units[2];
  while (q < end && *q != ']') {
    if (IsPlainPathByte(*q)) {
      const char* run = q;
      while (q < end && IsPlainPathByte(*q)) ++q;
      path.PutPlain(run, q);
      continue;
    }
    const int count = DecodeSequence(&q, end, units);
    if (count < 0) break;
    for (int i = 0; i < count; ++i) path.Put(units[i]);
  }
  path.Finish();
  const bool closed = q < end && *q == ']';
  if (!closed || (path.too_long() && !path.root())) {
    out->elements.clear();
    return;
  }
  if (path.root()) {
    out->elements.clear();
  } else {
    out->depth = path.depth();
  }
  out->path_end = q + 1 - p;
  // " %u": white space, then a decimal number; anything after is ignored.
  const char* r = SkipSpaces(q + 1, end);
  const char* digits = r < end && (*r == '+' || *r == '-') ? r + 1 : r;
  if (digits < end && *digits >= '0' && *digits <= '9') {
    out->has_seconds = true;
    out->seconds = static_cast<uint32_t>(StrToUL(r, end, 10, nullptr));
  }
  out->ok = true;
}

bool ReadHeaderLine(const std::string& text, size_t begin,
                    SectionHeader* header) {
  LineCursor cursor(text, begin, text.size());
  Line line;
  header->ok = false;
  if (!cursor.Next(&line)) return false;
  const size_t start = SkipBlanks(text, line);
  if (start == line.content_end || text[start] != '[') return false;
  ReadHeader(text.data() + start, text.data() + line.content_end, header);
  header->path_end += start;
  return header->ok;
}

// ---- Values ------------------------------------------------------------

namespace {

// The bytes of a hex list at p; returns where it stopped, or nullptr on a
// number above 0xff. Mirrors the server's parse_hex, which keeps each
// number strtoul reads in an unsigned int.
const char* ParseHexList(const char* p, const char* end, std::string* out) {
  while (p < end && IsHexDigit(*p)) {
    const char* stop;
    const uint32_t byte = static_cast<uint32_t>(StrToUL(p, end, 16, &stop));
    if (byte > 0xff) return nullptr;
    out->push_back(static_cast<char>(byte));
    p = SkipSpaces(stop, end);
    if (p < end && *p == ',') ++p;
    p = SkipSpaces(p, end);
  }
  return p;
}

enum class DataForm { kNone, kString, kDword, kHex };

struct DataTag {
  const char* tag;
  uint32_t type;
  DataForm form;
};

const DataTag kDataTags[] = {
    {"\"", kRegSz, DataForm::kString},
    {"str:\"", kRegSz, DataForm::kString},
    {"str(2):\"", kRegExpandSz, DataForm::kString},
    {"str(7):\"", kRegMultiSz, DataForm::kString},
    {"hex:", kRegBinary, DataForm::kHex},
    {"dword:", kRegDword, DataForm::kDword},
};

// Reads the type tag at p. Returns the form and sets *type and *data_start.
DataForm ReadDataTag(const char* p, const char* end, uint32_t* type,
                     const char** data_start) {
  for (const DataTag& t : kDataTags) {
    if (!StartsWith(p, end, t.tag)) continue;
    *type = t.type;
    *data_start = p + std::strlen(t.tag);
    return t.form;
  }
  if (StartsWith(p, end, "hex(")) {
    const char* stop;
    // The server keeps strtoul's result whatever it is, even with no digits.
    const uint64_t n = StrToUL(p + 4, end, 16, &stop);
    if (!StartsWith(stop, end, "):")) return DataForm::kNone;
    *type = static_cast<uint32_t>(n);
    *data_start = stop + 2;
    return DataForm::kHex;
  }
  return DataForm::kNone;
}

// Reads the name of a value line, at p its '"' or '@', and the '=' after
// it. Returns where the data starts, or nullptr when Wine makes no value.
const char* ReadValueName(const char* p, const char* end, Name* name) {
  if (*p == '@') {
    ++p;
  } else {
    p = ParseEscaped(p + 1, end, '"', name);
    if (!p) return nullptr;
  }
  p = SkipSpaces(p, end);
  if (p >= end || *p != '=' || !IsValidValueName(*name)) return nullptr;
  return SkipSpaces(p + 1, end);
}

bool ReadStringData(const char* p, const char* end, std::string* data) {
  Name text;
  if (!ParseEscaped(p, end, '"', &text)) return false;
  text.push_back(0);
  AppendUtf16Le(text, data);
  return true;
}

void ReadDwordData(const char* p, const char* end, std::string* data) {
  const uint32_t dword = static_cast<uint32_t>(StrToUL(p, end, 16, nullptr));
  for (int i = 0; i < 4; ++i) data->push_back(static_cast<char>(dword >> (8 * i)));
}

// Reads a hex list from p up to end, the end of the value line's text, and
// on through the lines a backslash after it continues it to: the cursor is
// advanced over them, and out's extent set. True when it is well formed.
bool ReadHexLines(const std::string& bytes, const char* p, const char* end,
                  LineCursor* cursor, ValueLine* out) {
  const char* base = bytes.data();
  for (;;) {
    p = ParseHexList(p, end, &out->data);
    if (!p) return false;
    p = SkipSpaces(p, end);
    if (p >= end) return true;
    if (*p != '\\') return false;
    // Anything after the backslash is ignored; the list goes on at the
    // next line, and a blank line ends it.
    Line next;
    if (!cursor->Next(&next)) {
      out->dangling = true;
      return false;
    }
    out->end = next.next;
    p = base + SkipBlanks(bytes, next);
    end = base + next.content_end;
    if (p == end) return true;
    out->own_end = next.next;
  }
}

}  // namespace

void ReadValueLine(const std::string& bytes, const Line& line,
                   LineCursor* cursor, ValueLine* out) {
  *out = ValueLine();
  out->own_end = line.next;
  out->end = line.next;
  const char* base = bytes.data();
  const char* end = base + line.content_end;
  const char* p = ReadValueName(base + SkipBlanks(bytes, line), end, &out->name);
  if (!p) return;
  out->created = true;
  const char* data_start = nullptr;
  uint32_t type = 0;
  bool ok = false;
  switch (ReadDataTag(p, end, &type, &data_start)) {
    case DataForm::kNone:
      break;
    case DataForm::kString:
      ok = ReadStringData(data_start, end, &out->data);
      break;
    case DataForm::kDword:
      ReadDwordData(data_start, end, &out->data);
      ok = true;
      break;
    case DataForm::kHex:
      ok = ReadHexLines(bytes, data_start, end, cursor, out);
      break;
  }
  if (ok) {
    out->type = type;
  } else {
    out->malformed = true;
    out->data.clear();
  }
}

// ---- Options -----------------------------------------------------------

bool ReadArchOption(const char* p, const char* end, std::string* arch) {
  if (!StartsWith(p, end, "#arch=")) return false;
  arch->assign(p + 6, end);
  return true;
}

bool ReadTimeOption(const char* p, const char* end, uint64_t* time) {
  if (!StartsWith(p, end, "#time=")) return false;
  *time = 0;
  for (p += 6; p < end && IsHexDigit(*p); ++p) {
    *time = (*time << 4) | static_cast<uint64_t>(HexValue(*p));
  }
  return true;
}

// ---- Lexer -------------------------------------------------------------

Lexer::Lexer(const std::string& bytes, size_t pos, size_t kept_elements)
    : bytes_(bytes),
      kept_elements_(kept_elements),
      cursor_(bytes, pos, bytes.size()) {}

namespace {

LineKind KindOf(char first_byte) {
  switch (first_byte) {
    case '[': return LineKind::kHeader;
    case '"':
    case '@': return LineKind::kValue;
    case '#': return LineKind::kOption;
    case ';': return LineKind::kComment;
    default: return LineKind::kOther;
  }
}

}  // namespace

bool Lexer::Next(LexedLine* line) {
  if (!cursor_.Next(line)) return false;
  line->text = SkipBlanks(bytes_, *line);
  line->kind = line->text == line->content_end ? LineKind::kBlank
                                               : KindOf(bytes_[line->text]);
  switch (line->kind) {
    case LineKind::kBlank:
      list_start_ = kNoList;  // a blank line ends any hex list
      break;
    case LineKind::kHeader:
      if (ContinuesList(*line)) {
        line->kind = LineKind::kContinuation;
        break;
      }
      ReadHeader(bytes_.data() + line->text, bytes_.data() + line->content_end,
                 &header_, kept_elements_);
      key_open_ = header_.ok;
      break;
    case LineKind::kValue:
      // Values, and so lists, are read only in a section Wine accepted.
      if (key_open_ && list_start_ == kNoList) list_start_ = line->begin;
      break;
    default:
      break;
  }
  previous_ = *line;
  return true;
}

// One memchr jumps from '[' to '[', since headers hold nearly all of
// them; a bracket counts when only white space separates it from the
// start of its line. The line before it, which ContinuesList looks at, is
// found backwards from there, and the lines skipped are where a list may
// have started.
void Lexer::SkipToBracketLine() {
  if (!key_open_) return;
  const char* base = bytes_.data();
  const size_t from = cursor_.pos();
  if (list_start_ == kNoList) list_start_ = from;
  for (const char* bracket = base + from;; ++bracket) {
    bracket = static_cast<const char*>(
        std::memchr(bracket, '[', bytes_.size() - (bracket - base)));
    if (!bracket) {
      cursor_.MoveTo(bytes_.size());
      return;
    }
    const char* start = bracket;
    while (start > base + from && start[-1] != '\n' && IsSpace(start[-1])) {
      --start;
    }
    if (start == base + from) return;  // the very next line
    if (start[-1] != '\n') continue;
    const void* newline = memrchr(base + from, '\n', start - 1 - (base + from));
    previous_.begin =
        newline ? static_cast<const char*>(newline) + 1 - base : from;
    previous_.content_end = start - 1 - base;
    cursor_.MoveTo(start - base);
    return;
  }
}

// Whether the '[' line `line` is read as part of a hex list that goes on
// from an earlier line. Only a list whose line before it holds a backslash
// can go on, so in a file as Wine writes it (a blank line before each
// header) nothing is read again. Otherwise the value lines from
// list_start_ are read as Wine reads them, up to this line. Either way
// this line ends any list, so each line is read this way at most once.
bool Lexer::ContinuesList(const Line& line) {
  const size_t start = list_start_;
  list_start_ = kNoList;
  if (start == kNoList ||
      !std::memchr(bytes_.data() + previous_.begin, '\\',
                   previous_.content_end - previous_.begin)) {
    return false;
  }
  LineCursor cursor(bytes_, start, bytes_.size());
  Line value_line;
  ValueLine value;
  while (cursor.pos() < line.begin && cursor.Next(&value_line)) {
    const size_t text = SkipBlanks(bytes_, value_line);
    if (text == value_line.content_end ||
        KindOf(bytes_[text]) != LineKind::kValue) {
      continue;
    }
    ReadValueLine(bytes_, value_line, &cursor, &value);
    if (value.end > line.begin) return true;
  }
  return false;
}

std::string ArchitectureBeforeFirstKey(const std::string& bytes) {
  Lexer lexer(bytes, 0);
  LexedLine line;
  std::string arch;
  while (lexer.Next(&line) && line.kind != LineKind::kHeader) {
    if (line.kind == LineKind::kOption &&
        ReadArchOption(bytes.data() + line.text,
                       bytes.data() + line.content_end, &arch)) {
      return arch;
    }
  }
  return "";
}

}  // namespace wine
}  // namespace regservice
