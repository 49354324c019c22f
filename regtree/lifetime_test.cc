// Counting, release and the leaf-first teardown of the registry tree.
#include <type_traits>

#include "regtree/tree_test_support.h"

namespace regtree_test {
namespace {

using regservice::RegOp;

static_assert(sizeof(CKeyRef) == sizeof(void*), "one pointer");
static_assert(sizeof(CValueRef) == sizeof(void*), "one pointer");
static_assert(!std::is_copy_constructible<CKeyRef>::value &&
                  !std::is_copy_assignable<CKeyRef>::value &&
                  !std::is_move_constructible<CKeyRef>::value,
              "key references are never copied");
static_assert(!std::is_copy_constructible<CValueRef>::value &&
                  !std::is_copy_assignable<CValueRef>::value &&
                  !std::is_move_constructible<CValueRef>::value,
              "value references are never copied");

const BYTE kOne[] = {0x01};

class LifetimeTest : public TreeTest {
 protected:
  // The names of the keys closed so far, in order.
  std::vector<std::string> Closes() const {
    std::vector<std::string> closes;
    for (const auto& call : registry_.calls()) {
      if (call.op == RegOp::kCloseKey) closes.push_back(call.name);
    }
    return closes;
  }
};

TEST_F(LifetimeTest, WrappedRootHasCountOneAndTheHandle) {
  registry_.SetClass("", "RootClass");
  bool ok = false;
  {
    CKeyRef root = WrapRoot(HKEY_CURRENT_USER, ok);
    ASSERT_TRUE(ok);
    CKeyNode* node = root.GetNode();
    ASSERT_NE(nullptr, node);
    EXPECT_EQ(1, node->refCount);
    EXPECT_EQ(nullptr, node->parent);
    EXPECT_TRUE(node->subkeys.empty());
    EXPECT_TRUE(node->values.empty());
    EXPECT_EQ(HKEY_CURRENT_USER, node->hkey);
    EXPECT_STREQ("RootClass", node->name);
    EXPECT_TRUE(Closes().empty());
  }
  EXPECT_EQ((std::vector<std::string>{"QueryInfoKey HKEY_CURRENT_USER",
                                      "CloseKey HKEY_CURRENT_USER"}),
            Calls());
}

TEST_F(LifetimeTest, RejectedHandleGivesEmptyReferenceAndNoClose) {
  registry_.FailOn(RegOp::kQueryInfoKey, "HKEY_CURRENT_USER",
                   ERROR_INVALID_HANDLE);
  bool ok = true;
  {
    CKeyRef root = WrapRoot(HKEY_CURRENT_USER, ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(root.IsEmpty());
    EXPECT_EQ(0, CKeyNode::LiveCount());
  }
  EXPECT_EQ(std::vector<std::string>{"QueryInfoKey HKEY_CURRENT_USER"},
            Calls());
}

TEST_F(LifetimeTest, WrapRootAsksOnlyForTheClassIn260Bytes) {
  bool ok = false;
  CKeyRef root = WrapRoot(HKEY_CURRENT_USER, ok);
  ASSERT_EQ(1u, registry_.calls().size());
  const regservice::RegCall& call = registry_.calls()[0];
  EXPECT_EQ(HKEY_CURRENT_USER, call.key);
  EXPECT_TRUE(call.query.class_name);
  ASSERT_TRUE(call.query.class_length);
  EXPECT_EQ(260u, call.query.class_length_in);
  for (int i = 0; i < 9; ++i) {
    EXPECT_FALSE(call.query.others[i]) << "pointer " << i + 3 << " given";
  }
}

TEST_F(LifetimeTest, LastReleaseClosesLeafFirstAndRootLast) {
  registry_.AddKey("A\\B\\C");
  bool ok = false;
  {
    CKeyRef root = WrapRoot(HKEY_CURRENT_USER, ok);
    {
      CValueRef value = root.Subkey("A\\B\\C").Value("V");
      ASSERT_TRUE(value.SetBinary(kOne, 1));
      EXPECT_EQ(3, registry_.OpenHandleCount());
    }
    EXPECT_EQ((std::vector<std::string>{"A\\B\\C", "A\\B", "A"}), Closes());
    EXPECT_EQ(1, CKeyNode::LiveCount());
  }
  EXPECT_EQ((std::vector<std::string>{"A\\B\\C", "A\\B", "A",
                                      "HKEY_CURRENT_USER"}),
            Closes());
}

TEST_F(LifetimeTest, TeardownStopsAtAncestorWithAnotherChild) {
  registry_.AddKey("A\\B");
  registry_.AddKey("A\\C");
  bool ok = false;
  CKeyRef root = WrapRoot(HKEY_CURRENT_USER, ok);
  CValueRef keep = root.Subkey("A\\C").Value("keep");
  ASSERT_TRUE(keep.SetBinary(kOne, 1));
  {
    CValueRef drop = root.Subkey("A\\B").Value("drop");
    ASSERT_TRUE(drop.SetBinary(kOne, 1));
  }
  EXPECT_EQ(std::vector<std::string>{"A\\B"}, Closes());
  EXPECT_EQ((std::vector<std::string>{"A"}), SubkeyNames(root.GetNode()));
  EXPECT_EQ((std::vector<std::string>{"C"}),
            SubkeyNames(root.GetNode()->subkeys[0]));
  VerifyTree(root.GetNode());
}

TEST_F(LifetimeTest, KeyLivesThroughItsValue) {
  bool ok = false;
  CKeyRef root = WrapRoot(HKEY_CURRENT_USER, ok);
  CValueRef value;
  {
    CKeyRef key = root.Subkey("K");
    value.Attach(key.Value("V").GetNode());
  }
  CKeyNode* key = value.GetNode()->parent;
  ASSERT_NE(nullptr, key);
  EXPECT_EQ(0, key->refCount);
  EXPECT_EQ(2, CKeyNode::LiveCount());
  VerifyTree(root.GetNode());
  value.Release();
  EXPECT_TRUE(value.IsEmpty());
  EXPECT_EQ(1, CKeyNode::LiveCount());
  EXPECT_TRUE(root.GetNode()->subkeys.empty());
}

TEST_F(LifetimeTest, KeyWithSubkeyOnlyLosesCountUntilChildGoes) {
  bool ok = false;
  CKeyRef root = WrapRoot(HKEY_CURRENT_USER, ok);
  CKeyRef child = root.Subkey("A\\B");
  {
    CKeyRef parent = root.Subkey("A");
    EXPECT_EQ(1, parent.GetNode()->refCount);
  }
  EXPECT_EQ(3, CKeyNode::LiveCount());
  EXPECT_EQ(0, child.GetNode()->parent->refCount);
  child.Release();
  EXPECT_EQ(1, CKeyNode::LiveCount());
}

TEST_F(LifetimeTest, ValueGoesAtLastReleaseWhileKeyStays) {
  bool ok = false;
  CKeyRef root = WrapRoot(HKEY_CURRENT_USER, ok);
  CKeyRef key = root.Subkey("K");
  { CValueRef value = key.Value("V"); }
  EXPECT_EQ(0, CValueNode::LiveCount());
  EXPECT_TRUE(key.GetNode()->values.empty());
  EXPECT_EQ(2, CKeyNode::LiveCount());
}

TEST_F(LifetimeTest, TwoReferencesHoldOneNodeUntilBothGo) {
  bool ok = false;
  CKeyRef root = WrapRoot(HKEY_CURRENT_USER, ok);
  CKeyRef first = root.Subkey("K");
  CKeyRef second(first.GetNode());
  EXPECT_EQ(2, first.GetNode()->refCount);
  first.Release();
  EXPECT_EQ(1, second.GetNode()->refCount);
  EXPECT_EQ(2, CKeyNode::LiveCount());
  second.Release();
  EXPECT_EQ(1, CKeyNode::LiveCount());

  CValueRef value = root.Subkey("K").Value("V");
  CValueRef again(value.GetNode());
  value.Release();
  EXPECT_EQ(1, CValueNode::LiveCount());
  again.Release();
  EXPECT_EQ(0, CValueNode::LiveCount());
}

// Removing a middle entry closes the gap: the later entries keep their order
// (four entries, so that a swap with the last would show).
TEST_F(LifetimeTest, RemovingAMiddleEntryKeepsTheOthersInOrder) {
  bool ok = false;
  CKeyRef root = WrapRoot(HKEY_CURRENT_USER, ok);
  CKeyRef a = root.Subkey("A");
  CKeyRef b = root.Subkey("B");
  CKeyRef c = root.Subkey("C");
  CKeyRef d = root.Subkey("D");
  CValueRef x = a.Value("x");
  CValueRef y = a.Value("y");
  CValueRef z = a.Value("z");
  CValueRef w = a.Value("w");
  b.Release();
  y.Release();
  EXPECT_EQ((std::vector<std::string>{"A", "C", "D"}),
            SubkeyNames(root.GetNode()));
  ASSERT_EQ(3u, a.GetNode()->values.size());
  EXPECT_STREQ("x", a.GetNode()->values[0]->name);
  EXPECT_STREQ("z", a.GetNode()->values[1]->name);
  EXPECT_STREQ("w", a.GetNode()->values[2]->name);
  VerifyTree(root.GetNode());
}

TEST_F(LifetimeTest, ReleasingEmptyReferencesDoesNothing) {
  CKeyRef key;
  CValueRef value;
  key.Release();
  value.Release();
  key.Release();
  EXPECT_TRUE(key.IsEmpty());
  EXPECT_TRUE(value.IsEmpty());
  EXPECT_TRUE(Calls().empty());
}

TEST_F(LifetimeTest, EachHandleClosedExactlyOnce) {
  registry_.AddKey("A\\B");
  bool ok = false;
  {
    CKeyRef root = WrapRoot(HKEY_CURRENT_USER, ok);
    CValueRef first = root.Subkey("A\\B").Value("one");
    CValueRef second = root.Subkey("A\\B").Value("two");
    ASSERT_TRUE(first.SetBinary(kOne, 1));
    ASSERT_TRUE(second.SetBinary(kOne, 1));
  }
  EXPECT_EQ((std::vector<std::string>{"A\\B", "A", "HKEY_CURRENT_USER"}),
            Closes());
}

}  // namespace
}  // namespace regtree_test
