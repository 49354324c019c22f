// Shared by the registry tree's tests: a fixture over a recording registry
// that checks, after every test, that no node and no handle is left.
#ifndef QUILLFIX_REGTREE_TREE_TEST_SUPPORT_H_
#define QUILLFIX_REGTREE_TREE_TEST_SUPPORT_H_

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "regservice/registry.h"
#include "regservice/testing/recording_registry.h"
#include "regtree/registry_tree.h"

namespace regtree_test {

// Checks the tree's invariants below `key`: each child points back at its
// parent and stands once in its list, and every node is alive for a reason.
inline void VerifyTree(const CKeyNode* key) {
  for (const CKeyNode* child : key->subkeys) {
    ASSERT_EQ(key, child->parent) << child->name;
    int seen = 0;
    for (const CKeyNode* other : key->subkeys) seen += other == child;
    ASSERT_EQ(1, seen) << child->name;
    ASSERT_TRUE(child->refCount > 0 || !child->subkeys.empty() ||
                !child->values.empty())
        << "node kept for no reason: " << child->name;
    VerifyTree(child);
  }
  for (const CValueNode* value : key->values) {
    ASSERT_EQ(key, value->parent) << value->name;
    ASSERT_GT(value->refCount, 0) << value->name;
  }
}

// Names of a key's subkeys, in list order.
inline std::vector<std::string> SubkeyNames(const CKeyNode* key) {
  std::vector<std::string> names;
  for (const CKeyNode* child : key->subkeys) names.push_back(child->name);
  return names;
}

class TreeTest : public ::testing::Test {
 protected:
  TreeTest() : scoped_(&registry_) {}

  void TearDown() override {
    EXPECT_EQ(0, CKeyNode::LiveCount()) << "key nodes left alive";
    EXPECT_EQ(0, CValueNode::LiveCount()) << "value nodes left alive";
    EXPECT_EQ(0, registry_.OpenHandleCount()) << "handles left open";
    EXPECT_EQ(0, registry_.BadCloseCount()) << "bad or repeated closes";
  }

  // The calls of one kind, as "Op name".
  std::vector<std::string> Calls() const { return registry_.CallSummary(); }

  regservice::RecordingRegistry registry_;
  regservice::ScopedRegistry scoped_;
};

}  // namespace regtree_test

#endif  // QUILLFIX_REGTREE_TREE_TEST_SUPPORT_H_
