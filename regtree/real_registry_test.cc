// The registry tree against the registry it runs on, not a recording one:
// on Windows (or Wine) the platform's registry; elsewhere the prefix
// registry over a user.reg made for each test, or, when
// QUILLFIX_TEST_ONLINE_PREFIX names a prefix whose wineserver runs, that
// server's registry through the bridge. Checks what the tree's writes leave
// in that registry, read back by other means than the tree, and every
// output of the seven calls the tree makes, so that the three registries
// are seen to answer alike (CallOutputsTest). Every test works below a
// scratch key, HKCU\Software\QuillfixTest\<random>, which is removed at
// the end where the registry can remove keys.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "regservice/regservice.h"
#include "regtree/registry_tree.h"

#ifndef _WIN32
#include <unistd.h>

#include <stdlib.h>

#include "regservice/bridge/bridge_registry.h"
#include "regservice/fallback_registry.h"
#include "regservice/prefix/env.h"
#include "regservice/prefix/test_dir.h"
#include "regservice/prefix/wine_prefix_registry.h"
#include "regservice/registry.h"
#include "regservice/wine/hive.h"
#include "regservice/wine/test_support.h"
#include "winshim/mbstring.h"
#endif

namespace {

const char kScratchParent[] = "Software\\QuillfixTest";

std::string RandomName() {
  std::random_device device;
  std::mt19937_64 mix(device() ^ static_cast<uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count()));
  char name[17];
  snprintf(name, sizeof name, "%016llx",
           static_cast<unsigned long long>(mix()));
  return name;
}

// A value as read back: its type and raw bytes.
struct StoredValue {
  DWORD type = 0;
  std::string data;
};

#ifdef _WIN32

// The scratch key in the real HKEY_CURRENT_USER.
class ScratchRegistry {
 public:
  ScratchRegistry() : path_(std::string(kScratchParent) + "\\" + RandomName()) {}
  ~ScratchRegistry() {
    RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str());
    // Goes only when no other run's scratch key is left in it.
    RegDeleteKeyA(HKEY_CURRENT_USER, kScratchParent);
  }

  const std::string& path() const { return path_; }

  // The value `name` of the key at `key` below HKEY_CURRENT_USER.
  bool Read(const std::string& key, const std::string& name,
            StoredValue* value) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &handle) !=
        ERROR_SUCCESS) {
      return false;
    }
    DWORD size = 0;
    LONG result = RegQueryValueExA(handle, name.c_str(), nullptr,
                                   &value->type, nullptr, &size);
    if (result == ERROR_SUCCESS) {
      value->data.assign(size, '\0');
      result = RegQueryValueExA(
          handle, name.c_str(), nullptr, &value->type,
          reinterpret_cast<BYTE*>(&value->data[0]), &size);
      value->data.resize(size);
    }
    RegCloseKey(handle);
    return result == ERROR_SUCCESS;
  }

 private:
  std::string path_;
};

#else  // !_WIN32

// The prefix named by QUILLFIX_TEST_ONLINE_PREFIX, or null.
const char* OnlinePrefix() {
  const char* prefix = getenv("QUILLFIX_TEST_ONLINE_PREFIX");
  return prefix != nullptr && *prefix != '\0' ? prefix : nullptr;
}

// The scratch key in the registry of a running wineserver, reached through
// the bridge the registry service picks by itself for WINEPREFIX. Read
// back with RegQueryValueExA's counterpart through the same helper, as the
// Windows build reads it. The prefix is a test's copy, removed afterwards
// with the scratch keys (the six calls cannot delete keys).
class OnlineScratchRegistry {
 public:
  OnlineScratchRegistry()
      : path_(std::string(kScratchParent) + "\\" + RandomName()) {
    setenv("WINEPREFIX", OnlinePrefix(), 1);
    // A running server's registry is the bridge, with the file behind it
    // for a server that goes away.
    auto* online = dynamic_cast<regservice::FallbackRegistry*>(
        regservice::Registry::Default());
    EXPECT_TRUE(online != nullptr &&
                dynamic_cast<regservice::bridge::BridgeRegistry*>(
                    online->current()) != nullptr)
        << "no wineserver serves " << OnlinePrefix();
  }

  const std::string& path() const { return path_; }

  bool Read(const std::string& key, const std::string& name,
            StoredValue* value) {
    regservice::Registry* registry = regservice::CurrentRegistry();
    HKEY handle = nullptr;
    if (registry->OpenKeyEx(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ,
                            &handle) != ERROR_SUCCESS) {
      return false;
    }
    DWORD size = 0;
    LONG result = registry->QueryValueEx(handle, name.c_str(), nullptr,
                                         &value->type, nullptr, &size);
    if (result == ERROR_SUCCESS) {
      value->data.assign(size, '\0');
      result = registry->QueryValueEx(
          handle, name.c_str(), nullptr, &value->type,
          reinterpret_cast<BYTE*>(&value->data[0]), &size);
      value->data.resize(size);
    }
    registry->CloseKey(handle);
    return result == ERROR_SUCCESS;
  }

 private:
  std::string path_;
};

