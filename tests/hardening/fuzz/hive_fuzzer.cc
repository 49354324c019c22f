// libFuzzer target over the user.reg parser and editor (regservice/wine).
//
// For any input the hive either refuses it or, having loaded it:
//  - gives back exactly the input bytes while nothing changed;
//  - after one value is set in a key that has a section, reads the value
//    back, gives bytes that load again to the same value and the same
//    bytes, and leaves every section of every other key, and everything
//    before the first section, byte for byte as it was.
// The sections are found here by a reader of our own, written from the
// format notes rather than from the hive's code, so that the two check
// each other.
#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

#include "regservice/wine/hive.h"

using regservice::wine::Hive;
using regservice::wine::KeyPath;
using regservice::wine::Name;
using regservice::wine::Value;

namespace {

const uint64_t kNow = 0x1dd884ccfb82800;

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "hive_fuzzer: %s\n", what);
  abort();
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendCodePoint(uint32_t cp, Name* out) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out->push_back(static_cast<char16_t>(0xd800 + (cp >> 10)));
    out->push_back(static_cast<char16_t>(0xdc00 + (cp & 0x3ff)));
  } else {
    out->push_back(static_cast<char16_t>(cp));
  }
}

// Decodes one UTF-8 sequence at text[*i] (a byte >= 0x80); a byte that
// starts no valid sequence is dropped.
void DecodeUtf8(const std::string& text, size_t* i, Name* out) {
  unsigned char lead = static_cast<unsigned char>(text[*i]);
  int length = lead >= 0xf0 && lead < 0xf5 ? 4
               : lead >= 0xe0 ? 3
               : lead >= 0xc2 && lead < 0xe0 ? 2 : 0;
  if (lead >= 0xf5) length = 0;
  if (length == 0 || *i + length > text.size()) {
    ++*i;
    return;
  }
  uint32_t cp = lead & (0x7f >> length);
  for (int k = 1; k < length; ++k) {
    unsigned char c = static_cast<unsigned char>(text[*i + k]);
    if ((c & 0xc0) != 0x80) {
      ++*i;
      return;
    }
    cp = cp << 6 | (c & 0x3f);
  }
  static const uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMinimum[length] || cp > 0x10ffff) {
    ++*i;
    return;
  }
  AppendCodePoint(cp, out);
  *i += length;
}

// The path of a section header line, unescaped and split at backslashes,
// empty elements skipped. False when the line has no closing ']'.
bool ParseHeaderPath(const std::string& line, size_t open, KeyPath* path) {
  Name text;
  size_t i = open + 1;
  bool closed = false;
  while (i < line.size()) {
    char c = line[i];
    if (c == ']') {
      closed = true;
      break;
    }
    if (c == '\\' && i + 1 < line.size()) {
      char e = line[++i];
      static const char kLetters[] = "abefnrtv";
      static const char kControls[] = "\a\b\x1b\f\n\r\t\v";
      const char* letter = strchr(kLetters, e);
      if (letter != nullptr && e != '\0') {
        text.push_back(static_cast<char16_t>(kControls[letter - kLetters]));
        ++i;
      } else if (e == 'x') {
        ++i;
        uint32_t unit = 0;
        int digits = 0;
        while (digits < 4 && i < line.size() && HexDigit(line[i]) >= 0) {
          unit = unit * 16 + static_cast<uint32_t>(HexDigit(line[i++]));
          ++digits;
        }
        text.push_back(digits ? static_cast<char16_t>(unit) : u'x');
      } else if (e >= '0' && e <= '7') {
        uint32_t unit = 0;
        int digits = 0;
        while (digits < 3 && i < line.size() && line[i] >= '0' &&
               line[i] <= '7') {
          unit = unit * 8 + static_cast<uint32_t>(line[i++] - '0');
          ++digits;
        }
        text.push_back(static_cast<char16_t>(unit));
      } else if (static_cast<unsigned char>(e) >= 0x80) {
        DecodeUtf8(line, &i, &text);
      } else {
        text.push_back(static_cast<char16_t>(e));
        ++i;
      }
      continue;
    }
    if (c == '\\') return false;  // a backslash ending the line
    if (static_cast<unsigned char>(c) >= 0x80) {
      DecodeUtf8(line, &i, &text);
    } else {
      text.push_back(static_cast<char16_t>(c));
      ++i;
    }
  }
  if (!closed) return false;
  path->clear();
  Name element;
  for (char16_t unit : text) {
    if (unit == u'\\') {
      if (!element.empty()) path->push_back(element);
      element.clear();
    } else {
      element.push_back(unit);
    }
  }
  if (!element.empty()) path->push_back(element);
  return true;
}

