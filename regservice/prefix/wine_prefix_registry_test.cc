#include "regservice/prefix/wine_prefix_registry.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "regservice/prefix/fake_server.h"
#include "regservice/prefix/fault_injection_env.h"
#include "regservice/prefix/test_dir.h"
#include "regservice/prefix/test_support.h"
#include "regservice/prefix/running_server.h"
#include "winshim/mbstring.h"

namespace regservice {
namespace prefix {
namespace {

// What the tests need of a user.reg: a key that exists only as part of a
// deeper section's path (Software\Acme), a key with a class, non-ASCII
// names.
const char kUserReg[] =
    QUILLFIX_TEST_USER_REG_HEAD
    "\n"
    "[Software\\\\Acme\\\\Tool 1.0\\\\Prefs] 1796869137\n"
    "#time=1dd884ccfb82800\n"
    "\"Caf\\xe9\"=\"\\xe9t\\xe9 \\x20ac\"\n"
    "\"Flag\"=hex:02\n"
    "\n"
    "[Software\\\\Classy] 1796869137\n"
    "#time=1dd884ccfb82800\n"
    "#class=\"MyCl\\xe9ss\"\n"
    "\n"
    "[Software\\\\\\xe9t\\xe9] 1796869137\n"
    "#time=1dd884ccfb82800\n";

const uint64_t kFileTime = 0x1dd884ccfb82800ull;
const uint64_t kNow = 0x1dd9000000000000ull;

class WinePrefixRegistryTest : public ::testing::Test {
 protected:
  WinePrefixRegistryTest() {
    winshim::SetMultibyteCodePage(1252);
    location_.directory = dir_.path();
    // No server directories are made for these throwaway prefixes.
    location_.system_tmp = dir_ / "no-tmp";
    TestDir::Write(UserReg(), kUserReg);
  }
  ~WinePrefixRegistryTest() override { winshim::SetMultibyteCodePage(1252); }

  std::string UserReg() const { return dir_ / "user.reg"; }
  std::unique_ptr<WinePrefixRegistry> NewRegistry() {
    std::unique_ptr<WinePrefixRegistry> registry(
        new WinePrefixRegistry(&env_, location_));
    registry->set_clock([] { return kNow; });
    return registry;
  }
  // The value as a fresh load of user.reg has it; type 0xFFFF if missing.
  wine::Value ValueInFile(const wine::KeyPath& path, const wine::Name& name) {
    return prefix::ValueInFile(UserReg(), path, name);
  }