// The scratch key in a prefix of its own, whose registry is made the
// current one for the test. Read back from user.reg on disk, so a value
// counts only once the registry has saved it.
class FileScratchRegistry {
 public:
  FileScratchRegistry()
      : path_(std::string(kScratchParent) + "\\" + RandomName()),
        registry_(regservice::prefix::PosixEnv(), Location(dir_)),
        current_(&registry_) {
    dir_.Write(dir_ / "user.reg",
               QUILLFIX_TEST_USER_REG_HEAD
               "\n[Software\\\\Other] 1796869137\n#time=1dd884ccfb82800\n"
               "\"Keep\"=\"me\"\n");
  }

  const std::string& path() const { return path_; }

  bool Read(const std::string& key, const std::string& name,
            StoredValue* value) {
    regservice::wine::Hive hive;
    regservice::Status loaded = hive.Load(dir_.Read(dir_ / "user.reg"));
    if (!loaded.ok()) {
      ADD_FAILURE() << "user.reg no longer loads: " << loaded.message();
      return false;
    }
    regservice::wine::KeyPath elements;
    size_t start = 0;
    while (start <= key.size()) {
      size_t end = key.find('\\', start);
      if (end == std::string::npos) end = key.size();
      elements.push_back(Utf16(key.substr(start, end - start)));
      start = end + 1;
    }
    regservice::wine::Value stored;
    if (!hive.GetValue(elements, Utf16(name), &stored)) return false;
    value->type = stored.type;
    value->data = stored.data;
    return true;
  }

 private:
  static regservice::prefix::PrefixLocation Location(
      const regservice::prefix::TestDir& dir) {
    regservice::prefix::PrefixLocation location;
    location.directory = dir.path();
    // No server directories are made for these throwaway prefixes.
    location.system_tmp = dir.path() + "/no-tmp";
    return location;
  }
  // The names these tests use are ASCII.
  static regservice::wine::Name Utf16(const std::string& text) {
    return regservice::wine::Name(text.begin(), text.end());
  }

  std::string path_;
  regservice::prefix::TestDir dir_;
  regservice::prefix::WinePrefixRegistry registry_;
  regservice::ScopedRegistry current_;
};

// The file-backed scratch registry, or the online one when a prefix is
// named for it.
class ScratchRegistry {
 public:
  ScratchRegistry() {
    if (OnlinePrefix() != nullptr) {
      online_.reset(new OnlineScratchRegistry);
    } else {
      file_.reset(new FileScratchRegistry);
    }
  }

  const std::string& path() const {
    return online_ ? online_->path() : file_->path();
  }
  bool Read(const std::string& key, const std::string& name,
            StoredValue* value) {
    return online_ ? online_->Read(key, name, value)
                   : file_->Read(key, name, value);
  }

 private:
  std::unique_ptr<OnlineScratchRegistry> online_;
  std::unique_ptr<FileScratchRegistry> file_;
};

#endif  // _WIN32

// Subkeys of the key at `key` below HKEY_CURRENT_USER, or -1 when it
// cannot be opened.
int SubkeyCount(const std::string& key) {
  HKEY handle = nullptr;
  if (RegOpenKeyA(HKEY_CURRENT_USER, key.c_str(), &handle) != ERROR_SUCCESS) {
    return -1;
  }
  DWORD subkeys = 0;
  LONG result = RegQueryInfoKeyA(handle, nullptr, nullptr, nullptr, &subkeys,
                                 nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr);
  RegCloseKey(handle);
  return result == ERROR_SUCCESS ? static_cast<int>(subkeys) : -1;
}

// Whether the key at `key` below HKEY_CURRENT_USER exists.
bool KeyExists(const std::string& key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_ALL_ACCESS,
                    &handle) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(handle);
  return true;
}

class RealRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The scratch key itself, made as any program would.
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyA(HKEY_CURRENT_USER, scratch_.path().c_str(), &key));
    RegCloseKey(key);
  }

  void TearDown() override {
    EXPECT_EQ(0, CKeyNode::LiveCount()) << "key nodes left alive";
    EXPECT_EQ(0, CValueNode::LiveCount()) << "value nodes left alive";
  }

  std::string Below(const std::string& path) const {
    return scratch_.path() + "\\" + path;
  }

  // Writes one value through a tree over HKEY_CURRENT_USER, built and torn
  // down for the call, as the program does; `dword` picks SetDword.
  bool Write(const std::string& path, const std::string& name,
             const std::string& data, bool dword = false) {
    bool ok = false;
    CKeyRef root = WrapRoot(HKEY_CURRENT_USER, ok);
    EXPECT_TRUE(ok) << "HKEY_CURRENT_USER not wrapped";
    if (!ok) return false;
    CValueRef value = root.Subkey(Below(path).c_str()).Value(name.c_str());
    const BYTE* bytes = reinterpret_cast<const BYTE*>(data.data());
    return dword ? value.SetDword(bytes)
                 : value.SetBinary(bytes, static_cast<DWORD>(data.size()));
  }

  void ExpectStored(const std::string& path, const std::string& name,
                    DWORD type, const std::string& data) {
    StoredValue value;
    ASSERT_TRUE(scratch_.Read(Below(path), name, &value))
        << path << " " << name << " not found";
    EXPECT_EQ(type, value.type) << path << " " << name;
    EXPECT_EQ(data, value.data) << path << " " << name;
  }

  ScratchRegistry scratch_;
};

// The calls the registry answers subkey paths for.
enum class PathCall { kOpenKey, kOpenKeyEx, kCreateKey };

