#include "regservice/wine/hive.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "regservice/wine/key_index.h"
#include "regservice/wine/reg_text.h"
#include "regservice/wine/section_finder.h"

namespace regservice {
namespace wine {

namespace {

constexpr uint32_t kNone = KeyIndex::kNone;
constexpr uint32_t kRoot = KeyIndex::kRoot;
constexpr size_t kNoPos = static_cast<size_t>(-1);

// A short, printable piece of a line for an error message.
std::string Excerpt(const char* p, const char* end) {
  std::string out;
  for (; p < end && out.size() < 40; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    out += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
  }
  return out;
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

// The file's bytes, the index of its sections and keys, and the changes.
// A key's values are read from its sections' text only when they are asked
// for or changed.
class Hive::Impl {
 public:
  Impl() : index_(&bytes_) {}
  bool Load(std::string bytes, std::string* error);
  const std::string& bytes() const { return bytes_; }
  bool modified() const { return modified_; }
  const std::string& arch() const { return arch_; }
  bool KeyExists(const KeyPath& path) const {
    return loaded_ && index_.FindKey(path) != kNone;
  }
  bool CreateKey(const KeyPath& path, uint64_t now);
  bool SetValue(const KeyPath& path, const Name& name, uint32_t type,
                const std::string& data, uint64_t now);
  bool GetValue(const KeyPath& path, const Name& name, Value* value) const;
  bool QueryKey(const KeyPath& path, KeyInfo* info) const;

 private:
  struct ValueRef {
    Name name;
    uint32_t type;
    std::string data;
    size_t begin;
    size_t own_end;  // just after the value's own lines
    size_t end;      // and after a blank line that ended its hex list
    bool dangling;   // its hex list goes on past the end of the file
  };
  // What one pass over a section's lines finds.
  struct SectionScan {
    size_t header_end = 0;       // just after the header line
    size_t path_end = 0;         // just after the header's ']'
    size_t time_begin = kNoPos;  // the last "#time=" line
    size_t time_end = kNoPos;
    bool has_time = false;
    uint64_t time = 0;
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
    size_t begin;  // of the last occurrence
    size_t end;
  };
  struct KeyValues {
    bool has_time = false;
    uint64_t time = 0;
    Name class_name;
    std::vector<MergedValue> values;
    std::unordered_map<Name, size_t> by_folded_name;
  };

  void Reset();
  bool CheckArchitectures(size_t begin, size_t end, std::string* arch,
                          std::string* error) const;
  void ScanSection(uint32_t section, SectionScan* scan) const;
  void CollectValues(uint32_t key, KeyValues* merged, SectionScan* last) const;

  void AddTimeSplices(uint32_t section, const SectionScan& scan, uint64_t now,
                      std::vector<Splice>* splices) const;
  size_t ValueInsertPoint(const SectionScan& scan, const Name& name) const;
  bool EndsInDanglingValue() const;
  std::string SectionInsertText(size_t place, std::string section) const;
  size_t BackOverBlankLines(size_t pos) const;
  std::string NewSectionText(const std::vector<Name>& path, uint64_t now) const;
  void Apply(std::vector<Splice>* splices);
  void InsertSection(size_t place, std::string text, uint32_t existing,
                     const KeyPath& new_names, std::vector<Splice>* splices);

  std::string bytes_;
  std::string eol_ = "\n";
  std::string arch_;  // of the #arch option, empty without one
  bool loaded_ = false;
  bool modified_ = false;
  // Sorts out keys as lookups reach them, which const lookups do too.
  mutable KeyIndex index_;
};

void Hive::Impl::Reset() {
  loaded_ = false;
  arch_.clear();
  modified_ = false;
  eol_ = "\n";
  index_.Reset(0);
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
  index_.Reset(bytes_.size());
  // Only the header lines are read here; a key's values are read when it
  // is used. Lines outside any accepted section are read as well, since
  // an #arch line there is a global option that can refuse the file.
  SectionFinder finder(bytes_, line.next);
  std::string arch;
  size_t keyless_from = line.next;  // lines with no key open start here
  bool key_open = false;
  FoundHeader header;
  while (finder.Next(&header)) {
    if (!key_open &&
        !CheckArchitectures(keyless_from, header.begin, &arch, error)) {
      Reset();
      return false;
    }
    index_.AddSection(header);
    key_open = header.kind != HeaderKind::kRejected;
    keyless_from = header.begin;
  }
  if (!key_open &&
      !CheckArchitectures(keyless_from, bytes_.size(), &arch, error)) {
    Reset();
    return false;
  }
  arch_ = arch;
  loaded_ = true;
  return true;
}

// Checks the "#arch=" lines of bytes_[begin, end), lines read with no key
// open: Wine refuses the whole file over an unknown architecture or two
// different ones.
bool Hive::Impl::CheckArchitectures(size_t begin, size_t end,
                                    std::string* arch,
                                    std::string* error) const {
  const char* base = bytes_.data();
  LineCursor cursor(bytes_, begin, end);
  Line line;
  while (cursor.Next(&line)) {
    const char* p = base + SkipBlanks(bytes_, line);
    const char* line_end = base + line.content_end;
    if (!StartsWithArch(p, line_end)) continue;
    std::string value_text(p + 6, line_end);
    const char* problem = nullptr;
    if (value_text != "win32" && value_text != "win64") {
      problem = "unknown architecture";
    } else if (!arch->empty() && *arch != value_text) {
      problem = "mismatched architecture";
    }
    if (problem) {
      if (error) {
        const size_t line_no =
            1 + std::count(base, base + line.begin, '\n');
        *error = "user.reg:" + std::to_string(line_no) + ": " + problem +
                 " '" + Excerpt(p, line_end) + "'";
      }
      return false;
    }
    *arch = value_text;
  }
  return true;
}

void Hive::Impl::ScanSection(uint32_t section, SectionScan* scan) const {
  const char* base = bytes_.data();
  LineCursor cursor(bytes_, index_.section_begin(section),
                    index_.SectionEnd(section));
  Line line;
  cursor.Next(&line);
  scan->header_end = line.next;
  SectionHeader header;
  ParseHeaderLine(bytes_, index_.section_begin(section), &header);
  scan->path_end = header.path_end;
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
  const std::vector<uint32_t>& sections = index_.SectionsOf(key);
  for (uint32_t s : sections) {
    SectionScan scan;
    ScanSection(s, &scan);
    for (const ValueRef& v : scan.values) {
      Name folded = FoldName(v.name);
      auto it = merged->by_folded_name.find(folded);
      if (it == merged->by_folded_name.end()) {
        merged->by_folded_name.emplace(std::move(folded), merged->values.size());
        merged->values.push_back({v.name, v.type, v.data, v.begin, v.own_end});
      } else {
        // The last line for a name wins; its first spelling stays.
        MergedValue& m = merged->values[it->second];
        m.type = v.type;
        m.data = v.data;
        m.begin = v.begin;
        m.end = v.own_end;
      }
    }
    if (scan.has_time) {
      merged->has_time = true;
      merged->time = scan.time;
    }
    if (scan.has_class) merged->class_name = scan.class_name;
    if (last && s == sections.back()) *last = std::move(scan);
  }
}

bool Hive::Impl::GetValue(const KeyPath& path, const Name& name,
                          Value* value) const {
  if (!loaded_) return false;
  uint32_t key = index_.FindKey(path);
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
  uint32_t key = index_.FindKey(path);
  if (key == kNone) return false;
  KeyValues merged;
  CollectValues(key, &merged, nullptr);
  *info = KeyInfo();
  info->class_name = merged.class_name;
  for (uint32_t c = index_.first_child(key); c != kNone; c = index_.next_sibling(c)) {
    ++info->subkeys;
    info->max_subkey_name = std::max<uint32_t>(
        info->max_subkey_name, static_cast<uint32_t>(index_.NameOf(c).size()));
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
    if (ParseHeaderLine(bytes_, index_.section_begin(index_.making_section(key)),
                        &header) &&
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
  size_t begin = index_.section_begin(section);
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
  const size_t count = index_.section_count();
  if (count == 0 || !index_.section_accepted(static_cast<uint32_t>(count - 1))) {
    return false;
  }
  SectionScan scan;
  ScanSection(static_cast<uint32_t>(count - 1), &scan);
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

// A new section goes after the last line before `pos` that is not blank:
// it brings its own blank line, and the blank lines that stood before the
// next section stay before it.
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
  const size_t old_size = bytes_.size();
  bool needs_newline = !bytes_.empty() && bytes_.back() != '\n';
  for (const Splice& sp : *splices) {
    if (sp.end == old_size && sp.end > sp.begin) needs_newline = false;
  }
  // Where everything lands, worked out on the old offsets first.
  std::vector<TextMove> moves;
  size_t grown = 0;
  size_t shrunk = 0;
  for (Splice& sp : *splices) {
    if (needs_newline && sp.begin == old_size) {
      sp.text.insert(0, eol_);
      needs_newline = false;
    }
    sp.new_begin = sp.begin + grown - shrunk;
    grown += sp.text.size();
    shrunk += sp.end - sp.begin;
    moves.push_back({sp.end, sp.end + grown - shrunk});
  }
  // Then the splices go into the buffer itself, last first so that the
  // old offsets of the earlier ones still hold. Splices close together
  // (one section's header, time and value) become one replace, so the
  // rest of the file moves once per edit; with the room the store
  // reserves past the end, the buffer is not reallocated either.
  const size_t kJoinGap = 64 * 1024;
  size_t i = splices->size();
  while (i > 0) {
    size_t first = i - 1;
    while (first > 0 &&
           (*splices)[first].begin - (*splices)[first - 1].end < kJoinGap) {
      --first;
    }
    const Splice& head = (*splices)[first];
    const Splice& tail = (*splices)[i - 1];
    if (first + 1 == i) {
      bytes_.replace(head.begin, head.end - head.begin, head.text);
    } else {
      std::string joined;
      for (size_t j = first; j < i; ++j) {
        const Splice& sp = (*splices)[j];
        if (j > first) {
          const Splice& prev = (*splices)[j - 1];
          joined.append(bytes_, prev.end, sp.begin - prev.end);
        }
        joined += sp.text;
      }
      bytes_.replace(head.begin, tail.end - head.begin, joined);
    }
    i = first;
  }
  index_.Move(moves);
  modified_ = true;
}

// Writes a new section (`text`, starting with its blank line) at `place`
// along with `splices`, and records it for `existing` and the new keys
// below it.
void Hive::Impl::InsertSection(size_t place, std::string text,
                               uint32_t existing, const KeyPath& new_names,
                               std::vector<Splice>* splices) {
  splices->push_back({place, place, SectionInsertText(place, std::move(text))});
  splices->back().new_section = true;
  Apply(splices);
  for (const Splice& sp : *splices) {
    if (sp.new_section) {
      index_.AddWrittenSection(sp.new_begin + sp.text.find('['), existing,
                               new_names);
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
  size_t depth = 0;
  uint32_t key = index_.FindDeepest(path, &depth);
  if (depth == path.size()) return true;

  std::vector<Name> full = index_.PathOf(key);
  full.insert(full.end(), path.begin() + depth, path.end());
  std::vector<Splice> splices;
  // The parent of the first new key gets the new time too.
  const uint32_t parent_last = index_.LastSectionOf(key);
  if (parent_last != kNone) {
    SectionScan scan;
    ScanSection(parent_last, &scan);
    AddTimeSplices(parent_last, scan, now, &splices);
  }
  size_t place = BackOverBlankLines(index_.PlaceForNewChild(key, path[depth]));
  InsertSection(place, NewSectionText(full, now), key,
                KeyPath(path.begin() + depth, path.end()), &splices);
  return true;
}

bool Hive::Impl::SetValue(const KeyPath& path, const Name& name,
                          uint32_t type, const std::string& data,
                          uint64_t now) {
  if (!loaded_ || name.size() > kMaxValueNameUnits) return false;
  uint32_t key = index_.FindKey(path);
  if (key == kNone) return false;
  KeyValues merged;
  SectionScan last;
  CollectValues(key, &merged, &last);
  auto found = merged.by_folded_name.find(FoldName(name));
  const MergedValue* existing =
      found == merged.by_folded_name.end() ? nullptr : &merged.values[found->second];
  std::string line = FormatValue(existing ? existing->name : name, type, data, eol_);

  std::vector<Splice> splices;
  const uint32_t last_section = index_.LastSectionOf(key);
  if (last_section == kNone) {
    size_t place = BackOverBlankLines(index_.PlaceForSectionOf(key));
    InsertSection(place, NewSectionText(index_.PathOf(key), now) + line, key,
                  KeyPath(), &splices);
    return true;
  }
  AddTimeSplices(last_section, last, now, &splices);
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
const std::string& Hive::Architecture() const { return impl_->arch(); }
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
