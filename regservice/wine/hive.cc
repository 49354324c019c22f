#include "regservice/wine/hive.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "regservice/wine/reg_lexer.h"
#include "regservice/wine/reg_writer.h"

namespace regservice {
namespace wine {

namespace {

constexpr uint32_t kNone = 0xffffffffu;
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

struct ValueRef {
  Name name;
  uint32_t type;
  std::string data;
  size_t begin;
  size_t own_end;  // just after the value's own lines
  size_t end;      // and after a blank line that ended its hex list
  bool dangling;   // its hex list goes on past the end of the file
};

// The values of a key, all its sections merged as Wine merges them.
struct MergedValue {
  Name name;  // first spelling
  uint32_t type;
  std::string data;
  size_t begin;  // of the last occurrence
  size_t end;
};

}  // namespace

// One change to the bytes: [begin, end) of the old text becomes `text`.
struct Hive::Splice {
  size_t begin;
  size_t end;
  std::string text;
  size_t new_begin = 0;  // where `text` starts in the new bytes
  bool new_section = false;
};

// What one pass over a section's lines finds.
struct Hive::SectionScan {
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

struct Hive::KeyValues {
  bool has_time = false;
  uint64_t time = 0;
  Name class_name;
  std::vector<MergedValue> values;
  std::unordered_map<Name, size_t> by_folded_name;
};

// A key as the headers below its path make it.
struct Hive::KeyView {
  std::vector<uint32_t> own;  // its own sections, in file order
  uint32_t first = kNone;     // the first section whose path holds it
  struct Child {
    Name name;       // first spelling
    uint32_t first;  // first and last section of everything below it
    uint32_t last;
  };
  std::vector<Child> children;
};

void Hive::Reset() {
  loaded_ = false;
  arch_.clear();
  modified_ = false;
  eol_ = "\n";
  sections_.Clear();
}

Status Hive::Load(std::string bytes) {
  std::string error;
  if (Parse(std::move(bytes), &error)) return Status();
  return Status(Status::kCorrupt, error);
}

bool Hive::Parse(std::string bytes, std::string* error) {
  Reset();
  bytes_ = std::move(bytes);
  LineCursor cursor(bytes_, 0, bytes_.size());
  Line first;
  static const char kFirstLine[] = "WINE REGISTRY Version 2";
  const size_t first_len = sizeof(kFirstLine) - 1;
  if (!cursor.Next(&first) || first.content_end - first.begin != first_len ||
      std::memcmp(bytes_.data(), kFirstLine, first_len) != 0) {
    if (error) *error = "user.reg:1: not a valid registry file";
    return false;
  }
  if (first.has_newline && first.next >= 2 && bytes_[first.next - 2] == '\r') {
    eol_ = "\r\n";
  }
  // The sections keep hashes of their first two path elements only.
  Lexer lexer(bytes_, first.next, 2);
  LexedLine line;
  std::string arch;
  while (lexer.Next(&line)) {
    if (line.kind == LineKind::kHeader) {
      sections_.Add(line.begin, lexer.header().ok ? &lexer.header() : nullptr);
    } else if (line.kind == LineKind::kOption && !lexer.key_open() &&
               !CheckArchitecture(line, &arch, error)) {
      Reset();
      return false;
    }
    // A section's other lines are read when its key is asked for.
    lexer.SkipToBracketLine();
  }
  arch_ = arch;
  loaded_ = true;
  return true;
}

// An "#arch=" line read with no key open is a global option: Wine refuses
// the whole file over an unknown architecture or two different ones.
bool Hive::CheckArchitecture(const LexedLine& line, std::string* arch,
                             std::string* error) const {
  const char* base = bytes_.data();
  const char* p = base + line.text;
  const char* end = base + line.content_end;
  std::string value_text;
  if (!ReadArchOption(p, end, &value_text)) return true;
  const char* problem = nullptr;
  if (value_text != "win32" && value_text != "win64") {
    problem = "unknown architecture";
  } else if (!arch->empty() && *arch != value_text) {
    problem = "mismatched architecture";
  }
  if (!problem) {
    *arch = value_text;
    return true;
  }
  if (error) {
    const size_t line_no = 1 + std::count(base, base + line.begin, '\n');
    *error = "user.reg:" + std::to_string(line_no) + ": " + problem + " '" +
             Excerpt(p, end) + "'";
  }
  return false;
}

// ---- Keys ----------------------------------------------------------------

// With own_only, only the key's own sections are looked for: no children,
// and `first` is the first own section.
bool Hive::View(const KeyPath& path, KeyView* view, bool own_only) const {
  std::unordered_map<Name, size_t> child_by_folded;
  Name folded;
  sections_.Visit(bytes_, path,
                  [&](uint32_t s, const SectionHeader& header) {
    if (view->first == kNone) view->first = s;
    if (header.elements.size() == path.size()) {
      view->own.push_back(s);
      return true;
    }
    const Name& name = header.elements[path.size()];
    folded = name;
    for (char16_t& unit : folded) unit = FoldUnit(unit);
    auto added = child_by_folded.emplace(folded, view->children.size());
    if (added.second) {
      view->children.push_back({name, s, s});
    } else {
      view->children[added.first->second].last = s;
    }
    return true;
  }, own_only);
  return view->first != kNone || path.empty();
}

// Each element as the first header whose path holds it spells it. The
// headers that hold the first two elements hold every deeper one too, so
// one walk over them serves every level below the first.
KeyPath Hive::FirstSpelling(const KeyPath& path) const {
  KeyPath spelled(path);
  if (path.empty()) return spelled;
  sections_.Visit(bytes_, KeyPath(path.begin(), path.begin() + 1),
                  [&](uint32_t, const SectionHeader& header) {
                    spelled[0] = header.elements[0];
                    return false;
                  });
  if (path.size() == 1) return spelled;
  size_t done = 1;  // levels spelled so far
  sections_.Visit(
      bytes_, KeyPath(path.begin(), path.begin() + 2),
      [&](uint32_t, const SectionHeader& header) {
        size_t common = 2;
        while (common < path.size() && common < header.elements.size() &&
               NamesEqual(header.elements[common], path[common])) {
          ++common;
        }
        for (; done < common; ++done) spelled[done] = header.elements[done];
        return done < path.size();
      });
  return spelled;
}

bool Hive::KeyExists(const KeyPath& path) const {
  if (!loaded_) return false;
  bool found = path.empty();
  sections_.Visit(bytes_, path, [&found](uint32_t, const SectionHeader&) {
    found = true;
    return false;
  });
  return found;
}

void Hive::ScanSection(uint32_t section, SectionScan* scan) const {
  const char* base = bytes_.data();
  LineCursor cursor(bytes_, sections_.begin(section),
                    sections_.End(section, bytes_.size()));
  Line line;
  cursor.Next(&line);
  scan->header_end = line.next;
  SectionHeader header;
  ReadHeaderLine(bytes_, sections_.begin(section), &header);
  scan->path_end = header.path_end;
  ValueLine value;
  while (cursor.Next(&line)) {
    size_t start = SkipBlanks(bytes_, line);
    if (start == line.content_end) continue;
    const char* p = base + start;
    const char* end = base + line.content_end;
    if (*p == '"' || *p == '@') {
      ReadValueLine(bytes_, line, &cursor, &value);
      if (value.created) {
        scan->values.push_back({std::move(value.name), value.type,
                                std::move(value.data), line.begin,
                                value.own_end, value.end, value.dangling});
      }
    } else if (*p == '#') {
      scan->last_option_end = line.next;
      uint64_t time;
      if (ReadTimeOption(p, end, &time)) {
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

void Hive::CollectValues(const std::vector<uint32_t>& sections,
                         KeyValues* merged, SectionScan* last) const {
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

bool Hive::GetValue(const KeyPath& path, const Name& name,
                    Value* value) const {
  // A key with no section of its own has no values either.
  KeyView view;
  if (!loaded_ || !View(path, &view, true)) return false;
  KeyValues merged;
  CollectValues(view.own, &merged, nullptr);
  auto it = merged.by_folded_name.find(FoldName(name));
  if (it == merged.by_folded_name.end()) return false;
  value->type = merged.values[it->second].type;
  value->data = merged.values[it->second].data;
  return true;
}

bool Hive::QueryKey(const KeyPath& path, KeyInfo* info,
                    bool count_subkeys) const {
  // The root's time is not read from the file, so without its subkeys
  // only its own sections are needed, not every header of the file.
  KeyView view;
  if (!loaded_ || !View(path, &view, path.empty() && !count_subkeys)) {
    return false;
  }
  KeyValues merged;
  CollectValues(view.own, &merged, nullptr);
  *info = KeyInfo();
  info->class_name = merged.class_name;
  for (const KeyView::Child& child : view.children) {
    if (!count_subkeys) break;
    ++info->subkeys;
    info->max_subkey_name = std::max<uint32_t>(
        info->max_subkey_name, static_cast<uint32_t>(child.name.size()));
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
  } else if (!path.empty()) {
    SectionHeader header;
    if (ReadHeaderLine(bytes_, sections_.begin(view.first), &header) &&
        header.has_seconds) {
      info->last_write = SecondsToFileTime(header.seconds);
    }
  }
  return true;
}

// ---- Changes -------------------------------------------------------------

void Hive::AddTimeSplices(uint32_t section, const SectionScan& scan,
                          uint64_t now, std::vector<Splice>* splices) const {
  size_t begin = sections_.begin(section);
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

namespace {

size_t ValueInsertPoint(const std::vector<ValueRef>& values,
                        size_t after_options, const Name& name) {
  if (values.empty()) return after_options;
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

}  // namespace

// After everything of the sibling that sorts just before the new child,
// else before everything of the one just after it, else after the
// parent's last section, else at the end.
size_t Hive::PlaceForNewChild(const KeyView& parent, const Name& child) const {
  const KeyView::Child* prev = nullptr;
  const KeyView::Child* next = nullptr;
  for (const KeyView::Child& c : parent.children) {
    int order = CompareNames(c.name, child);
    if (order < 0 && (!prev || CompareNames(c.name, prev->name) > 0)) {
      prev = &c;
    } else if (order > 0 && (!next || CompareNames(c.name, next->name) < 0)) {
      next = &c;
    }
  }
  if (prev) return sections_.End(prev->last, bytes_.size());
  if (next) return sections_.begin(next->first);
  if (!parent.own.empty()) return sections_.End(parent.own.back(), bytes_.size());
  return bytes_.size();
}

// Before the key's subkeys' sections; the root's goes before every other.
size_t Hive::PlaceForSectionOf(const KeyPath& path, const KeyView& view) const {
  if (path.empty()) {
    return sections_.count() ? sections_.begin(0) : bytes_.size();
  }
  return view.first != kNone ? sections_.begin(view.first) : bytes_.size();
}

// Whether the file ends inside a hex list that goes on past its end. Wine
// reads such a value as REG_NONE; text appended after it would instead be
// read as its continuation, or end it well-formed if it starts blank.
bool Hive::EndsInDanglingValue() const {
  const size_t count = sections_.count();
  if (count == 0 || !sections_.accepted(static_cast<uint32_t>(count - 1))) {
    return false;
  }
  SectionScan scan;
  ScanSection(static_cast<uint32_t>(count - 1), &scan);
  return !scan.values.empty() && scan.values.back().dangling;
}

std::string Hive::SectionInsertText(size_t place, std::string section) const {
  // A line that is not hex keeps such a value as broken as it was.
  if (place == bytes_.size() && EndsInDanglingValue()) {
    return ";" + eol_ + section;
  }
  return section;
}

// A new section goes after the last line before `pos` that is not blank:
// it brings its own blank line, and the blank lines that stood before the
// next section stay before it.
size_t Hive::BackOverBlankLines(size_t pos) const {
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

std::string Hive::NewSectionText(const KeyPath& path, uint64_t now) const {
  return eol_ + "[" + EscapeKeyPath(path) + "] " + FormatSeconds(now) + eol_ +
         FormatTimeOption(now) + eol_;
}

// Puts sorted splices into the buffer moving the bytes after each once:
// when every piece of unchanged text moves the same way, it is moved
// straight to its new place, last piece first when the text grows and
// first piece first when it shrinks. Otherwise each splice is a replace of
// its own, last first so that the old offsets of the earlier ones hold.
void Hive::WriteSplices(const std::vector<Splice>& splices) {
  bool grows = true;
  bool shrinks = true;
  for (const Splice& sp : splices) {
    // The shift of the text after this splice, from all up to it.
    const size_t old_after = sp.end;
    const size_t new_after = sp.new_begin + sp.text.size();
    grows &= new_after >= old_after;
    shrinks &= new_after <= old_after;
  }
  const size_t old_size = bytes_.size();
  if (splices.empty()) return;
  const Splice& last = splices.back();
  const size_t new_size = last.new_begin + last.text.size() + (old_size - last.end);
  if (grows) {
    bytes_.resize(new_size);
    char* base = &bytes_[0];
    size_t old_tail_end = old_size;
    for (size_t i = splices.size(); i > 0; --i) {
      const Splice& sp = splices[i - 1];
      const size_t tail = old_tail_end - sp.end;
      std::memmove(base + sp.new_begin + sp.text.size(), base + sp.end, tail);
      std::memcpy(base + sp.new_begin, sp.text.data(), sp.text.size());
      old_tail_end = sp.begin;
    }
  } else if (shrinks) {
    char* base = &bytes_[0];
    for (size_t i = 0; i < splices.size(); ++i) {
      const Splice& sp = splices[i];
      const size_t tail_end = i + 1 < splices.size() ? splices[i + 1].begin : old_size;
      std::memcpy(base + sp.new_begin, sp.text.data(), sp.text.size());
      std::memmove(base + sp.new_begin + sp.text.size(), base + sp.end,
                   tail_end - sp.end);
    }
    bytes_.resize(new_size);
  } else {
    for (size_t i = splices.size(); i > 0; --i) {
      const Splice& sp = splices[i - 1];
      bytes_.replace(sp.begin, sp.end - sp.begin, sp.text);
    }
  }
}

void Hive::Apply(std::vector<Splice>* splices) {
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
  WriteSplices(*splices);
  sections_.Move(moves);
  modified_ = true;
}

// Writes a new section (`text`, starting with its blank line, its header's
// path `path`) at `place` along with `splices`.
void Hive::InsertSection(size_t place, std::string text, const KeyPath& path,
                         std::vector<Splice>* splices) {
  splices->push_back({place, place, SectionInsertText(place, std::move(text))});
  splices->back().new_section = true;
  Apply(splices);
  for (const Splice& sp : *splices) {
    if (sp.new_section) sections_.Insert(sp.new_begin + sp.text.find('['), path);
  }
}

bool Hive::CreateKey(const KeyPath& path, uint64_t now) {
  if (!loaded_) return false;
  for (const Name& element : path) {
    if (!IsValidKeyElement(element)) return false;
  }
  // A key exists with every key above it, so the deepest existing one is
  // found from the bottom up.
  size_t depth = path.size();
  while (depth > 0 && !KeyExists(KeyPath(path.begin(), path.begin() + depth))) {
    --depth;
  }
  if (depth == path.size()) return true;

  const KeyPath parent(path.begin(), path.begin() + depth);
  KeyView view;
  View(parent, &view);
  KeyPath full = FirstSpelling(parent);
  full.insert(full.end(), path.begin() + depth, path.end());
  std::vector<Splice> splices;
  // The parent of the first new key gets the new time too.
  if (!view.own.empty()) {
    SectionScan scan;
    ScanSection(view.own.back(), &scan);
    AddTimeSplices(view.own.back(), scan, now, &splices);
  }
  size_t place = BackOverBlankLines(PlaceForNewChild(view, path[depth]));
  InsertSection(place, NewSectionText(full, now), full, &splices);
  return true;
}

bool Hive::SetValue(const KeyPath& path, const Name& name, uint32_t type,
                    const std::string& data, uint64_t now) {
  KeyView view;
  if (!loaded_ || !IsValidValueName(name) || !View(path, &view)) return false;
  KeyValues merged;
  SectionScan last;
  CollectValues(view.own, &merged, &last);
  auto found = merged.by_folded_name.find(FoldName(name));
  const MergedValue* existing =
      found == merged.by_folded_name.end() ? nullptr : &merged.values[found->second];
  std::string line = FormatValue(existing ? existing->name : name, type, data, eol_);

  std::vector<Splice> splices;
  if (view.own.empty()) {
    size_t place = BackOverBlankLines(PlaceForSectionOf(path, view));
    const KeyPath spelled = FirstSpelling(path);
    InsertSection(place, NewSectionText(spelled, now) + line, spelled,
                  &splices);
    return true;
  }
  AddTimeSplices(view.own.back(), last, now, &splices);
  if (existing) {
    splices.push_back({existing->begin, existing->end, line});
  } else {
    const size_t after_options = last.last_option_end != kNoPos
                                     ? last.last_option_end
                                     : last.header_end;
    size_t at = ValueInsertPoint(last.values, after_options, name);
    splices.push_back({at, at, line});
  }
  Apply(&splices);
  return true;
}

}  // namespace wine
}  // namespace regservice