const char* PathCallName(PathCall call) {
  return call == PathCall::kOpenKey     ? "RegOpenKeyA"
         : call == PathCall::kOpenKeyEx ? "RegOpenKeyExA"
                                        : "RegCreateKeyA";
}

LONG CallWithPath(PathCall call, HKEY key, const char* path, HKEY* result) {
  switch (call) {
    case PathCall::kOpenKey:
      return RegOpenKeyA(key, path, result);
    case PathCall::kOpenKeyEx:
      return RegOpenKeyExA(key, path, 0, KEY_ALL_ACCESS, result);
    case PathCall::kCreateKey:
      return RegCreateKeyA(key, path, result);
  }
  return -1;
}

// `characters` characters (`character` repeated, one or two bytes each)
// split into names of 40 by backslashes, which count as characters too;
// one more backslash at the end when `trailing`.
std::string PathOfLength(size_t characters, const std::string& character,
                         bool trailing) {
  std::string path;
  const size_t body = trailing ? characters - 1 : characters;
  size_t in_name = 0;
  for (size_t i = 0; i < body; ++i) {
    if (in_name == 40 && i + 1 < body) {
      path += '\\';
      in_name = 0;
    } else {
      path += character;
      ++in_name;
    }
  }
  if (trailing) path += '\\';
  return path;
}

TEST_F(RealRegistryTest, EmptyAndNullSubkeyPaths) {
  HKEY scratch = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyA(HKEY_CURRENT_USER,
                                       scratch_.path().c_str(), &scratch));
  for (const char* path : {"", static_cast<const char*>(nullptr)}) {
    const std::string label = path == nullptr ? "null" : "empty";
    // The opens give HKEY_CURRENT_USER itself.
    for (PathCall call : {PathCall::kOpenKey, PathCall::kOpenKeyEx}) {
      HKEY key = nullptr;
      EXPECT_EQ(ERROR_SUCCESS,
                CallWithPath(call, HKEY_CURRENT_USER, path, &key))
          << PathCallName(call) << " " << label;
      EXPECT_EQ(HKEY_CURRENT_USER, key) << PathCallName(call) << " " << label;
    }
    // An open key: RegOpenKeyA gives it back, the others a new handle.
    HKEY same = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyA(scratch, path, &same)) << label;
    EXPECT_EQ(scratch, same) << label;
    for (PathCall call : {PathCall::kOpenKeyEx, PathCall::kCreateKey}) {
      HKEY key = nullptr;
      EXPECT_EQ(ERROR_SUCCESS, CallWithPath(call, scratch, path, &key))
          << PathCallName(call) << " " << label;
      EXPECT_NE(nullptr, key) << PathCallName(call) << " " << label;
      EXPECT_NE(scratch, key) << PathCallName(call) << " " << label;
      if (key != nullptr && key != scratch) RegCloseKey(key);
    }
    HKEY created = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_CURRENT_USER, path, &created))
        << label;
    EXPECT_NE(nullptr, created) << label;
    EXPECT_NE(HKEY_CURRENT_USER, created) << label;
    if (created != nullptr && created != HKEY_CURRENT_USER) {
      RegCloseKey(created);
    }
  }
  RegCloseKey(scratch);
}

// The A functions take a subkey path of at most 260 characters, after its
// conversion to UTF-16; a longer one is ERROR_MORE_DATA, makes nothing and
// leaves the handle argument as it was. Within the limit a missing key is
// ERROR_FILE_NOT_FOUND to the opens and is made by RegCreateKeyA.
void ExpectPathLimit(const std::string& scratch_path,
                     const std::string& character) {
  HKEY scratch = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyA(HKEY_CURRENT_USER, scratch_path.c_str(), &scratch));
  struct Case {
    size_t characters;
    bool trailing;
    bool fits;
  } cases[] = {
      {255, false, true},  {256, false, true},  {259, false, true},
      {260, false, true},  {261, false, false}, {371, false, false},
      {260, true, true},   {261, true, false},
  };
  HKEY const kUntouched = reinterpret_cast<HKEY>(0x1234);
  for (bool from_root : {false, true}) {
    for (const Case& c : cases) {
      // From the root the scratch key's path is part of the length.
      // A name of its own first, so that no case finds another's keys.
      const std::string tag = "p" + std::to_string(&c - cases) +
                              (from_root ? "r" : "k");
      const std::string prefix =
          (from_root ? scratch_path + "\\" : "") + tag + "\\";
      const std::string path =
          tag + "\\" +
          PathOfLength(c.characters - prefix.size(), character, c.trailing);
      const std::string full = (from_root ? scratch_path + "\\" : "") + path;
      const HKEY base = from_root ? HKEY_CURRENT_USER : scratch;
      std::string label = std::to_string(c.characters) +
                          (c.trailing ? " with \\" : "") +
                          (from_root ? " from the root" : " from a key");
      // What the path makes first, below the scratch key.
      const std::string first = scratch_path + "\\" + tag;
      for (PathCall call : {PathCall::kOpenKey, PathCall::kOpenKeyEx,
                            PathCall::kCreateKey, PathCall::kOpenKey}) {
        HKEY key = kUntouched;
        LONG result = CallWithPath(call, base, full.c_str(), &key);
        const bool made = call == PathCall::kCreateKey ||
                          KeyExists(first);
        LONG expected = !c.fits ? ERROR_MORE_DATA
                        : made  ? ERROR_SUCCESS
                                : ERROR_FILE_NOT_FOUND;
        EXPECT_EQ(expected, result) << PathCallName(call) << " " << label;
        if (!c.fits) {
          EXPECT_EQ(kUntouched, key) << PathCallName(call) << " " << label;
        }
        if (result == ERROR_SUCCESS) RegCloseKey(key);
      }
      EXPECT_EQ(c.fits, KeyExists(first)) << label;
    }
  }
  RegCloseKey(scratch);
}

