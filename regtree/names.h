// Bounded copies of multibyte names into the tree's fixed name buffers.
#ifndef QUILLFIX_REGTREE_NAMES_H_
#define QUILLFIX_REGTREE_NAMES_H_

#include <cstddef>

#include "regtree/registry_tree.h"

namespace regtree {

// Copies at most `length` bytes of `src` (stopping at its terminator) into
// `dst`, cut to CKeyNode::kMaxName bytes without splitting a double-byte
// character, and zero-fills the rest of `dst`. Always terminated.
void CopyName(char (&dst)[CKeyNode::kNameSize], const char* src,
              size_t length = CKeyNode::kMaxName);

// Whether `a` and `b` are the same name (multibyte-aware, case-sensitive).
bool SameName(const char* a, const char* b);

}  // namespace regtree

#endif  // QUILLFIX_REGTREE_NAMES_H_
