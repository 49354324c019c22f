// The sections of a user.reg, in file order: where each header line starts
// and whether Wine accepted it. Keys are not stored: a key exists while an
// accepted header's path holds it, so what a key has (its own sections,
// its subkeys, the header that first spelled it) is read from the headers
// whose paths start with its path. Each section keeps a hash of its first
// one and two path elements, lowercased, and its path's depth, so that
// finding those headers reads only the ones that can match; 16 bits of
// each hash, since a false match costs one header read and a large file
// has hundreds of thousands of sections.
// Not thread-safe.
#ifndef QUILLFIX_REGSERVICE_WINE_SECTIONS_H_
#define QUILLFIX_REGSERVICE_WINE_SECTIONS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "regservice/wine/reg_lexer.h"
#include "regservice/wine/reg_names.h"

namespace regservice {
namespace wine {

// How a change to the text moved its bytes: the text that ended at old_end
// now ends at new_end, and what followed it moved along.
struct TextMove {
  size_t old_end;
  size_t new_end;
};

class Sections {
 public:
  static constexpr size_t kMaxDepth = 255;

  void Clear();

  // A header line, added in file order; `header` is null for one Wine
  // rejects, which makes no key but still ends the section before it (of
  // several in a row only the first is kept).
  void Add(size_t begin, const SectionHeader* header);

  size_t count() const { return sections_.size(); }
  size_t begin(uint32_t section) const { return sections_[section].begin(); }
  bool accepted(uint32_t section) const { return sections_[section].accepted; }
  // Where the next header starts, or the end of the text.
  size_t End(uint32_t section, size_t text_size) const;

  // Calls visit(section, header) for each accepted section whose path
  // starts with `path` (in any case), in file order, until it returns
  // false; with exact_depth, only for the sections of the key itself.
  // `text` is the file the sections were read from.
  void Visit(const std::string& text, const KeyPath& path,
             const std::function<bool(uint32_t, const SectionHeader&)>& visit,
             bool exact_depth = false) const;

  // Moves every offset after a change of the text. `moves` is sorted.
  void Move(const std::vector<TextMove>& moves);
  // Records a section written at `begin` with the header path `elements`.
  void Insert(size_t begin, const KeyPath& elements);

 private:
  static uint16_t PrefixHash(const KeyPath& elements, size_t depth);
  void Push(size_t at, size_t begin, bool accepted, const KeyPath& elements,
            size_t depth);

  // 12 bytes, with no padding: a large file has hundreds of thousands.
  struct Section {
    uint32_t begin_low;    // where the header line starts: 48 bits
    uint16_t begin_high;
    uint8_t depth;         // of the path, kMaxDepth for that or more
    bool accepted;
    uint16_t first_hash;   // of the first path element
    uint16_t second_hash;  // of the first two

    size_t begin() const {
      return begin_low | static_cast<size_t>(begin_high) << 32;
    }
    void set_begin(size_t begin) {
      begin_low = static_cast<uint32_t>(begin);
      begin_high = static_cast<uint16_t>(begin >> 32);
    }
  };
  static_assert(sizeof(Section) == 12, "a section's record is 12 bytes");

  std::vector<Section> sections_;  // in file order
};

}  // namespace wine
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_WINE_SECTIONS_H_
