// The registry tree: an in-memory mirror of the part of the registry that a
// write is about to touch.
//
// Key nodes hold ordered lists of subkey and value nodes. Callers never own
// nodes; they hold counted references (CKeyRef, CValueRef). A node is made
// with a count of 0 and lives while a reference is attached to it or, for a
// key, while it still has a subkey or a value. When the last of these goes,
// the node is destroyed: a key first closes its registry handle, then leaves
// its parent's list, and the parent, if now unreferenced and empty, goes the
// same way. So a branch folds up leaf first and the root's handle closes
// last.
//
// Keys are opened lazily: a node gets a handle only when a value is written
// beneath it, opening (or making) every key on the way from the root down.
//
// Names are multibyte text in the ANSI code page, at most kMaxName bytes.
// Longer names are cut to kMaxName bytes (never splitting a double-byte
// character) so they always fit their buffer with the terminator.
//
// Single-threaded: counts are plain integers; one tree belongs to one
// thread.
#ifndef QUILLFIX_REGTREE_REGISTRY_TREE_H_
#define QUILLFIX_REGTREE_REGISTRY_TREE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "regservice/regservice.h"

class CValueNode;

// One registry key. Destroyed only by the release rules above (never while
// it has subkeys or values); deleting it closes its handle and may destroy
// its parent.
class CKeyNode {
 public:
  static constexpr size_t kNameSize = 260;
  static constexpr size_t kMaxName = kNameSize - 1;

  // A node named `name` (cut to kMaxName bytes), count 0, no handle,
  // appended to the end of `parent`'s subkeys unless `parent` is null.
  CKeyNode(CKeyNode* parent, const char* name);
  ~CKeyNode();
  CKeyNode(const CKeyNode&) = delete;
  CKeyNode& operator=(const CKeyNode&) = delete;

  // The key's handle, opening the key with full access or, failing that,
  // making it, after opening its parent the same way. Null when that fails;
  // a later call tries again. The handle stays cached until the node goes.
  HKEY Open();
  // As Open, and if that fails, asks the parent through OpenForWrite and
  // tries once more to make the key there.
  HKEY OpenForWrite();

  // Key nodes alive in the process; for tests.
  static int LiveCount();

  int32_t refCount;
  char name[kNameSize];
  CKeyNode* parent;
  std::vector<CKeyNode*> subkeys;   // in the order they were made
  std::vector<CValueNode*> values;  // in the order they were made
  HKEY hkey;
};

// One named value of a key. Destroyed at its last release, whatever its key
// holds; deleting it may destroy its key.
class CValueNode {
 public:
  // A node named `name` (cut to kMaxName bytes), count 0, appended to the
  // end of `parent`'s values unless `parent` is null.
  CValueNode(CKeyNode* parent, const char* name);
  ~CValueNode();
  CValueNode(const CValueNode&) = delete;
  CValueNode& operator=(const CValueNode&) = delete;

  // Writes `size` bytes at `data` as REG_BINARY under this name, opening or
  // making the key first. True on success.
  bool SetBinary(const BYTE* data, DWORD size);
  // Writes the 4 bytes at `data` as REG_DWORD. True on success.
  bool SetDword(const BYTE* data);

  // Value nodes alive in the process; for tests.
  static int LiveCount();

  int32_t refCount;
  CKeyNode* parent;
  char name[CKeyNode::kNameSize];
};

class CValueRef;

// A counted reference to a key node, or none. Bound to its scope: never
// copied or assigned; operations return it by value, made in place.
class CKeyRef {
 public:
  CKeyRef() : node_(nullptr) {}
  // Attaches to `node` (which may be null for an empty reference).
  explicit CKeyRef(CKeyNode* node) : node_(nullptr) { Attach(node); }
  ~CKeyRef() { Release(); }
  CKeyRef(const CKeyRef&) = delete;
  CKeyRef& operator=(const CKeyRef&) = delete;

  // Holds `node` and counts it up. REQUIRES: this reference is empty.
  void Attach(CKeyNode* node);
  // Counts the node down and destroys it if it is now unreferenced and has
  // neither subkeys nor values. Leaves the reference empty; does nothing on
  // an empty one.
  void Release();

  // The key that the backslash-separated `path` names below this one,
  // making missing nodes (without touching the registry). Empty path
  // components name keys with empty names. REQUIRES: not empty.
  CKeyRef Subkey(const char* path) const;
  // The value node named `name` of this key, made if missing.
  // REQUIRES: not empty.
  CValueRef Value(const char* name) const;

  CKeyNode* GetNode() const { return node_; }
  bool IsEmpty() const { return node_ == nullptr; }

 private:
  CKeyNode* node_;
};

// A counted reference to a value node, or none. Same rules as CKeyRef.
class CValueRef {
 public:
  CValueRef() : node_(nullptr) {}
  explicit CValueRef(CValueNode* node) : node_(nullptr) { Attach(node); }
  ~CValueRef() { Release(); }
  CValueRef(const CValueRef&) = delete;
  CValueRef& operator=(const CValueRef&) = delete;

  void Attach(CValueNode* node);
  // Counts the node down and destroys it when no reference is left.
  void Release();

  // The writes of CValueNode, on the node held. REQUIRES: not empty.
  bool SetBinary(const BYTE* data, DWORD size) const;
  bool SetDword(const BYTE* data) const;

  CValueNode* GetNode() const { return node_; }
  bool IsEmpty() const { return node_ == nullptr; }

 private:
  CValueNode* node_;
};

// Makes a root node over the open key `hkey`, named after the key's class.
// The root takes the handle over and closes it when destroyed. Sets `ok` to
// false and returns an empty reference, without closing the handle, when
// the registry rejects the handle.
CKeyRef WrapRoot(HKEY hkey, bool& ok);

#endif  // QUILLFIX_REGTREE_REGISTRY_TREE_H_
