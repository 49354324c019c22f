// Path and value lookup: which nodes are found, made and shared.
#include <cstring>
#include <string>

#include "regtree/tree_test_support.h"
#include "winshim/mbstring.h"

namespace regtree_test {
namespace {

class LookupTest : public TreeTest {
 protected:
  LookupTest() : root_(WrapRoot(HKEY_CURRENT_USER, ok_)) {}
  ~LookupTest() override { winshim::SetMultibyteCodePage(1252); }

  void TearDown() override {
    // Lookups never touch the registry: only the root's query was made.
    EXPECT_EQ(std::vector<std::string>{"QueryInfoKey HKEY_CURRENT_USER"},
              Calls());
    VerifyTree(root_.GetNode());
    root_.Release();
    TreeTest::TearDown();
  }

  CKeyNode* Root() const { return root_.GetNode(); }

  bool ok_ = false;
  CKeyRef root_;
};

TEST_F(LookupTest, PathMakesOneNodePerComponent) {
  CKeyRef c = root_.Subkey("A\\B\\C");
  ASSERT_EQ((std::vector<std::string>{"A"}), SubkeyNames(Root()));
  CKeyNode* a = Root()->subkeys[0];
  ASSERT_EQ((std::vector<std::string>{"B"}), SubkeyNames(a));
  CKeyNode* b = a->subkeys[0];
  ASSERT_EQ((std::vector<std::string>{"C"}), SubkeyNames(b));
  EXPECT_EQ(b->subkeys[0], c.GetNode());
  EXPECT_EQ(0, a->refCount);
  EXPECT_EQ(0, b->refCount);
  EXPECT_EQ(1, c.GetNode()->refCount);
  EXPECT_EQ(nullptr, c.GetNode()->hkey);
}

TEST_F(LookupTest, RepeatedLookupSharesNodes) {
  CKeyRef first = root_.Subkey("A\\B\\C");
  CKeyRef second = root_.Subkey("A\\B\\C");
  EXPECT_EQ(first.GetNode(), second.GetNode());
  EXPECT_EQ(2, first.GetNode()->refCount);
  EXPECT_EQ(4, CKeyNode::LiveCount());
}

TEST_F(LookupTest, SiblingsAppendInOrderAndVanishWithTheirReferences) {
  {
    CKeyRef c = root_.Subkey("A\\C");
    CKeyRef b = root_.Subkey("A\\B");
    EXPECT_EQ(c.GetNode()->parent, b.GetNode()->parent);
    EXPECT_EQ((std::vector<std::string>{"C", "B"}),
              SubkeyNames(Root()->subkeys[0]));
  }
  EXPECT_TRUE(Root()->subkeys.empty());
  CKeyRef again = root_.Subkey("A\\B");
  EXPECT_EQ((std::vector<std::string>{"B"}), SubkeyNames(Root()->subkeys[0]));
}

// Each path and the names of the chain of nodes it yields below the root.
TEST_F(LookupTest, EmptyComponentsMakeEmptyNamedNodes) {
  struct Case {
    const char* path;
    std::vector<std::string> chain;
  } cases[] = {
      {"A", {"A"}},
      {"", {""}},
      {"A\\", {"A", ""}},
      {"\\A", {"", "A"}},
      {"A\\\\B", {"A", "", "B"}},
      {"\\", {"", ""}},
  };
  for (const Case& c : cases) {
    CKeyRef out = root_.Subkey(c.path);
    std::vector<std::string> chain;
    for (CKeyNode* node = out.GetNode(); node != Root(); node = node->parent) {
      chain.insert(chain.begin(), node->name);
    }
    EXPECT_EQ(c.chain, chain) << "path \"" << c.path << "\"";
    EXPECT_EQ(1u, Root()->subkeys.size()) << c.path;
  }
}

TEST_F(LookupTest, NamesDifferingInCaseAreDifferentNodes) {
  CKeyRef lower = root_.Subkey("key");
  CKeyRef upper = root_.Subkey("KEY");
  EXPECT_NE(lower.GetNode(), upper.GetNode());
  CValueRef v1 = lower.Value("v");
  CValueRef v2 = lower.Value("V");
  EXPECT_NE(v1.GetNode(), v2.GetNode());
}

// 0x95 0x5C is one Shift-JIS character whose second byte is a backslash.
TEST_F(LookupTest, DoubleByteTrailIsNotASeparator) {
  const char path[] = "A\x95\x5c" "B\\C";
  winshim::SetMultibyteCodePage(932);
  {
    CKeyRef out = root_.Subkey(path);
    EXPECT_STREQ("C", out.GetNode()->name);
    EXPECT_STREQ("A\x95\x5c" "B", out.GetNode()->parent->name);
    EXPECT_EQ(Root(), out.GetNode()->parent->parent);
  }
  winshim::SetMultibyteCodePage(1252);
  CKeyRef out = root_.Subkey(path);
  EXPECT_STREQ("C", out.GetNode()->name);
  EXPECT_STREQ("B", out.GetNode()->parent->name);
  EXPECT_STREQ("A\x95", out.GetNode()->parent->parent->name);
}

TEST_F(LookupTest, DroppedResultLeavesTreeAsItWas) {
  CKeyRef a = root_.Subkey("A");
  CValueRef v = a.Value("v");
  { CKeyRef out = root_.Subkey("A\\B\\C\\D"); }
  EXPECT_TRUE(a.GetNode()->subkeys.empty());
  EXPECT_EQ(1u, a.GetNode()->values.size());
  EXPECT_EQ(2, CKeyNode::LiveCount());
  EXPECT_EQ(1, a.GetNode()->refCount);
}

TEST_F(LookupTest, ValueFindsExistingOrAppendsNew) {
  CKeyRef key = root_.Subkey("K");
  CValueRef first = key.Value("first");
  CValueRef second = key.Value("second");
  CValueRef again = key.Value("first");
  EXPECT_EQ(first.GetNode(), again.GetNode());
  EXPECT_EQ(2, first.GetNode()->refCount);
  ASSERT_EQ(2u, key.GetNode()->values.size());
  EXPECT_EQ(first.GetNode(), key.GetNode()->values[0]);
  EXPECT_EQ(second.GetNode(), key.GetNode()->values[1]);
  EXPECT_EQ(key.GetNode(), second.GetNode()->parent);
}

// Names too long for a node are cut to 259 bytes and always terminated;
// under ASan any write past a name buffer fails the test.
TEST_F(LookupTest, OverlongNamesAreCutToFitTheirBuffer) {
  const std::string long_name(300, 'n');
  const std::string cut(CKeyNode::kMaxName, 'n');
  struct Case {
    std::string path;
    std::vector<std::string> chain;
  } cases[] = {
      {long_name, {cut}},
      {long_name + "\\B", {cut, "B"}},
      {"A\\" + long_name, {"A", cut}},
      {"A\\" + long_name + "\\" + long_name, {"A", cut, cut}},
  };
  for (const Case& c : cases) {
    CKeyRef out = root_.Subkey(c.path.c_str());
    CKeyRef again = root_.Subkey(c.path.c_str());
    EXPECT_EQ(out.GetNode(), again.GetNode()) << "cut names match again";
    std::vector<std::string> chain;
    for (CKeyNode* node = out.GetNode(); node != Root(); node = node->parent) {
      ASSERT_EQ('\0', node->name[CKeyNode::kMaxName]);
      chain.insert(chain.begin(), node->name);
    }
    EXPECT_EQ(c.chain, chain);
  }
  CKeyRef key = root_.Subkey("K");
  CValueRef value = key.Value(long_name.c_str());
  EXPECT_EQ(cut, value.GetNode()->name);
  CValueRef same = key.Value(long_name.c_str());
  EXPECT_EQ(value.GetNode(), same.GetNode());
}

TEST_F(LookupTest, CutNeverSplitsADoubleByteCharacter) {
  winshim::SetMultibyteCodePage(932);
  // 258 single bytes, then a two-byte character straddling the limit.
  std::string name(258, 'a');
  name += "\x95\x41tail";
  CKeyRef out = root_.Subkey(name.c_str());
  EXPECT_EQ(std::string(258, 'a'), out.GetNode()->name);
}

}  // namespace
}  // namespace regtree_test
