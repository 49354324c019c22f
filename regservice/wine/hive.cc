#include "regservice/wine/hive.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "regservice/wine/reg_text.h"

namespace regservice {
namespace wine {

namespace {

constexpr uint32_t kNone = 0xffffffffu;
constexpr uint32_t kRoot = 0;
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

// A short, printable piece of a line for an error message.
std::string Excerpt(const char* p, const char* end) {
  std::string out;
  for (; p < end && out.size() < 40; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    out += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
  }
  return out;
}

size_t CountHeaderLines(const std::string& bytes) {
  size_t count = 0;
  const char* p = bytes.data();
  const char* end = p + bytes.size();
  while ((p = static_cast<const char*>(std::memchr(p, '\n', end - p)))) {
    if (++p < end && *p == '[') ++count;
  }
  return count;
}

bool StartsWithArch(const char* p, const char* end) {
  return end - p >= 6 && std::memcmp(p, "#arch=", 6) == 0;
}

// One change to the bytes: [begin, end) of the old text becomes `text`.
struct Splice {
  size_t begin;
  size_t end;
  std::string text;
  size_t new_begin = 0;  // where `text` starts in the new bytes
  bool new_section = false;
};

}  // namespace

// The file's bytes, plus an index of its sections and of the keys their
// paths make. A key records where its first spelling is written (a section
// header and the element in it) rather than a copy of its name; values are
// read from the text only when a key's values are asked for.
class Hive::Impl {
 public:
  bool Load(std::string bytes, std::string* error);
  const std::string& bytes() const { return bytes_; }
  bool modified() const { return modified_; }
  bool KeyExists(const KeyPath& path) const {
    return loaded_ && FindKey(path) != kNone;
  }
  bool CreateKey(const KeyPath& path, uint64_t now);
  bool SetValue(const KeyPath& path, const Name& name, uint32_t type,
                const std::string& data, uint64_t now);
  bool GetValue(const KeyPath& path, const Name& name, Value* value) const;
  bool QueryKey(const KeyPath& path, KeyInfo* info) const;

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
  // A line Wine reads as a section header; sections_ is in file order and
  // also holds rejected headers (key kNone), since they end a section too.
  struct Section {
    size_t begin;
    uint32_t key;
    uint32_t next_same_key;
  };
  // What one pass over a section's lines finds.
  struct ValueRef {
    Name name;
    uint32_t type;
    std::string data;
    size_t begin;
    size_t own_end;  // just after the value's own lines
    size_t end;      // and after a blank line that ended its hex list
    bool dangling;   // its hex list goes on past the end of the file
  };
  struct SectionScan {
    size_t header_end = 0;  // just after the header line
    size_t path_end = 0;    // just after the header's ']'
    size_t time_begin = kNoPos;  // the last "#time=" line
    size_t time_end = kNoPos;
    bool has_time = false;
    uint64_t time = 0;
    bool has_seconds = false;
    uint32_t seconds = 0;
    bool has_class = false;
    Name class_name;
    size_t last_option_end = kNoPos;
    std::vector<ValueRef> values;
  };
  // The values of a key, all its sections merged as Wine merges them.
  struct MergedValue {
    Name name;  // first spelling
    uint32_t type;
    std::string data;
    uint32_t section;  // of the last occurrence
    size_t begin;
    size_t end;
  };
  struct KeyValues {
    bool has_time = false;
    uint64_t time = 0;
    Name class_name;
    std::vector<MergedValue> values;
    std::unordered_map<Name, size_t> by_folded_name;
  };
  // The previous header's folded elements and keys: consecutive sections
  // mostly share a path prefix, which then needs no lookup.
  struct PathCache {
    std::vector<Name> folded;
    std::vector<uint32_t> keys;
  };