TEST_F(RealRegistryTest, SubkeyPathsUpTo260Characters) {
  ExpectPathLimit(scratch_.path(), "k");
}

// In code page 932 a character of two bytes is one UTF-16 unit: the limit
// counts characters, not bytes.
TEST_F(RealRegistryTest, SubkeyPathsUpTo260DoubleByteCharacters) {
#ifdef _WIN32
  if (GetACP() != 932) GTEST_SKIP() << "needs a process in code page 932";
#else
  struct CodePage932 {
    CodePage932() { winshim::SetMultibyteCodePage(932); }
    ~CodePage932() { winshim::SetMultibyteCodePage(1252); }
  } code_page;
#endif
  ExpectPathLimit(scratch_.path(), "\x82\xa0");  // HIRAGANA LETTER SMALL A
}

TEST_F(RealRegistryTest, WritesMakeEveryMissingKeyOnThePath) {
  struct Case {
    const char* path;
    const char* name;
    std::string data;
    bool dword;
    DWORD type;
  } cases[] = {
      {"Corvane\\Varlo 6.8\\Preferences", "Quillfix", std::string("\x01", 1),
       false, REG_BINARY},
      {"Deep\\A\\B\\C\\D\\E", "Flag", std::string("\x00\xff\x10", 3), false,
       REG_BINARY},
      {"Deep\\A", "Count", std::string("\x2a\x00\x00\x01", 4), true, REG_DWORD},
      {"Deep\\A", "Nothing", "", false, REG_BINARY},
      {"Long", "Blob", std::string(300, '\x5c'), false, REG_BINARY},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(Write(c.path, c.name, c.data, c.dword)) << c.path;
    ExpectStored(c.path, c.name, c.type, c.data);
  }
  EXPECT_EQ(3, SubkeyCount(scratch_.path()));  // Corvane, Deep, Long
}

TEST_F(RealRegistryTest, ValueOfAnotherTypeIsReplaced) {
  ASSERT_TRUE(Write("Prefs", "Quillfix", std::string("\x01\x00\x00\x00", 4),
                    /*dword=*/true));
  ExpectStored("Prefs", "Quillfix", REG_DWORD,
               std::string("\x01\x00\x00\x00", 4));
  ASSERT_TRUE(Write("Prefs", "Quillfix", std::string("\x01", 1)));
  ExpectStored("Prefs", "Quillfix", REG_BINARY, std::string("\x01", 1));
}

TEST_F(RealRegistryTest, OtherValuesOfTheKeyStay) {
  ASSERT_TRUE(Write("Prefs", "Alpha", "aa"));
  ASSERT_TRUE(Write("Prefs", "Zeta", "zz"));
  ASSERT_TRUE(Write("Prefs", "Quillfix", std::string("\x01", 1)));
  ExpectStored("Prefs", "Alpha", REG_BINARY, "aa");
  ExpectStored("Prefs", "Zeta", REG_BINARY, "zz");
}

TEST_F(RealRegistryTest, ExistingKeysAreFoundWhateverTheirCase) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyA(HKEY_CURRENT_USER, Below("Mixed\\Case").c_str(),
                          &key));
  RegCloseKey(key);
  ASSERT_TRUE(Write("MIXED\\case\\Preferences", "Quillfix",
                    std::string("\x01", 1)));
  ExpectStored("Mixed\\Case\\Preferences", "Quillfix", REG_BINARY,
               std::string("\x01", 1));
  EXPECT_EQ(1, SubkeyCount(scratch_.path()));
  EXPECT_EQ(1, SubkeyCount(Below("Mixed")));
}

TEST_F(RealRegistryTest, EmptyPathElementNamesTheKeyAbove) {
  // The root paths end in a backslash; a doubled one gives an empty name,
  // which opens the key it is below.
  ASSERT_TRUE(Write("Root\\\\Preferences", "Quillfix", std::string("\x01", 1)));
  ExpectStored("Root\\Preferences", "Quillfix", REG_BINARY,
               std::string("\x01", 1));
  EXPECT_EQ(1, SubkeyCount(Below("Root")));
}

TEST_F(RealRegistryTest, CurrentUserStaysUsableAfterItsRootIsDestroyed) {
  // Each write wraps HKEY_CURRENT_USER and closes it at the end, as the
  // program does once per edition.
  for (const char* edition : {"First", "Second", "Third"}) {
    EXPECT_TRUE(Write(edition, "Quillfix", std::string("\x01", 1))) << edition;
    ExpectStored(edition, "Quillfix", REG_BINARY, std::string("\x01", 1));
  }
  EXPECT_EQ(3, SubkeyCount(scratch_.path()));
}