  TestDir dir_;
  PrefixLocation location_;
  FaultInjectionEnv env_;
};

enum Operation { kOpen, kOpenEx, kCreate };

const char* OperationName(Operation op) {
  return op == kOpen     ? "RegOpenKeyA"
         : op == kOpenEx ? "RegOpenKeyExA"
                         : "RegCreateKeyA";
}

LONG RunOperation(Registry* registry, Operation op, HKEY key, const char* path,
                  HKEY* result) {
  switch (op) {
    case kOpen:
      return registry->OpenKey(key, path, result);
    case kOpenEx:
      return registry->OpenKeyEx(key, path, 0, KEY_ALL_ACCESS, result);
    case kCreate:
      return registry->CreateKey(key, path, result);
  }
  return -1;
}

TEST_F(WinePrefixRegistryTest, PathsFromTheRoot) {
  const std::string k250(250, 'k'), k254(254, 'k'), k256(256, 'k'),
      k257(257, 'k');
  const std::string e256(256, '\xe9');  // 256 units after conversion
  struct Case {
    Operation op;
    std::string path;
    LONG expected;
  } cases[] = {
      {kOpen, "Software\\Acme\\Tool 1.0\\Prefs", ERROR_SUCCESS},
      {kOpen, "Software\\Acme", ERROR_SUCCESS},  // only a section's prefix
      {kOpen, "Software", ERROR_SUCCESS},
      {kOpen, "software\\ACME\\tool 1.0\\pREFS", ERROR_SUCCESS},
      {kOpen, "Software\\\xe9t\xe9", ERROR_SUCCESS},
      {kOpen, "Software\\\xc9T\xc9", ERROR_SUCCESS},
      {kOpen, "Software\\Acme\\", ERROR_SUCCESS},
      {kOpen, "Software\\Acme\\\\\\", ERROR_SUCCESS},
      {kOpen, "Software\\\\Acme\\\\Tool 1.0", ERROR_SUCCESS},
      {kOpen, "\\Software", ERROR_BAD_PATHNAME},
      {kOpen, "\\", ERROR_BAD_PATHNAME},
      {kOpen, "Software\\Nope", ERROR_FILE_NOT_FOUND},
      {kOpen, "Software\\Acm", ERROR_FILE_NOT_FOUND},
      {kOpen, "Software\\Acme\\Tool 1.0\\Prefs\\Flag", ERROR_FILE_NOT_FOUND},
      {kOpen, k256, ERROR_FILE_NOT_FOUND},
      {kOpen, k257, ERROR_INVALID_PARAMETER},
      {kOpen, "Nope\\" + k254, ERROR_FILE_NOT_FOUND},  // 259 in all
      {kOpen, "Software\\" + k256, ERROR_MORE_DATA},   // 265 in all
      {kOpen, "Nope\\" + k257, ERROR_MORE_DATA},
      {kOpenEx, "Software\\Acme", ERROR_SUCCESS},
      {kOpenEx, "SOFTWARE\\acme\\", ERROR_SUCCESS},
      {kOpenEx, "\\Software", ERROR_BAD_PATHNAME},
      {kOpenEx, "Software\\Nope", ERROR_FILE_NOT_FOUND},
      {kOpenEx, k257, ERROR_INVALID_PARAMETER},
      {kCreate, "Software\\Acme", ERROR_SUCCESS},
      {kCreate, "Software\\New\\Deeper\\Deepest", ERROR_SUCCESS},
      {kCreate, "Software\\\\New\\\\", ERROR_SUCCESS},
      {kCreate, k256, ERROR_SUCCESS},
      {kCreate, e256, ERROR_SUCCESS},
      {kCreate, k257, ERROR_INVALID_PARAMETER},
      {kCreate, e256 + "\xe9", ERROR_INVALID_PARAMETER},
      {kCreate, "Software\\" + k250, ERROR_SUCCESS},  // 259 in all
      {kCreate, "Software\\" + k256, ERROR_MORE_DATA},
      {kCreate, "\\Software\\New", ERROR_BAD_PATHNAME},
  };
  for (const Case& c : cases) {
    auto registry = NewRegistry();
    HKEY key = reinterpret_cast<HKEY>(0x1234);
    LONG result = RunOperation(registry.get(), c.op, HKEY_CURRENT_USER,
                               c.path.c_str(), &key);
    std::string label =
        std::string(OperationName(c.op)) + " '" + c.path.substr(0, 40) + "'";
    EXPECT_EQ(c.expected, result) << label;
    if (c.expected == ERROR_MORE_DATA) {
      // Refused before anything is looked at: the handle is not touched.
      EXPECT_EQ(reinterpret_cast<HKEY>(0x1234), key) << label;
    } else if (c.expected == ERROR_SUCCESS) {
      EXPECT_NE(nullptr, key) << label;
      EXPECT_NE(HKEY_CURRENT_USER, key) << label;
      EXPECT_EQ(ERROR_SUCCESS, registry->CloseKey(key)) << label;
    } else {
      EXPECT_EQ(nullptr, key) << label;
    }
  }
}

TEST_F(WinePrefixRegistryTest, CreateMakesEveryLevelAndOpenFindsThem) {
  auto registry = NewRegistry();
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            registry->CreateKey(HKEY_CURRENT_USER, "Software\\A\\B\\C", &key));
  for (const char* path :
       {"Software\\A", "Software\\a\\b", "SOFTWARE\\A\\B\\C"}) {
    HKEY opened = nullptr;
    EXPECT_EQ(ERROR_SUCCESS,
              registry->OpenKey(HKEY_CURRENT_USER, path, &opened))
        << path;
    registry->CloseKey(opened);
  }
  // Relative to an open key.
  HKEY child = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, registry->CreateKey(key, "D\\E", &child));
  HKEY found = nullptr;
  EXPECT_EQ(ERROR_SUCCESS,
            registry->OpenKeyEx(HKEY_CURRENT_USER, "Software\\A\\B\\C\\D\\E", 0,
                                KEY_ALL_ACCESS, &found));
  registry->CloseKey(found);
  registry->CloseKey(child);
  registry->CloseKey(key);
}

TEST_F(WinePrefixRegistryTest, EmptyPaths) {
  auto registry = NewRegistry();
  HKEY acme = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            registry->OpenKey(HKEY_CURRENT_USER, "Software\\Acme", &acme));
  HKEY key = nullptr;
  // RegOpenKeyA: the very handle passed in.
  for (const char* path : {"", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(ERROR_SUCCESS, registry->OpenKey(HKEY_CURRENT_USER, path, &key));
    EXPECT_EQ(HKEY_CURRENT_USER, key);
    EXPECT_EQ(ERROR_SUCCESS, registry->OpenKey(acme, path, &key));
    EXPECT_EQ(acme, key);
  }
  // RegOpenKeyExA: HKEY_CURRENT_USER itself, but a new handle to an open
  // key.
  HKEY again = nullptr;
  for (const char* path : {"", static_cast<const char*>(nullptr)}) {
    key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, registry->OpenKeyEx(HKEY_CURRENT_USER, path, 0,
                                                 KEY_ALL_ACCESS, &key));
    EXPECT_EQ(HKEY_CURRENT_USER, key);
    if (again != nullptr) {
      EXPECT_EQ(ERROR_SUCCESS, registry->CloseKey(again));
    }
    again = nullptr;
    EXPECT_EQ(ERROR_SUCCESS,
              registry->OpenKeyEx(acme, path, 0, KEY_ALL_ACCESS, &again));
    EXPECT_NE(acme, again);
    EXPECT_NE(nullptr, again);
  }
  DWORD subkeys = 0;
  EXPECT_EQ(ERROR_SUCCESS,
            registry->QueryInfoKey(again, nullptr, nullptr, nullptr, &subkeys,
                                   nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr));
  EXPECT_EQ(1u, subkeys);  // Tool 1.0
  // RegCreateKeyA: a new handle, for a root too.
  HKEY created = nullptr;
  EXPECT_EQ(ERROR_SUCCESS,
            registry->CreateKey(HKEY_CURRENT_USER, "", &created));
  EXPECT_NE(HKEY_CURRENT_USER, created);
  EXPECT_NE(nullptr, created);
  registry->CloseKey(created);
  registry->CloseKey(again);
  registry->CloseKey(acme);
}

