// Opening keys on demand, from the root down, and writing values.
#include "regtree/registry_tree.h"

HKEY CKeyNode::Open() {
  if (hkey != nullptr || parent == nullptr) return hkey;
  HKEY parent_key = parent->Open();
  if (parent_key != nullptr) {
    if (RegOpenKeyExA(parent_key, name, 0, KEY_ALL_ACCESS, &hkey) !=
            ERROR_SUCCESS &&
        RegCreateKeyA(parent_key, name, &hkey) != ERROR_SUCCESS) {
      hkey = nullptr;
    }
  }
  return hkey;
}

HKEY CKeyNode::OpenForWrite() {
  if (Open() != nullptr || parent == nullptr) return hkey;
  // A second try along the parent chain: each level that failed above is
  // asked again, and this key is only made, not opened.
  HKEY parent_key = parent->OpenForWrite();
  if (parent_key != nullptr &&
      RegCreateKeyA(parent_key, name, &hkey) != ERROR_SUCCESS) {
    hkey = nullptr;
  }
  return hkey;
}

bool CValueNode::SetBinary(const BYTE* data, DWORD size) {
  HKEY key = parent->OpenForWrite();
  return RegSetValueExA(key, name, 0, REG_BINARY, data, size) ==
         ERROR_SUCCESS;
}

bool CValueNode::SetDword(const BYTE* data) {
  HKEY key = parent->OpenForWrite();
  return RegSetValueExA(key, name, 0, REG_DWORD, data, 4) == ERROR_SUCCESS;
}

bool CValueRef::SetBinary(const BYTE* data, DWORD size) const {
  return node_->SetBinary(data, size);
}

bool CValueRef::SetDword(const BYTE* data) const {
  return node_->SetDword(data);
}
