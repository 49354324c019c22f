// RegQueryValueExA over a prefix's user.reg: the answers Wine 8 gives for
// the same values (types, sizes, short buffers, missing values, string
// conversion to the ANSI code page).
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "regservice/prefix/fault_injection_env.h"
#include "regservice/prefix/test_dir.h"
#include "regservice/prefix/test_support.h"
#include "regservice/prefix/wine_prefix_registry.h"
#include "winshim/mbstring.h"

namespace regservice {
namespace prefix {
namespace {

const char kUserReg[] =
    QUILLFIX_TEST_USER_REG_HEAD
    "\n"
    "[Software\\\\Q] 1796869137\n"
    "#time=1dd884ccfb82800\n"
    "@=\"def\"\n"
    "\"bin0\"=hex:\n"
    "\"bin1\"=hex:01\n"
    "\"bin3\"=hex:01,02,03\n"
    "\"CaseName\"=hex:01\n"
    "\"dword\"=dword:11223344\n"
    "\"dword2\"=hex(4):01,02\n"
    "\"expand\"=str(2):\"%PATH%\"\n"
    "\"multi\"=str(7):\"a\\0b\\0\"\n"
    "\"none\"=hex(0):01,02,03\n"
    "\"qword\"=hex(b):31,32,33,34,35,36,37,38\n"
    "\"sz\"=\"hello\"\n"
    "\"sz_e9\"=\"\\xe9\\x20ac\"\n"
    "\"sz_empty0\"=hex(1):\n"
    "\"sz_nonul\"=hex(1):41,00,42,00\n"
    "\"sz_odd\"=hex(1):41,00,42\n"
    "\"sz_onlynul\"=\"\"\n"
    "\"sz_unmapped\"=\"\\x4e2d\"\n"
    "\n"
    "\"Top\"=hex:07\n";  // a value line after a blank line stays in [Q]

const DWORD kUntouchedType = 0xDEADBEEF;
const BYTE kFill = 0xCC;

class QueryValueTest : public ::testing::Test {
 protected:
  QueryValueTest() {
    winshim::SetMultibyteCodePage(1252);
    location_.directory = dir_.path();
    location_.system_tmp = dir_ / "no-tmp";
    TestDir::Write(dir_ / "user.reg", kUserReg);
  }