TEST_F(WinePrefixRegistryTest, Handles) {
  auto registry = NewRegistry();
  std::set<HKEY> open;
  for (int i = 0; i < 5; ++i) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              registry->OpenKey(HKEY_CURRENT_USER, "Software", &key));
    EXPECT_TRUE(open.insert(key).second) << "duplicate handle";
    EXPECT_NE(HKEY_CURRENT_USER, key);
  }
  HKEY closed = *open.begin();
  EXPECT_EQ(ERROR_SUCCESS, registry->CloseKey(closed));
  EXPECT_EQ(ERROR_INVALID_HANDLE, registry->CloseKey(closed));
  // A closed handle is never handed out again while others are open.
  HKEY fresh = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            registry->OpenKey(HKEY_CURRENT_USER, "Software", &fresh));
  EXPECT_NE(closed, fresh);

  HKEY key = reinterpret_cast<HKEY>(0x1234);
  EXPECT_EQ(ERROR_INVALID_HANDLE, registry->OpenKey(closed, "Acme", &key));
  EXPECT_EQ(nullptr, key);
  EXPECT_EQ(ERROR_INVALID_HANDLE, registry->CreateKey(closed, "Acme", &key));
  EXPECT_EQ(ERROR_INVALID_HANDLE,
            registry->SetValueEx(closed, "x", 0, REG_BINARY,
                                 reinterpret_cast<const BYTE*>("\1"), 1));
  EXPECT_EQ(ERROR_INVALID_HANDLE,
            registry->QueryInfoKey(closed, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr));
  EXPECT_EQ(ERROR_INVALID_HANDLE, registry->OpenKey(nullptr, "Software", &key));
  EXPECT_EQ(ERROR_INVALID_HANDLE, registry->CreateKey(nullptr, "", &key));
  EXPECT_EQ(ERROR_INVALID_HANDLE, registry->CloseKey(nullptr));
  EXPECT_EQ(ERROR_INVALID_HANDLE,
            registry->CloseKey(reinterpret_cast<HKEY>(0x12345)));
  // Null out-pointers.
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            registry->OpenKey(HKEY_CURRENT_USER, "Software", nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            registry->OpenKeyEx(HKEY_CURRENT_USER, "Software", 0,
                                KEY_ALL_ACCESS, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            registry->CreateKey(HKEY_CURRENT_USER, "Software", nullptr));

  // HKEY_CURRENT_USER closes, more than once, and stays usable.
  EXPECT_EQ(ERROR_SUCCESS, registry->CloseKey(HKEY_CURRENT_USER));
  EXPECT_EQ(ERROR_SUCCESS, registry->CloseKey(HKEY_CURRENT_USER));
  EXPECT_EQ(ERROR_SUCCESS,
            registry->OpenKey(HKEY_CURRENT_USER, "Software", &key));
  registry->CloseKey(key);
  for (HKEY k : open) registry->CloseKey(k);
  registry->CloseKey(fresh);
}

TEST_F(WinePrefixRegistryTest, SetValueStoresExactBytesAndType) {
  struct Case {
    const char* name;
    DWORD type;
    std::string data;
    std::string stored;
  } cases[] = {
      {"bin", REG_BINARY, "\x01", "\x01"},
      {"empty", REG_BINARY, "", ""},
      {"dword", REG_DWORD, std::string("\x2a\0\0\0", 4),
       std::string("\x2a\0\0\0", 4)},
      {"dword3", REG_DWORD, "\x01\x02\x03", "\x01\x02\x03"},
      {"qword", REG_QWORD, std::string("\x89\x67\x45\x23\x01\0\0\0", 8),
       std::string("\x89\x67\x45\x23\x01\0\0\0", 8)},
      {"custom", 0x12345, "\xde\xad\x80", "\xde\xad\x80"},
      {"none", REG_NONE, "\x80", "\x80"},
      // String types are converted from 1252: 0x80 is the euro sign.
      {"sz", REG_SZ, std::string("ab\x80\0", 4),
       std::string("a\0b\0\xac\x20\0\0", 8)},
      {"expand", REG_EXPAND_SZ, std::string("%P%\0", 4),
       std::string("%\0P\0%\0\0\0", 8)},
      {"multi", REG_MULTI_SZ, std::string("a\0\xe9\0\0", 5),
       std::string("a\0\0\0\xe9\0\0\0\0\0", 10)},
      {"odd", REG_SZ, "ab", std::string("a\0b\0", 4)},
  };
  auto registry = NewRegistry();
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            registry->CreateKey(HKEY_CURRENT_USER, "Software\\Values", &key));
  for (const Case& c : cases) {
    EXPECT_EQ(ERROR_SUCCESS,
              registry->SetValueEx(key, c.name, 0, c.type,
                                   reinterpret_cast<const BYTE*>(c.data.data()),
                                   static_cast<DWORD>(c.data.size())))
        << c.name;
  }
  ASSERT_EQ(ERROR_SUCCESS, registry->CloseKey(key));  // writes the file
  for (const Case& c : cases) {
    std::u16string name(c.name, c.name + strlen(c.name));
    wine::Value value = ValueInFile({u"Software", u"Values"}, name);
    EXPECT_EQ(c.type, value.type) << c.name;
    EXPECT_EQ(c.stored, value.data) << c.name;
  }
}