TEST_F(RealRegistryTest, RootOverAnOpenKeyWritesBelowIt) {
  HKEY scratch = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER,
                                         scratch_.path().c_str(), 0,
                                         KEY_ALL_ACCESS, &scratch));
  {
    bool ok = false;
    CKeyRef root = WrapRoot(scratch, ok);  // takes the handle over
    ASSERT_TRUE(ok);
    EXPECT_STREQ("", root.GetNode()->name);  // the key's class: none
    CValueRef value = root.Subkey("Sub").Value("V");
    const BYTE data[] = {7, 8};
    EXPECT_TRUE(value.SetBinary(data, sizeof data));
  }
  ExpectStored("Sub", "V", REG_BINARY, "\x07\x08");
}

TEST_F(RealRegistryTest, InvalidHandleIsNotWrapped) {
  HKEY closed = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyA(HKEY_CURRENT_USER, scratch_.path().c_str(), &closed));
  ASSERT_EQ(ERROR_SUCCESS, RegCloseKey(closed));
  bool ok = true;
  CKeyRef root = WrapRoot(closed, ok);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(root.IsEmpty());
}

// Every output of the calls, on failures and on successes: what the
// registry writes into it, or that it is left as it was. Outputs start as
// sentinels; a buffer is filled with kFill, and the bytes a case expects
// written come first, the rest keeps the fill.
const DWORD kTypeSentinel = 0xAAAAAAAAu;
const DWORD kCountSentinel = 0x55555555u;
const unsigned char kFill = 0xCC;
HKEY const kHandleSentinel = reinterpret_cast<HKEY>(0x1234);

// Which handle a case passes.
enum class KeyKind { kScratch, kNull, kClosed };

const char* KeyKindName(KeyKind kind) {
  return kind == KeyKind::kScratch ? "scratch key"
         : kind == KeyKind::kNull  ? "null key"
                                   : "closed key";
}

class CallOutputsTest : public RealRegistryTest {
 protected:
  void SetUp() override {
    RealRegistryTest::SetUp();
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyA(HKEY_CURRENT_USER, scratch_.path().c_str(), &key_));
    ASSERT_EQ(ERROR_SUCCESS, Set("bin", REG_BINARY, "\x01\x02\x03\x04", 4));
    ASSERT_EQ(ERROR_SUCCESS, Set("sz", REG_SZ, "abcd", 5));
    // Four bytes without their NUL; the byte after them is no NUL.
    ASSERT_EQ(ERROR_SUCCESS, Set("sznonul", REG_SZ, "abcdX", 4));
    ASSERT_EQ(ERROR_SUCCESS, Set("empty", REG_SZ, "", 0));
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyA(HKEY_CURRENT_USER, scratch_.path().c_str(),
                          &closed_));
    ASSERT_EQ(ERROR_SUCCESS, RegCloseKey(closed_));
  }
  void TearDown() override {
    RegCloseKey(key_);
    RealRegistryTest::TearDown();
  }

  LONG Set(const char* name, DWORD type, const char* data, DWORD size) {
    return RegSetValueExA(key_, name, 0, type,
                          reinterpret_cast<const BYTE*>(data), size);
  }
  HKEY Key(KeyKind kind) const {
    return kind == KeyKind::kScratch ? key_
           : kind == KeyKind::kNull  ? nullptr
                                     : closed_;
  }
  // The value as RegQueryValueExA gives it: type and bytes.
  StoredValue Get(const char* name) {
    StoredValue value;
    char buffer[64];
    DWORD size = sizeof buffer;
    EXPECT_EQ(ERROR_SUCCESS,
              RegQueryValueExA(key_, name, nullptr, &value.type,
                               reinterpret_cast<BYTE*>(buffer), &size))
        << name;
    if (size <= sizeof buffer) value.data.assign(buffer, size);
    return value;
  }

  HKEY key_ = nullptr;
  HKEY closed_ = nullptr;
};

// kFill after the bytes `written`, up to `size` bytes in all.
std::string Filled(const std::string& written, size_t size) {
  return written + std::string(size - written.size(), static_cast<char>(kFill));
}

