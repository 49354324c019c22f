#include "regservice/wine/key_index.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace regservice {
namespace wine {

namespace {

uint32_t HashChild(uint32_t parent, const Name& folded) {
  uint64_t h = 1469598103934665603ULL ^ parent;
  h *= 1099511628211ULL;
  for (char16_t u : folded) {
    h ^= u;
    h *= 1099511628211ULL;
  }
  h ^= h >> 29;
  h *= 0xbf58476d1ce4e5b9ULL;
  return static_cast<uint32_t>(h >> 32);
}

}  // namespace

KeyIndex::KeyIndex(const std::string* text) : text_(text) { Reset(0); }

void KeyIndex::Reset(size_t text_size) {
  std::vector<size_t>().swap(begins_);
  // Room for a header per 128 bytes, three or four times as many as Wine's
  // files hold: untouched room costs address space, not memory, whereas
  // growing would copy every offset.
  begins_.reserve(text_size / 128 + 16);
  std::vector<bool>().swap(accepted_);
  std::vector<Key>(1).swap(keys_);
  std::vector<Run>().swap(runs_);
  keys_[kRoot].expanded = true;
  std::vector<uint32_t>(64, 0).swap(table_);
  root_sorter_ = Sorter();
}

void KeyIndex::AddSection(const FoundHeader& header) {
  // Of a run of rejected headers only the first matters, as the end of the
  // section before it: a file of nothing but bad headers must not grow the
  // index per line.
  const bool accepted = header.kind != HeaderKind::kRejected;
  if (!accepted && !accepted_.empty() && !accepted_.back()) return;
  const uint32_t section = static_cast<uint32_t>(begins_.size());
  begins_.push_back(header.begin);
  accepted_.push_back(accepted);
  if (header.kind == HeaderKind::kRoot) {
    Append(&keys_[kRoot].own, section, 0);
  } else if (header.kind == HeaderKind::kPath) {
    // The line was just read, so its first element costs little now.
    SortOut(kRoot, section,
            static_cast<uint32_t>(header.path_begin - header.begin),
            &root_sorter_);
  }
}

void KeyIndex::Append(RunList* list, uint32_t section, uint32_t resume) {
  if (list->last != kNone) {
    Run& last = runs_[list->last];
    if (last.end == section && last.resume == resume) {
      ++last.end;
      return;
    }
  }
  const uint32_t run = static_cast<uint32_t>(runs_.size());
  runs_.push_back({section, section + 1, resume, kNone});
  if (list->last == kNone) {
    list->first = run;
  } else {
    runs_[list->last].next = run;
  }
  list->last = run;
}

// Adds a section that no run holds yet among the key's own, in order.
void KeyIndex::InsertOwn(uint32_t key, uint32_t section) {
  RunList& own = keys_[key].own;
  uint32_t prev = kNone;
  for (uint32_t r = own.first; r != kNone && runs_[r].begin < section;
       r = runs_[r].next) {
    prev = r;
  }
  if (prev == own.last) {
    Append(&own, section, 0);
    return;
  }
  const uint32_t run = static_cast<uint32_t>(runs_.size());
  const uint32_t next = prev == kNone ? own.first : runs_[prev].next;
  runs_.push_back({section, section + 1, 0, next});
  if (prev == kNone) {
    own.first = run;
  } else {
    runs_[prev].next = run;
  }
}

// ---- Sorting out a key's subkeys --------------------------------------------

void KeyIndex::Expand(uint32_t key) {
  if (keys_[key].expanded) return;
  keys_[key].expanded = true;
  const uint32_t first = keys_[key].pending.first;
  keys_[key].pending = RunList();
  // Room for a subkey per section at most: untouched room costs address
  // space, not memory, whereas growing would copy every key.
  size_t sections = 0;
  for (uint32_t r = first; r != kNone; r = runs_[r].next) {
    sections += runs_[r].end - runs_[r].begin;
  }
  if (keys_.size() + sections > keys_.capacity()) {
    keys_.reserve(std::max(keys_.size() + sections, 2 * keys_.capacity()));
  }
  if (runs_.size() + sections > runs_.capacity()) {
    runs_.reserve(std::max(runs_.size() + sections, 2 * runs_.capacity()));
  }
  const char* base = text_->data();
  Sorter sorter;
  // The headers of a large key lie far apart in a text larger than the
  // caches: asking for a few lines ahead overlaps their loads.
  constexpr uint32_t kAhead = 8;
  for (uint32_t r = first; r != kNone; r = runs_[r].next) {
    const Run run = runs_[r];  // a copy: sorting out adds runs
    for (uint32_t s = run.begin; s < run.end; ++s) {
      if (s + kAhead < run.end) {
        __builtin_prefetch(base + begins_[s + kAhead] + run.resume);
      }
      SortOut(key, s, run.resume, &sorter);
    }
  }
}

// Puts a section of the key's subtree where it belongs: among the key's own
// sections when its path ends here, else among those of the subkey its next
// element names, read from `resume` bytes into its line.
void KeyIndex::SortOut(uint32_t key, uint32_t section, uint32_t resume,
                       Sorter* sorter) {
  const char* base = text_->data();
  const size_t line = begins_[section];
  PathElement& element = sorter->element;
  ReadPathElement(*text_, line + resume, &element);
  if (!element.found) {
    Append(&keys_[key].own, section, 0);
    sorter->last_child = kNone;
    return;
  }
  const size_t length = element.end - element.begin;
  uint32_t child;
  if (element.plain && sorter->last_child != kNone &&
      length == sorter->last_length &&
      std::memcmp(base + element.begin, base + sorter->last_begin, length) == 0) {
    child = sorter->last_child;
  } else {
    if (element.plain) {
      folded_.resize(length);
      for (size_t j = 0; j < length; ++j) {
        folded_[j] = FoldUnit(static_cast<unsigned char>(base[element.begin + j]));
      }
    } else {
      folded_ = FoldName(element.name);
    }
    child = FindOrAddChild(key, folded_, section, element.begin - line);
  }
  Append(&keys_[child].pending, section,
         static_cast<uint32_t>(element.end - line));
  sorter->last_child = element.plain ? child : kNone;
  sorter->last_begin = element.begin;
  sorter->last_length = length;
}

uint32_t KeyIndex::FindOrAddChild(uint32_t parent, const Name& folded,
                                  uint32_t section, size_t name_offset) {
  const uint32_t hash = HashChild(parent, folded);
  const uint32_t child = FindChild(parent, folded, hash);
  return child != kNone ? child : AddChild(parent, hash, section, name_offset);
}

// ---- Keys ------------------------------------------------------------------

uint32_t KeyIndex::FindChild(uint32_t parent, const Name& folded,
                             uint32_t hash) const {
  const size_t mask = table_.size() - 1;
  for (size_t i = hash & mask; table_[i] != 0; i = (i + 1) & mask) {
    uint32_t id = table_[i] - 1;
    const Key& k = keys_[id];
    if (k.hash == hash && k.parent == parent && NamesEqual(NameOf(id), folded)) {
      return id;
    }
  }
  return kNone;
}

uint32_t KeyIndex::AddChild(uint32_t parent, uint32_t hash, uint32_t section,
                            size_t name_offset) {
  uint32_t id = static_cast<uint32_t>(keys_.size());
  Key k;
  k.hash = hash;
  k.parent = parent;
  k.name_section = section;
  k.name_offset = static_cast<uint32_t>(name_offset);
  k.depth = keys_[parent].depth + 1;
  k.next_sibling = keys_[parent].first_child;
  keys_.push_back(std::move(k));
  keys_[parent].first_child = id;
  InsertIntoTable(id);
  return id;
}

void KeyIndex::InsertIntoTable(uint32_t key) {
  if (keys_.size() * 2 > table_.size()) {
    std::vector<uint32_t> old(table_.size() * 2, 0);
    old.swap(table_);
    for (uint32_t slot : old) {
      if (slot == 0) continue;
      size_t mask = table_.size() - 1;
      size_t i = keys_[slot - 1].hash & mask;
      while (table_[i] != 0) i = (i + 1) & mask;
      table_[i] = slot;
    }
  }
  size_t mask = table_.size() - 1;
  size_t i = keys_[key].hash & mask;
  while (table_[i] != 0) i = (i + 1) & mask;
  table_[i] = key + 1;
}

uint32_t KeyIndex::FindKey(const KeyPath& path) {
  size_t depth;
  uint32_t key = FindDeepest(path, &depth);
  return depth == path.size() ? key : kNone;
}

uint32_t KeyIndex::FindDeepest(const KeyPath& path, size_t* depth) {
  uint32_t key = kRoot;
  for (*depth = 0; *depth < path.size(); ++*depth) {
    const Name& element = path[*depth];
    if (element.empty() || element.size() > kMaxKeyNameUnits) break;
    Expand(key);
    Name folded = FoldName(element);
    uint32_t child = FindChild(key, folded, HashChild(key, folded));
    if (child == kNone) break;
    key = child;
  }
  return key;
}

// Reads only the one element, so that the keys along a very deep path do
// not each parse the whole header.
Name KeyIndex::NameOf(uint32_t key) const {
  if (key == kRoot) return Name();
  const Key& k = keys_[key];
  const char* base = text_->data();
  return ReadHeaderElement(base + begins_[k.name_section] + k.name_offset,
                           base + text_->size());
}

std::vector<Name> KeyIndex::PathOf(uint32_t key) const {
  std::vector<Name> path;
  for (; key != kRoot; key = keys_[key].parent) path.push_back(NameOf(key));
  std::reverse(path.begin(), path.end());
  return path;
}

uint32_t KeyIndex::first_child(uint32_t key) {
  Expand(key);
  return keys_[key].first_child;
}

// ---- Sections --------------------------------------------------------------

std::vector<uint32_t> KeyIndex::SectionsOf(uint32_t key) {
  Expand(key);
  std::vector<uint32_t> sections;
  for (uint32_t r = keys_[key].own.first; r != kNone; r = runs_[r].next) {
    for (uint32_t s = runs_[r].begin; s < runs_[r].end; ++s) sections.push_back(s);
  }
  return sections;
}

uint32_t KeyIndex::LastSectionOf(uint32_t key) {
  Expand(key);
  const uint32_t last = keys_[key].own.last;
  return last == kNone ? kNone : runs_[last].end - 1;
}

size_t KeyIndex::SectionEnd(uint32_t section) const {
  return section + 1 < begins_.size() ? begins_[section + 1] : text_->size();
}

// ---- Placement -------------------------------------------------------------

// The first and last sections (by number, so in file order) of the key and
// of every key below it; kNone when there are none.
void KeyIndex::SubtreeSections(uint32_t key, uint32_t* first,
                               uint32_t* last) const {
  *first = kNone;
  *last = kNone;
  auto take = [first, last](uint32_t begin, uint32_t end) {
    if (*first == kNone || begin < *first) *first = begin;
    if (*last == kNone || end - 1 > *last) *last = end - 1;
  };
  std::vector<uint32_t> stack{key};
  while (!stack.empty()) {
    const Key& k = keys_[stack.back()];
    stack.pop_back();
    for (const RunList& list : {k.pending, k.own}) {
      for (uint32_t r = list.first; r != kNone; r = runs_[r].next) {
        take(runs_[r].begin, runs_[r].end);
      }
    }
    for (uint32_t c = k.first_child; c != kNone; c = keys_[c].next_sibling) {
      stack.push_back(c);
    }
  }
}

size_t KeyIndex::PlaceForNewChild(uint32_t parent, const Name& child) {
  uint32_t prev = kNone;
  uint32_t next = kNone;
  Name prev_name;
  Name next_name;
  for (uint32_t c = first_child(parent); c != kNone; c = keys_[c].next_sibling) {
    Name name = NameOf(c);
    int order = CompareNames(name, child);
    if (order < 0 && (prev == kNone || CompareNames(name, prev_name) > 0)) {
      prev = c;
      prev_name = std::move(name);
    } else if (order > 0 &&
               (next == kNone || CompareNames(name, next_name) < 0)) {
      next = c;
      next_name = std::move(name);
    }
  }
  uint32_t first;
  uint32_t last;
  if (prev != kNone) {
    SubtreeSections(prev, &first, &last);
    if (last != kNone) return SectionEnd(last);
  }
  if (next != kNone) {
    SubtreeSections(next, &first, &last);
    if (first != kNone) return begins_[first];
  }
  const uint32_t own_last = LastSectionOf(parent);
  return own_last != kNone ? SectionEnd(own_last) : text_->size();
}

size_t KeyIndex::PlaceForSectionOf(uint32_t key) {
  if (key == kRoot) return begins_.empty() ? text_->size() : begins_[0];
  uint32_t first;
  uint32_t last;
  SubtreeSections(key, &first, &last);
  return first != kNone ? begins_[first] : text_->size();
}

// ---- Changes ---------------------------------------------------------------

void KeyIndex::Move(const std::vector<TextMove>& moves) {
  // An offset moves with the last change that ends at or before it.
  size_t j = 0;
  const TextMove* before = nullptr;
  for (size_t& begin : begins_) {
    while (j < moves.size() && moves[j].old_end <= begin) before = &moves[j++];
    if (before) begin = before->new_end + (begin - before->old_end);
  }
}

// Makes room for a new section numbered `section`: every number from it on
// goes up by one. A run of another key's sections that the new one falls
// inside is split around it.
void KeyIndex::RenumberFrom(uint32_t section) {
  for (Key& k : keys_) {
    if (k.name_section != kNone && k.name_section >= section) ++k.name_section;
  }
  // Runs of expanded keys' old lists are renumbered too; nothing reads them.
  const size_t count = runs_.size();
  for (size_t i = 0; i < count; ++i) {
    Run& run = runs_[i];
    if (run.begin >= section) {
      ++run.begin;
      ++run.end;
    } else if (run.end > section) {
      const Run after{section + 1, run.end + 1, run.resume, run.next};
      run.end = section;
      run.next = static_cast<uint32_t>(runs_.size());
      runs_.push_back(after);  // `run` is not used after this
    }
  }
  for (Key& k : keys_) {
    for (RunList* list : {&k.pending, &k.own}) {
      while (list->last != kNone && runs_[list->last].next != kNone) {
        list->last = runs_[list->last].next;
      }
    }
  }
}

// When the file is read again, the first header on a key's path makes the
// key: its spelling and its seconds. A new section placed before the one
// that made an ancestor takes that role (the spelling is the same).
void KeyIndex::ClaimNames(uint32_t section, uint32_t key,
                          const std::vector<size_t>& offsets) {
  for (uint32_t k = key; k != kRoot; k = keys_[k].parent) {
    Key& entry = keys_[k];
    if (entry.name_section == kNone || entry.name_section > section) {
      entry.name_section = section;
      entry.name_offset = static_cast<uint32_t>(offsets[entry.depth - 1]);
    }
  }
}

uint32_t KeyIndex::AddWrittenSection(size_t begin, uint32_t existing,
                                     const KeyPath& names) {
  Expand(existing);
  const uint32_t section = static_cast<uint32_t>(
      std::lower_bound(begins_.begin(), begins_.end(), begin) - begins_.begin());
  RenumberFrom(section);
  begins_.insert(begins_.begin() + section, begin);
  accepted_.insert(accepted_.begin() + section, true);

  SectionHeader header;
  ParseHeaderLine(*text_, begin, &header);
  const size_t depth = keys_[existing].depth;
  // Never short: the caller wrote this header for exactly this path.
  header.element_offsets.resize(std::max(header.element_offsets.size(),
                                         depth + names.size()));
  ClaimNames(section, existing, header.element_offsets);
  uint32_t key = existing;
  for (size_t i = 0; i < names.size(); ++i) {
    Name folded = FoldName(names[i]);
    key = AddChild(key, HashChild(key, folded), section,
                   header.element_offsets[depth + i]);
    keys_[key].expanded = true;  // nothing below it yet
  }
  InsertOwn(key, section);
  return key;
}

}  // namespace wine
}  // namespace regservice