TEST_F(WinePrefixRegistryTest, ValueNames) {
  auto registry = NewRegistry();
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            registry->OpenKey(HKEY_CURRENT_USER,
                              "Software\\Acme\\Tool 1.0\\Prefs", &key));
  const BYTE one = 1;
  // Another spelling overwrites the value and keeps the first spelling.
  EXPECT_EQ(ERROR_SUCCESS,
            registry->SetValueEx(key, "CAF\xc9", 0, REG_BINARY, &one, 1));
  EXPECT_EQ(ERROR_SUCCESS,
            registry->SetValueEx(key, "flag", 0, REG_BINARY, &one, 1));
  // The default value: null and empty name alike.
  EXPECT_EQ(ERROR_SUCCESS,
            registry->SetValueEx(key, nullptr, 0, REG_BINARY, &one, 1));
  EXPECT_EQ(ERROR_SUCCESS,
            registry->SetValueEx(key, "", 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>("\2\0\0\0"), 4));
  const std::string longest(16383, 'v'), too_long(16384, 'v');
  EXPECT_EQ(ERROR_SUCCESS,
            registry->SetValueEx(key, longest.c_str(), 0, REG_BINARY, &one, 1));
  EXPECT_EQ(
      ERROR_INVALID_PARAMETER,
      registry->SetValueEx(key, too_long.c_str(), 0, REG_BINARY, &one, 1));
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            registry->SetValueEx(key, std::string(70000, 'v').c_str(), 0,
                                 REG_BINARY, &one, 1));
  EXPECT_EQ(998, registry->SetValueEx(key, "x", 0, REG_BINARY, nullptr, 3));
  EXPECT_EQ(ERROR_SUCCESS,
            registry->SetValueEx(key, "nodata", 0, REG_BINARY, nullptr, 0));
  ASSERT_EQ(ERROR_SUCCESS, registry->CloseKey(key));

  std::string text = TestDir::Read(UserReg());
  EXPECT_NE(std::string::npos, text.find("\"Caf\\xe9\"=hex:01\n")) << text;
  EXPECT_NE(std::string::npos, text.find("\"Flag\"=hex:01\n")) << text;
  EXPECT_EQ(std::string::npos, text.find("CAF")) << text;
  EXPECT_EQ(
      std::string("\2\0\0\0", 4),
      ValueInFile({u"Software", u"Acme", u"Tool 1.0", u"Prefs"}, u"").data);
  EXPECT_EQ(REG_BINARY,
            ValueInFile({u"Software", u"Acme", u"Tool 1.0", u"Prefs"},
                        std::u16string(16383, u'v'))
                .type);
}

TEST_F(WinePrefixRegistryTest, NamesFollowTheCodePage) {
  winshim::SetMultibyteCodePage(1251);
  auto registry = NewRegistry();
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            registry->CreateKey(HKEY_CURRENT_USER, "Software\\\xc4\xe0", &key));
  const BYTE one = 1;
  EXPECT_EQ(ERROR_SUCCESS,
            registry->SetValueEx(key, "\xff", 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>("\xc0"), 2));
  ASSERT_EQ(ERROR_SUCCESS, registry->CloseKey(key));
  wine::Value value = ValueInFile({u"Software", u"\u0414\u0430"}, u"\u044f");
  EXPECT_EQ(REG_SZ, value.type);
  EXPECT_EQ(std::string("\x10\x04\0\0", 4), value.data);
  (void)one;
  // In 932 a trail byte of 0x5C belongs to its character, not a separator.
  winshim::SetMultibyteCodePage(932);
  ASSERT_EQ(ERROR_SUCCESS,
            registry->CreateKey(HKEY_CURRENT_USER, "Software\\\x95\x5c", &key));
  ASSERT_EQ(ERROR_SUCCESS, registry->CloseKey(key));
  wine::Hive hive;
  ASSERT_TRUE(hive.Load(TestDir::Read(UserReg())).ok());
  EXPECT_TRUE(hive.KeyExists({u"Software", u"\u8868"}));
}

// The last write time of the key at `path`, as the registry reports it.
uint64_t LastWrite(Registry* registry, const char* path) {
  HKEY key = nullptr;
  if (registry->OpenKey(HKEY_CURRENT_USER, path, &key) != ERROR_SUCCESS) {
    ADD_FAILURE() << path << " not found";
    return 0;
  }
  FILETIME time = {0, 0};
  EXPECT_EQ(ERROR_SUCCESS,
            registry->QueryInfoKey(key, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, &time));
  registry->CloseKey(key);
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) |
         time.dwLowDateTime;
}

// One RegCreateKeyA is one moment: the keys it makes and the parent it
// changes all get the same time, however the clock moves meanwhile.
TEST_F(WinePrefixRegistryTest, OneCreateGivesItsKeysAndTheirParentOneTime) {
  struct Case {
    const char* parent;  // exists before
    const char* created;
    std::vector<const char*> made;
  } cases[] = {
      {"Software\\Classy", "Software\\Classy\\A\\B\\C",
       {"Software\\Classy\\A", "Software\\Classy\\A\\B",
        "Software\\Classy\\A\\B\\C"}},
      {"Software\\Classy", "Software\\Classy\\One", {"Software\\Classy\\One"}},
  };
  for (const Case& c : cases) {
    TestDir::Write(UserReg(), kUserReg);
    auto registry = NewRegistry();
    // Every reading of the clock is 1.5 s later than the one before, and
    // none is a whole second.
    uint64_t ticks = kFileTime + 7654321;
    registry->set_clock([&ticks] { return ticks += 15000000; });
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              registry->CreateKey(HKEY_CURRENT_USER, c.created, &key));
    const uint64_t parent = LastWrite(registry.get(), c.parent);
    EXPECT_NE(kFileTime, parent) << c.created;
    for (const char* made : c.made) {
      EXPECT_EQ(parent, LastWrite(registry.get(), made)) << made;
    }
    ASSERT_EQ(ERROR_SUCCESS, registry->CloseKey(key));
    // And so does Wine when it loads the file.
    auto reloaded = NewRegistry();
    const uint64_t parent_in_file = LastWrite(reloaded.get(), c.parent);
    EXPECT_EQ(parent, parent_in_file) << c.created;
    for (const char* made : c.made) {
      EXPECT_EQ(parent_in_file, LastWrite(reloaded.get(), made)) << made;
    }
  }
}

