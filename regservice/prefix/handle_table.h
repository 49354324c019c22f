// The open key handles of a process, each naming a key by its path.
//
// Handles are small multiples of four, as Windows' are; they are never
// reused, so a closed handle stays invalid, and never fall among the
// predefined roots (0x80000000 and up).
#ifndef QUILLFIX_REGSERVICE_PREFIX_HANDLE_TABLE_H_
#define QUILLFIX_REGSERVICE_PREFIX_HANDLE_TABLE_H_

#include <stdint.h>

#include <unordered_map>

#include "regservice/regservice.h"
#include "regservice/wine/hive.h"

namespace regservice {
namespace prefix {

class HandleTable {
 public:
  HKEY Add(wine::KeyPath path);
  // The key of an open handle, or null. The pointer is valid until the
  // handle is removed.
  const wine::KeyPath* Find(HKEY handle) const;
  // False if the handle is not open.
  bool Remove(HKEY handle);
  size_t size() const { return open_.size(); }

 private:
  std::unordered_map<uintptr_t, wine::KeyPath> open_;
  uintptr_t next_ = 0x100;
};

}  // namespace prefix
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_PREFIX_HANDLE_TABLE_H_