// Reads a number as C's strtoul(p, &end, 16) would from `at`; returns the
// position after it (`at` when there is none) and sets *too_big when it
// exceeds `limit`.
size_t ReadHexNumber(const std::string& line, size_t at, uint64_t limit,
                     bool* too_big) {
  size_t i = at;
  while (i < line.size() && IsSpace(line[i])) ++i;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) ++i;
  if (i + 2 < line.size() && line[i] == '0' &&
      (line[i + 1] == 'x' || line[i + 1] == 'X') &&
      HexDigit(line[i + 2]) >= 0) {
    i += 2;
  }
  if (i >= line.size() || HexDigit(line[i]) < 0) return at;
  uint64_t value = 0;
  *too_big = false;
  while (i < line.size() && HexDigit(line[i]) >= 0) {
    value = value * 16 + static_cast<uint64_t>(HexDigit(line[i++]));
    if (value > limit) *too_big = true;
  }
  return i;
}

// Where the byte list of a hex value line starts (just past "hex:" or
// "hex(N):"), or npos when the line is no hex value. `at` is the line's
// first non-blank character.
size_t HexListStart(const std::string& line, size_t at) {
  size_t i = at;
  if (line[i] == '"') {
    for (++i; i < line.size() && line[i] != '"'; ++i) {
      if (line[i] == '\\') ++i;
    }
    if (i >= line.size()) return std::string::npos;
  }
  ++i;  // past the closing quote or '@'
  while (i < line.size() && IsSpace(line[i])) ++i;
  if (i >= line.size() || line[i] != '=') return std::string::npos;
  ++i;
  while (i < line.size() && IsSpace(line[i])) ++i;
  if (line.compare(i, 4, "hex:") == 0) return i + 4;
  if (line.compare(i, 4, "hex(") != 0) return std::string::npos;
  bool too_big = false;
  i = ReadHexNumber(line, i + 4, UINT64_MAX, &too_big);
  if (line.compare(i, 2, "):") != 0) return std::string::npos;
  return i + 2;
}

// Whether a list of hex bytes starting at `at` goes on over the next line,
// read as Wine reads it: numbers as strtoul reads them, each at most 0xff,
// commas and blanks between them optional, then a backslash (anything
// after it ignored). Any other character ends the value with an error.
bool ListContinues(const std::string& line, size_t at) {
  size_t i = at;
  while (i < line.size() && HexDigit(line[i]) >= 0) {
    bool too_big = false;
    size_t end = ReadHexNumber(line, i, 0xff, &too_big);
    if (end == i || too_big) return false;
    i = end;
    while (i < line.size() && IsSpace(line[i])) ++i;
    if (i < line.size() && line[i] == ',') ++i;
    while (i < line.size() && IsSpace(line[i])) ++i;
  }
  while (i < line.size() && IsSpace(line[i])) ++i;
  return i < line.size() && line[i] == '\\';
}

// A stretch of the file: what comes before the first section, or one
// section from its header line to the next header.
struct Chunk {
  std::string bytes;
  bool has_path = false;
  KeyPath path;
};

