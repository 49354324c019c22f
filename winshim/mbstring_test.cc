#include "winshim/mbstring.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

const unsigned char* U(const char* s) {
  return reinterpret_cast<const unsigned char*>(s);
}

// Restores the code page after each test.
class MbstringTest : public ::testing::Test {
 protected:
  ~MbstringTest() override { winshim::SetMultibyteCodePage(1252); }
};

#ifdef _WIN32

// The runtime starts in the process's ANSI code page; Wine runs this test in
// a locale whose code page is 1252 (see CMakeLists.txt).
TEST_F(MbstringTest, DefaultCodePageIs1252) {
  EXPECT_EQ(1252u, winshim::MultibyteCodePage());
}

#else  // !_WIN32

// Sets the locale variables for a scope, and restores them at its end.
class ScopedLocaleEnvironment {
 public:
  ScopedLocaleEnvironment(const char* lc_all, const char* lc_ctype,
                          const char* lang) {
    const char* values[] = {lc_all, lc_ctype, lang};
    for (int i = 0; i < 3; ++i) {
      const char* old = std::getenv(kNames[i]);
      saved_[i] = old != nullptr;
      if (old != nullptr) old_[i] = old;
      if (values[i] != nullptr) {
        setenv(kNames[i], values[i], 1);
      } else {
        unsetenv(kNames[i]);
      }
    }
  }
  ~ScopedLocaleEnvironment() {
    for (int i = 0; i < 3; ++i) {
      if (saved_[i]) {
        setenv(kNames[i], old_[i].c_str(), 1);
      } else {
        unsetenv(kNames[i]);
      }
    }
  }

 private:
  static constexpr const char* kNames[3] = {"LC_ALL", "LC_CTYPE", "LANG"};
  bool saved_[3] = {};
  std::string old_[3];
};

// Until a test chooses one, the code page is the locale's: 1252 in the C
// locale and without any locale variable.
TEST_F(MbstringTest, DefaultCodePageIs1252) {
  struct Case {
    const char* lc_all;
    const char* lc_ctype;
    const char* lang;
    unsigned int expected;
  } cases[] = {
      {nullptr, nullptr, nullptr, 1252},
      {nullptr, nullptr, "C", 1252},
      {nullptr, nullptr, "C.UTF-8", 1252},
      {"C", nullptr, "ja_JP.UTF-8", 1252},
      {nullptr, nullptr, "ja_JP.UTF-8", 932},
      {nullptr, "ru_RU.UTF-8", "ja_JP.UTF-8", 1251},
  };
  for (const Case& c : cases) {
    ScopedLocaleEnvironment environment(c.lc_all, c.lc_ctype, c.lang);
    winshim::SetMultibyteCodePage(0);  // the locale decides again
    EXPECT_EQ(c.expected, winshim::MultibyteCodePage())
        << (c.lc_all ? c.lc_all : "-") << " " << (c.lc_ctype ? c.lc_ctype : "-")
        << " " << (c.lang ? c.lang : "-");
  }
}

#endif  // _WIN32

// "\x95\x5c" is one Shift-JIS character whose trail byte is 0x5C; in a
// single-byte code page it is two characters, the second a backslash.
TEST_F(MbstringTest, ChrFindsBackslashOnlyOutsideDoubleByteCharacters) {
  struct Case {
    unsigned int code_page;
    const char* text;
    int expected;  // offset of the first backslash, -1 for none
  } cases[] = {
      {1252, "ab\\cd", 2},
      {1252, "\x95\x5c" "a", 1},
      {932, "\x95\x5c" "a", -1},
      {932, "\x95\x5c\\a", 2},
      {932, "\xe0\x5c\\", 2},
      {936, "\x81\x5c\\", 2},
      {949, "\xfe\x5c\\", 2},
      {950, "\xa4\x5c\\", 2},
      {932, "\xa0\\", 1},  // 0xA0 is not a lead byte in Shift-JIS
      {932, "\x95", -1},   // lead byte right before the terminator
      {1252, "", -1},
  };
  for (const Case& c : cases) {
    winshim::SetMultibyteCodePage(c.code_page);
    const unsigned char* found = _mbschr(U(c.text), '\\');
    int offset = found ? static_cast<int>(found - U(c.text)) : -1;
    EXPECT_EQ(c.expected, offset) << c.code_page << " " << c.text;
  }
}

TEST_F(MbstringTest, ChrOfZeroFindsTerminator) {
  const char* text = "abc";
  EXPECT_EQ(U(text) + 3, _mbschr(U(text), 0));
}

TEST_F(MbstringTest, CmpIsCaseSensitiveAndDoubleByteAware) {
  struct Case {
    unsigned int code_page;
    const char* a;
    const char* b;
    int sign;
  } cases[] = {
      {1252, "Key", "Key", 0},
      {1252, "Key", "key", -1},
      {1252, "Ke", "Key", -1},
      {1252, "", "", 0},
      {1252, "\xe9", "e", 1},
      // A double-byte character compares as one 16-bit number, so the
      // lead byte 0x95 ranks above the single byte 0x41 in 932 as in 1252.
      {932, "\x95\x5c", "\x95\x5d", -1},
      {932, "\x95\x5c", "\x95\x5c", 0},
  };
  for (const Case& c : cases) {
    winshim::SetMultibyteCodePage(c.code_page);
    int result = _mbscmp(U(c.a), U(c.b));
    int sign = result < 0 ? -1 : result > 0 ? 1 : 0;
    EXPECT_EQ(c.sign, sign) << c.code_page << " " << c.a << " vs " << c.b;
  }
}

TEST_F(MbstringTest, NbcpyPadsWithNulsUpToCount) {
  unsigned char buffer[8];
  std::memset(buffer, 'x', sizeof buffer);
  _mbsnbcpy(buffer, U("ab"), 6);
  EXPECT_EQ(0, std::memcmp(buffer, "ab\0\0\0\0xx", 8));
}

TEST_F(MbstringTest, NbcpyCopiesExactlyCountBytesOfLongerSource) {
  unsigned char buffer[4];
  std::memset(buffer, 'x', sizeof buffer);
  _mbsnbcpy(buffer, U("abcdef"), 3);
  EXPECT_EQ(0, std::memcmp(buffer, "abcx", 4));
}

TEST_F(MbstringTest, NbcpyDropsLeadByteWhoseTrailIsCutOff) {
  winshim::SetMultibyteCodePage(932);
  unsigned char buffer[4];
  std::memset(buffer, 'x', sizeof buffer);
  _mbsnbcpy(buffer, U("a\x95\x5c"), 2);
  EXPECT_EQ(0, std::memcmp(buffer, "a\0xx", 4));

  winshim::SetMultibyteCodePage(1252);
  std::memset(buffer, 'x', sizeof buffer);
  _mbsnbcpy(buffer, U("a\x95\x5c"), 2);
  EXPECT_EQ(0, std::memcmp(buffer, "a\x95xx", 4));
}

}  // namespace
