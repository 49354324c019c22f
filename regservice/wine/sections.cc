#include "regservice/wine/sections.h"

#include <algorithm>

namespace regservice {
namespace wine {

void Sections::Clear() {
  begins_.clear();
  accepted_.clear();
  first_hash_.clear();
  second_hash_.clear();
  depth_.clear();
}

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
  const uint8_t capped = static_cast<uint8_t>(std::min(depth, kMaxDepth));
  uint16_t first = 0;
  uint16_t second = 0;
  if (!elements.empty()) {
    const uint32_t hash = HashElement(2166136261u, elements[0]);
    first = Fold16(hash);
    if (elements.size() >= 2) second = Fold16(HashElement(hash, elements[1]));
  }
  if (at == begins_.size()) {
    begins_.push_back(begin);
    accepted_.push_back(accepted);
    first_hash_.push_back(first);
    second_hash_.push_back(second);
    depth_.push_back(capped);
    return;
  }
  begins_.insert(begins_.begin() + at, begin);
  accepted_.insert(accepted_.begin() + at, accepted);
  first_hash_.insert(first_hash_.begin() + at, first);
  second_hash_.insert(second_hash_.begin() + at, second);
  depth_.insert(depth_.begin() + at, capped);
}

void Sections::Add(size_t begin, const SectionHeader* header) {
  if (!header && !accepted_.empty() && !accepted_.back()) return;
  static const KeyPath kNoPath;
  Push(begins_.size(), begin, header != nullptr,
       header ? header->elements : kNoPath, header ? header->depth : 0);
}

size_t Sections::End(uint32_t section, size_t text_size) const {
  return section + 1 < begins_.size() ? begins_[section + 1] : text_size;
}

void Sections::Visit(
    const std::string& text, const KeyPath& path, size_t elements,
    const std::function<bool(uint32_t, const SectionHeader&)>& visit,
    bool exact_depth) const {
  const size_t depth = path.size();
  // Depths from kMaxDepth up are stored as kMaxDepth.
  const size_t capped = std::min(depth, kMaxDepth);
  const std::vector<uint16_t>* hashes =
      depth >= 2 ? &second_hash_ : depth == 1 ? &first_hash_ : nullptr;
  const uint16_t wanted = PrefixHash(path, depth >= 2 ? 2 : depth);
  SectionHeader header;
  for (size_t i = 0; i < begins_.size(); ++i) {
    if (!accepted_[i] || depth_[i] < capped ||
        (exact_depth && capped < kMaxDepth && depth_[i] != capped) ||
        (hashes && (*hashes)[i] != wanted)) {
      continue;
    }
    if (!ReadHeaderLine(text, begins_[i], &header,
                        std::max(elements, depth)) ||
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
  for (size_t& begin : begins_) {
    while (j < moves.size() && moves[j].old_end <= begin) before = &moves[j++];
    if (before) begin = before->new_end + (begin - before->old_end);
  }
}

void Sections::Insert(size_t begin, const KeyPath& elements) {
  const size_t at =
      std::lower_bound(begins_.begin(), begins_.end(), begin) - begins_.begin();
  Push(at, begin, true, elements, elements.size());
}

}  // namespace wine
}  // namespace regservice
