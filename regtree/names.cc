#include "regtree/names.h"

#include "winshim/mbstring.h"

namespace regtree {

void CopyName(char (&dst)[CKeyNode::kNameSize], const char* src,
              size_t length) {
  if (length > CKeyNode::kMaxName) length = CKeyNode::kMaxName;
  // Pads the whole buffer with NULs, so the byte after the copy is always
  // a terminator, even when `src` is longer than the buffer.
  _mbsnbcpy(reinterpret_cast<unsigned char*>(dst),
            reinterpret_cast<const unsigned char*>(src), length);
  for (size_t i = length; i < CKeyNode::kNameSize; ++i) dst[i] = 0;
}

bool SameName(const char* a, const char* b) {
  return _mbscmp(reinterpret_cast<const unsigned char*>(a),
                 reinterpret_cast<const unsigned char*>(b)) == 0;
}

}  // namespace regtree
