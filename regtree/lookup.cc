// Finding, or making, nodes by backslash path and by value name. Works on
// the in-memory tree alone; new keys start without a handle.
#include "regtree/names.h"
#include "regtree/registry_tree.h"
#include "winshim/mbstring.h"

namespace {

CKeyNode* FindOrMakeSubkey(CKeyNode* key, const char* name) {
  for (CKeyNode* child : key->subkeys) {
    if (regtree::SameName(child->name, name)) return child;
  }
  return new CKeyNode(key, name);
}

}  // namespace

CKeyRef CKeyRef::Subkey(const char* path) const {
  // Each component goes through a name buffer first, so one too long for a
  // node is compared and stored in the same cut form.
  char component[CKeyNode::kNameSize];
  const unsigned char* separator =
      _mbschr(reinterpret_cast<const unsigned char*>(path), '\\');
  if (separator == nullptr) {
    regtree::CopyName(component, path);
    return CKeyRef(FindOrMakeSubkey(node_, component));
  }
  const char* rest = reinterpret_cast<const char*>(separator) + 1;
  regtree::CopyName(component, path, rest - 1 - path);
  // The temporary reference keeps the (possibly new) node alive until the
  // deeper lookup has hung its own nodes below it.
  return CKeyRef(FindOrMakeSubkey(node_, component)).Subkey(rest);
}

CValueRef CKeyRef::Value(const char* name) const {
  char value_name[CKeyNode::kNameSize];
  regtree::CopyName(value_name, name);
  for (CValueNode* value : node_->values) {
    if (regtree::SameName(value->name, value_name)) return CValueRef(value);
  }
  return CValueRef(new CValueNode(node_, value_name));
}
