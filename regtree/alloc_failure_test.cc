// Running out of memory in the middle of a lookup: the half-made node is
// freed, the references being unwound release their nodes, and no node,
// allocation or handle is left behind.
#include <cstdlib>
#include <new>

#include "regtree/tree_test_support.h"

namespace {

// This binary's operator new counts the allocations alive and, when armed,
// throws std::bad_alloc at the n-th allocation from now.
long g_live_allocations = 0;
long g_allocations_until_failure = -1;  // -1: never fail

void* CountedAllocate(std::size_t size) {
  if (g_allocations_until_failure == 0) {
    g_allocations_until_failure = -1;
    throw std::bad_alloc();
  }
  if (g_allocations_until_failure > 0) --g_allocations_until_failure;
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  ++g_live_allocations;
  return p;
}

void CountedFree(void* p) {
  if (p == nullptr) return;
  --g_live_allocations;
  std::free(p);
}

}  // namespace

void* operator new(std::size_t size) { return CountedAllocate(size); }
void* operator new[](std::size_t size) { return CountedAllocate(size); }
void operator delete(void* p) noexcept { CountedFree(p); }
void operator delete[](void* p) noexcept { CountedFree(p); }
void operator delete(void* p, std::size_t) noexcept { CountedFree(p); }
void operator delete[](void* p, std::size_t) noexcept { CountedFree(p); }

namespace regtree_test {
namespace {

const BYTE kOne[] = {0x01};

class AllocFailureTest : public TreeTest {
 protected:
  ~AllocFailureTest() override { g_allocations_until_failure = -1; }
};

// Fails the first, second, ... allocation of a deep lookup in turn, until
// the lookup gets through; each failure must leave the tree, the heap and
// the handles as they were.
TEST_F(AllocFailureTest, FailureAnywhereInDeepSubkeyLeavesNothingBehind) {
  registry_.AddKey("A\\B");
  bool ok = false;
  CKeyRef root = WrapRoot(HKEY_CURRENT_USER, ok);
  ASSERT_TRUE(ok);
  // An opened branch that must survive the failures untouched.
  CValueRef held = root.Subkey("A\\B").Value("held");
  ASSERT_TRUE(held.SetBinary(kOne, 1));
  // A first lookup that gets through, so the lists of the surviving nodes
  // have grown already and every later allocation belongs to the lookup.
  { CValueRef warm_up = root.Subkey("A\\B\\C\\D\\E\\F").Value("V"); }
  const int keys_before = CKeyNode::LiveCount();
  const int handles_before = registry_.OpenHandleCount();

  int failures = 0;
  for (long fail_at = 0;; ++fail_at) {
    const long allocations_before = g_live_allocations;
    bool threw = false;
    g_allocations_until_failure = fail_at;
    try {
      CValueRef value = root.Subkey("A\\B\\C\\D\\E\\F").Value("V");
      g_allocations_until_failure = -1;
      ASSERT_EQ(keys_before + 4, CKeyNode::LiveCount());
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    g_allocations_until_failure = -1;
    EXPECT_EQ(allocations_before, g_live_allocations) << "fail at " << fail_at;
    EXPECT_EQ(keys_before, CKeyNode::LiveCount()) << "fail at " << fail_at;
    EXPECT_EQ(1, CValueNode::LiveCount()) << "fail at " << fail_at;
    EXPECT_EQ(handles_before, registry_.OpenHandleCount());
    VerifyTree(root.GetNode());
    if (!threw) break;
    ++failures;
  }
  // Four new keys and a value: a node and a list for each.
  EXPECT_GE(failures, 8);
  EXPECT_TRUE(root.GetNode()->subkeys[0]->subkeys[0]->subkeys.empty());
}

TEST_F(AllocFailureTest, FailedRootLeavesNoNodeAndNoClose) {
  for (long fail_at = 0;; ++fail_at) {
    g_allocations_until_failure = fail_at;
    try {
      bool ok = false;
      CKeyRef root = WrapRoot(HKEY_CURRENT_USER, ok);
      g_allocations_until_failure = -1;
      EXPECT_TRUE(ok);
      break;
    } catch (const std::bad_alloc&) {
      g_allocations_until_failure = -1;
      EXPECT_EQ(0, CKeyNode::LiveCount()) << "fail at " << fail_at;
      for (const auto& call : registry_.calls()) {
        EXPECT_NE(regservice::RegOp::kCloseKey, call.op) << "fail at " << fail_at;
      }
    }
  }
}

}  // namespace
}  // namespace regtree_test