TEST_F(CallOutputsTest, QueryValueEx) {
  const bool kNo = false, kYes = true;
  const DWORD kAsIs = kTypeSentinel;
  const size_t kBuffer = 12;
  struct Case {
    const char* label;
    KeyKind key;
    const char* name;
    bool reserved, type, data, size;
    DWORD size_in;
    LONG result;
    DWORD type_out;  // kAsIs: left as it was
    DWORD size_out;
    std::string written;  // the buffer's first bytes; the rest keeps kFill
  } cases[] = {
      // Without a buffer.
      {"null key", KeyKind::kNull, "bin", kNo, kYes, kNo, kYes, 8,
       ERROR_INVALID_HANDLE, kAsIs, 8, ""},
      {"reserved", KeyKind::kScratch, "bin", kYes, kYes, kNo, kYes, 8,
       ERROR_INVALID_PARAMETER, kAsIs, 8, ""},
      {"reserved, null key", KeyKind::kNull, "bin", kYes, kYes, kNo, kYes, 8,
       ERROR_INVALID_PARAMETER, kAsIs, 8, ""},
      {"closed key", KeyKind::kClosed, "bin", kNo, kYes, kNo, kYes, 8,
       ERROR_INVALID_HANDLE, REG_NONE, 0, ""},
      {"missing value", KeyKind::kScratch, "nope", kNo, kYes, kNo, kYes, 8,
       ERROR_FILE_NOT_FOUND, REG_NONE, 0, ""},
      {"missing value, no type", KeyKind::kScratch, "nope", kNo, kNo, kNo,
       kYes, 8, ERROR_FILE_NOT_FOUND, kAsIs, 0, ""},
      {"size of binary", KeyKind::kScratch, "bin", kNo, kYes, kNo, kYes, 0,
       ERROR_SUCCESS, REG_BINARY, 4, ""},
      {"size of a string", KeyKind::kScratch, "sz", kNo, kYes, kNo, kYes, 1,
       ERROR_SUCCESS, REG_SZ, 5, ""},
      {"size of an empty string", KeyKind::kScratch, "empty", kNo, kYes, kNo,
       kYes, 8, ERROR_SUCCESS, REG_SZ, 0, ""},
      {"null key, no size", KeyKind::kNull, "bin", kNo, kYes, kNo, kNo, 8,
       ERROR_INVALID_HANDLE, kAsIs, 8, ""},
      {"closed key, no size", KeyKind::kClosed, "bin", kNo, kYes, kNo, kNo, 8,
       ERROR_INVALID_HANDLE, REG_NONE, 8, ""},
      {"type only", KeyKind::kScratch, "bin", kNo, kYes, kNo, kNo, 8,
       ERROR_SUCCESS, REG_BINARY, 8, ""},
      // With a buffer.
      {"buffer, null key", KeyKind::kNull, "bin", kNo, kYes, kYes, kYes, 8,
       ERROR_INVALID_HANDLE, kAsIs, 8, ""},
      {"buffer, reserved", KeyKind::kScratch, "bin", kYes, kYes, kYes, kYes,
       8, ERROR_INVALID_PARAMETER, kAsIs, 8, ""},
      {"buffer, no size", KeyKind::kScratch, "bin", kNo, kYes, kYes, kNo, 8,
       ERROR_INVALID_PARAMETER, kAsIs, 8, ""},
      {"buffer, no size, null key", KeyKind::kNull, "bin", kNo, kYes, kYes,
       kNo, 8, ERROR_INVALID_PARAMETER, kAsIs, 8, ""},
      {"buffer, closed key", KeyKind::kClosed, "bin", kNo, kYes, kYes, kYes, 8,
       ERROR_INVALID_HANDLE, REG_NONE, 8, ""},
      {"buffer, missing value", KeyKind::kScratch, "nope", kNo, kYes, kYes,
       kYes, 8, ERROR_FILE_NOT_FOUND, REG_NONE, 8, ""},
      {"buffer, missing value, no type", KeyKind::kScratch, "nope", kNo, kNo,
       kYes, kYes, 8, ERROR_FILE_NOT_FOUND, kAsIs, 8, ""},
      {"binary", KeyKind::kScratch, "bin", kNo, kYes, kYes, kYes, 8,
       ERROR_SUCCESS, REG_BINARY, 4, "\x01\x02\x03\x04"},
      {"binary, exact", KeyKind::kScratch, "bin", kNo, kYes, kYes, kYes, 4,
       ERROR_SUCCESS, REG_BINARY, 4, "\x01\x02\x03\x04"},
      {"binary, short", KeyKind::kScratch, "bin", kNo, kYes, kYes, kYes, 2,
       ERROR_MORE_DATA, REG_BINARY, 4, ""},
      {"binary, no room", KeyKind::kScratch, "bin", kNo, kYes, kYes, kYes, 0,
       ERROR_MORE_DATA, REG_BINARY, 4, ""},
      {"string", KeyKind::kScratch, "sz", kNo, kYes, kYes, kYes, 8,
       ERROR_SUCCESS, REG_SZ, 5, std::string("abcd\0", 5)},
      {"string, short", KeyKind::kScratch, "sz", kNo, kYes, kYes, kYes, 4,
       ERROR_MORE_DATA, REG_SZ, 5, ""},
      // A NUL goes after a string without one where there is room, and
      // is not counted.
      {"string without NUL", KeyKind::kScratch, "sznonul", kNo, kYes, kYes,
       kYes, 8, ERROR_SUCCESS, REG_SZ, 4, std::string("abcd\0", 5)},
      {"string without NUL, exact", KeyKind::kScratch, "sznonul", kNo, kYes,
       kYes, kYes, 4, ERROR_SUCCESS, REG_SZ, 4, "abcd"},
      {"string without NUL, short", KeyKind::kScratch, "sznonul", kNo, kYes,
       kYes, kYes, 3, ERROR_MORE_DATA, REG_SZ, 4, ""},
      {"empty string", KeyKind::kScratch, "empty", kNo, kYes, kYes, kYes, 8,
       ERROR_SUCCESS, REG_SZ, 0, ""},
      {"empty string, no room", KeyKind::kScratch, "empty", kNo, kYes, kYes,
       kYes, 0, ERROR_SUCCESS, REG_SZ, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    DWORD reserved = 0x77, type = kTypeSentinel, size = c.size_in;
    unsigned char buffer[kBuffer];
    memset(buffer, kFill, sizeof buffer);
    EXPECT_EQ(c.result,
              RegQueryValueExA(Key(c.key), c.name,
                               c.reserved ? &reserved : nullptr,
                               c.type ? &type : nullptr,
                               c.data ? buffer : nullptr,
                               c.size ? &size : nullptr));
    EXPECT_EQ(c.type_out, type);
    EXPECT_EQ(c.size_out, size);
    EXPECT_EQ(Filled(c.written, kBuffer),
              std::string(reinterpret_cast<char*>(buffer), kBuffer));
    EXPECT_EQ(0x77u, reserved);
  }
}

TEST_F(CallOutputsTest, QueryInfoKey) {
  const size_t kBuffer = 8;
  struct Case {
    const char* label;
    KeyKind key;
    bool class_name, class_length, reserved;
    DWORD length_in;
    LONG result;
    DWORD length_out;
    std::string written;  // the class buffer's first bytes
    bool counts_filled;   // else left as they were
  } cases[] = {
      {"class", KeyKind::kScratch, true, true, false, 8, ERROR_SUCCESS, 0,
       std::string("\0", 1), true},
      {"class, no room", KeyKind::kScratch, true, true, false, 0,
       ERROR_SUCCESS, 0, "", true},
      {"class length only", KeyKind::kScratch, false, true, false, 8,
       ERROR_SUCCESS, 0, "", true},
      {"counts only", KeyKind::kScratch, false, false, false, 8,
       ERROR_SUCCESS, 8, "", true},
      {"class without its length", KeyKind::kScratch, true, false, false, 8,
       ERROR_INVALID_PARAMETER, 8, "", false},
      {"reserved is ignored", KeyKind::kScratch, true, true, true, 8,
       ERROR_SUCCESS, 0, std::string("\0", 1), true},
      {"null key", KeyKind::kNull, true, true, false, 8,
       ERROR_INVALID_HANDLE, 8, "", false},
      {"null key, class without its length", KeyKind::kNull, true, false,
       false, 8, ERROR_INVALID_PARAMETER, 8, "", false},
      {"closed key", KeyKind::kClosed, true, true, false, 8,
       ERROR_INVALID_HANDLE, 8, "", false},
      {"closed key, counts only", KeyKind::kClosed, false, false, false, 8,
       ERROR_INVALID_HANDLE, 8, "", false},
  };
  // The scratch key: no subkeys, four values, the longest name
  // "sznonul", the most data "abcd" and its NUL in UTF-16.
  const DWORD kFilled[7] = {0, 0, 0, 4, 7, 10, 0};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    char class_name[kBuffer];
    memset(class_name, kFill, sizeof class_name);
    DWORD length = c.length_in, reserved = 0x77, counts[7];
    for (DWORD& count : counts) count = kCountSentinel;
    FILETIME written = {kCountSentinel, kCountSentinel};
    EXPECT_EQ(c.result,
              RegQueryInfoKeyA(Key(c.key), c.class_name ? class_name : nullptr,
                               c.class_length ? &length : nullptr,
                               c.reserved ? &reserved : nullptr, &counts[0],
                               &counts[1], &counts[2], &counts[3], &counts[4],
                               &counts[5], &counts[6], &written));
    EXPECT_EQ(c.length_out, length);
    EXPECT_EQ(Filled(c.written, kBuffer), std::string(class_name, kBuffer));
    EXPECT_EQ(0x77u, reserved);
    for (int i = 0; i < 7; ++i) {
      EXPECT_EQ(c.counts_filled ? kFilled[i] : kCountSentinel, counts[i])
          << "count " << i;
    }
    const bool time_written = written.dwLowDateTime != kCountSentinel ||
                              written.dwHighDateTime != kCountSentinel;
    EXPECT_EQ(c.counts_filled, time_written);
  }
}

