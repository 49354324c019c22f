#include "regservice/wine/reg_lexer.h"
#include "regservice/wine/reg_names.h"
#include "regservice/wine/reg_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "regservice/wine/test_support.h"

namespace regservice {
namespace wine {
namespace {

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ',';
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

std::string Escaped(const std::u16string& units, const char* quote) {
  return EscapeUnits(units.data(), units.size(), quote);
}

// ---- Escaping ----------------------------------------------------------

TEST(EscapeTest, WritesWhatWineWrites) {
  struct Case {
    std::u16string units;
    const char* quote;
    std::string expected;
  } cases[] = {
      // Control characters: C escapes, shortest octal, three digits before
      // an octal digit; DEL as itself.
      {u"\x01|\x01"
       u"5|\b|\a|\v|\f|\r|\n|\x1b|\x1f|\x7f|\t|",
       "\"\"", "\\1|\\0015|\\b|\\a|\\v|\\f|\\r|\\n|\\e|\\37|\x7f|\\t|"},
      {std::u16string(u"\0x", 2), "\"\"", "\\0x"},
      {std::u16string(u"\0" u"7", 2), "\"\"", "\\0007"},
      {std::u16string(u"\0" u"8", 2), "\"\"", "\\08"},
      // Non-ASCII: shortest hex, four digits before an ASCII hex digit.
      {u"\u00e9|\u00e9a|\u00e9g|\u00e9F|\u4e2d\u6587|\U0001F600|\u00a0", "\"\"",
       "\\xe9|\\x00e9a|\\xe9g|\\x00e9F|\\x4e2d\\x6587|\\xd83d\\xde00|\\xa0"},
      {u"\u00e9\u00e9", "\"\"", "\\xe9\\xe9"},
      // Quotes and brackets depend on where the text goes.
      {u"q\"uote\\back[br]=eq\ttab", "\"\"", "q\\\"uote\\\\back[br]=eq\\ttab"},
      {u"a[b]c\"d\\e", "[]", "a\\[b\\]c\"d\\\\e"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, Escaped(c.units, c.quote)) << c.expected;
  }
}

TEST(EscapeTest, ReadsBackWhatItWrites) {
  const std::u16string texts[] = {
      u"plain",
      std::u16string(u"\0\x01\x02\x03\x04\x05\x06\a\b\t\n\v\f\r\x0e\x1b\x1f", 17),
      u"\x01" u"0\x01" u"7\x01" u"8\x1f" u"1",
      u"\u00e9a\u00e9F\u00e9g\u00e9\u00e9\u00e90",
      u"\U0001F600x\U0001F600" u"1\U0001F600",
      u"\"\\[]=@;#",
      u"\xffff\xd800\xdc00",
  };
  for (const std::u16string& text : texts) {
    for (const char* quote : {"\"\"", "[]"}) {
      std::string escaped = Escaped(text, quote) + quote[1];
      Name back;
      const char* after = ParseEscaped(escaped.data(),
                                       escaped.data() + escaped.size(),
                                       quote[1], &back);
      EXPECT_EQ(escaped.data() + escaped.size(), after) << escaped;
      EXPECT_TRUE(back == text) << escaped;
    }
  }
}

TEST(UnescapeTest, ReadsWhatWineReads) {
  struct Case {
    std::string text;  // up to and including the closing quote
    std::u16string expected;
  } cases[] = {
      {"abc\"", u"abc"},
      {"\\xe9a\"", u"\u0e9a"},            // \x takes up to four digits
      {"\\x00e9a\"", u"\u00e9a"},
      {"\\xzz\"", u"xzz"},                // \x without a digit is "x"
      {"\\1234\"", u"S4"},                // octal takes up to three
      {"\\8\\q\\u\\\\\\\"\\[\\]\"", u"8qu\\\"[]"},
      {"\\a\\b\\e\\f\\n\\r\\t\\v\"", u"\a\b\x1b\f\n\r\t\v"},
      {"\xc3\xa9t\xc3\xa9\"", u"\u00e9t\u00e9"},            // UTF-8
      {"\xf0\x9f\x98\x80\"", u"\U0001F600"},                 // surrogate pair
      {"\xed\xa0\xbd\"", u"\xd83d"},                         // encoded surrogate
      {"caf\xe9!\"", u"caf!"},                               // lone Latin-1
      {"\xc0\x80x\"", u"x"},                                 // overlong form
      {"\xe2\x82x\"", u"x"},                                 // cut sequence
      {"\xff\xfex\"", u"x"},
      {"a]b\"", u"a]b"},
  };
  for (const Case& c : cases) {
    Name out;
    const char* end = c.text.data() + c.text.size();
    EXPECT_EQ(end, ParseEscaped(c.text.data(), end, '"', &out)) << c.text;
    EXPECT_TRUE(out == c.expected) << c.text;
  }
  for (std::string bad : {"abc", "abc\\", "abc\\\"", "\\x", "\xc3"}) {
    EXPECT_EQ(nullptr, ParseEscaped(bad.data(), bad.data() + bad.size(), '"',
                                    nullptr))
        << bad;
  }
}

// ---- Names -------------------------------------------------------------

TEST(NameTest, FoldsUnicodeLetters) {
  EXPECT_TRUE(NamesEqual(u"Software", u"SOFTWARE"));
  EXPECT_TRUE(NamesEqual(u"\u00e9t\u00e9", u"\u00c9T\u00c9"));
  EXPECT_TRUE(NamesEqual(u"\u03c3", u"\u03a3"));
  EXPECT_FALSE(NamesEqual(u"\u03c2", u"\u03c3"));  // final sigma differs
  EXPECT_FALSE(NamesEqual(u"\u03c2", u"\u03a3"));
  EXPECT_FALSE(NamesEqual(u"a", u"a "));
  EXPECT_TRUE(NamesEqual(u"\u0416\u0401", u"\u0436\u0451"));
}

TEST(NameTest, SortsAsWineWrites) {
  // The order Wine wrote these values in.
  const std::vector<Name> wine_order = {
      u"",  u"1",     u"[",  u"_u", u"a", u"a b",        u"aa",
      u"Ab", u"b",    u"B_", u"Z",  u"~", u"\u00e9", u"\u00c9x"};
  std::vector<Name> sorted(wine_order.rbegin(), wine_order.rend());
  std::sort(sorted.begin(), sorted.end(), [](const Name& a, const Name& b) {
    return CompareNames(a, b) < 0;
  });
  EXPECT_TRUE(sorted == wine_order);
  EXPECT_EQ(0, CompareNames(u"ABC", u"abc"));
  EXPECT_LT(CompareNames(u"a", u"a\\x"), 0);
  EXPECT_LT(CompareNames(u"a b", u"a\\x"), 0);
}

// ---- Section headers ---------------------------------------------------

struct HeaderCase {
  std::string line;
  bool ok;
  std::vector<Name> elements;
  bool has_seconds;
  uint32_t seconds;
};

std::vector<HeaderCase> HeaderCases() {
  return {
      {"[Software\\\\Wine] 1796869137", true, {u"Software", u"Wine"}, true, 1796869137},
      {"[Software\\\\Wine]", true, {u"Software", u"Wine"}, false, 0},
      {"[a\\bc]", true, {u"a\bc"}, false, 0},  // one backslash escapes
      {"[\\Z]", true, {u"Z"}, false, 0},
      {"[\\\\a\\\\\\\\b\\\\] 5 junk", true, {u"a", u"b"}, true, 5},
      {"[a\\x005cb]", true, {u"a", u"b"}, false, 0},
      {"[]", true, {}, false, 0},
      {"[\\\\]", true, {}, false, 0},
      {"[\\0abc]", true, {}, false, 0},  // a leading NUL reads as the root
      {"[Spaces ]\t12", true, {u"Spaces "}, true, 12},
      {"[q\"x\\[1\\]]x", true, {u"q\"x[1]"}, false, 0},
      {"[e\\xe9\\x4e2d] -1", true, {u"e\u00e9\u4e2d"}, true, 0xffffffffu},
      {"[a]+7", true, {u"a"}, true, 7},
      {"[REGISTRY\\\\User\\\\S-1\\\\X]", true, {u"REGISTRY", u"User", u"S-1", u"X"}, false, 0},
      {"[no end", false, {}, false, 0},
      {"[ends in \\]", false, {}, false, 0},
      {"[" + std::string(256, 'k') + "]", true, {Name(256, u'k')}, false, 0},
      {"[a\\\\" + std::string(257, 'k') + "]", false, {}, false, 0},
      {"[a\\\\" + std::string(256, 'k') + "]", true, {u"a", Name(256, u'k')}, false, 0},
      {"[\\\\a\\x5c\\\\b]", true, {u"a", u"b"}, false, 0},
      {"[a\\\\\\0b]", true, {u"a", Name(u"\0b", 2)}, false, 0},  // NUL inside
      {"[K\\xe9y\\\\\\xd83d\\xde00]", true, {u"K\u00e9y", u"\U0001F600"}, false, 0},
      {"[caf\xc3\xa9\\\\x]", true, {u"caf\u00e9", u"x"}, false, 0},  // raw UTF-8
  };
}

TEST(SectionHeaderTest, Table) {
  for (const HeaderCase& c : HeaderCases()) {
    SectionHeader header;
    ReadHeader(c.line.data(), c.line.data() + c.line.size(), &header);
    EXPECT_EQ(c.ok, header.ok) << c.line;
    if (!c.ok || !header.ok) continue;
    EXPECT_TRUE(header.elements == c.elements) << c.line;
    EXPECT_EQ(c.has_seconds, header.has_seconds) << c.line;
    EXPECT_EQ(c.seconds, header.seconds) << c.line;
    EXPECT_EQ(']', c.line[header.path_end - 1]) << c.line;
  }
}

// Loading keeps only the first elements of each path; the others still
// count for the depth and can still make Wine reject the header.
TEST(SectionHeaderTest, KeepsTheFirstElementsAndChecksAll) {
  struct Case {
    std::string line;
    size_t kept;
    bool ok;
    size_t depth;
    std::vector<Name> elements;
  } cases[] = {
      {"[a\\\\b\\\\c] 5", 2, true, 3, {u"a", u"b"}},
      {"[a\\\\b\\\\" + std::string(257, 'c') + "]", 2, false, 0, {}},
      {"[a\\\\\\\\b]", 5, true, 2, {u"a", u"b"}},
      {"[\\0\\\\b\\\\c]", 1, true, 0, {}},  // the root
  };
  for (const Case& c : cases) {
    SectionHeader header;
    ReadHeader(c.line.data(), c.line.data() + c.line.size(), &header, c.kept);
    EXPECT_EQ(c.ok, header.ok) << c.line;
    EXPECT_EQ(c.depth, header.depth) << c.line;
    EXPECT_TRUE(header.elements == c.elements) << c.line;
  }
}

// ---- Value lines -------------------------------------------------------

struct ValueCase {
  std::string text;  // the value line and what follows it
  bool created;
  bool malformed;
  uint32_t type;
  std::string data_hex;
  Name name;
};

ValueLine Read(const std::string& text) {
  LineCursor cursor(text, 0, text.size());
  Line line;
  cursor.Next(&line);
  ValueLine value;
  ReadValueLine(text, line, &cursor, &value);
  return value;
}

TEST(ValueLineTest, ReadsEveryForm) {
  const ValueCase cases[] = {
      {"\"a\"=\"x\"", true, false, 1, "78,00,00,00", u"a"},
      {"\"a\"=str:\"x\"", true, false, 1, "78,00,00,00", u"a"},
      {"\"a\"=str(2):\"%P%\"", true, false, 2, "25,00,50,00,25,00,00,00", u"a"},
      {"\"a\"=str(7):\"a\\0b\\0\"", true, false, 7, "61,00,00,00,62,00,00,00,00,00", u"a"},
      {"\"a\"=\"x\" trailing text", true, false, 1, "78,00,00,00", u"a"},
      {"\"a\"=\"\"", true, false, 1, "00,00", u"a"},
      {"@=\"d\"", true, false, 1, "64,00,00,00", u""},
      {"  \"sp\"  =  \"d\"", true, false, 1, "64,00,00,00", u"sp"},
      {"@ = dword:1", true, false, 4, "01,00,00,00", u""},
      {"\"d\"=dword:0000002a", true, false, 4, "2a,00,00,00", u"d"},
      {"\"d\"=dword: 0x2A", true, false, 4, "2a,00,00,00", u"d"},
      {"\"d\"=dword:123456789", true, false, 4, "89,67,45,23", u"d"},
      {"\"d\"=dword:-1", true, false, 4, "ff,ff,ff,ff", u"d"},
      {"\"d\"=dword:", true, false, 4, "00,00,00,00", u"d"},
      {"\"d\"=dword:zz", true, false, 4, "00,00,00,00", u"d"},
      {"\"d\"=dword:12zz", true, false, 4, "12,00,00,00", u"d"},
      {"\"h\"=hex:01,02", true, false, 3, "01,02", u"h"},
      {"\"h\"=hex:1 , A ,ff, ", true, false, 3, "01,0a,ff", u"h"},
      {"\"h\"=hex:", true, false, 3, "", u"h"},
      {"\"h\"=hex(b):89,67,45,23,01,00,00,00", true, false, 11, "89,67,45,23,01,00,00,00", u"h"},
      {"\"h\"=hex(12345):de,ad", true, false, 0x12345, "de,ad", u"h"},
      {"\"h\"=hex(0):", true, false, 0, "", u"h"},
      {"\"h\"=hex():01", true, false, 0, "01", u"h"},
      {"\"h\"=hex(4):01,02,03", true, false, 4, "01,02,03", u"h"},
      // Malformed: the value exists, as REG_NONE without data.
      {"\"m\"=hex:0102", true, true, 0, "", u"m"},
      {"\"m\"=hex:100", true, true, 0, "", u"m"},
      {"\"m\"=hex: 01", true, true, 0, "", u"m"},
      {"\"m\"=hex:01;comment", true, true, 0, "", u"m"},
      {"\"m\"=DWORD:1", true, true, 0, "", u"m"},
      {"\"m\"=str(1):\"x\"", true, true, 0, "", u"m"},
      {"\"m\"=hex (3):01", true, true, 0, "", u"m"},
      {"\"m\"=hex(3)01", true, true, 0, "", u"m"},
      {"\"m\"=\"unterminated", true, true, 0, "", u"m"},
      {"\"m\"=ends in \\", true, true, 0, "", u"m"},
      {"\"m\"=", true, true, 0, "", u"m"},
      {"\"m\"=hex:01,\\", true, true, 0, "", u"m"},  // continues past the end
      // No value at all.
      {"\"n\"", false, false, 0, "", u""},
      {"\"n\" \"x\"", false, false, 0, "", u""},
      {"\"n=\"x\"", false, false, 0, "", u""},
      {"@x=\"x\"", false, false, 0, "", u""},
      {"\"" + std::string(16384, 'n') + "\"=\"x\"", false, false, 0, "", u""},
  };
  for (const ValueCase& c : cases) {
    ValueLine value = Read(c.text);
    const std::string row = c.text.substr(0, 60);
    EXPECT_EQ(c.created, value.created) << row;
    if (!c.created) continue;
    EXPECT_EQ(c.malformed, value.malformed) << row;
    EXPECT_EQ(c.type, value.type) << row;
    EXPECT_EQ(c.data_hex, Hex(value.data)) << row;
    EXPECT_TRUE(c.name == value.name) << row;
  }
  // The longest name Wine keeps.
  ValueLine longest = Read("\"" + std::string(16383, 'n') + "\"=\"x\"");
  EXPECT_TRUE(longest.created);
  EXPECT_EQ(16383u, longest.name.size());
}

TEST(ValueLineTest, FollowsHexContinuations) {
  struct Case {
    std::string text;
    bool malformed;
    std::string data_hex;
    std::string own_lines;  // text[0, own_end)
    std::string all_lines;  // text[0, end)
  } cases[] = {
      {"\"h\"=hex:01,\\\n  02\nnext\n", false, "01,02",
       "\"h\"=hex:01,\\\n  02\n", "\"h\"=hex:01,\\\n  02\n"},
      {"\"h\"=hex:01,\\ ignored\r\n\t02,\\\r\n03\r\nnext\r\n", false, "01,02,03",
       "\"h\"=hex:01,\\ ignored\r\n\t02,\\\r\n03\r\n",
       "\"h\"=hex:01,\\ ignored\r\n\t02,\\\r\n03\r\n"},
      // A blank line ends the list and belongs to it only as its end.
      {"\"h\"=hex:01,\\\n   \n\"x\"=\"y\"\n", false, "01",
       "\"h\"=hex:01,\\\n", "\"h\"=hex:01,\\\n   \n"},
      // A continuation onto a header line swallows it.
      {"\"h\"=hex:01,\\\n[Key]\n\"x\"=\"y\"\n", true, "",
       "\"h\"=hex:01,\\\n[Key]\n", "\"h\"=hex:01,\\\n[Key]\n"},
      {"\"h\"=hex:01,\\\n", true, "", "\"h\"=hex:01,\\\n", "\"h\"=hex:01,\\\n"},
      {"\"h\"=hex:01,\\\n02", false, "01,02", "\"h\"=hex:01,\\\n02",
       "\"h\"=hex:01,\\\n02"},
      // Only hex lists go on.
      {"\"s\"=\"a\\\\\"\\\n02\n", false, "61,00,5c,00,00,00", "\"s\"=\"a\\\\\"\\\n",
       "\"s\"=\"a\\\\\"\\\n"},
  };
  for (const Case& c : cases) {
    ValueLine value = Read(c.text);
    EXPECT_TRUE(value.created) << c.text;
    EXPECT_EQ(c.malformed, value.malformed) << c.text;
    EXPECT_EQ(c.data_hex, Hex(value.data)) << c.text;
    EXPECT_EQ(c.own_lines, c.text.substr(0, value.own_end)) << c.text;
    EXPECT_EQ(c.all_lines, c.text.substr(0, value.end)) << c.text;
  }
}

TEST(LineCursorTest, SplitsAsWinesReaderDoes) {
  const std::string text =
      std::string("one\r\ntwo\n\nthr\0ee\r\nfour\r", 23);
  LineCursor cursor(text, 0, text.size());
  std::vector<std::string> contents;
  Line line;
  while (cursor.Next(&line)) {
    contents.push_back(text.substr(line.begin, line.content_end - line.begin));
  }
  // CR before LF is dropped, a NUL ends the text, a last line without a
  // newline keeps its CR.
  EXPECT_EQ((std::vector<std::string>{"one", "two", "", "thr", "four\r"}),
            contents);
}

// ---- Writing -----------------------------------------------------------

TEST(FormatValueTest, WritesWhatWineWrote) {
  struct Case {
    Name name;
    uint32_t type;
    std::string data;
    std::string line;
  } cases[] = {
      {u"", 1, Sz(u"def"), "@=\"def\""},
      {u"multi", 7, Sz(std::u16string(u"a\0b\0", 4)), "\"multi\"=str(7):\"a\\0b\\0\""},
      {u"REG_BINARY", 3, "\x0a\x0b\x0c", "\"REG_BINARY\"=hex:0a,0b,0c"},
      {u"REG_DWORD", 4, std::string("\x2a\0\0\0", 4), "\"REG_DWORD\"=dword:0000002a"},
      {u"REG_EXPAND_SZ", 2, Sz(u"%PATH%"), "\"REG_EXPAND_SZ\"=str(2):\"%PATH%\""},
      {u"REG_QWORD", 11, std::string("\x89\x67\x45\x23\x01\0\0\0", 8),
       "\"REG_QWORD\"=hex(b):89,67,45,23,01,00,00,00"},
      {u"sz", 1, Sz(u"hello \"w\" \\x"), "\"sz\"=\"hello \\\"w\\\" \\\\x\""},
      {u"custom", 0x12345, "\xde\xad\xbe\xef", "\"custom\"=hex(12345):de,ad,be,ef"},
      {u"dword3", 4, "\x01\x02\x03", "\"dword3\"=hex(4):01,02,03"},
      {u"multi_empty", 7, Sz(u""), "\"multi_empty\"=str(7):\"\""},
      {u"none0", 0, "", "\"none0\"=hex(0):"},
      {u"sz_empty0", 1, "", "\"sz_empty0\"=hex(1):"},
      {u"sz_odd", 1, std::string("A\0B", 3), "\"sz_odd\"=hex(1):41,00,42"},
      {u"sz_onlynul", 1, Sz(u""), "\"sz_onlynul\"=\"\""},
      {u"bin_empty", 3, "", "\"bin_empty\"=hex:"},
      {u"Caf\u00e9", 1, Sz(u"\u00e9t\u00e9 \u20ac"),
       "\"Caf\\xe9\"=\"\\xe9t\\xe9 \\x20ac\""},
      {u"Flag", 3, "\x02", "\"Flag\"=hex:02"},
      {u"nonul", 1, std::string("a\0b\0", 4), "\"nonul\"=hex(1):61,00,62,00"},
      {u"big-endian", 5, std::string("\0\0\0\x2a", 4), "\"big-endian\"=hex(5):00,00,00,2a"},
      {u"q\"uote\\back[br]=eq\ttab", 1, Sz(u"q\"uote\\back[br]"),
       "\"q\\\"uote\\\\back[br]=eq\\ttab\"=\"q\\\"uote\\\\back[br]\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.line + "\n", FormatValue(c.name, c.type, c.data, "\n")) << c.line;
    // And it reads back as the same value.
    ValueLine back = Read(c.line + "\n");
    EXPECT_FALSE(back.malformed) << c.line;
    EXPECT_EQ(c.type, back.type) << c.line;
    EXPECT_TRUE(c.name == back.name) << c.line;
    EXPECT_EQ(Hex(c.data), Hex(back.data)) << c.line;
  }
}

TEST(FormatValueTest, WrapsHexLikeWine) {
  std::string bytes;
  for (int i = 0; i < 100; ++i) bytes += static_cast<char>(i);
  const std::string expected =
      "\"bin100\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
      "  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,\\\n"
      "  2f,30,31,32,33,34,35,36,37,38,39,3a,3b,3c,3d,3e,3f,40,41,42,43,44,45,46,47,\\\n"
      "  48,49,4a,4b,4c,4d,4e,4f,50,51,52,53,54,55,56,57,58,59,5a,5b,5c,5d,5e,5f,60,\\\n"
      "  61,62,63\n";
  EXPECT_EQ(expected, FormatValue(u"bin100", 3, bytes, "\n"));
  // The prefix counts: a long name wraps after fewer bytes, and CRLF files
  // get CRLF inside the value too.
  std::string wrapped = FormatValue(Name(70, u'n'), 0x1234, bytes.substr(0, 3), "\r\n");
  EXPECT_EQ("\"" + std::string(70, 'n') + "\"=hex(1234):00,\\\r\n  01,02\r\n", wrapped);
  ValueLine back = Read(wrapped);
  EXPECT_EQ("00,01,02", Hex(back.data));
  EXPECT_EQ(wrapped.size(), back.end);
}

TEST(TimeFormatTest, SecondsAndFileTime) {
  EXPECT_EQ("1796868578", FormatSeconds(0x1dd884b827e4f7aULL));
  EXPECT_EQ("#time=1dd884b827e4f7a", FormatTimeOption(0x1dd884b827e4f7aULL));
  EXPECT_EQ("#time=100000000", FormatTimeOption(0x100000000ULL));
  EXPECT_EQ("#time=0000000ff", FormatTimeOption(0xffULL));  // Wine's %x%08x
  EXPECT_EQ(0x1dd884b827e4f7aULL / 10000000 * 10000000,
            SecondsToFileTime(1796868578));
}

}  // namespace
}  // namespace wine
}  // namespace regservice