TEST_F(WinePrefixRegistryTest, QueryInfoKey) {
  auto registry = NewRegistry();
  HKEY prefs = nullptr, acme = nullptr, classy = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            registry->OpenKey(HKEY_CURRENT_USER,
                              "Software\\Acme\\Tool 1.0\\Prefs", &prefs));
  ASSERT_EQ(ERROR_SUCCESS,
            registry->OpenKey(HKEY_CURRENT_USER, "Software\\Acme", &acme));
  ASSERT_EQ(ERROR_SUCCESS,
            registry->OpenKey(HKEY_CURRENT_USER, "Software\\Classy", &classy));

  char name[260];
  DWORD name_length = sizeof name;
  DWORD subkeys = 99, max_subkey = 99, max_class = 99, values = 99,
        max_value_name = 99, max_value = 99, security = 99;
  FILETIME time = {0, 0};
  ASSERT_EQ(ERROR_SUCCESS, registry->QueryInfoKey(
                               prefs, name, &name_length, nullptr, &subkeys,
                               &max_subkey, &max_class, &values,
                               &max_value_name, &max_value, &security, &time));
  EXPECT_STREQ("", name);
  EXPECT_EQ(0u, name_length);
  EXPECT_EQ(0u, subkeys);
  EXPECT_EQ(0u, max_subkey);
  EXPECT_EQ(0u, max_class);
  EXPECT_EQ(2u, values);
  EXPECT_EQ(4u, max_value_name);
  EXPECT_EQ(12u, max_value);  // "été €" and its NUL in UTF-16
  EXPECT_EQ(0u, security);
  EXPECT_EQ(kFileTime, (static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                           time.dwLowDateTime);

  // A key that exists only as a prefix of a deeper section.
  ASSERT_EQ(ERROR_SUCCESS,
            registry->QueryInfoKey(acme, nullptr, nullptr, nullptr, &subkeys,
                                   &max_subkey, nullptr, &values, nullptr,
                                   nullptr, nullptr, nullptr));
  EXPECT_EQ(1u, subkeys);
  EXPECT_EQ(8u, max_subkey);  // "Tool 1.0"
  EXPECT_EQ(0u, values);
  ASSERT_EQ(ERROR_SUCCESS,
            registry->QueryInfoKey(HKEY_CURRENT_USER, nullptr, nullptr, nullptr,
                                   &subkeys, nullptr, nullptr, &values, nullptr,
                                   nullptr, nullptr, nullptr));
  EXPECT_EQ(1u, subkeys);

  // The class, in buffers of every interesting size, as Wine 8 answers for
  // a class it loaded: the NUL it keeps after the text counts in the
  // length. A short buffer gets what fits, terminated, and that length; one
  // of no bytes is left alone and is no error.
  struct ClassCase {
    DWORD buffer;
    LONG expected;
    std::string text;  // the buffer's bytes up to the first 'Z'
    DWORD length;
  } class_cases[] = {
      {260, ERROR_SUCCESS, std::string("MyCl\xe9ss\0\0", 9), 8},
      {9, ERROR_SUCCESS, std::string("MyCl\xe9ss\0\0", 9), 8},
      {8, ERROR_MORE_DATA, std::string("MyCl\xe9ss\0", 8), 7},
      {7, ERROR_MORE_DATA, std::string("MyCl\xe9s\0", 7), 6},
      {4, ERROR_MORE_DATA, std::string("MyC\0", 4), 3},
      {1, ERROR_MORE_DATA, std::string("\0", 1), 0},
      {0, ERROR_SUCCESS, "", 8},
  };
  for (const ClassCase& c : class_cases) {
    memset(name, 'Z', sizeof name);
    name_length = c.buffer;
    values = 99;
    EXPECT_EQ(c.expected,
              registry->QueryInfoKey(classy, name, &name_length, nullptr,
                                     nullptr, nullptr, nullptr, &values,
                                     nullptr, nullptr, nullptr, nullptr))
        << c.buffer;
    EXPECT_EQ(c.length, name_length) << c.buffer;
    const std::string buffer(name, sizeof name);
    EXPECT_EQ(c.text, buffer.substr(0, buffer.find('Z'))) << c.buffer;
    EXPECT_EQ(0u, values) << c.buffer;  // filled even when short
  }
  name_length = 3;
  EXPECT_EQ(ERROR_SUCCESS,
            registry->QueryInfoKey(classy, nullptr, &name_length, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr));
  EXPECT_EQ(8u, name_length);
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            registry->QueryInfoKey(classy, name, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr));
  EXPECT_EQ(ERROR_INVALID_HANDLE,
            registry->QueryInfoKey(nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr));
  registry->CloseKey(prefs);
  registry->CloseKey(acme);
  registry->CloseKey(classy);
}