  void Reset();
  size_t SectionEnd(uint32_t section) const {
    return section + 1 < sections_.size() ? sections_[section + 1].begin
                                          : bytes_.size();
  }
  uint32_t AddSection(size_t begin, size_t bracket,
                      const SectionHeader& header, PathCache* cache);
  void LinkSection(uint32_t section, uint32_t key);
  uint32_t FindChild(uint32_t parent, const Name& folded, uint32_t hash) const;
  uint32_t AddChild(uint32_t parent, uint32_t hash, uint32_t section,
                    uint32_t name_offset);
  void InsertIntoTable(uint32_t key);
  uint32_t FindKey(const KeyPath& path) const;
  Name NameOf(uint32_t key) const;
  std::vector<Name> PathOf(uint32_t key) const;
  bool HeaderAt(size_t begin, SectionHeader* header) const;

  void ScanSection(uint32_t section, SectionScan* scan) const;
  void CollectValues(uint32_t key, KeyValues* merged, SectionScan* last) const;

  void AddTimeSplices(uint32_t section, const SectionScan& scan, uint64_t now,
                      std::vector<Splice>* splices) const;
  size_t ValueInsertPoint(const SectionScan& scan, const Name& name) const;
  size_t BackOverBlankLines(size_t pos) const;
  bool EndsInDanglingValue() const;
  std::string SectionInsertText(size_t place, std::string section) const;
  void SubtreeSections(uint32_t key, size_t* first_begin,
                       uint32_t* last_section) const;
  size_t NewSectionPlace(uint32_t parent, const Name& child) const;
  size_t PlaceOfSectionFor(uint32_t key) const;
  std::string NewSectionText(const std::vector<Name>& path, uint64_t now) const;
  void Apply(std::vector<Splice>* splices);
  uint32_t RegisterSection(size_t begin);
  void ClaimNames(uint32_t section, uint32_t key,
                  const std::vector<size_t>& offsets);