TEST_F(CallOutputsTest, OpenAndCreateHandles) {
  struct Case {
    PathCall call;
    KeyKind key;
    const char* path;
    bool result_passed;
    LONG result;
    HKEY handle;  // kHandleSentinel: left as it was
  } cases[] = {
      {PathCall::kOpenKey, KeyKind::kNull, "x", true, ERROR_INVALID_HANDLE,
       kHandleSentinel},
      {PathCall::kOpenKeyEx, KeyKind::kNull, "x", true, ERROR_INVALID_HANDLE,
       kHandleSentinel},
      {PathCall::kCreateKey, KeyKind::kNull, "x", true, ERROR_INVALID_HANDLE,
       kHandleSentinel},
      {PathCall::kOpenKey, KeyKind::kClosed, "x", true, ERROR_INVALID_HANDLE,
       nullptr},
      {PathCall::kOpenKeyEx, KeyKind::kClosed, "x", true,
       ERROR_INVALID_HANDLE, nullptr},
      {PathCall::kCreateKey, KeyKind::kClosed, "x", true,
       ERROR_INVALID_HANDLE, nullptr},
      {PathCall::kOpenKey, KeyKind::kScratch, "nope\\deeper", true,
       ERROR_FILE_NOT_FOUND, nullptr},
      {PathCall::kOpenKeyEx, KeyKind::kScratch, "nope\\deeper", true,
       ERROR_FILE_NOT_FOUND, nullptr},
      {PathCall::kOpenKey, KeyKind::kScratch, "\\x", true, ERROR_BAD_PATHNAME,
       nullptr},
      {PathCall::kOpenKeyEx, KeyKind::kScratch, "\\x", true,
       ERROR_BAD_PATHNAME, nullptr},
      {PathCall::kCreateKey, KeyKind::kScratch, "\\x", true,
       ERROR_BAD_PATHNAME, nullptr},
      // Only RegOpenKeyA checks for the result pointer; the others write
      // through it regardless.
      {PathCall::kOpenKey, KeyKind::kScratch, "x", false,
       ERROR_INVALID_PARAMETER, kHandleSentinel},
      {PathCall::kOpenKey, KeyKind::kNull, "x", false,
       ERROR_INVALID_PARAMETER, kHandleSentinel},
#ifndef _WIN32
      // Wine's crash the program here; this registry answers as
      // RegOpenKeyA does.
      {PathCall::kOpenKeyEx, KeyKind::kScratch, "x", false,
       ERROR_INVALID_PARAMETER, kHandleSentinel},
      {PathCall::kCreateKey, KeyKind::kScratch, "x", false,
       ERROR_INVALID_PARAMETER, kHandleSentinel},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(PathCallName(c.call)) + " " + KeyKindName(c.key) +
                 " " + c.path);
    HKEY handle = kHandleSentinel;
    EXPECT_EQ(c.result, CallWithPath(c.call, Key(c.key), c.path,
                                     c.result_passed ? &handle : nullptr));
    EXPECT_EQ(c.handle, handle);
  }
}

