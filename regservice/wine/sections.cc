#include "regservice/wine/sections.h"

#include <algorithm>

namespace regservice {
namespace wine {

void Sections::Clear() { sections_.clear(); }

namespace {

// FNV-1a over the lowercased units of an element, after `hash`.
uint32_t HashElement(uint32_t hash, const Name& element) {
  for (char16_t unit : element) hash = (hash ^ FoldUnit(unit)) * 16777619u;
  return (hash ^ u'\\') * 16777619u;
}

uint16_t Fold16(uint32_t hash) {
  return static_cast<uint16_t>(hash ^ (hash >> 16));
}

}  // namespace

// The hash of the first `depth` elements; a path with fewer elements gets
// 0, which only costs a header read if a longer path hashes to 0 too.
uint16_t Sections::PrefixHash(const KeyPath& elements, size_t depth) {
  if (elements.size() < depth) return 0;
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < depth; ++i) hash = HashElement(hash, elements[i]);
  return Fold16(hash);
}

void Sections::Push(size_t at, size_t begin, bool accepted,
                    const KeyPath& elements, size_t depth) {
  Section section;
  section.set_begin(begin);
  section.first_hash = 0;
  section.second_hash = 0;
  section.depth = static_cast<uint8_t>(std::min(depth, kMaxDepth));
  section.accepted = accepted;
  if (!elements.empty()) {
    const uint32_t hash = HashElement(2166136261u, elements[0]);
    section.first_hash = Fold16(hash);
    if (elements.size() >= 2) {
      section.second_hash = Fold16(HashElement(hash, elements[1]));
    }
  }
  sections_.insert(sections_.begin() + at, section);
}

void Sections::Add(size_t begin, const SectionHeader* header) {
  if (!header && !sections_.empty() && !sections_.back().accepted) return;
  static const KeyPath kNoPath;
  Push(sections_.size(), begin, header != nullptr,
       header ? header->elements : kNoPath, header ? header->depth : 0);
}

size_t Sections::End(uint32_t section, size_t text_size) const {
  return section + 1 < sections_.size() ? sections_[section + 1].begin()
                                        : text_size;
}

void Sections::Visit(
    const std::string& text, const KeyPath& path,
    const std::function<bool(uint32_t, const SectionHeader&)>& visit,
    bool exact_depth) const {
  const size_t depth = path.size();
  // Depths from kMaxDepth up are stored as kMaxDepth.
  const size_t capped = std::min(depth, kMaxDepth);
  const uint16_t wanted = PrefixHash(path, depth >= 2 ? 2 : depth);
  SectionHeader header;
  for (size_t i = 0; i < sections_.size(); ++i) {
    const Section& s = sections_[i];
    if (!s.accepted || s.depth < capped ||
        (exact_depth && capped < kMaxDepth && s.depth != capped) ||
        (depth == 1 && s.first_hash != wanted) ||
        (depth >= 2 && s.second_hash != wanted)) {
      continue;
    }
    if (!ReadHeaderLine(text, s.begin(), &header) ||
        header.elements.size() < depth) {
      continue;
    }
    bool match = true;
    for (size_t e = 0; e < depth && match; ++e) {
      match = NamesEqual(header.elements[e], path[e]);
    }
    if (match && !visit(static_cast<uint32_t>(i), header)) return;
  }
}

void Sections::Move(const std::vector<TextMove>& moves) {
  // An offset moves with the last change that ends at or before it.
  size_t j = 0;
  const TextMove* before = nullptr;
  for (Section& section : sections_) {
    const size_t begin = section.begin();
    while (j < moves.size() && moves[j].old_end <= begin) before = &moves[j++];
    if (before) section.set_begin(before->new_end + (begin - before->old_end));
  }
}

void Sections::Insert(size_t begin, const KeyPath& elements) {
  const size_t at =
      std::lower_bound(sections_.begin(), sections_.end(), begin,
                       [](const Section& s, size_t b) { return s.begin() < b; }) -
      sections_.begin();
  Push(at, begin, true, elements, elements.size());
}

}  // namespace wine
}  // namespace regservice
