// The keys that a user.reg's section headers make, and where in the text
// each section and each key's name are. Holds offsets into the text, never
// copies of it: a key's name is read from the header that first spelled it.
//
// Loading records where each header line starts and sorts the headers out
// by their first element only. A key's subkeys and own sections are sorted
// out of the headers below it the first time they are asked for, so a
// lookup reads the headers on its way down and no others: finding two
// products' keys in a large file does not build the whole tree. That is
// also why lookups are not const. Not thread-safe.
#ifndef QUILLFIX_REGSERVICE_WINE_KEY_INDEX_H_
#define QUILLFIX_REGSERVICE_WINE_KEY_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "regservice/wine/hive.h"
#include "regservice/wine/reg_text.h"
#include "regservice/wine/section_finder.h"

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

  // Empties the index down to the root key, ready for a text of
  // `text_size` bytes.
  void Reset(size_t text_size);

  // A header line, added in file order. A rejected header makes no key but
  // still ends the section before it (only the first of several in a row
  // is kept).
  void AddSection(const FoundHeader& header);

  // ---- Keys

  // kNone when a key on the path does not exist. Names match in any case.
  uint32_t FindKey(const KeyPath& path);
  // The deepest existing key on the path; *depth is how many elements of
  // the path it took.
  uint32_t FindDeepest(const KeyPath& path, size_t* depth);
  // The key's name in its first spelling; empty for the root.
  Name NameOf(uint32_t key) const;
  std::vector<Name> PathOf(uint32_t key) const;
  uint32_t first_child(uint32_t key);
  uint32_t next_sibling(uint32_t key) const { return keys_[key].next_sibling; }
  // The first header whose path holds the key (kNone: root).
  uint32_t making_section(uint32_t key) const { return keys_[key].name_section; }

  // ---- Sections: numbered in file order.

  // The key's own sections, in file order.
  std::vector<uint32_t> SectionsOf(uint32_t key);
  uint32_t LastSectionOf(uint32_t key);  // kNone if it has none
  size_t section_count() const { return begins_.size(); }
  size_t section_begin(uint32_t section) const { return begins_[section]; }
  bool section_accepted(uint32_t section) const { return accepted_[section]; }
  // Where the next header starts, or the end of the text.
  size_t SectionEnd(uint32_t section) const;

  // ---- Where Wine's order puts a new section

  // For a new subkey `child` of `parent`: after everything of the sibling
  // that sorts just before it, else before everything of the one just after
  // it, else after the parent's last section, else at the end of the text.
  // In a file out of order "everything of" is the last (or first) such
  // section in the file. Returns the start of a line or the end.
  size_t PlaceForNewChild(uint32_t parent, const Name& child);
  // For an existing key with no section: before its subkeys' sections; the
  // root's goes before every other section.
  size_t PlaceForSectionOf(uint32_t key);

  // ---- Changes

  // Moves every offset after a change of the text. `moves` is sorted.
  void Move(const std::vector<TextMove>& moves);
  // Records a section that was written at `begin` for the key `existing`
  // and, below it, the new keys `names` (possibly none). Returns the key
  // the section belongs to.
  uint32_t AddWrittenSection(size_t begin, uint32_t existing,
                             const KeyPath& names);

 private:
  // Sections [begin, end), by number, in lists linked through runs_: a
  // key's own sections, and those below a key not yet expanded. For the
  // latter, the next element of their paths is read from `resume` bytes
  // into their lines, so that going down a level never reads the levels
  // above again.
  struct Run {
    uint32_t begin;
    uint32_t end;
    uint32_t resume;
    uint32_t next;
  };
  struct RunList {
    uint32_t first = kNone;
    uint32_t last = kNone;
  };
  // Kept small and free of allocations of its own: a large key can have
  // tens of thousands of subkeys.
  struct Key {
    uint32_t hash = 0;  // of the parent and the folded name
    uint32_t parent = kNone;
    uint32_t first_child = kNone;
    uint32_t next_sibling = kNone;
    uint32_t name_section = kNone;  // the header that spells the name
    uint32_t name_offset = 0;       // where in it, from the line's start
    uint32_t depth = 0;
    // Until expanded, `pending` holds the sections of the key and of every
    // key below it; afterwards `own` holds its own, and its subkeys exist.
    bool expanded = false;
    RunList pending;
    RunList own;
  };

  // Sorting sections out below one key: the section before's element,
  // since neighbouring sections mostly share their path and the same bytes
  // need no lookup.
  struct Sorter {
    uint32_t last_child = kNone;
    size_t last_begin = 0;
    size_t last_length = 0;
    PathElement element;
  };

  void Expand(uint32_t key);
  void SortOut(uint32_t key, uint32_t section, uint32_t resume, Sorter* sorter);
  void Append(RunList* list, uint32_t section, uint32_t resume);
  void InsertOwn(uint32_t key, uint32_t section);
  uint32_t FindChild(uint32_t parent, const Name& folded, uint32_t hash) const;
  uint32_t FindOrAddChild(uint32_t parent, const Name& folded,
                          uint32_t section, size_t name_offset);
  uint32_t AddChild(uint32_t parent, uint32_t hash, uint32_t section,
                    size_t name_offset);
  void InsertIntoTable(uint32_t key);
  void RenumberFrom(uint32_t section);
  void ClaimNames(uint32_t section, uint32_t key,
                  const std::vector<size_t>& offsets);
  void SubtreeSections(uint32_t key, uint32_t* first, uint32_t* last) const;

  const std::string* text_;
  std::vector<size_t> begins_;  // of every header line kept
  std::vector<bool> accepted_;
  std::vector<Key> keys_;
  std::vector<Run> runs_;
  std::vector<uint32_t> table_;  // open addressing: key index + 1, 0 empty
  Sorter root_sorter_;  // the root's subkeys are sorted out while loading
  Name folded_;         // room to fold one name
};

}  // namespace wine
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_WINE_KEY_INDEX_H_
