#include "regservice/prefix/ansi_text.h"

#include <gtest/gtest.h>

#include <string>

namespace regservice {
namespace prefix {
namespace {

TEST(AnsiTextTest, ToUtf16) {
  struct Case {
    unsigned int code_page;
    std::string ansi;
    std::u16string utf16;
  } cases[] = {
      {1252, "Key", u"Key"},
      {1252, "Caf\xe9", u"Caf\u00e9"},
      {1252, "\x80", u"\u20ac"},
      // Undefined in 1252: the byte stands for itself, as in Wine's table.
      {1252, "a\x81z", u"a\u0081z"},
      {1252, std::string("a\0b\0", 4), std::u16string(u"a\0b\0", 4)},
      {1251, "\xc0\xff", u"\u0410\u044f"},
      {1253, "\xd3", u"\u03a3"},
      // A Shift-JIS character whose trail byte is 0x5C.
      {932, "\x95\x5c", u"\u8868"},
      {932, "a\x82\xa0", u"a\u3042"},
      // A lead byte at the end has no trail.
      {932, "a\x95", u"a\u0095"},
      {936, "\xc4\xe3", u"\u4f60"},
      {65001, "\xc3\xa9\xe2\x82\xac", u"\u00e9\u20ac"},
      {1252, "", u""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.utf16, AnsiToUtf16(c.code_page, c.ansi.data(), c.ansi.size()))
        << c.code_page << " '" << c.ansi << "'";
  }
}

TEST(AnsiTextTest, FromUtf16) {
  EXPECT_EQ("MyCl\xe9ss", Utf16ToAnsi(1252, u"MyCl\u00e9ss"));
  EXPECT_EQ("\x80", Utf16ToAnsi(1252, u"\u20ac"));
  EXPECT_EQ("\x95\x5c", Utf16ToAnsi(932, u"\u8868"));
  // No such character in the code page.
  EXPECT_EQ("a?b", Utf16ToAnsi(1252, u"a\u4e2db"));
  EXPECT_EQ("?", Utf16ToAnsi(1252, std::u16string(1, u'\xd83d')));
}

TEST(AnsiTextTest, UnknownCodePageReadsAsLatin1) {
  EXPECT_EQ(u"\u00e9", AnsiToUtf16(99999, "\xe9", 1));
}

}  // namespace
}  // namespace prefix
}  // namespace regservice