TEST_F(CallOutputsTest, SetValueExFailures) {
  const BYTE* const kOne = reinterpret_cast<const BYTE*>("\x01");
  const LONG kNoAccess = 998;  // ERROR_NOACCESS
  struct Case {
    const char* label;
    KeyKind key;
    DWORD reserved;
    DWORD type;
    const BYTE* data;
    LONG result;
  } cases[] = {
      {"null key", KeyKind::kNull, 0, REG_BINARY, kOne, ERROR_INVALID_HANDLE},
      {"closed key", KeyKind::kClosed, 0, REG_BINARY, kOne,
       ERROR_INVALID_HANDLE},
      {"reserved is ignored", KeyKind::kScratch, 1, REG_BINARY, kOne,
       ERROR_SUCCESS},
      {"no data", KeyKind::kScratch, 0, REG_BINARY, nullptr, kNoAccess},
      {"no data, null key", KeyKind::kNull, 0, REG_BINARY, nullptr,
       ERROR_INVALID_HANDLE},
      // The data is looked at before the handle.
      {"no data, closed key", KeyKind::kClosed, 0, REG_BINARY, nullptr,
       kNoAccess},
#ifndef _WIN32
      // Wine reads the string that is not there and crashes the program;
      // this registry answers as it does for bytes.
      {"no string", KeyKind::kScratch, 0, REG_SZ, nullptr, kNoAccess},
      {"no string, closed key", KeyKind::kClosed, 0, REG_MULTI_SZ, nullptr,
       kNoAccess},
      {"no string, null key", KeyKind::kNull, 0, REG_SZ, nullptr,
       ERROR_INVALID_HANDLE},
#endif
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.result, RegSetValueExA(Key(c.key), "set", c.reserved, c.type,
                                       c.data, 1))
        << c.label;
  }
  // The value is still the one the success stored: no failure stored one.
  DWORD type = kTypeSentinel;
  EXPECT_EQ(ERROR_SUCCESS,
            RegQueryValueExA(key_, "set", nullptr, &type, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
}

// A string's size that leaves out its final NUL. Wine stores the byte
// after the size too when it is a NUL (reading past what the caller
// gave); this registry keeps exactly the bytes the size covers.
TEST_F(CallOutputsTest, StringSizeWithoutItsNul) {
#ifdef _WIN32
  const bool kStoresNulAfter = true;  // Wine's own registry
#else
  const bool kStoresNulAfter = false;
#endif
  struct Case {
    const char* label;
    DWORD type;
    std::string data;  // the caller's bytes, one past the size included
    DWORD size;
    std::string stored;  // when the byte past the size is not taken
  } cases[] = {
      {"NUL after", REG_SZ, std::string("abc\0", 4), 3, "abc"},
      {"another byte after", REG_SZ, "abcX", 3, "abc"},
      {"NUL after, expandable", REG_EXPAND_SZ, std::string("abc\0", 4), 3,
       "abc"},
      {"NUL after, multiple strings", REG_MULTI_SZ, std::string("a\0b\0", 4),
       3, std::string("a\0b", 3)},
      {"another byte after, multiple strings", REG_MULTI_SZ,
       std::string("a\0bX", 4), 3, std::string("a\0b", 3)},
      {"binary, NUL after", REG_BINARY, std::string("abc\0", 4), 3, "abc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string name = std::string("size ") + c.label;
    ASSERT_EQ(ERROR_SUCCESS,
              Set(name.c_str(), c.type, c.data.data(), c.size));
    const bool nul_after = c.data[c.size] == '\0' && c.type != REG_BINARY;
    const std::string expected =
        kStoresNulAfter && nul_after ? c.data.substr(0, c.size + 1)
                                     : c.stored;
    StoredValue value = Get(name.c_str());
    EXPECT_EQ(c.type, value.type);
    EXPECT_EQ(expected, value.data);
  }
}

}  // namespace
