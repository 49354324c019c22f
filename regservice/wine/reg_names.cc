#include "regservice/wine/reg_names.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <array>

namespace regservice {
namespace wine {

namespace {

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

}  // namespace

bool IsValidKeyElement(const Name& element) {
  return !element.empty() && element.size() <= kMaxKeyNameUnits &&
         element.find(u'\\') == Name::npos && element.find(u'\0') == Name::npos;
}

bool IsValidValueName(const Name& name) {
  return name.size() <= kMaxValueNameUnits;
}

char16_t FoldNonAsciiUnit(char16_t unit) { return Folds().lower[unit]; }

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

void AppendUtf16Le(const char16_t* units, size_t count, std::string* out) {
  for (size_t i = 0; i < count; ++i) {
    out->push_back(static_cast<char>(units[i] & 0xff));
    out->push_back(static_cast<char>(units[i] >> 8));
  }
}

Name FromUtf16Le(const char* bytes, size_t size) {
  Name units;
  units.reserve(size / 2);
  for (size_t i = 0; i + 1 < size; i += 2) {
    units.push_back(static_cast<char16_t>(
        static_cast<unsigned char>(bytes[i]) |
        static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return units;
}

}  // namespace wine
}  // namespace regservice
