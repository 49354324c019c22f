#include "regservice/prefix/handle_table.h"

namespace regservice {
namespace prefix {

HKEY HandleTable::Add(wine::KeyPath path) {
  // Step over the predefined roots, 0x80000000 to 0x800000ff.
  if (next_ >= 0x80000000u && next_ < 0x80000100u) next_ = 0x80000100u;
  uintptr_t value = next_;
  next_ += 4;
  open_.emplace(value, std::move(path));
  return reinterpret_cast<HKEY>(value);
}

const wine::KeyPath* HandleTable::Find(HKEY handle) const {
  auto it = open_.find(reinterpret_cast<uintptr_t>(handle));
  return it == open_.end() ? nullptr : &it->second;
}

bool HandleTable::Remove(HKEY handle) {
  return open_.erase(reinterpret_cast<uintptr_t>(handle)) > 0;
}

}  // namespace prefix
}  // namespace regservice