TEST_F(WinePrefixRegistryTest, QueryCountsInUtf16Units) {
  auto registry = NewRegistry();
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            registry->CreateKey(HKEY_CURRENT_USER, "Software\\Units", &key));
  HKEY child = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, registry->CreateKey(key, "\xe9\xe9\xe9", &child));
  registry->CloseKey(child);
  ASSERT_EQ(ERROR_SUCCESS,
            registry->SetValueEx(key, "\xe9\xe9", 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>("abc\x80"), 5));
  DWORD max_subkey = 0, max_value_name = 0, max_value = 0;
  ASSERT_EQ(ERROR_SUCCESS,
            registry->QueryInfoKey(
                key, nullptr, nullptr, nullptr, nullptr, &max_subkey, nullptr,
                nullptr, &max_value_name, &max_value, nullptr, nullptr));
  EXPECT_EQ(3u, max_subkey);
  EXPECT_EQ(2u, max_value_name);
  EXPECT_EQ(10u, max_value);
  // Four double-byte characters are four units, not eight bytes.
  winshim::SetMultibyteCodePage(932);
  const char kFourHiragana[] = "\x82\xa0\x82\xa0\x82\xa0\x82\xa0";
  ASSERT_EQ(ERROR_SUCCESS, registry->CreateKey(key, kFourHiragana, &child));
  registry->CloseKey(child);
  ASSERT_EQ(ERROR_SUCCESS,
            registry->QueryInfoKey(key, nullptr, nullptr, nullptr, nullptr,
                                   &max_subkey, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr));
  EXPECT_EQ(4u, max_subkey);
  registry->CloseKey(key);
}

TEST_F(WinePrefixRegistryTest, WhenChangesReachTheFile) {
  const BYTE one = 1;
  {
    auto registry = NewRegistry();
    HKEY a = nullptr, b = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              registry->CreateKey(HKEY_CURRENT_USER, "Software\\W", &a));
    ASSERT_EQ(ERROR_SUCCESS,
              registry->OpenKey(HKEY_CURRENT_USER, "Software", &b));
    ASSERT_EQ(ERROR_SUCCESS,
              registry->SetValueEx(a, "v", 0, REG_BINARY, &one, 1));
    EXPECT_EQ(ERROR_SUCCESS, registry->CloseKey(a));
    EXPECT_EQ(kUserReg, TestDir::Read(UserReg())) << "a handle is still open";
    EXPECT_EQ(ERROR_SUCCESS, registry->CloseKey(b));
    EXPECT_EQ(REG_BINARY, ValueInFile({u"Software", u"W"}, u"v").type);
  }
  TestDir::Write(UserReg(), kUserReg);
  {
    // Writing through the root only: closing the root writes.
    auto registry = NewRegistry();
    ASSERT_EQ(ERROR_SUCCESS, registry->SetValueEx(HKEY_CURRENT_USER, "top", 0,
                                                  REG_BINARY, &one, 1));
    EXPECT_EQ(kUserReg, TestDir::Read(UserReg()));
    EXPECT_EQ(ERROR_SUCCESS, registry->CloseKey(HKEY_CURRENT_USER));
    EXPECT_EQ(REG_BINARY, ValueInFile({}, u"top").type);
  }
  TestDir::Write(UserReg(), kUserReg);
  {
    // A handle left open: written when the registry goes (at exit for the
    // default one).
    auto registry = NewRegistry();
    HKEY a = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              registry->CreateKey(HKEY_CURRENT_USER, "Software\\Left", &a));
    EXPECT_EQ(kUserReg, TestDir::Read(UserReg()));
  }
  wine::Hive hive;
  ASSERT_TRUE(hive.Load(TestDir::Read(UserReg())).ok());
  EXPECT_TRUE(hive.KeyExists({u"Software", u"Left"}));
}

TEST_F(WinePrefixRegistryTest, OnlyOneWritePerBatchOfHandles) {
  auto registry = NewRegistry();
  HKEY a = nullptr;
  const BYTE one = 1;
  ASSERT_EQ(ERROR_SUCCESS,
            registry->CreateKey(HKEY_CURRENT_USER, "Software\\A", &a));
  for (const char* name : {"x", "y", "z"}) {
    HKEY b = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, registry->CreateKey(a, "B", &b));
    ASSERT_EQ(ERROR_SUCCESS,
              registry->SetValueEx(b, name, 0, REG_BINARY, &one, 1));
    ASSERT_EQ(ERROR_SUCCESS, registry->CloseKey(b));
  }
  EXPECT_EQ(0, env_.saves_started());
  ASSERT_EQ(ERROR_SUCCESS, registry->CloseKey(a));
  EXPECT_EQ(1, env_.saves_started());
  // Closing with nothing pending writes nothing.
  ASSERT_EQ(ERROR_SUCCESS,
            registry->OpenKey(HKEY_CURRENT_USER, "Software\\A", &a));
  ASSERT_EQ(ERROR_SUCCESS, registry->CloseKey(a));
  ASSERT_EQ(ERROR_SUCCESS, registry->CloseKey(HKEY_CURRENT_USER));
  EXPECT_EQ(1, env_.saves_started());
}

TEST_F(WinePrefixRegistryTest, RunningServerBlocksChangesNotReads) {
  TestDir tmp;
  location_.system_tmp = tmp.path();
  env_.SimulateHeldLock(MakeServerLockFile(location_));
  auto registry = NewRegistry();
  HKEY key = nullptr;
  const BYTE one = 1;
  EXPECT_EQ(ERROR_SUCCESS,
            registry->OpenKey(HKEY_CURRENT_USER, "Software\\Acme", &key));
  EXPECT_EQ(ERROR_SHARING_VIOLATION,
            registry->SetValueEx(key, "v", 0, REG_BINARY, &one, 1));
  HKEY created = reinterpret_cast<HKEY>(0x1234);
  EXPECT_EQ(ERROR_SHARING_VIOLATION, registry->CreateKey(key, "New", &created));
  EXPECT_EQ(nullptr, created);
  EXPECT_EQ(ERROR_SUCCESS, registry->CreateKey(key, "Tool 1.0", &created));
  DWORD subkeys = 0;
  EXPECT_EQ(ERROR_SUCCESS,
            registry->QueryInfoKey(key, nullptr, nullptr, nullptr, &subkeys,
                                   nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr));
  EXPECT_EQ(1u, subkeys);
  EXPECT_EQ(ERROR_SUCCESS, registry->CloseKey(created));
  EXPECT_EQ(ERROR_SUCCESS, registry->CloseKey(key));
  EXPECT_EQ(kUserReg, TestDir::Read(UserReg()));
}

