// Lazy opening of keys and value writes: the exact registry calls made.
#include "regtree/tree_test_support.h"

namespace regtree_test {
namespace {

using regservice::RegCall;
using regservice::RegOp;

const BYTE kOne[] = {0x01};
const BYTE kFour[] = {0x11, 0x22, 0x33, 0x44};

class OpenWriteTest : public TreeTest {
 protected:
  // Wraps HKEY_CURRENT_USER and forgets the calls made so far.
  void Wrap() {
    bool ok = false;
    root_.Attach(WrapRoot(HKEY_CURRENT_USER, ok).GetNode());
    ASSERT_TRUE(ok);
    registry_.ClearCalls();
  }
  void TearDown() override {
    if (!root_.IsEmpty()) VerifyTree(root_.GetNode());
    root_.Release();
    TreeTest::TearDown();
  }
  const RegCall& Call(size_t i) const { return registry_.calls().at(i); }

  CKeyRef root_;
};

TEST_F(OpenWriteTest, WriteOpensEachKeyFromTheRootDown) {
  registry_.AddKey("A\\B\\C");
  Wrap();
  CValueRef value = root_.Subkey("A\\B\\C").Value("V");
  EXPECT_TRUE(value.SetBinary(kOne, 1));
  ASSERT_EQ((std::vector<std::string>{"OpenKeyEx A", "OpenKeyEx B",
                                      "OpenKeyEx C", "SetValueEx V"}),
            Calls());
  EXPECT_EQ(HKEY_CURRENT_USER, Call(0).key);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(static_cast<REGSAM>(KEY_ALL_ACCESS), Call(i).access) << i;
    EXPECT_EQ(0u, Call(i).options) << i;
    if (i > 0) {
      EXPECT_EQ(Call(i - 1).returned, Call(i).key) << i;
    }
  }
  EXPECT_EQ(Call(2).returned, Call(3).key);
  EXPECT_EQ(Call(2).returned, value.GetNode()->parent->hkey);
  const auto* stored = registry_.FindValue("A\\B\\C", "V");
  ASSERT_NE(nullptr, stored);
  EXPECT_EQ(static_cast<DWORD>(REG_BINARY), stored->type);
  EXPECT_EQ(std::vector<BYTE>{0x01}, stored->data);
}

TEST_F(OpenWriteTest, MissingKeysAreMadeAndSoIsEveryDeeperOne) {
  registry_.AddKey("A");
  Wrap();
  CValueRef value = root_.Subkey("A\\B\\C").Value("V");
  EXPECT_TRUE(value.SetBinary(kOne, 1));
  EXPECT_EQ((std::vector<std::string>{"OpenKeyEx A", "OpenKeyEx B",
                                      "CreateKey B", "OpenKeyEx C",
                                      "CreateKey C", "SetValueEx V"}),
            Calls());
  EXPECT_EQ(Call(0).returned, Call(2).key);
  EXPECT_EQ(Call(2).returned, Call(4).key);
  EXPECT_TRUE(registry_.HasKey("A\\B\\C"));
}

// Two nodes whose names differ only in case are one key to the registry:
// both open it, neither makes a key of its own, and a value name in
// another case is the same value.
TEST_F(OpenWriteTest, NodesDifferingInCaseOpenOneRegistryKey) {
  registry_.AddKey("Software\\Corvane");
  Wrap();
  CValueRef lower = root_.Subkey("software\\corvane").Value("quillfix");
  CValueRef upper = root_.Subkey("SOFTWARE\\CORVANE").Value("QUILLFIX");
  EXPECT_TRUE(lower.SetBinary(kOne, 1));
  EXPECT_TRUE(upper.SetBinary(kFour, 4));
  EXPECT_EQ((std::vector<std::string>{
                "OpenKeyEx software", "OpenKeyEx corvane",
                "SetValueEx quillfix", "OpenKeyEx SOFTWARE",
                "OpenKeyEx CORVANE", "SetValueEx QUILLFIX"}),
            Calls());
  const auto* stored = registry_.FindValue("Software\\Corvane", "Quillfix");
  ASSERT_NE(nullptr, stored);
  EXPECT_EQ(std::vector<BYTE>(kFour, kFour + 4), stored->data);
  EXPECT_FALSE(registry_.HasKey("Software\\Corvane\\corvane"));
}

// An empty name right below HKEY_CURRENT_USER opens the root itself, as
// RegOpenKeyExA answers there; the node then holds HKEY_CURRENT_USER.
TEST_F(OpenWriteTest, EmptyNameBelowTheRootOpensTheRootItself) {
  registry_.AddKey("A");
  Wrap();
  {
    CValueRef value = root_.Subkey("\\A").Value("V");
    EXPECT_TRUE(value.SetBinary(kOne, 1));
    ASSERT_EQ((std::vector<std::string>{"OpenKeyEx ", "OpenKeyEx A",
                                        "SetValueEx V"}),
              Calls());
    EXPECT_EQ(HKEY_CURRENT_USER, Call(0).returned);
    EXPECT_EQ(HKEY_CURRENT_USER, Call(1).key);
  }
  EXPECT_NE(nullptr, registry_.FindValue("A", "V"));
}

TEST_F(OpenWriteTest, SecondValueOfAnOpenKeyNeedsNoOpening) {
  registry_.AddKey("A\\B");
  Wrap();
  CKeyRef key = root_.Subkey("A\\B");
  CValueRef first = key.Value("one");
  CValueRef second = key.Value("two");
  ASSERT_TRUE(first.SetBinary(kOne, 1));
  registry_.ClearCalls();
  EXPECT_TRUE(second.SetBinary(kOne, 1));
  CValueRef deeper = root_.Subkey("A\\B\\C").Value("three");
  EXPECT_TRUE(deeper.SetBinary(kOne, 1));
  EXPECT_EQ((std::vector<std::string>{"SetValueEx two", "OpenKeyEx C",
                                      "CreateKey C", "SetValueEx three"}),
            Calls());
}

TEST_F(OpenWriteTest, KeyAboveThatCannotBeMadeIsTriedFiveTimes) {
  registry_.AddKey("A");
  registry_.FailOn(RegOp::kOpenKeyEx, "B");
  registry_.FailOn(RegOp::kCreateKey, "B");
  Wrap();
  CValueRef value = root_.Subkey("A\\B\\C").Value("V");
  EXPECT_FALSE(value.SetBinary(kOne, 1));
  EXPECT_EQ((std::vector<std::string>{"OpenKeyEx A", "OpenKeyEx B",
                                      "CreateKey B", "OpenKeyEx B",
                                      "CreateKey B", "CreateKey B",
                                      "SetValueEx V"}),
            Calls());
  EXPECT_EQ(nullptr, Call(6).key);
  EXPECT_FALSE(registry_.HasKey("A\\B"));
}

TEST_F(OpenWriteTest, LastKeyGetsOneMoreCreateThroughItsParent) {
  registry_.AddKey("A\\B");
  registry_.FailOn(RegOp::kOpenKeyEx, "C");
  registry_.FailOn(RegOp::kCreateKey, "C");
  Wrap();
  CValueRef value = root_.Subkey("A\\B\\C").Value("V");
  EXPECT_FALSE(value.SetBinary(kOne, 1));
  EXPECT_EQ((std::vector<std::string>{"OpenKeyEx A", "OpenKeyEx B",
                                      "OpenKeyEx C", "CreateKey C",
                                      "CreateKey C", "SetValueEx V"}),
            Calls());
  EXPECT_EQ(Call(1).returned, Call(4).key);
  EXPECT_EQ(nullptr, Call(5).key);
}

TEST_F(OpenWriteTest, FailedOpeningIsRetriedByTheNextWrite) {
  registry_.AddKey("A");
  registry_.FailOn(RegOp::kOpenKeyEx, "A");
  registry_.FailOn(RegOp::kCreateKey, "A");
  Wrap();
  CValueRef value = root_.Subkey("A").Value("V");
  EXPECT_FALSE(value.SetBinary(kOne, 1));
  EXPECT_EQ(nullptr, value.GetNode()->parent->hkey);
  registry_.ClearCalls();
  EXPECT_FALSE(value.SetBinary(kOne, 1));
  EXPECT_EQ((std::vector<std::string>{"OpenKeyEx A", "CreateKey A",
                                      "CreateKey A", "SetValueEx V"}),
            Calls());
}

TEST_F(OpenWriteTest, WriteTypeAndSizeFollowTheOperation) {
  struct Case {
    const char* what;
    bool dword;
    const BYTE* data;
    DWORD size;
    bool through_ref;
    DWORD type;
    std::vector<BYTE> stored;
  } cases[] = {
      {"SetBinary size 1", false, kOne, 1, true, REG_BINARY, {0x01}},
      {"SetBinary size 4", false, kFour, 4, true, REG_BINARY,
       {0x11, 0x22, 0x33, 0x44}},
      {"SetBinary size 0", false, kFour, 0, true, REG_BINARY, {}},
      {"SetDword", true, kFour, 0, true, REG_DWORD, {0x11, 0x22, 0x33, 0x44}},
      {"node SetBinary", false, kOne, 1, false, REG_BINARY, {0x01}},
      {"node SetDword", true, kFour, 0, false, REG_DWORD,
       {0x11, 0x22, 0x33, 0x44}},
  };
  Wrap();
  for (const Case& c : cases) {
    CValueRef value = root_.Subkey("K").Value(c.what);
    bool ok;
    if (c.through_ref) {
      ok = c.dword ? value.SetDword(c.data) : value.SetBinary(c.data, c.size);
    } else {
      CValueNode* node = value.GetNode();
      ok = c.dword ? node->SetDword(c.data) : node->SetBinary(c.data, c.size);
    }
    EXPECT_TRUE(ok) << c.what;
    const RegCall& call = registry_.calls().back();
    EXPECT_EQ(RegOp::kSetValueEx, call.op) << c.what;
    EXPECT_EQ(c.type, call.type) << c.what;
    EXPECT_EQ(c.stored, call.data) << c.what;
    EXPECT_EQ(0u, call.options) << c.what;
  }
}

TEST_F(OpenWriteTest, RejectedWriteReturnsFalse) {
  registry_.AddKey("K");
  registry_.FailOn(RegOp::kSetValueEx, "V");
  Wrap();
  CValueRef value = root_.Subkey("K").Value("V");
  EXPECT_FALSE(value.SetBinary(kOne, 1));
  EXPECT_FALSE(value.SetDword(kFour));
}

TEST_F(OpenWriteTest, ValueOnTheRootUsesTheWrappedHandle) {
  Wrap();
  CValueRef value = root_.Value("V");
  EXPECT_TRUE(value.SetBinary(kOne, 1));
  EXPECT_EQ(std::vector<std::string>{"SetValueEx V"}, Calls());
  EXPECT_EQ(HKEY_CURRENT_USER, Call(0).key);
}

}  // namespace
}  // namespace regtree_test