  TestDir dir_;
  PrefixLocation location_;
  FaultInjectionEnv env_;
};

enum Handle { kKey, kRoot, kNull, kBogus };

struct Case {
  const char* what;
  Handle handle;
  const char* name;
  bool with_type;
  bool with_data;
  int size;  // -1: no size pointer
  LONG result;
  DWORD type;
  DWORD size_after;
  std::string buffer;  // the first size + 2 bytes of the buffer after
};

std::string Filled(const std::string& head, size_t total) {
  std::string bytes = head;
  bytes.resize(total, static_cast<char>(kFill));
  return bytes;
}

TEST_F(QueryValueTest, AnswersAsWine) {
  const std::string untouched4 = Filled("", 6);
  const Case cases[] = {
      {"missing, no buffer", kKey, "nope", true, false, 8, ERROR_FILE_NOT_FOUND,
       REG_NONE, 0, ""},
      {"missing, buffer", kKey, "nope", true, true, 4, ERROR_FILE_NOT_FOUND,
       REG_NONE, 4, untouched4},
      {"missing below the root", kRoot, "nope", true, true, 4,
       ERROR_FILE_NOT_FOUND, REG_NONE, 4, untouched4},
      {"size of a binary", kKey, "bin1", true, false, 0, ERROR_SUCCESS,
       REG_BINARY, 1, ""},
      {"size larger than needed", kKey, "bin3", true, false, 1, ERROR_SUCCESS,
       REG_BINARY, 3, ""},
      {"binary fits", kKey, "bin1", true, true, 1, ERROR_SUCCESS, REG_BINARY,
       1, Filled("\x01", 3)},
      {"binary in a larger buffer", kKey, "bin1", true, true, 4,
       ERROR_SUCCESS, REG_BINARY, 1, Filled("\x01", 6)},
      {"binary, buffer of 0", kKey, "bin1", true, true, 0, ERROR_MORE_DATA,
       REG_BINARY, 1, Filled("", 2)},
      {"binary too long", kKey, "bin3", true, true, 2, ERROR_MORE_DATA,
       REG_BINARY, 3, Filled("", 4)},
      {"empty binary", kKey, "bin0", true, true, 4, ERROR_SUCCESS, REG_BINARY,
       0, untouched4},
      {"dword", kKey, "dword", true, true, 4, ERROR_SUCCESS, REG_DWORD, 4,
       Filled("\x44\x33\x22\x11", 6)},
      {"dword, buffer of 3", kKey, "dword", true, true, 3, ERROR_MORE_DATA,
       REG_DWORD, 4, Filled("", 5)},
      {"dword of 2 bytes", kKey, "dword2", true, true, 8, ERROR_SUCCESS,
       REG_DWORD, 2, Filled("\x01\x02", 10)},
      {"string size, no buffer", kKey, "sz", true, false, 0, ERROR_SUCCESS,
       REG_SZ, 6, ""},
      {"string fits with its NUL", kKey, "sz", true, true, 6, ERROR_SUCCESS,
       REG_SZ, 6, Filled(std::string("hello\0", 6), 8)},
      {"string, no room for the NUL", kKey, "sz", true, true, 5,
       ERROR_MORE_DATA, REG_SZ, 6, Filled("", 7)},
      {"string without NUL gets one", kKey, "sz_nonul", true, true, 4,
       ERROR_SUCCESS, REG_SZ, 2, Filled(std::string("AB\0", 3), 6)},
      {"string without NUL, exact room", kKey, "sz_nonul", true, true, 2,
       ERROR_SUCCESS, REG_SZ, 2, Filled("AB", 4)},
      {"odd byte dropped", kKey, "sz_odd", true, true, 16, ERROR_SUCCESS,
       REG_SZ, 1, Filled(std::string("A\0", 2), 18)},
      {"empty string data", kKey, "sz_empty0", true, true, 4, ERROR_SUCCESS,
       REG_SZ, 0, untouched4},
      {"only a NUL", kKey, "sz_onlynul", true, true, 4, ERROR_SUCCESS, REG_SZ,
       1, Filled(std::string("\0", 1), 6)},
      {"to code page 1252", kKey, "sz_e9", true, true, 16, ERROR_SUCCESS,
       REG_SZ, 3, Filled(std::string("\xe9\x80\0", 3), 18)},
      {"no such character", kKey, "sz_unmapped", true, true, 16,
       ERROR_SUCCESS, REG_SZ, 2, Filled(std::string("?\0", 2), 18)},
      {"expandable string", kKey, "expand", true, true, 16, ERROR_SUCCESS,
       REG_EXPAND_SZ, 7, Filled(std::string("%PATH%\0", 7), 18)},
      {"multi-string", kKey, "multi", true, true, 16, ERROR_SUCCESS,
       REG_MULTI_SZ, 5, Filled(std::string("a\0b\0\0", 5), 18)},
      {"multi-string size", kKey, "multi", true, false, 0, ERROR_SUCCESS,
       REG_MULTI_SZ, 5, ""},
      {"REG_NONE bytes", kKey, "none", true, true, 8, ERROR_SUCCESS, REG_NONE,
       3, Filled("\x01\x02\x03", 10)},
      {"qword bytes", kKey, "qword", true, true, 16, ERROR_SUCCESS, REG_QWORD,
       8, Filled("12345678", 18)},
      {"default value, null name", kKey, nullptr, true, true, 16,
       ERROR_SUCCESS, REG_SZ, 4, Filled(std::string("def\0", 4), 18)},
      {"default value, empty name", kKey, "", true, true, 16, ERROR_SUCCESS,
       REG_SZ, 4, Filled(std::string("def\0", 4), 18)},
      {"name in another case", kKey, "CASENAME", true, true, 4, ERROR_SUCCESS,
       REG_BINARY, 1, Filled("\x01", 6)},
      {"value after a blank line", kKey, "Top", true, true, 1, ERROR_SUCCESS,
       REG_BINARY, 1, Filled("\x07", 3)},
      {"no type pointer", kKey, "bin1", false, true, 1, ERROR_SUCCESS, 0, 1,
       Filled("\x01", 3)},
      {"buffer without size", kKey, "bin1", true, true, -1,
       ERROR_INVALID_PARAMETER, kUntouchedType, 0, Filled("", 2)},
      {"nothing but the name", kKey, "bin1", false, false, -1, ERROR_SUCCESS,
       0, 0, ""},
      {"unknown handle", kBogus, "bin1", true, true, 4, ERROR_INVALID_HANDLE,
       REG_NONE, 4, untouched4},
      {"null handle", kNull, "bin1", true, true, 4, ERROR_INVALID_HANDLE,
       kUntouchedType, 4, untouched4},
  };
  WinePrefixRegistry registry(&env_, location_);
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            registry.OpenKey(HKEY_CURRENT_USER, "Software\\Q", &key));
  for (const Case& c : cases) {
    HKEY handle = c.handle == kKey    ? key
                  : c.handle == kRoot ? HKEY_CURRENT_USER
                  : c.handle == kNull ? nullptr
                                      : reinterpret_cast<HKEY>(0x1234);
    DWORD type = kUntouchedType;
    DWORD size = c.size < 0 ? 0 : static_cast<DWORD>(c.size);
    BYTE buffer[32];
    memset(buffer, kFill, sizeof buffer);
    LONG result = registry.QueryValueEx(
        handle, c.name, nullptr, c.with_type ? &type : nullptr,
        c.with_data ? buffer : nullptr, c.size < 0 ? nullptr : &size);
    EXPECT_EQ(c.result, result) << c.what;
    if (c.with_type) {
      EXPECT_EQ(c.type, type) << c.what;
    }
    if (c.size >= 0) {
      EXPECT_EQ(c.size_after, size) << c.what;
    }
    if (c.with_data) {
      size_t shown = (c.size < 0 ? 0 : c.size) + 2;
      EXPECT_EQ(c.buffer,
                std::string(reinterpret_cast<char*>(buffer), shown))
          << c.what;
    }
  }
  EXPECT_EQ(ERROR_SUCCESS, registry.CloseKey(key));
  EXPECT_EQ(kUserReg, TestDir::Read(dir_ / "user.reg"));  // read only
}

TEST_F(QueryValueTest, ReservedMustBeNull) {
  WinePrefixRegistry registry(&env_, location_);
  DWORD reserved = 0, size = 4;
  BYTE buffer[4];
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            registry.QueryValueEx(HKEY_CURRENT_USER, "x", &reserved, nullptr,
                                  buffer, &size));
}

TEST_F(QueryValueTest, ClosedHandleIsInvalid) {
  WinePrefixRegistry registry(&env_, location_);
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            registry.OpenKey(HKEY_CURRENT_USER, "Software\\Q", &key));
  ASSERT_EQ(ERROR_SUCCESS, registry.CloseKey(key));
  DWORD size = 0;
  EXPECT_EQ(ERROR_INVALID_HANDLE,
            registry.QueryValueEx(key, "bin1", nullptr, nullptr, nullptr,
                                  &size));
}