std::vector<Chunk> SplitSections(const std::string& text) {
  std::vector<Chunk> chunks(1);
  bool continuation = false;
  // Whether the last header made a key: values after a malformed header
  // are dropped unread, so a backslash there continues nothing.
  bool in_key = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    // Wine reads a line as a C string: a NUL ends it there.
    std::string line = text.substr(start, end - start);
    line.resize(std::min(line.size(), line.find('\0')));
    size_t first = 0;
    while (first < line.size() && IsSpace(line[first])) ++first;
    bool blank = first >= line.size();
    if (continuation) {
      continuation = !blank && ListContinues(line, first);
    } else if (!blank && line[first] == '[') {
      chunks.emplace_back();
      chunks.back().has_path = ParseHeaderPath(line, first,
                                               &chunks.back().path);
      in_key = chunks.back().has_path;
      for (const Name& element : chunks.back().path) {
        if (element.size() > 256) in_key = false;
      }
    } else if (!blank && in_key &&
               (line[first] == '"' || line[first] == '@')) {
      size_t list = HexListStart(line, first);
      continuation = list != std::string::npos && ListContinues(line, list);
    }
    chunks.back().bytes.append(text, start, end - start);
    start = end;
  }
  return chunks;
}

Name Fold(const Name& name) {
  Name folded;
  for (char16_t unit : name) {
    folded.push_back(static_cast<char16_t>(
        towlower(static_cast<wint_t>(unit))));
  }
  return folded;
}

bool SamePath(const KeyPath& a, const KeyPath& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

// The chunks of keys other than `target`, in order.
std::vector<std::string> OtherKeys(const std::vector<Chunk>& chunks,
                                   const KeyPath& target) {
  std::vector<std::string> kept;
  for (const Chunk& chunk : chunks) {
    if (chunk.has_path && SamePath(chunk.path, target)) continue;
    kept.push_back(chunk.bytes);
  }
  return kept;
}

std::string Utf16Bytes(const char16_t* text, size_t units) {
  std::string bytes;
  for (size_t i = 0; i < units; ++i) {
    bytes.push_back(static_cast<char>(text[i] & 0xff));
    bytes.push_back(static_cast<char>(text[i] >> 8));
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  Hive hive;
  if (!hive.Load(input).ok()) return 0;
  if (hive.Modified() || hive.Bytes() != input) {
    Fail("an unchanged hive is not saved back byte for byte");
  }

  std::vector<Chunk> chunks = SplitSections(input);
  std::vector<const Chunk*> candidates;
  for (const Chunk& chunk : chunks) {
    if (chunk.has_path && !chunk.path.empty() && hive.KeyExists(chunk.path)) {
      candidates.push_back(&chunk);
    }
  }
  if (candidates.empty()) return 0;
  const KeyPath target = candidates[size % candidates.size()]->path;

  // One of three values, the name and string needing escapes.
  static const char16_t kText[] = u"a\"b\\c\n\u00e9\0";
  const Name name = u"Fuzz \"Value\" \\ [x]";
  uint32_t type = 3;
  std::string value_data(1, '\x01');
  if (size % 3 == 1) {
    type = 1;
    value_data = Utf16Bytes(kText, sizeof kText / sizeof kText[0]);
  } else if (size % 3 == 2) {
    type = 4;
    value_data = std::string("\x2a\0\0\x80", 4);
  }
  if (!hive.SetValue(target, name, type, value_data, kNow)) {
    Fail("SetValue refused a key that exists");
  }
  Value read;
  if (!hive.GetValue(target, name, &read) || read.type != type ||
      read.data != value_data) {
    Fail("the value set does not read back");
  }
  const std::string output = hive.Bytes();

  Hive again;
  if (!again.Load(output).ok()) Fail("the edited file does not load");
  if (again.Bytes() != output) Fail("the edited file does not save back");
  Value reloaded;
  if (!again.GetValue(target, name, &reloaded) || reloaded.type != type ||
      reloaded.data != value_data) {
    Fail("the value does not survive saving and loading");
  }

  if (OtherKeys(chunks, target) != OtherKeys(SplitSections(output), target)) {
    Fail("the edit changed bytes outside the key's sections");
  }
  return 0;
}
