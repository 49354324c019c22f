// Key and value names as Wine keeps them: UTF-16 units, matched without
// regard to case, sorted the way its server writes them, and the limits
// on their length. Also the one place UTF-16 text becomes bytes.
// doc/user-reg-format.md describes the file these names come from.
#ifndef QUILLFIX_REGSERVICE_WINE_REG_NAMES_H_
#define QUILLFIX_REGSERVICE_WINE_REG_NAMES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace regservice {
namespace wine {

// One key or value name as Wine keeps it: UTF-16 code units.
using Name = std::u16string;
// The elements of a key's path below the hive root; empty for the root.
using KeyPath = std::vector<Name>;

constexpr size_t kMaxKeyNameUnits = 256;
constexpr size_t kMaxValueNameUnits = 16383;

// The value types whose text form differs from the generic hex(N): list.
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;

// An element of a key path that can be written and read back: not empty,
// at most kMaxKeyNameUnits, no backslash (it separates elements) and no
// NUL (a header starting with one is the root to Wine).
bool IsValidKeyElement(const Name& element);
bool IsValidValueName(const Name& name);

// The Unicode lowercase of one UTF-16 unit (units outside the BMP's letters,
// surrogates included, stay as they are). ASCII, most names, needs no
// table.
char16_t FoldNonAsciiUnit(char16_t unit);
inline char16_t FoldUnit(char16_t unit) {
  if (unit >= 0x80) return FoldNonAsciiUnit(unit);
  return unit >= 'A' && unit <= 'Z' ? static_cast<char16_t>(unit + ('a' - 'A'))
                                    : unit;
}
Name FoldName(const Name& name);
bool NamesEqual(const Name& a, const Name& b);
// <0, 0 or >0, unit by unit on the lowercase forms; a prefix sorts first.
int CompareNames(const Name& a, const Name& b);

// UTF-16LE: units to bytes (appended) and bytes to units (an odd last byte
// is dropped).
void AppendUtf16Le(const char16_t* units, size_t count, std::string* out);
inline void AppendUtf16Le(const Name& units, std::string* out) {
  AppendUtf16Le(units.data(), units.size(), out);
}
Name FromUtf16Le(const char* bytes, size_t size);

}  // namespace wine
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_WINE_REG_NAMES_H_
