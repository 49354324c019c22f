// The keys that a user.reg's section headers make, and where in the text
// each section and each key's name are. Holds offsets into the text, never
// copies of it: a key's name is read from the header that first spelled it.
// Not thread-safe.
#ifndef QUILLFIX_REGSERVICE_WINE_KEY_INDEX_H_
#define QUILLFIX_REGSERVICE_WINE_KEY_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "regservice/wine/hive.h"
#include "regservice/wine/reg_text.h"

namespace regservice {
namespace wine {

// How a change to the text moved its bytes: the text that ended at old_end
// now ends at new_end, and what followed it moved along.
struct TextMove {
  size_t old_end;
  size_t new_end;
};

class KeyIndex {
 public:
  static constexpr uint32_t kNone = 0xffffffffu;
  static constexpr uint32_t kRoot = 0;

  // `text` is the file's bytes; it must outlive the index, which reads
  // names from it.
  explicit KeyIndex(const std::string* text);
  KeyIndex(const KeyIndex&) = delete;
  KeyIndex& operator=(const KeyIndex&) = delete;

  // Empties the index down to the root key, with room for about `headers`
  // sections (at most one per 32 bytes of text).
  void Reset(size_t headers);

  // ---- Loading: sections are added in file order.

  // A header Wine rejects: no key, but it ends the section before it (only
  // the first of several in a row is kept).
  void AddRejectedSection(size_t begin);
  // A header at `begin` (its '[' `bracket` bytes further) that Wine accepts:
  // makes the keys on its path and returns the last one.
  uint32_t AddSection(size_t begin, size_t bracket, const SectionHeader& header);
  // The same for the usual header, read from its text [p, end) (p at the
  // '['): printable ASCII, a doubled backslash between elements, nothing
  // else escaped, so that its names need no decoding. Returns false,
  // having added nothing, for any other header; AddSection takes it then.
  bool AddPlainSection(size_t begin, size_t bracket, const char* p,
                       const char* end, uint32_t* key);

  // ---- Keys

  // kNone when a key on the path does not exist. Names match in any case.
  uint32_t FindKey(const KeyPath& path) const;
  // The deepest existing key on the path; *depth is how many elements of
  // the path it took.
  uint32_t FindDeepest(const KeyPath& path, size_t* depth) const;
  // The key's name in its first spelling; empty for the root.
  Name NameOf(uint32_t key) const;
  std::vector<Name> PathOf(uint32_t key) const;
  uint32_t parent(uint32_t key) const { return keys_[key].parent; }
  uint32_t first_child(uint32_t key) const { return keys_[key].first_child; }
  uint32_t next_sibling(uint32_t key) const { return keys_[key].next_sibling; }
  // The header that made the key when the file was read (kNone: root).
  uint32_t making_section(uint32_t key) const { return keys_[key].name_section; }

  // ---- Sections: numbered in file order.

  uint32_t first_section(uint32_t key) const { return keys_[key].first_section; }
  uint32_t last_section(uint32_t key) const { return keys_[key].last_section; }
  uint32_t next_section_of_key(uint32_t section) const {
    return sections_[section].next_same_key;
  }
  size_t section_count() const { return sections_.size(); }
  size_t section_begin(uint32_t section) const { return sections_[section].begin; }
  uint32_t section_key(uint32_t section) const { return sections_[section].key; }
  // Where the next header starts, or the end of the text.
  size_t SectionEnd(uint32_t section) const;

  // ---- Where Wine's order puts a new section

  // For a new subkey `child` of `parent`: after everything of the sibling
  // that sorts just before it, else before everything of the one just after
  // it, else after the parent's last section, else at the end of the text.
  // In a file out of order "everything of" is the last (or first) such
  // section in the file. Returns the start of a line or the end.
  size_t PlaceForNewChild(uint32_t parent, const Name& child) const;
  // For an existing key with no section: before its subkeys' sections; the
  // root's goes before every other section.
  size_t PlaceForSectionOf(uint32_t key) const;

  // ---- Changes

  // Moves every offset after a change of the text. `moves` is sorted.
  void Move(const std::vector<TextMove>& moves);
  // Records a section that was written at `begin` for the key `existing`
  // and, below it, the new keys `names` (possibly none). Returns the key
  // the section belongs to.
  uint32_t AddWrittenSection(size_t begin, uint32_t existing,
                             const KeyPath& names);

 private:
  struct Key {
    uint32_t hash = 0;  // of the parent and the folded name
    uint32_t parent = kNone;
    uint32_t first_child = kNone;
    uint32_t next_sibling = kNone;
    uint32_t first_section = kNone;  // this key's sections, in file order
    uint32_t last_section = kNone;
    uint32_t name_section = kNone;  // the header that spells the name
    uint32_t name_offset = 0;       // where in it, from the section's start
  };
  struct Section {
    size_t begin;
    uint32_t key;  // kNone for a rejected header
    uint32_t next_same_key;
  };

  uint32_t FindChild(uint32_t parent, const Name& folded, uint32_t hash) const;
  uint32_t AddChild(uint32_t parent, uint32_t hash, uint32_t section,
                    size_t name_offset);
  void InsertIntoTable(uint32_t key);
  void LinkSection(uint32_t section, uint32_t key);
  uint32_t InsertSection(size_t begin);
  void ClaimNames(uint32_t section, uint32_t key,
                  const std::vector<size_t>& offsets);
  void SubtreeSections(uint32_t key, size_t* first_begin,
                       uint32_t* last_section) const;

  const std::string* text_;
  std::vector<Key> keys_;
  std::vector<Section> sections_;
  std::vector<uint32_t> table_;  // open addressing: key index + 1, 0 empty
  // The previous header's folded elements and keys, while loading:
  // consecutive sections mostly share a path prefix, which then needs no
  // lookup.
  std::vector<Name> last_folded_;
  std::vector<uint32_t> last_keys_;
  // The same for a plain header: where its elements' bytes are in the text
  // (the same bytes need no lookup), and room to fold one name.
  struct Span {
    size_t offset;
    size_t length;
  };
  std::vector<Span> last_spans_;
  std::vector<Span> spans_;
  Name folded_;
};

}  // namespace wine
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_WINE_KEY_INDEX_H_
