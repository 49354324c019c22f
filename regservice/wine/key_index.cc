#include "regservice/wine/key_index.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace regservice {
namespace wine {

namespace {

constexpr size_t kNoPos = static_cast<size_t>(-1);

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

void KeyIndex::Reset(size_t headers) {
  // A header line takes at least a few bytes; garbage full of '[' lines
  // must not reserve more than real sections would need.
  headers = std::min(headers, text_->size() / 32);
  std::vector<Key>().swap(keys_);
  std::vector<Section>().swap(sections_);
  last_folded_.clear();
  last_keys_.clear();
  last_spans_.clear();
  // Sized up front so that the index does not grow by doubling, with room
  // for the sections a run writes.
  sections_.reserve(headers + 64);
  // Keys that have no section of their own (the levels above the deepest
  // ones) can outnumber the sections; room that stays unused costs
  // address space, not memory, whereas growing would copy every key.
  keys_.reserve(2 * headers + 16);
  // The table starts at most half full for one key per section and an
  // eighth more; it doubles when keys fill half of it.
  size_t slots = 1024;
  while (slots < 2 * (headers + headers / 8 + 16)) slots *= 2;
  std::vector<uint32_t>(slots, 0).swap(table_);
  keys_.push_back(Key());
}

// ---- Loading ---------------------------------------------------------------

void KeyIndex::AddRejectedSection(size_t begin) {
  // Only the first of a run matters, as the end of the section before it:
  // a file of nothing but bad headers must not grow the index per line.
  if (!sections_.empty() && sections_.back().key == kNone) return;
  sections_.push_back({begin, kNone, kNone});
}

uint32_t KeyIndex::AddSection(size_t begin, size_t bracket,
                              const SectionHeader& header) {
  uint32_t section = static_cast<uint32_t>(sections_.size());
  sections_.push_back({begin, kNone, kNone});
  const std::vector<Name>& elements = header.elements;
  size_t common = 0;
  while (common < elements.size() && common < last_folded_.size() &&
         NamesEqual(elements[common], last_folded_[common])) {
    ++common;
  }
  last_folded_.resize(common);
  last_keys_.resize(common);
  uint32_t key = common ? last_keys_[common - 1] : kRoot;
  for (size_t i = common; i < elements.size(); ++i) {
    Name folded = FoldName(elements[i]);
    uint32_t hash = HashChild(key, folded);
    uint32_t child = FindChild(key, folded, hash);
    if (child == kNone) {
      child = AddChild(key, hash, section, bracket + header.element_offsets[i]);
    }
    key = child;
    last_folded_.push_back(std::move(folded));
    last_keys_.push_back(key);
  }
  last_spans_.clear();
  LinkSection(section, key);
  return key;
}

bool KeyIndex::AddPlainSection(size_t begin, size_t bracket, const char* p,
                               const char* end, uint32_t* key_out) {
  spans_.clear();
  const char* base = text_->data();
  const char* element = p + 1;
  const char* q = element;
  auto finish_element = [&]() {
    if (q > element) {
      spans_.push_back({static_cast<size_t>(element - base),
                        static_cast<size_t>(q - element)});
    }
  };
  for (;;) {
    if (q >= end) return false;  // no ']': let the full parser reject it
    const unsigned char c = static_cast<unsigned char>(*q);
    if (c == ']') break;
    if (c < 0x20 || c >= 0x7f) return false;
    if (c == '\\') {
      if (end - q < 2 || q[1] != '\\') return false;
      finish_element();
      q += 2;
      element = q;
      continue;
    }
    ++q;
  }
  finish_element();
  // One byte is one unit here, so a long element is too long for Wine.
  for (const Span& span : spans_) {
    if (span.length > kMaxKeyNameUnits) return false;
  }

  uint32_t section = static_cast<uint32_t>(sections_.size());
  sections_.push_back({begin, kNone, kNone});
  size_t common = 0;
  while (common < spans_.size() && common < last_spans_.size() &&
         common < last_keys_.size() &&
         spans_[common].length == last_spans_[common].length &&
         std::memcmp(base + spans_[common].offset,
                     base + last_spans_[common].offset,
                     spans_[common].length) == 0) {
    ++common;
  }
  last_folded_.clear();
  last_spans_.resize(common);
  last_keys_.resize(common);
  uint32_t key = common ? last_keys_[common - 1] : kRoot;
  for (size_t i = common; i < spans_.size(); ++i) {
    const char* name = base + spans_[i].offset;
    folded_.resize(spans_[i].length);
    for (size_t j = 0; j < spans_[i].length; ++j) {
      folded_[j] = FoldUnit(static_cast<unsigned char>(name[j]));
    }
    uint32_t hash = HashChild(key, folded_);
    uint32_t child = FindChild(key, folded_, hash);
    if (child == kNone) {
      child = AddChild(key, hash, section,
                       bracket + static_cast<size_t>(name - p));
    }
    key = child;
    last_spans_.push_back(spans_[i]);
    last_keys_.push_back(key);
  }
  LinkSection(section, key);
  *key_out = key;
  return true;
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
  k.next_sibling = keys_[parent].first_child;
  keys_.push_back(k);
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

uint32_t KeyIndex::FindKey(const KeyPath& path) const {
  size_t depth;
  uint32_t key = FindDeepest(path, &depth);
  return depth == path.size() ? key : kNone;
}

uint32_t KeyIndex::FindDeepest(const KeyPath& path, size_t* depth) const {
  uint32_t key = kRoot;
  for (*depth = 0; *depth < path.size(); ++*depth) {
    const Name& element = path[*depth];
    if (element.empty() || element.size() > kMaxKeyNameUnits) break;
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
  return ReadHeaderElement(base + sections_[k.name_section].begin + k.name_offset,
                           base + text_->size());
}

std::vector<Name> KeyIndex::PathOf(uint32_t key) const {
  std::vector<Name> path;
  for (; key != kRoot; key = keys_[key].parent) path.push_back(NameOf(key));
  std::reverse(path.begin(), path.end());
  return path;
}

// ---- Sections --------------------------------------------------------------

size_t KeyIndex::SectionEnd(uint32_t section) const {
  return section + 1 < sections_.size() ? sections_[section + 1].begin
                                        : text_->size();
}

void KeyIndex::LinkSection(uint32_t section, uint32_t key) {
  sections_[section].key = key;
  Key& k = keys_[key];
  size_t begin = sections_[section].begin;
  uint32_t prev = kNone;
  uint32_t next = k.first_section;
  // Sections arrive in file order while loading, so check the tail first.
  if (k.last_section != kNone && sections_[k.last_section].begin < begin) {
    prev = k.last_section;
    next = kNone;
  } else {
    while (next != kNone && sections_[next].begin < begin) {
      prev = next;
      next = sections_[next].next_same_key;
    }
  }
  sections_[section].next_same_key = next;
  if (prev == kNone) {
    k.first_section = section;
  } else {
    sections_[prev].next_same_key = section;
  }
  if (next == kNone) k.last_section = section;
}

// ---- Placement -------------------------------------------------------------

void KeyIndex::SubtreeSections(uint32_t key, size_t* first_begin,
                               uint32_t* last_section) const {
  *first_begin = kNoPos;
  *last_section = kNone;
  std::vector<uint32_t> stack{key};
  while (!stack.empty()) {
    uint32_t k = stack.back();
    stack.pop_back();
    for (uint32_t s = keys_[k].first_section; s != kNone;
         s = sections_[s].next_same_key) {
      *first_begin = std::min(*first_begin, sections_[s].begin);
      if (*last_section == kNone ||
          sections_[s].begin > sections_[*last_section].begin) {
        *last_section = s;
      }
    }
    for (uint32_t c = keys_[k].first_child; c != kNone; c = keys_[c].next_sibling) {
      stack.push_back(c);
    }
  }
}

size_t KeyIndex::PlaceForNewChild(uint32_t parent, const Name& child) const {
  uint32_t prev = kNone;
  uint32_t next = kNone;
  Name prev_name;
  Name next_name;
  for (uint32_t c = keys_[parent].first_child; c != kNone;
       c = keys_[c].next_sibling) {
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
  size_t first;
  uint32_t last;
  if (prev != kNone) {
    SubtreeSections(prev, &first, &last);
    if (last != kNone) return SectionEnd(last);
  }
  if (next != kNone) {
    SubtreeSections(next, &first, &last);
    if (first != kNoPos) return first;
  }
  if (keys_[parent].last_section != kNone) {
    return SectionEnd(keys_[parent].last_section);
  }
  return text_->size();
}

size_t KeyIndex::PlaceForSectionOf(uint32_t key) const {
  if (key == kRoot) {
    return sections_.empty() ? text_->size() : sections_[0].begin;
  }
  size_t first;
  uint32_t last;
  SubtreeSections(key, &first, &last);
  return first != kNoPos ? first : text_->size();
}

// ---- Changes ---------------------------------------------------------------

void KeyIndex::Move(const std::vector<TextMove>& moves) {
  // An offset moves with the last change that ends at or before it.
  size_t j = 0;
  const TextMove* before = nullptr;
  for (Section& s : sections_) {
    while (j < moves.size() && moves[j].old_end <= s.begin) before = &moves[j++];
    if (before) s.begin = before->new_end + (s.begin - before->old_end);
  }
}

uint32_t KeyIndex::InsertSection(size_t begin) {
  auto at = std::lower_bound(
      sections_.begin(), sections_.end(), begin,
      [](const Section& s, size_t b) { return s.begin < b; });
  uint32_t index = static_cast<uint32_t>(at - sections_.begin());
  auto bump = [index](uint32_t* ref) {
    if (*ref != kNone && *ref >= index) ++*ref;
  };
  for (Key& k : keys_) {
    bump(&k.first_section);
    bump(&k.last_section);
    bump(&k.name_section);
  }
  for (Section& s : sections_) bump(&s.next_same_key);
  sections_.insert(sections_.begin() + index, Section{begin, kNone, kNone});
  return index;
}

// When the file is read again, the first header on a key's path makes the
// key: its spelling and its seconds. A new section placed before the one
// that made an ancestor takes that role (the spelling is the same).
void KeyIndex::ClaimNames(uint32_t section, uint32_t key,
                          const std::vector<size_t>& offsets) {
  uint32_t depth = 0;
  for (uint32_t k = key; k != kRoot; k = keys_[k].parent) ++depth;
  const size_t begin = sections_[section].begin;
  for (uint32_t k = key; k != kRoot; k = keys_[k].parent) {
    --depth;
    Key& entry = keys_[k];
    if (entry.name_section == kNone || sections_[entry.name_section].begin > begin) {
      entry.name_section = section;
      entry.name_offset = static_cast<uint32_t>(offsets[depth]);
    }
  }
}

uint32_t KeyIndex::AddWrittenSection(size_t begin, uint32_t existing,
                                     const KeyPath& names) {
  uint32_t section = InsertSection(begin);
  SectionHeader header;
  ParseHeaderLine(*text_, begin, &header);
  size_t depth = 0;
  for (uint32_t k = existing; k != kRoot; k = keys_[k].parent) ++depth;
  // Never short: the caller wrote this header for exactly this path.
  header.element_offsets.resize(std::max(header.element_offsets.size(),
                                         depth + names.size()));
  ClaimNames(section, existing, header.element_offsets);
  uint32_t key = existing;
  for (size_t i = 0; i < names.size(); ++i) {
    Name folded = FoldName(names[i]);
    key = AddChild(key, HashChild(key, folded), section,
                   header.element_offsets[depth + i]);
  }
  LinkSection(section, key);
  return key;
}

}  // namespace wine
}  // namespace regservice