TEST_F(QueryValueTest, FollowsTheCodePage) {
  winshim::SetMultibyteCodePage(1251);  // Cyrillic: U+0439 is 0xE9
  TestDir::Write(dir_ / "user.reg",
                 "WINE REGISTRY Version 2\n\n[Software\\\\Q]\n"
                 "\"\\x439\"=\"\\x439\\xe9\"\n");
  WinePrefixRegistry registry(&env_, location_);
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            registry.OpenKey(HKEY_CURRENT_USER, "Software\\Q", &key));
  BYTE buffer[8] = {0};
  DWORD size = sizeof buffer;
  EXPECT_EQ(ERROR_SUCCESS,
            registry.QueryValueEx(key, "\xe9", nullptr, nullptr, buffer,
                                  &size));
  // U+00E9 has no character in 1251.
  EXPECT_EQ(std::string("\xe9?\0", 3),
            std::string(reinterpret_cast<char*>(buffer), size));
  registry.CloseKey(key);
  winshim::SetMultibyteCodePage(1252);
}

TEST_F(QueryValueTest, UnusableHiveAnswersTheLoadError) {
  struct {
    const char* what;
    const char* content;  // null: no user.reg
    LONG result;
  } cases[] = {
      {"no user.reg", nullptr, ERROR_FILE_NOT_FOUND},
      {"not a registry file", "REGEDIT4\n", ERROR_BADDB},
  };
  for (const auto& c : cases) {
    TestDir dir;
    PrefixLocation location = location_;
    location.directory = dir.path();
    if (c.content != nullptr) TestDir::Write(dir / "user.reg", c.content);
    WinePrefixRegistry registry(&env_, location);
    DWORD type = kUntouchedType, size = 0;
    EXPECT_EQ(c.result, registry.QueryValueEx(HKEY_CURRENT_USER, "v", nullptr,
                                              &type, nullptr, &size))
        << c.what;
    EXPECT_EQ(DWORD{REG_NONE}, type) << c.what;
  }
}

}  // namespace
}  // namespace prefix
}  // namespace regservice