// A look for a server in /proc reads every process's working directory:
// the dearest part of a small run. A run as the program makes it (one look
// before the registry is made, then per key written a subkey, a value and
// a save) looks once at start and once per save, however many calls.
TEST_F(WinePrefixRegistryTest, LooksInProcAtStartAndOncePerSave) {
  struct Case {
    const char* name;
    std::vector<const char*> keys;  // those missing are skipped, as the
                                    // program skips a missing edition
    int saves;
    int looks;
  } cases[] = {
      {"two keys written", {"Software\\Acme", "Software\\Classy"}, 2, 3},
      {"one key written", {"Software\\Acme", "Software\\Missing"}, 1, 2},
      {"nothing written", {"Software\\Missing"}, 0, 1},
  };
  const BYTE one = 1;
  for (const Case& c : cases) {
    TestDir::Write(UserReg(), kUserReg);
    FaultInjectionEnv env;
    ASSERT_EQ(FoundServer::kNone,
              RunningServer(&env, location_).Find(true).state);
    {
      WinePrefixRegistry registry(&env, location_);
      registry.NoteFoundFree();
      for (const char* path : c.keys) {
        HKEY key = nullptr, prefs = nullptr;
        if (registry.OpenKeyEx(HKEY_CURRENT_USER, path, 0, KEY_ALL_ACCESS,
                               &key) != ERROR_SUCCESS) {
          continue;
        }
        ASSERT_EQ(ERROR_SUCCESS,
                  registry.CreateKey(key, "Preferences", &prefs));
        ASSERT_EQ(ERROR_SUCCESS, registry.SetValueEx(prefs, "Quillfix", 0,
                                                     REG_BINARY, &one, 1));
        ASSERT_EQ(ERROR_SUCCESS, registry.CloseKey(prefs));
        ASSERT_EQ(ERROR_SUCCESS, registry.CloseKey(key));
      }
    }
    EXPECT_EQ(c.saves, env.saves_started()) << c.name;
    EXPECT_EQ(c.looks, env.ListingsOf(location_.proc)) << c.name;
  }
}

// Each way reading or writing user.reg fails has its Windows answer.
TEST_F(WinePrefixRegistryTest, FailuresOfTheFileAnswerTheirWindowsCodes) {
  const std::string user_reg = UserReg();
  struct Case {
    const char* name;
    std::function<void(FaultInjectionEnv*)> arrange;  // before the save
    LONG expected;
  } writes[] = {
      {"rename fails",
       [](FaultInjectionEnv* env) {
         env->FailAt(FaultInjectionEnv::kRename, EIO);
       },
       ERROR_CANTWRITE},
      {"no permission",
       [](FaultInjectionEnv* env) {
         env->FailAt(FaultInjectionEnv::kCreate, EACCES);
       },
       ERROR_ACCESS_DENIED},
      {"read-only file system",
       [](FaultInjectionEnv* env) {
         env->FailAt(FaultInjectionEnv::kCreate, EROFS);
       },
       ERROR_ACCESS_DENIED},
      {"user.reg gone", [&](FaultInjectionEnv*) { unlink(user_reg.c_str()); },
       ERROR_FILE_NOT_FOUND},
      {"user.reg no longer loads",
       [&](FaultInjectionEnv*) { TestDir::Write(user_reg, "REGEDIT4\n"); },
       ERROR_BADDB},
      {"user.reg now a directory",
       [&](FaultInjectionEnv*) {
         unlink(user_reg.c_str());
         mkdir(user_reg.c_str(), 0755);
       },
       ERROR_CANTWRITE},
  };
  for (const Case& c : writes) {
    remove(user_reg.c_str());  // a file or an empty directory
    TestDir::Write(user_reg, kUserReg);
    FaultInjectionEnv env;
    WinePrefixRegistry registry(&env, location_);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              registry.CreateKey(HKEY_CURRENT_USER, "Software\\New", &key));
    c.arrange(&env);
    EXPECT_EQ(c.expected, registry.CloseKey(key)) << c.name;
    env.FailAt(FaultInjectionEnv::kNothing);
    remove(user_reg.c_str());  // nothing left to write at exit
  }

  struct {
    const char* name;
    int (*make)(const char* path);
  } reads[] = {
      {"a FIFO", [](const char* path) { return mkfifo(path, 0600); }},
      {"a directory", [](const char* path) { return mkdir(path, 0755); }},
  };
  for (const auto& c : reads) {
    remove(user_reg.c_str());  // a file or an empty directory
    ASSERT_EQ(0, c.make(user_reg.c_str())) << c.name;
    WinePrefixRegistry registry(&env_, location_);
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_CANTREAD,
              registry.OpenKey(HKEY_CURRENT_USER, "Software", &key))
        << c.name;
  }
}

