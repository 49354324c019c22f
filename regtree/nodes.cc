// Node lifetime: making, counting and the cascading teardown.
#include <algorithm>
#include <cassert>

#include "regtree/names.h"
#include "regtree/registry_tree.h"

namespace {

int g_live_keys = 0;
int g_live_values = 0;

// Removes the first entry equal to `node`; later entries keep their order.
template <typename T>
void RemoveFirst(std::vector<T*>& list, T* node) {
  auto it = std::find(list.begin(), list.end(), node);
  if (it != list.end()) list.erase(it);
}

bool IsUnreferencedAndEmpty(const CKeyNode* key) {
  return key->refCount < 1 && key->values.empty() && key->subkeys.empty();
}

// A key whose last child has just gone is destroyed too when nothing else
// holds it; its own destructor carries this on toward the root.
void DestroyIfUnused(CKeyNode* key) {
  if (IsUnreferencedAndEmpty(key)) delete key;
}

}  // namespace

CKeyNode::CKeyNode(CKeyNode* parent_key, const char* key_name)
    : refCount(0), parent(parent_key), hkey(nullptr) {
  regtree::CopyName(name, key_name);
  // Last, so a failure to grow the list leaves the parent as it was and the
  // half-made node is simply freed.
  if (parent != nullptr) parent->subkeys.push_back(this);
  ++g_live_keys;
}

CKeyNode::~CKeyNode() {
  if (hkey != nullptr) RegCloseKey(hkey);  // the result tells us nothing
  if (CKeyNode* owner = parent) {
    parent = nullptr;
    RemoveFirst(owner->subkeys, this);
    DestroyIfUnused(owner);
  }
  --g_live_keys;
}

int CKeyNode::LiveCount() { return g_live_keys; }

CValueNode::CValueNode(CKeyNode* parent_key, const char* value_name)
    : refCount(0), parent(parent_key) {
  regtree::CopyName(name, value_name);
  if (parent != nullptr) parent->values.push_back(this);
  ++g_live_values;
}

CValueNode::~CValueNode() {
  if (CKeyNode* owner = parent) {
    parent = nullptr;
    RemoveFirst(owner->values, this);
    DestroyIfUnused(owner);
  }
  --g_live_values;
}

int CValueNode::LiveCount() { return g_live_values; }

void CKeyRef::Attach(CKeyNode* node) {
  assert(node_ == nullptr);
  node_ = node;
  if (node_ != nullptr) ++node_->refCount;
}

void CKeyRef::Release() {
  CKeyNode* node = node_;
  node_ = nullptr;
  if (node == nullptr) return;
  assert(node->refCount > 0);
  --node->refCount;
  DestroyIfUnused(node);
}

void CValueRef::Attach(CValueNode* node) {
  assert(node_ == nullptr);
  node_ = node;
  if (node_ != nullptr) ++node_->refCount;
}

void CValueRef::Release() {
  CValueNode* node = node_;
  node_ = nullptr;
  if (node == nullptr) return;
  assert(node->refCount > 0);
  if (--node->refCount < 1) delete node;
}

CKeyRef WrapRoot(HKEY hkey, bool& ok) {
  char class_name[CKeyNode::kNameSize] = {0};
  DWORD class_length = CKeyNode::kNameSize;
  if (RegQueryInfoKeyA(hkey, class_name, &class_length, nullptr, nullptr,
                       nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr) != ERROR_SUCCESS) {
    ok = false;
    return CKeyRef();
  }
  class_name[CKeyNode::kMaxName] = 0;  // whatever the service wrote
  CKeyNode* root = new CKeyNode(nullptr, class_name);
  root->hkey = hkey;
  ok = true;
  return CKeyRef(root);
}