  std::string bytes_;
  std::string eol_ = "\n";
  bool loaded_ = false;
  bool modified_ = false;
  std::vector<Key> keys_;
  std::vector<Section> sections_;
  std::vector<uint32_t> table_;  // open addressing: key index + 1, 0 empty
};

void Hive::Impl::Reset() {
  loaded_ = false;
  modified_ = false;
  eol_ = "\n";
  keys_.clear();
  keys_.shrink_to_fit();
  sections_.clear();
  sections_.shrink_to_fit();
  table_.clear();
  table_.shrink_to_fit();
}

bool Hive::Impl::Load(std::string bytes, std::string* error) {
  Reset();
  bytes_ = std::move(bytes);
  LineCursor cursor(bytes_, 0, bytes_.size());
  Line line;
  static const char kFirstLine[] = "WINE REGISTRY Version 2";
  const size_t first_len = sizeof(kFirstLine) - 1;
  if (!cursor.Next(&line) || line.content_end - line.begin != first_len ||
      std::memcmp(bytes_.data(), kFirstLine, first_len) != 0) {
    if (error) *error = "user.reg:1: not a valid registry file";
    return false;
  }
  if (line.has_newline && line.next >= 2 && bytes_[line.next - 2] == '\r') {
    eol_ = "\r\n";
  }
  // Sized from a quick count of header lines, so that the index does not
  // grow by doubling (and keep up to twice the room it needs).
  size_t headers = CountHeaderLines(bytes_);
  sections_.reserve(headers + 1);
  keys_.reserve(headers + headers / 8 + 16);
  size_t slots = 1024;
  while (slots < 2 * keys_.capacity()) slots *= 2;
  table_.assign(slots, 0);
  keys_.push_back(Key());

  const char* base = bytes_.data();
  uint32_t current = kNone;  // the key the lines now belong to
  std::string arch;
  PathCache cache;
  SectionHeader header;
  ValueLine value;
  size_t line_no = 1;
  while (cursor.Next(&line)) {
    ++line_no;
    size_t start = SkipBlanks(bytes_, line);
    if (start == line.content_end) continue;
    const char* p = base + start;
    const char* end = base + line.content_end;
    switch (*p) {
      case '[':
        ParseSectionHeader(p, end, &header);
        current = header.ok ? AddSection(line.begin, start - line.begin, header, &cache)
                            : kNone;
        if (!header.ok) sections_.push_back({line.begin, kNone, kNone});
        break;
      case '"':
      case '@':
        // Only a hex list can go on over more lines, and it needs a '\'.
        if (current != kNone && std::memchr(p, '\\', end - p)) {
          size_t before = cursor.pos();
          ReadValueLine(bytes_, line, &cursor, false, &value);
          for (size_t q = before; q < cursor.pos(); ++q) {
            if (base[q] == '\n') ++line_no;
          }
        }
        break;
      case '#':
        // With no key open, '#' lines are global options: Wine refuses the
        // whole file over a bad architecture.
        if (current == kNone && StartsWithArch(p, end)) {
          std::string value_text(p + 6, end);
          const char* problem = nullptr;
          if (value_text != "win32" && value_text != "win64") {
            problem = "unknown architecture";
          } else if (!arch.empty() && arch != value_text) {
            problem = "mismatched architecture";
          }
          if (problem) {
            if (error) {
              *error = "user.reg:" + std::to_string(line_no) + ": " + problem +
                       " '" + Excerpt(p, end) + "'";
            }
            Reset();
            return false;
          }
          arch = value_text;
        }
        break;
      default:
        break;
    }
  }
  loaded_ = true;
  return true;
}


uint32_t Hive::Impl::AddSection(size_t begin, size_t bracket,
                                const SectionHeader& header, PathCache* cache) {
  uint32_t section = static_cast<uint32_t>(sections_.size());
  sections_.push_back({begin, kNone, kNone});
  const std::vector<Name>& elements = header.elements;
  size_t common = 0;
  while (common < elements.size() && common < cache->folded.size() &&
         NamesEqual(elements[common], cache->folded[common])) {
    ++common;
  }
  cache->folded.resize(common);
  cache->keys.resize(common);
  uint32_t key = common ? cache->keys[common - 1] : kRoot;
  for (size_t i = common; i < elements.size(); ++i) {
    Name folded = FoldName(elements[i]);
    uint32_t hash = HashChild(key, folded);
    uint32_t child = FindChild(key, folded, hash);
    if (child == kNone) {
      child = AddChild(key, hash, section,
                       static_cast<uint32_t>(bracket + header.element_offsets[i]));
    }
    key = child;
    cache->folded.push_back(std::move(folded));
    cache->keys.push_back(key);
  }
  LinkSection(section, key);
  return key;
}

void Hive::Impl::LinkSection(uint32_t section, uint32_t key) {
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

uint32_t Hive::Impl::FindChild(uint32_t parent, const Name& folded,
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

uint32_t Hive::Impl::AddChild(uint32_t parent, uint32_t hash,
                              uint32_t section, uint32_t name_offset) {
  uint32_t id = static_cast<uint32_t>(keys_.size());
  Key k;
  k.hash = hash;
  k.parent = parent;
  k.name_section = section;
  k.name_offset = name_offset;
  k.next_sibling = keys_[parent].first_child;
  keys_.push_back(k);
  keys_[parent].first_child = id;
  InsertIntoTable(id);
  return id;
}

void Hive::Impl::InsertIntoTable(uint32_t key) {
  if (keys_.size() * 2 > table_.size()) {
    std::vector<uint32_t> old;
    old.swap(table_);
    table_.assign(old.size() * 2, 0);
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

uint32_t Hive::Impl::FindKey(const KeyPath& path) const {
  uint32_t key = kRoot;
  for (const Name& element : path) {
    if (element.empty() || element.size() > kMaxKeyNameUnits) return kNone;
    Name folded = FoldName(element);
    key = FindChild(key, folded, HashChild(key, folded));
    if (key == kNone) return kNone;
  }
  return key;
}

bool Hive::Impl::HeaderAt(size_t begin, SectionHeader* header) const {
  LineCursor cursor(bytes_, begin, bytes_.size());
  Line line;
  if (!cursor.Next(&line)) return false;
  size_t start = SkipBlanks(bytes_, line);
  if (start == line.content_end || bytes_[start] != '[') return false;
  ParseSectionHeader(bytes_.data() + start, bytes_.data() + line.content_end,
                     header);
  if (header->ok) {
    header->path_end += start;
    for (size_t& offset : header->element_offsets) offset += start - begin;
  }
  return header->ok;
}

// Reads only the one element, so that the keys along a very deep path do
// not each parse the whole header.
Name Hive::Impl::NameOf(uint32_t key) const {
  if (key == kRoot) return Name();
  const Key& k = keys_[key];
  const char* base = bytes_.data();
  return ReadHeaderElement(base + sections_[k.name_section].begin + k.name_offset,
                           base + bytes_.size());
}

std::vector<Name> Hive::Impl::PathOf(uint32_t key) const {
  std::vector<Name> path;
  for (; key != kRoot; key = keys_[key].parent) path.push_back(NameOf(key));
  std::reverse(path.begin(), path.end());
  return path;
}

void Hive::Impl::ScanSection(uint32_t section, SectionScan* scan) const {
  const char* base = bytes_.data();
  LineCursor cursor(bytes_, sections_[section].begin, SectionEnd(section));
  Line line;
  cursor.Next(&line);
  scan->header_end = line.next;
  SectionHeader header;
  HeaderAt(sections_[section].begin, &header);
  scan->path_end = header.path_end;
  scan->has_seconds = header.has_seconds;
  scan->seconds = header.seconds;
  ValueLine value;
  while (cursor.Next(&line)) {
    size_t start = SkipBlanks(bytes_, line);
    if (start == line.content_end) continue;
    const char* p = base + start;
    const char* end = base + line.content_end;
    if (*p == '"' || *p == '@') {
      ReadValueLine(bytes_, line, &cursor, true, &value);
      if (value.created) {
        scan->values.push_back({std::move(value.name), value.type,
                                std::move(value.data), line.begin,
                                value.own_end, value.end, value.dangling});
      }
    } else if (*p == '#') {
      scan->last_option_end = line.next;
      if (end - p >= 6 && std::memcmp(p, "#time=", 6) == 0) {
        uint64_t time = 0;
        for (const char* q = p + 6; q < end; ++q) {
          int digit;
          if (*q >= '0' && *q <= '9') {
            digit = *q - '0';
          } else if (*q >= 'a' && *q <= 'f') {
            digit = *q - 'a' + 10;
          } else if (*q >= 'A' && *q <= 'F') {
            digit = *q - 'A' + 10;
          } else {
            break;
          }
          time = (time << 4) | static_cast<uint64_t>(digit);
        }
        scan->has_time = true;
        scan->time = time;
        scan->time_begin = line.begin;
        scan->time_end = line.next;
      } else if (end - p >= 8 && std::memcmp(p, "#class=\"", 8) == 0) {
        Name class_name;
        if (ParseEscaped(p + 8, end, '"', &class_name)) {
          scan->has_class = true;
          scan->class_name = std::move(class_name);
        }
      }
    }
  }
}

void Hive::Impl::CollectValues(uint32_t key, KeyValues* merged,
                               SectionScan* last) const {
  for (uint32_t s = keys_[key].first_section; s != kNone;
       s = sections_[s].next_same_key) {
    SectionScan scan;
    ScanSection(s, &scan);
    for (ValueRef& v : scan.values) {
      Name folded = FoldName(v.name);
      auto it = merged->by_folded_name.find(folded);
      if (it == merged->by_folded_name.end()) {
        merged->by_folded_name.emplace(std::move(folded), merged->values.size());
        merged->values.push_back({v.name, v.type, v.data, s, v.begin, v.own_end});
      } else {
        // The last line for a name wins; its first spelling stays.
        MergedValue& m = merged->values[it->second];
        m.type = v.type;
        m.data = v.data;
        m.section = s;
        m.begin = v.begin;
        m.end = v.own_end;
      }
    }
    if (scan.has_time) {
      merged->has_time = true;
      merged->time = scan.time;
    }
    if (scan.has_class) merged->class_name = scan.class_name;
    if (last && s == keys_[key].last_section) *last = std::move(scan);
  }
}

bool Hive::Impl::GetValue(const KeyPath& path, const Name& name,
                          Value* value) const {
  if (!loaded_) return false;
  uint32_t key = FindKey(path);
  if (key == kNone) return false;
  KeyValues merged;
  CollectValues(key, &merged, nullptr);
  auto it = merged.by_folded_name.find(FoldName(name));
  if (it == merged.by_folded_name.end()) return false;
  value->type = merged.values[it->second].type;
  value->data = merged.values[it->second].data;
  return true;
}

bool Hive::Impl::QueryKey(const KeyPath& path, KeyInfo* info) const {
  if (!loaded_) return false;
  uint32_t key = FindKey(path);
  if (key == kNone) return false;
  KeyValues merged;
  CollectValues(key, &merged, nullptr);
  *info = KeyInfo();
  info->class_name = merged.class_name;
  for (uint32_t c = keys_[key].first_child; c != kNone;
       c = keys_[c].next_sibling) {
    ++info->subkeys;
    info->max_subkey_name = std::max<uint32_t>(
        info->max_subkey_name, static_cast<uint32_t>(NameOf(c).size()));
  }
  for (const MergedValue& v : merged.values) {
    ++info->values;
    info->max_value_name = std::max<uint32_t>(
        info->max_value_name, static_cast<uint32_t>(v.name.size()));
    info->max_value_data = std::max<uint32_t>(
        info->max_value_data, static_cast<uint32_t>(v.data.size()));
  }
  // Wine gives a key the seconds of the header that made it, then any
  // "#time=" of its sections; the seconds of later headers are ignored.
  if (merged.has_time) {
    info->last_write = merged.time;
  } else if (key != kRoot) {
    SectionHeader header;
    if (HeaderAt(sections_[keys_[key].name_section].begin, &header) &&
        header.has_seconds) {
      info->last_write = SecondsToFileTime(header.seconds);
    }
  }
  return true;
}

// ---- Changes -------------------------------------------------------------

void Hive::Impl::AddTimeSplices(uint32_t section, const SectionScan& scan,
                                uint64_t now,
                                std::vector<Splice>* splices) const {
  size_t begin = sections_[section].begin;
  splices->push_back({begin, scan.header_end,
                      bytes_.substr(begin, scan.path_end - begin) + " " +
                          FormatSeconds(now) + eol_});
  std::string time = FormatTimeOption(now) + eol_;
  if (scan.time_begin != kNoPos) {
    splices->push_back({scan.time_begin, scan.time_end, time});
  } else {
    splices->push_back({scan.header_end, scan.header_end, time});
  }
}

size_t Hive::Impl::ValueInsertPoint(const SectionScan& scan,
                                    const Name& name) const {
  const std::vector<ValueRef>& values = scan.values;
  if (values.empty()) {
    return scan.last_option_end != kNoPos ? scan.last_option_end
                                          : scan.header_end;
  }
  bool sorted = true;
  for (size_t i = 1; i < values.size() && sorted; ++i) {
    sorted = CompareNames(values[i - 1].name, values[i].name) <= 0;
  }
  if (sorted) {
    for (const ValueRef& v : values) {
      if (CompareNames(v.name, name) > 0) return v.begin;
    }
  }
  // A line after a list that runs into the end of the file would become
  // part of that list.
  return values.back().dangling ? values.back().begin : values.back().end;
}

// Whether the file ends inside a hex list that goes on past its end. Wine
// reads such a value as REG_NONE; text appended after it would instead be
// read as its continuation, or end it well-formed if it starts blank.
bool Hive::Impl::EndsInDanglingValue() const {
  if (sections_.empty() || sections_.back().key == kNone) return false;
  SectionScan scan;
  ScanSection(static_cast<uint32_t>(sections_.size() - 1), &scan);
  return !scan.values.empty() && scan.values.back().dangling;
}

std::string Hive::Impl::SectionInsertText(size_t place,
                                          std::string section) const {
  // A line that is not hex keeps such a value as broken as it was.
  if (place == bytes_.size() && EndsInDanglingValue()) {
    return ";" + eol_ + section;
  }
  return section;
}

size_t Hive::Impl::BackOverBlankLines(size_t pos) const {
  if (pos == bytes_.size() && (bytes_.empty() || bytes_.back() != '\n')) {
    return pos;
  }
  while (pos > 0) {
    size_t prev_begin = 0;
    if (pos >= 2) {
      size_t nl = bytes_.rfind('\n', pos - 2);
      prev_begin = nl == std::string::npos ? 0 : nl + 1;
    }
    if (prev_begin == 0) break;  // never above line 1
    LineCursor cursor(bytes_, prev_begin, pos);
    Line line;
    cursor.Next(&line);
    if (SkipBlanks(bytes_, line) != line.content_end) break;
    pos = prev_begin;
  }
  return pos;
}

void Hive::Impl::SubtreeSections(uint32_t key, size_t* first_begin,
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
    for (uint32_t c = keys_[k].first_child; c != kNone;
         c = keys_[c].next_sibling) {
      stack.push_back(c);
    }
  }
}

// Wine writes a key's section, then its subkeys' in sorted order. A new
// subkey goes after everything of the sibling just before it; failing that,
// before everything of the sibling just after it; failing that, after the
// parent's last section; failing that, at the end of the file.
size_t Hive::Impl::NewSectionPlace(uint32_t parent, const Name& child) const {
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
  return bytes_.size();
}

// An existing key with no section of its own (it exists as part of deeper
// paths, or is the root): its section goes before its subkeys', as Wine
// writes it; the root's `[]` comes first of all.
size_t Hive::Impl::PlaceOfSectionFor(uint32_t key) const {
  if (key == kRoot) {
    return sections_.empty() ? bytes_.size() : sections_[0].begin;
  }
  size_t first;
  uint32_t last;
  SubtreeSections(key, &first, &last);
  return first != kNoPos ? first : bytes_.size();
}

std::string Hive::Impl::NewSectionText(const std::vector<Name>& path,
                                       uint64_t now) const {
  return eol_ + "[" + EscapeKeyPath(path) + "] " + FormatSeconds(now) + eol_ +
         FormatTimeOption(now) + eol_;
}

void Hive::Impl::Apply(std::vector<Splice>* splices) {
  std::stable_sort(splices->begin(), splices->end(),
                   [](const Splice& a, const Splice& b) {
                     return a.begin != b.begin ? a.begin < b.begin
                                               : a.end < b.end;
                   });
  // Text appended after a last line with no newline must not join it.
  bool needs_newline = !bytes_.empty() && bytes_.back() != '\n';
  size_t growth = 0;
  for (const Splice& sp : *splices) {
    if (sp.end == bytes_.size() && sp.end > sp.begin) needs_newline = false;
    growth += sp.text.size() + eol_.size();
  }
  std::string out;
  out.reserve(bytes_.size() + growth);
  size_t pos = 0;
  for (Splice& sp : *splices) {
    out.append(bytes_, pos, sp.begin - pos);
    if (needs_newline && sp.begin == bytes_.size()) {
      out += eol_;
      needs_newline = false;
    }
    sp.new_begin = out.size();
    out += sp.text;
    pos = sp.end;
  }
  out.append(bytes_, pos, std::string::npos);

  // An old offset moves with the last splice that ends at or before it.
  size_t j = 0;
  const Splice* before = nullptr;
  for (Section& s : sections_) {
    while (j < splices->size() && (*splices)[j].end <= s.begin) {
      before = &(*splices)[j++];
    }
    if (before) {
      s.begin = before->new_begin + before->text.size() + (s.begin - before->end);
    }
  }
  bytes_.swap(out);
  modified_ = true;
}

uint32_t Hive::Impl::RegisterSection(size_t begin) {
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
void Hive::Impl::ClaimNames(uint32_t section, uint32_t key,
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

bool Hive::Impl::CreateKey(const KeyPath& path, uint64_t now) {
  if (!loaded_) return false;
  for (const Name& element : path) {
    // A NUL could not be read back: "[\0..." is the root to Wine.
    if (element.empty() || element.size() > kMaxKeyNameUnits ||
        element.find(u'\\') != Name::npos || element.find(u'\0') != Name::npos) {
      return false;
    }
  }
  uint32_t key = kRoot;
  size_t depth = 0;
  for (; depth < path.size(); ++depth) {
    Name folded = FoldName(path[depth]);
    uint32_t child = FindChild(key, folded, HashChild(key, folded));
    if (child == kNone) break;
    key = child;
  }
  if (depth == path.size()) return true;

  std::vector<Name> full = PathOf(key);
  const size_t existing = full.size();
  full.insert(full.end(), path.begin() + depth, path.end());
  std::vector<Splice> splices;
  // The parent of the first new key gets the new time too.
  if (keys_[key].last_section != kNone) {
    SectionScan scan;
    ScanSection(keys_[key].last_section, &scan);
    AddTimeSplices(keys_[key].last_section, scan, now, &splices);
  }
  size_t place = BackOverBlankLines(NewSectionPlace(key, path[depth]));
  splices.push_back({place, place, SectionInsertText(place, NewSectionText(full, now))});
  splices.back().new_section = true;
  Apply(&splices);

  size_t begin = 0;
  for (const Splice& sp : splices) {
    if (sp.new_section) begin = sp.new_begin + sp.text.find('[');
  }
  uint32_t section = RegisterSection(begin);
  SectionHeader header;
  HeaderAt(begin, &header);
  ClaimNames(section, key, header.element_offsets);
  for (size_t i = depth; i < path.size(); ++i) {
    Name folded = FoldName(path[i]);
    key = AddChild(key, HashChild(key, folded), section,
                   static_cast<uint32_t>(header.element_offsets[existing + i - depth]));
  }
  LinkSection(section, key);
  return true;
}

bool Hive::Impl::SetValue(const KeyPath& path, const Name& name,
                          uint32_t type, const std::string& data,
                          uint64_t now) {
  if (!loaded_ || name.size() > kMaxValueNameUnits) return false;
  uint32_t key = FindKey(path);
  if (key == kNone) return false;
  KeyValues merged;
  SectionScan last;
  CollectValues(key, &merged, &last);
  auto found = merged.by_folded_name.find(FoldName(name));
  const MergedValue* existing =
      found == merged.by_folded_name.end() ? nullptr : &merged.values[found->second];
  std::string line = FormatValue(existing ? existing->name : name, type, data, eol_);

  std::vector<Splice> splices;
  if (keys_[key].last_section == kNone) {
    size_t place = BackOverBlankLines(PlaceOfSectionFor(key));
    splices.push_back({place, place,
                       SectionInsertText(place, NewSectionText(PathOf(key), now) + line)});
    Apply(&splices);
    size_t begin = splices[0].new_begin + splices[0].text.find('[');
    uint32_t section = RegisterSection(begin);
    LinkSection(section, key);
    SectionHeader header;
    HeaderAt(begin, &header);
    ClaimNames(section, key, header.element_offsets);
    return true;
  }
  AddTimeSplices(keys_[key].last_section, last, now, &splices);
  if (existing) {
    splices.push_back({existing->begin, existing->end, line});
  } else {
    size_t at = ValueInsertPoint(last, name);
    splices.push_back({at, at, line});
  }
  Apply(&splices);
  return true;
}

// ---- Hive ------------------------------------------------------------------

Hive::Hive() : impl_(new Impl) {}
Hive::~Hive() = default;

bool Hive::Load(std::string bytes, std::string* error) {
  return impl_->Load(std::move(bytes), error);
}
const std::string& Hive::Bytes() const { return impl_->bytes(); }
bool Hive::Modified() const { return impl_->modified(); }
bool Hive::KeyExists(const KeyPath& path) const { return impl_->KeyExists(path); }
bool Hive::CreateKey(const KeyPath& path, uint64_t now) {
  return impl_->CreateKey(path, now);
}
bool Hive::SetValue(const KeyPath& path, const Name& name, uint32_t type,
                    const std::string& data, uint64_t now) {
  return impl_->SetValue(path, name, type, data, now);
}
bool Hive::GetValue(const KeyPath& path, const Name& name, Value* value) const {
  return impl_->GetValue(path, name, value);
}
bool Hive::QueryKey(const KeyPath& path, KeyInfo* info) const {
  return impl_->QueryKey(path, info);
}

}  // namespace wine
}  // namespace regservice