TEST_F(WinePrefixRegistryTest, UnusableHiveFailsEverythingCreatesNothing) {
  struct Case {
    const char* name;
    const char* content;  // null: no user.reg
    bool make_prefix;
  } cases[] = {
      {"no prefix", nullptr, false},
      {"no user.reg", nullptr, true},
      {"malformed", "WINE REGISTRY Version 2 \n[Software]\n", true},
  };
  for (const Case& c : cases) {
    TestDir dir;
    PrefixLocation location;
    location.directory = dir / "prefix";
    if (c.make_prefix) mkdir(location.directory.c_str(), 0755);
    if (c.content != nullptr) {
      TestDir::Write(location.directory + "/user.reg", c.content);
    }
    std::vector<std::string> before = TestDir::List(dir.path());
    std::vector<std::string> before_prefix = TestDir::List(location.directory);
    {
      WinePrefixRegistry registry(&env_, location);
      HKEY key = reinterpret_cast<HKEY>(0x1234);
      const BYTE one = 1;
      EXPECT_NE(ERROR_SUCCESS,
                registry.OpenKey(HKEY_CURRENT_USER, "Software", &key))
          << c.name;
      EXPECT_EQ(nullptr, key);
      EXPECT_NE(ERROR_SUCCESS, registry.OpenKey(HKEY_CURRENT_USER, "", &key))
          << c.name;
      EXPECT_NE(ERROR_SUCCESS, registry.OpenKeyEx(HKEY_CURRENT_USER, "x", 0,
                                                  KEY_ALL_ACCESS, &key))
          << c.name;
      EXPECT_NE(ERROR_SUCCESS,
                registry.CreateKey(HKEY_CURRENT_USER, "Software\\X", &key))
          << c.name;
      EXPECT_EQ(nullptr, key);
      EXPECT_NE(ERROR_SUCCESS, registry.SetValueEx(HKEY_CURRENT_USER, "v", 0,
                                                   REG_BINARY, &one, 1))
          << c.name;
      EXPECT_NE(ERROR_SUCCESS, registry.QueryInfoKey(
                                   HKEY_CURRENT_USER, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr))
          << c.name;
      EXPECT_NE(ERROR_SUCCESS, registry.CloseKey(HKEY_CURRENT_USER)) << c.name;
    }
    EXPECT_EQ(before, TestDir::List(dir.path())) << c.name;
    EXPECT_EQ(before_prefix, TestDir::List(location.directory)) << c.name;
    if (c.content != nullptr) {
      EXPECT_EQ(c.content, TestDir::Read(location.directory + "/user.reg"));
    }
  }
}

TEST_F(WinePrefixRegistryTest, QueryValueReadsWhatTheFileHolds) {
  auto registry = NewRegistry();
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            registry->OpenKey(HKEY_CURRENT_USER,
                              "Software\\Acme\\Tool 1.0\\Prefs", &key));
  struct Case {
    const char* name;
    DWORD capacity;
    LONG result;
    DWORD type;
    std::string data;  // what the buffer holds afterwards
    DWORD size;
  } cases[] = {
      {"Flag", 4, ERROR_SUCCESS, REG_BINARY, std::string("\x02___", 4), 1},
      {"flag", 4, ERROR_SUCCESS, REG_BINARY, std::string("\x02___", 4), 1},
      // String data comes back in the ANSI code page (1252), NUL included.
      {"Caf\xe9", 16, ERROR_SUCCESS, REG_SZ,
       std::string("\xe9t\xe9 \x80\0__________", 16), 6},
      {"Caf\xe9", 3, ERROR_MORE_DATA, REG_SZ, "___", 6},
      {"Missing", 4, ERROR_FILE_NOT_FOUND, 0, "____", 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string buffer(c.capacity, '_');
    DWORD type = 0, size = c.capacity;
    EXPECT_EQ(c.result,
              registry->QueryValueEx(key, c.name, nullptr, &type,
                                     reinterpret_cast<BYTE*>(&buffer[0]),
                                     &size));
    EXPECT_EQ(c.type, type);
    EXPECT_EQ(c.data, buffer);
    EXPECT_EQ(c.size, size);
  }
  DWORD size = 0;
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            registry->QueryValueEx(key, "Flag", nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(&size), nullptr));
  EXPECT_EQ(ERROR_SUCCESS, registry->CloseKey(key));
}

TEST(PrefixLocationTest, FromEnvironment) {
  struct Case {
    const char* wineprefix;
    const char* home;
    const char* expected;
  } cases[] = {
      {"/p/x", "/home/u", "/p/x"},           {"/p/x//", "/home/u", "/p/x"},
      {nullptr, "/home/u", "/home/u/.wine"}, {"", "/home/u", ""},
      {"relative", "/home/u", ""},           {nullptr, nullptr, ""},
  };
  const char* saved_prefix = getenv("WINEPREFIX");
  const char* saved_home = getenv("HOME");
  std::string prefix_copy = saved_prefix ? saved_prefix : "";
  std::string home_copy = saved_home ? saved_home : "";
  for (const Case& c : cases) {
    if (c.wineprefix)
      setenv("WINEPREFIX", c.wineprefix, 1);
    else
      unsetenv("WINEPREFIX");
    if (c.home)
      setenv("HOME", c.home, 1);
    else
      unsetenv("HOME");
    EXPECT_EQ(c.expected, PrefixLocationFromEnvironment().directory)
        << (c.wineprefix ? c.wineprefix : "-");
  }
  if (saved_prefix)
    setenv("WINEPREFIX", prefix_copy.c_str(), 1);
  else
    unsetenv("WINEPREFIX");
  if (saved_home)
    setenv("HOME", home_copy.c_str(), 1);
  else
    unsetenv("HOME");
}

}  // namespace
}  // namespace prefix
}  // namespace regservice
