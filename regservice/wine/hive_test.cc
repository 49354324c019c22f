#include "regservice/wine/hive.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "regservice/wine/test_support.h"

namespace regservice {
namespace wine {
namespace {

// 1796869137 s after 1970, with a fraction of a second.
constexpr uint64_t kNow = 0x1dd884ccfb82800ULL;
const char kNowSeconds[] = "1796869137";
const char kNowTime[] = "#time=1dd884ccfb82800";

const char kHead[] = QUILLFIX_TEST_USER_REG_HEAD;

std::string Dword(uint32_t v) {
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>(v >> (8 * i));
  return out;
}

std::string Replace(std::string text, const std::string& from,
                    const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(std::string::npos, at) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// A new section as Wine writes it for a key made at kNow.
std::string Section(const std::string& path) {
  return "\n[" + path + "] " + kNowSeconds + "\n" + kNowTime + "\n";
}

std::string ReadTestData(const std::string& name) {
  std::ifstream in(std::string(WINE_HIVE_TESTDATA) + "/" + name,
                   std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A hive loaded from `text`, which must load.
class Loaded {
 public:
  explicit Loaded(const std::string& text) {
    Status loaded = hive_.Load(text);
    ok_ = loaded.ok();
    EXPECT_TRUE(ok_) << loaded.message();
  }
  Hive* operator->() { return &hive_; }
  Hive& hive() { return hive_; }

 private:
  Hive hive_;
  bool ok_;
};

Value Get(Hive& hive, const KeyPath& path, const Name& name) {
  Value value;
  EXPECT_TRUE(hive.GetValue(path, name, &value));
  return value;
}

// ---- Loading -------------------------------------------------------------

TEST(HiveLoadTest, RefusesWhatWineRefuses) {
  struct Case {
    std::string text;
    std::string error;
  } cases[] = {
      {"", "user.reg:1: not a valid registry file"},
      {"\n", "user.reg:1: not a valid registry file"},
      {"\xef\xbb\xbfWINE REGISTRY Version 2\n", "user.reg:1: not a valid registry file"},
      {"WINE REGISTRY Version 2 \n", "user.reg:1: not a valid registry file"},
      {"WINE REGISTRY Version 1\n", "user.reg:1: not a valid registry file"},
      {"wine registry version 2\n", "user.reg:1: not a valid registry file"},
      {"WINE REGISTRY Version 2\r", "user.reg:1: not a valid registry file"},
      {"REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n", "user.reg:1: not a valid registry file"},
      {std::string(kHead) + "#arch=win16\n", "user.reg:5: unknown architecture '#arch=win16'"},
      {"WINE REGISTRY Version 2\n#arch=win64 \n", "user.reg:2: unknown architecture '#arch=win64 '"},
      {"WINE REGISTRY Version 2\n#arch=\n", "user.reg:2: unknown architecture '#arch='"},
      {"WINE REGISTRY Version 2\n#arch=win32\n  #arch=win64\n",
       "user.reg:3: mismatched architecture '#arch=win64'"},
      // After a header Wine could not use, '#' lines are global again.
      {std::string(kHead) + "\n[bad\n#arch=x\n", "user.reg:7: unknown architecture '#arch=x'"},
      {std::string(kHead) + "\n[a]\n\"h\"=hex:01,\\\n  02\n[b\n#arch=\x01x\n",
       "user.reg:10: unknown architecture '#arch=?x'"},
  };
  for (const Case& c : cases) {
    Hive hive;
    Status loaded = hive.Load(c.text);
    EXPECT_EQ(Status::kCorrupt, loaded.code()) << c.text;
    EXPECT_EQ(c.error, loaded.message()) << c.text;
    // Nothing is there and nothing can be changed.
    EXPECT_FALSE(hive.KeyExists({}));
    EXPECT_FALSE(hive.CreateKey({u"x"}, kNow));
    EXPECT_FALSE(hive.SetValue({}, u"x", kRegSz, Sz(u"x"), kNow));
    EXPECT_FALSE(hive.Modified());
    EXPECT_EQ(c.text, hive.Bytes());
  }
}

TEST(HiveLoadTest, AcceptsWhatWineAccepts) {
  const std::string cases[] = {
      "WINE REGISTRY Version 2",
      "WINE REGISTRY Version 2\n",
      "WINE REGISTRY Version 2\r\n#arch=win64\r\n",
      std::string("WINE REGISTRY Version 2\0junk\n", 29),
      "WINE REGISTRY Version 2\n#arch=win32\n#arch=win32\n#other=1\n",
      "WINE REGISTRY Version 2\n  #arch=win64\n",
      // An #arch line inside a section is a key option and ignored.
      std::string(kHead) + "\n[a]\n#arch=win16\n",
      ReadTestData("wineboot_user.reg"),
  };
  for (const std::string& text : cases) {
    Hive hive;
    Status loaded = hive.Load(text);
    EXPECT_TRUE(loaded.ok()) << text.substr(0, 80) << ": " << loaded.message();
    EXPECT_TRUE(hive.KeyExists({}));
    EXPECT_EQ(text, hive.Bytes());
    EXPECT_FALSE(hive.Modified());
  }
}

// ---- Keys ----------------------------------------------------------------

TEST(HiveKeyTest, FindsKeysAsWineDoes) {
  Loaded hive(std::string(kHead) +
              "\n[Software\\\\Acme\\\\Tool 1.0\\\\Prefs] 1796869137\n"
              "\n[\\\\Lead\\\\\\\\Doubled\\\\Trail\\\\]\n"
              "\n[Caf\\xe9\\\\\\x3c3] 1\n"
              "\n[Final\\x3c2]\n"
              "\n[Spaces ]\n"
              "\n[bad\n"
              "\n[Dropped\\\\" + std::string(257, 'x') + "]\n"
              "\n[a\\bc]\n"
              "[Swallowing]\n\"h\"=hex:01,\\\n[Swallowed]\n" +
              std::string("\n[Has NUL\0Ignored]\n", 19));
  struct Case {
    KeyPath path;
    bool exists;
  } cases[] = {
      {{}, true},
      {{u"Software"}, true},
      {{u"software", u"ACME"}, true},
      {{u"SOFTWARE", u"acme", u"TOOL 1.0", u"prefs"}, true},
      {{u"Software", u"Acme", u"Tool 1.0", u"Prefs", u"Deeper"}, false},
      {{u"Software", u"Tool 1.0"}, false},
      {{u"Lead", u"Doubled", u"Trail"}, true},
      {{u"Lead", u""}, false},
      {{u"caf\u00c9", u"\u03a3"}, true},
      {{u"CAF\u00e9", u"\u03c3"}, true},
      {{u"Caf\u00e9", u"\u03c2"}, false},
      {{u"final\u03c2"}, true},
      {{u"final\u03c3"}, false},
      {{u"Spaces "}, true},
      {{u"Spaces"}, false},
      {{u"bad"}, false},
      {{u"Dropped"}, false},
      {{u"a\bc"}, true},
      {{u"Swallowing"}, true},
      {{u"Swallowed"}, false},
      {{u"Has NUL"}, false},
      {{Name(257, u'x')}, false},
  };
  for (const Case& c : cases) {
    std::string row;
    for (const Name& e : c.path) row += std::string(e.begin(), e.end()) + "\\";
    EXPECT_EQ(c.exists, hive->KeyExists(c.path)) << row;
  }
}

// Plain headers are indexed from their bytes and reuse the previous
// header's keys for a shared prefix; escaped ones are decoded. Every
// spelling of a key must still reach the same key, never a second one.
TEST(HiveKeyTest, EverySpellingOfAKeyIsOneKey) {
  Loaded hive(std::string(kHead) +
              "\n[Vendor\\\\App\\\\One]\n"
              "\n[VENDOR\\\\app\\\\Two]\n"
              "\n[Vend\\x6fr\\\\App\\\\Three]\n"
              "\n[vendor\\\\App\\\\one\\\\Deep]\n"
              "\n[Vendor\\\\Apple]\n"
              "\n[Vendor\\\\\\\\App\\\\\\\\Four\\\\]\n"
              "\n[Vendor\\\\App\\\\Caf\\xe9]\n"
              "\n[vendor\\\\app\\\\CAF\\xc9]\n"
              "\n[Other\\\\App]\n");
  struct Case {
    KeyPath path;
    uint32_t subkeys;
  } cases[] = {
      {{}, 2},
      {{u"vendor"}, 2},
      {{u"Vendor", u"APP"}, 5},
      {{u"Vendor", u"App", u"ONE"}, 1},
      {{u"Vendor", u"Apple"}, 0},
      {{u"Other", u"App"}, 0},
  };
  for (const Case& c : cases) {
    std::string row;
    for (const Name& e : c.path) row += std::string(e.begin(), e.end()) + "\\";
    KeyInfo info;
    ASSERT_TRUE(hive->QueryKey(c.path, &info)) << row;
    EXPECT_EQ(c.subkeys, info.subkeys) << row;
  }
}

TEST(HiveKeyTest, QueryKeyCountsAsWineDoes) {
  Loaded hive(std::string(kHead) +
              "\n[Software\\\\Acme\\\\Tool] 1796869137\n"
              "\"Long value name\"=\"x\"\n"
              "\n[software\\\\ACME] 1796869000\n"
              "#time=1dd884ccfb82800\n"
              "#class=\"MyClass\\\"x\\xe9\"\n"
              "\"a\"=hex:01,02,03,04,05\n"
              "\"B\"=\"\"\n"
              "\"m\"=bogus\n"
              "\n[SOFTWARE\\\\acme\\\\Other Longer]\n"
              "\n[Software\\\\ACME] 1796869001\n"
              "\"A\"=hex:01\n"
              "\"c\"=dword:1\n"
              "\n[Software\\\\acme\\\\tool\\\\x]\n"
              "\n[NoTime]\n"
              "\n[Late\\\\k]\n"
              "\n[Late] 1796869137\n");
  KeyInfo info;
  ASSERT_TRUE(hive->QueryKey({u"Software", u"Acme"}, &info));
  EXPECT_TRUE(info.class_name == u"MyClass\"x\u00e9");
  EXPECT_EQ(2u, info.subkeys);          // Tool and Other Longer
  EXPECT_EQ(12u, info.max_subkey_name);
  EXPECT_EQ(4u, info.values);           // a (twice), B, m, c
  EXPECT_EQ(1u, info.max_value_name);
  EXPECT_EQ(4u, info.max_value_data);   // "a" is now one byte; c is four
  // "#time=" wins over the seconds of any header.
  EXPECT_EQ(kNow, info.last_write);

  ASSERT_TRUE(hive->QueryKey({}, &info));
  EXPECT_EQ(3u, info.subkeys);
  EXPECT_EQ(8u, info.max_subkey_name);
  EXPECT_EQ(0u, info.values);
  EXPECT_EQ(0u, info.last_write);
  EXPECT_TRUE(info.class_name.empty());

  ASSERT_TRUE(hive->QueryKey({u"software", u"acme", u"TOOL"}, &info));
  EXPECT_EQ(1u, info.subkeys);
  EXPECT_EQ(1u, info.values);
  EXPECT_EQ(15u, info.max_value_name);
  EXPECT_EQ(4u, info.max_value_data);
  EXPECT_EQ(1796869137ULL * 10000000 + 116444736000000000ULL, info.last_write);

  // A key that exists through a deeper path has the seconds of the first
  // header that made it; later headers' seconds do not count.
  ASSERT_TRUE(hive->QueryKey({u"Software"}, &info));
  EXPECT_EQ(1796869137ULL * 10000000 + 116444736000000000ULL, info.last_write);
  ASSERT_TRUE(hive->QueryKey({u"Late"}, &info));
  EXPECT_EQ(0u, info.last_write);

  ASSERT_TRUE(hive->QueryKey({u"NoTime"}, &info));
  EXPECT_EQ(0u, info.last_write);
  EXPECT_FALSE(hive->QueryKey({u"Missing"}, &info));

  Value value = Get(hive.hive(), {u"SOFTWARE", u"Acme"}, u"A");
  EXPECT_EQ(kRegBinary, value.type);
  EXPECT_EQ("\x01", value.data);
  value = Get(hive.hive(), {u"Software", u"Acme"}, u"M");
  EXPECT_EQ(0u, value.type);
  EXPECT_EQ("", value.data);
  EXPECT_FALSE(hive->GetValue({u"Software", u"Acme"}, u"missing", &value));
  EXPECT_FALSE(hive->GetValue({u"Missing"}, u"a", &value));
}

TEST(HiveKeyTest, ValuesOutsideGoodSectionsAreDropped) {
  Loaded hive(std::string(kHead) +
              "\"before\"=\"any header\"\n"
              "\n[bad\n\"lost\"=\"1\"\n"
              "\n[Good]\n\"kept\"=\"1\"\n"
              "junk line\n; comment\n  \"indented\"=dword:2\n");
  Value value;
  KeyInfo info;
  ASSERT_TRUE(hive->QueryKey({u"Good"}, &info));
  EXPECT_EQ(2u, info.values);
  ASSERT_TRUE(hive->QueryKey({}, &info));
  EXPECT_EQ(0u, info.values);
  EXPECT_EQ(1u, info.subkeys);
  EXPECT_EQ(Dword(2), Get(hive.hive(), {u"good"}, u"INDENTED").data);
}

TEST(HiveKeyTest, RejectedHeadersInARowStillEndTheSectionBefore) {
  const std::string text = std::string(kHead) +
                           "\n[a]\n\"v\"=\"1\"\n"
                           "[bad one\n[bad two\n\"x\"=\"dropped\"\n[bad three\n"
                           "\n[b]\n\"y\"=\"2\"\n";
  Loaded hive(text);
  KeyInfo info;
  ASSERT_TRUE(hive->QueryKey({u"a"}, &info));
  EXPECT_EQ(1u, info.values);
  ASSERT_TRUE(hive->QueryKey({u"b"}, &info));
  EXPECT_EQ(1u, info.values);
  ASSERT_TRUE(hive->SetValue({u"a"}, u"w", kRegSz, Sz(u"3"), kNow));
  ASSERT_TRUE(hive->CreateKey({u"a1"}, kNow));
  EXPECT_EQ(std::string(kHead) + "\n[a] " + kNowSeconds + "\n" + kNowTime +
                "\n\"v\"=\"1\"\n\"w\"=\"3\"\n" + Section("a1") +
                "[bad one\n[bad two\n\"x\"=\"dropped\"\n[bad three\n"
                "\n[b]\n\"y\"=\"2\"\n",
            hive->Bytes());
  ASSERT_TRUE(hive->QueryKey({u"a1"}, &info));
  EXPECT_EQ(0u, info.values);
}

// A hand-made file and what Wine 8's registry returned for it, through
// "reg query" and RegQueryInfoKey in a program run under Wine.
TEST(HiveKeyTest, ReadsAsWineReadIt) {
  const char kCrafted[] =
      "\n[A1\\\\hexempty]\n"
      "\"x\"=hex():01\n"
      "\"y\"=hex( 1a):01\n"
      "[A1\\\\dw]\n"
      "\"neg\"=dword:-1\n"
      "\"big\"=dword:123456789\n"
      "\"hx\"=dword: 0x2A\n"
      "\"over\"=dword:12345678901234567890\n"
      "[A1\\\\hex0x]\n"
      "\"h\"=hex:0x12,100000000\n"
      "[A1\\\\swallow]\n"
      "\"h\"=hex:01,\\\n"
      "[A1\\\\swallowed]\n"
      "\"v\"=\"1\"\n"
      "\n"
      "[A1\\\\nul\0x]\n"
      "\"v\"=\"x\"\n"
      "[A1\\\\nulval] 5\n"
      "\"a\0b\"=\"1\"\n"
      "\"c\"=\"d\0e\"\n"
      "[\\0zz]\n"
      "\"rootval\"=\"r\"\n"
      "[A1\\\\dup] 1000\n"
      "#time=1dd884ccfb82800\n"
      "\"a\"=\"1\"\n"
      "[a1\\\\DUP] 2000\n"
      "\"A\"=\"2\"\n"
      "[A1\\\\dup3] 1000\n"
      "[a1\\\\DUP3]\n"
      "[A1\\\\cls]\n"
      "#class=\"abc\"\n"
      "#class=\"q\\\"x\"\n"
      "[A1\\\\cls]\n"
      "#class=noquote\n"
      "[B1\\\\x\\\\y] 3000\n"
      "[C1\\\\k]\n"
      "[C1] 4000\n";
  Loaded hive(std::string(kHead) + std::string(kCrafted, sizeof(kCrafted) - 1));
  struct Case {
    KeyPath key;
    Name name;
    bool exists;
    uint32_t type;
    std::string data;
  } cases[] = {
      {{u"A1", u"hexempty"}, u"x", true, 0, "\x01"},
      {{u"A1", u"hexempty"}, u"y", true, 0x1a, "\x01"},
      {{u"A1", u"dw"}, u"neg", true, kRegDword, Dword(0xffffffff)},
      {{u"A1", u"dw"}, u"big", true, kRegDword, Dword(0x23456789)},
      {{u"A1", u"dw"}, u"hx", true, kRegDword, Dword(0x2a)},
      {{u"A1", u"dw"}, u"over", true, kRegDword, Dword(0xffffffff)},
      {{u"A1", u"hex0x"}, u"h", true, kRegBinary, std::string("\x12\0", 2)},
      {{u"A1", u"swallow"}, u"h", true, 0, ""},
      {{u"A1", u"swallow"}, u"v", true, kRegSz, Sz(u"1")},
      {{u"A1", u"nulval"}, u"a", false, 0, ""},
      {{u"A1", u"nulval"}, u"c", true, 0, ""},
      {{}, u"rootval", true, kRegSz, Sz(u"r")},
      {{u"A1", u"dup"}, u"A", true, kRegSz, Sz(u"2")},
  };
  for (const Case& c : cases) {
    Value value;
    const std::string row(c.name.begin(), c.name.end());
    ASSERT_EQ(c.exists, hive->GetValue(c.key, c.name, &value)) << row;
    if (!c.exists) continue;
    EXPECT_EQ(c.type, value.type) << row;
    EXPECT_EQ(c.data, value.data) << row;
  }
  EXPECT_FALSE(hive->KeyExists({u"A1", u"swallowed"}));
  EXPECT_FALSE(hive->KeyExists({u"A1", u"nul"}));

  const uint64_t k1970 = 116444736000000000ULL;
  struct Info {
    KeyPath key;
    uint32_t subkeys;
    uint32_t values;
    uint64_t last_write;
    Name class_name;
  } infos[] = {
      {{u"A1"}, 8, 0, 0, u""},
      {{u"A1", u"dup"}, 0, 1, 0x1dd884ccfb82800ULL, u""},
      {{u"A1", u"dup3"}, 0, 0, k1970 + 1000ULL * 10000000, u""},
      {{u"A1", u"cls"}, 0, 0, 0, u"q\"x"},
      {{u"A1", u"nulval"}, 0, 1, k1970 + 5ULL * 10000000, u""},
      {{u"B1"}, 1, 0, k1970 + 3000ULL * 10000000, u""},
      {{u"B1", u"x"}, 1, 0, k1970 + 3000ULL * 10000000, u""},
      {{u"C1"}, 1, 0, 0, u""},
  };
  for (const Info& c : infos) {
    KeyInfo info;
    const std::string row(c.key.back().begin(), c.key.back().end());
    ASSERT_TRUE(hive->QueryKey(c.key, &info)) << row;
    EXPECT_EQ(c.subkeys, info.subkeys) << row;
    EXPECT_EQ(c.values, info.values) << row;
    EXPECT_EQ(c.last_write, info.last_write) << row;
    EXPECT_TRUE(c.class_name == info.class_name) << row;
  }
}

// ---- Changes: byte preservation -----------------------------------------

// Everything Wine would not write itself: comments, unknown lines, odd
// spacing, CRLF, a key in two sections, keys out of order, a long hex value
// with continuation lines, and no newline at the end.
const char kMessy[] =
    "WINE REGISTRY Version 2\r\n"
    ";; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\r\n"
    "\r\n"
    "#arch=win64\r\n"
    "; a hand-written comment\r\n"
    "  unknown line\r\n"
    "\r\n"
    "[Software\\\\Zeta] 1700000000\r\n"
    "#time=1d9f0e4d1e9b000\r\n"
    "\"b\" = \"2\"\r\n"
    "\"a\"=\"1\"\r\n"
    "\r\n"
    "[Software\\\\Acme] 1700000000 trailing words\r\n"
    "\"Name\"=\"first\"\r\n"
    "\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
    "  16,17\r\n"
    "\"Other\"=dword:00000001\r\n"
    "\r\n"
    "\r\n"
    "[software\\\\ACME] 1700000001\r\n"
    "#time=1d9f0e4d1e9b000\r\n"
    "\"NAME\"=\"second\"\r\n"
    ";last line";

TEST(HiveEditTest, UntouchedUntilChanged) {
  Loaded hive(kMessy);
  Value value;
  KeyInfo info;
  hive->GetValue({u"Software", u"Acme"}, u"Name", &value);
  hive->QueryKey({u"Software"}, &info);
  EXPECT_TRUE(hive->CreateKey({u"software", u"zeta"}, kNow));
  EXPECT_FALSE(hive->Modified());
  EXPECT_EQ(kMessy, hive->Bytes());
  EXPECT_EQ(Sz(u"second"), Get(hive.hive(), {u"Software", u"Acme"}, u"name").data);
}

TEST(HiveEditTest, ChangesTheLastOccurrenceAndKeepsTheFirstSpelling) {
  Loaded hive(kMessy);
  ASSERT_TRUE(hive->SetValue({u"SOFTWARE", u"acme"}, u"nAmE", kRegSz, Sz(u"new"), kNow));
  EXPECT_TRUE(hive->Modified());
  std::string expected = kMessy;
  expected = Replace(expected,
                     "[software\\\\ACME] 1700000001\r\n"
                     "#time=1d9f0e4d1e9b000\r\n"
                     "\"NAME\"=\"second\"\r\n",
                     std::string("[software\\\\ACME] ") + kNowSeconds + "\r\n" +
                         kNowTime + "\r\n"
                         "\"Name\"=\"new\"\r\n");
  EXPECT_EQ(expected, hive->Bytes());
  EXPECT_EQ(Sz(u"new"), Get(hive.hive(), {u"Software", u"Acme"}, u"NAME").data);
}

TEST(HiveEditTest, ReplacesAHexValueWithItsContinuationLines) {
  Loaded hive(kMessy);
  ASSERT_TRUE(hive->SetValue({u"Software", u"Acme"}, u"BIN", kRegDword, Dword(7), kNow));
  std::string expected = Replace(
      kMessy,
      "\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
      "  16,17\r\n",
      "\"Bin\"=dword:00000007\r\n");
  // The time goes to the key's last section, which decides it for Wine.
  expected = Replace(expected,
                     "[software\\\\ACME] 1700000001\r\n#time=1d9f0e4d1e9b000\r\n",
                     std::string("[software\\\\ACME] ") + kNowSeconds + "\r\n" +
                         kNowTime + "\r\n");
  EXPECT_EQ(expected, hive->Bytes());

  // And back to a long hex value, wrapped as Wine wraps it.
  std::string bytes;
  for (int i = 0; i < 30; ++i) bytes += static_cast<char>(0xf0 + i % 16);
  ASSERT_TRUE(hive->SetValue({u"Software", u"Acme"}, u"bin", kRegBinary, bytes, kNow));
  expected = Replace(expected, "\"Bin\"=dword:00000007\r\n",
                     "\"Bin\"=hex:f0,f1,f2,f3,f4,f5,f6,f7,f8,f9,fa,fb,fc,fd,fe,ff,f0,f1,f2,f3,f4,f5,f6,\\\r\n"
                     "  f7,f8,f9,fa,fb,fc,fd\r\n");
  EXPECT_EQ(expected, hive->Bytes());
  EXPECT_EQ(bytes, Get(hive.hive(), {u"Software", u"Acme"}, u"Bin").data);
}

TEST(HiveEditTest, NewValuesGoWhereWineSortsThemOrAtTheEnd) {
  Loaded hive(kMessy);
  // Zeta's values are out of order: a new one goes after the last.
  ASSERT_TRUE(hive->SetValue({u"Software", u"Zeta"}, u"0", kRegDword, Dword(1), kNow));
  // Acme's last section holds "NAME" only; "M" sorts before it.
  ASSERT_TRUE(hive->SetValue({u"Software", u"Acme"}, u"M", kRegSz, Sz(u"m"), kNow));
  ASSERT_TRUE(hive->SetValue({u"Software", u"Acme"}, u"Z", kRegSz, Sz(u"z"), kNow));
  std::string expected = Replace(kMessy,
                                 "[Software\\\\Zeta] 1700000000\r\n"
                                 "#time=1d9f0e4d1e9b000\r\n"
                                 "\"b\" = \"2\"\r\n"
                                 "\"a\"=\"1\"\r\n",
                                 std::string("[Software\\\\Zeta] ") + kNowSeconds + "\r\n" +
                                     kNowTime + "\r\n"
                                     "\"b\" = \"2\"\r\n"
                                     "\"a\"=\"1\"\r\n"
                                     "\"0\"=dword:00000001\r\n");
  expected = Replace(expected,
                     "[software\\\\ACME] 1700000001\r\n"
                     "#time=1d9f0e4d1e9b000\r\n"
                     "\"NAME\"=\"second\"\r\n",
                     std::string("[software\\\\ACME] ") + kNowSeconds + "\r\n" +
                         kNowTime + "\r\n"
                         "\"M\"=\"m\"\r\n"
                         "\"NAME\"=\"second\"\r\n"
                         "\"Z\"=\"z\"\r\n");
  EXPECT_EQ(expected, hive->Bytes());
}

TEST(HiveEditTest, AddsTheMissingFinalNewlineBeforeAppending) {
  const std::string text = std::string(kHead) + "\n[Last] 5\n\"x\"=\"1\"";
  Loaded hive(text);
  ASSERT_TRUE(hive->SetValue({u"last"}, u"y", kRegSz, Sz(u"2"), kNow));
  EXPECT_EQ(std::string(kHead) + "\n[Last] " + kNowSeconds + "\n" + kNowTime +
                "\n\"x\"=\"1\"\n\"y\"=\"2\"\n",
            hive->Bytes());

  Loaded other(text);
  ASSERT_TRUE(other->CreateKey({u"Next"}, kNow));
  EXPECT_EQ(text + "\n\n[Next] " + kNowSeconds + "\n" + kNowTime + "\n", other->Bytes());

  // A header that is the last line, without a newline.
  Loaded bare(std::string(kHead) + "\n[Bare]");
  ASSERT_TRUE(bare->SetValue({u"Bare"}, u"", kRegSz, Sz(u"d"), kNow));
  EXPECT_EQ(std::string(kHead) + "\n[Bare] " + kNowSeconds + "\n" + kNowTime +
                "\n@=\"d\"\n",
            bare->Bytes());
}

// ---- Changes: new keys ---------------------------------------------------

// Sections in Wine's order, with one key (Software\\B) only a path prefix.
const char kSorted[] =
    QUILLFIX_TEST_USER_REG_HEAD
    "\n"
    "[AppEvents] 100\n"
    "#time=1\n"
    "\n"
    "[Software\\\\A] 100\n"
    "#time=1\n"
    "\"v\"=\"1\"\n"
    "\n"
    "[Software\\\\A\\\\Sub] 100\n"
    "#time=1\n"
    "\n"
    "[Software\\\\B\\\\Deep] 100\n"
    "#time=1\n"
    "\n"
    "[Software\\\\D] 100\n"
    "#time=1\n";


TEST(HiveEditTest, NewKeysGoWhereWineWouldWriteThem) {
  const std::string a = "[Software\\\\A] 100\n#time=1\n";
  const std::string a_now = std::string("[Software\\\\A] ") + kNowSeconds + "\n" + kNowTime + "\n";
  const std::string d_section = "\n[Software\\\\D] 100\n#time=1\n";
  struct Case {
    KeyPath path;
    std::string expected;
  } cases[] = {
      // Between siblings: after everything of the one before.
      {{u"software", u"C"},
       Replace(kSorted, d_section, Section("Software\\\\C") + d_section)},
      // After all siblings.
      {{u"Software", u"E"}, std::string(kSorted) + Section("Software\\\\E")},
      // Before all siblings: before the first one's sections; the parent has
      // no section, so no time changes.
      {{u"Software", u"0", u"x"},
       Replace(kSorted, "\n" + a, Section("Software\\\\0\\\\x") + "\n" + a)},
      // Below a key with a section: its time changes too.
      {{u"SOFTWARE", u"a", u"new"},
       Replace(Replace(kSorted, a, a_now), "\n[Software\\\\A\\\\Sub]",
               Section("Software\\\\A\\\\new") + "\n[Software\\\\A\\\\Sub]")},
      {{u"Software", u"A", u"Zub"},
       Replace(Replace(kSorted, a, a_now), "\n[Software\\\\B\\\\Deep]",
               Section("Software\\\\A\\\\Zub") + "\n[Software\\\\B\\\\Deep]")},
      // Below a key that is only a path prefix.
      {{u"Software", u"B", u"Alpha"},
       Replace(kSorted, "\n[Software\\\\B\\\\Deep]",
               Section("Software\\\\B\\\\Alpha") + "\n[Software\\\\B\\\\Deep]")},
      // A top-level key; names that need escaping.
      {{u"Control Panel"},
       Replace(kSorted, "\n[Software\\\\A]", Section("Control Panel") + "\n[Software\\\\A]")},
      {{u"~[x]\"\u00e9a\\"}, std::string()},  // a backslash is refused
      {{u"~[x]\"\u00e9a\n"}, std::string(kSorted) + Section("~\\[x\\]\"\\x00e9a\\n")},
      {{u"0"}, Replace(kSorted, "\n[AppEvents]", Section("0") + "\n[AppEvents]")},
  };
  for (const Case& c : cases) {
    Loaded hive(kSorted);
    std::string row;
    for (const Name& e : c.path) row += std::string(e.begin(), e.end()) + "\\";
    bool made = hive->CreateKey(c.path, kNow);
    EXPECT_EQ(!c.expected.empty(), made) << row;
    if (!made) {
      EXPECT_EQ(kSorted, hive->Bytes()) << row;
      continue;
    }
    EXPECT_EQ(c.expected, hive->Bytes()) << row;
    EXPECT_TRUE(hive->KeyExists(c.path)) << row;
    // The result reads back with the same keys.
    Loaded again(hive->Bytes());
    EXPECT_TRUE(again->KeyExists(c.path)) << row;
    KeyInfo info;
    ASSERT_TRUE(again->QueryKey(c.path, &info)) << row;
    EXPECT_EQ(kNow, info.last_write) << row;
  }
}

TEST(HiveEditTest, SectionForAKeyThatIsOnlyAPrefix) {
  Loaded hive(kSorted);
  ASSERT_TRUE(hive->SetValue({u"software", u"b"}, u"v", kRegDword, Dword(9), kNow));
  std::string expected = Replace(kSorted, "\n[Software\\\\B\\\\Deep]",
                                 Section("Software\\\\B") + "\"v\"=dword:00000009\n" +
                                     "\n[Software\\\\B\\\\Deep]");
  EXPECT_EQ(expected, hive->Bytes());
  EXPECT_EQ(Dword(9), Get(hive.hive(), {u"Software", u"B"}, u"V").data);
  // A second value goes into that new section.
  ASSERT_TRUE(hive->SetValue({u"software", u"b"}, u"w", kRegDword, Dword(8), kNow));
  expected = Replace(expected, "\"v\"=dword:00000009\n",
                     "\"v\"=dword:00000009\n\"w\"=dword:00000008\n");
  EXPECT_EQ(expected, hive->Bytes());
  // The root gets a [] section, which comes first.
  ASSERT_TRUE(hive->SetValue({}, u"", kRegSz, Sz(u"root"), kNow));
  expected = Replace(expected, "#arch=win64\n", std::string("#arch=win64\n") +
                                                    Section("") + "@=\"root\"\n");
  EXPECT_EQ(expected, hive->Bytes());
  EXPECT_EQ(Sz(u"root"), Get(hive.hive(), {}, u"").data);
}

// The parent's new time and the new section far below it are two changes
// made in one edit; so are a value and a time next to each other.
TEST(HiveEditTest, ChangesFarApartAndCloseTogether) {
  std::string filler;
  for (int i = 0; filler.size() < 200000; ++i) {
    filler += "\"v" + std::to_string(i) + "\"=dword:00000001\n";
  }
  const std::string parent = "\n[Software\\\\A] 100\n#time=1\n";
  const std::string parent_now = std::string("\n[Software\\\\A] ") +
                                 kNowSeconds + "\n" + kNowTime + "\n";
  const std::string text = std::string(kHead) + parent +
                           "\n[Software\\\\A\\\\B] 100\n" + filler +
                           "\n[Software\\\\C] 100\n\"c\"=dword:00000002\n";
  Loaded hive(text);
  ASSERT_TRUE(hive->CreateKey({u"Software", u"A", u"Z"}, kNow));
  std::string expected =
      Replace(Replace(text, parent, parent_now), "\n[Software\\\\C]",
              Section("Software\\\\A\\\\Z") + "\n[Software\\\\C]");
  EXPECT_EQ(expected, hive->Bytes());
  ASSERT_TRUE(hive->SetValue({u"Software", u"C"}, u"c", kRegDword, Dword(3), kNow));
  expected = Replace(Replace(expected, "[Software\\\\C] 100\n",
                             std::string("[Software\\\\C] ") + kNowSeconds +
                                 "\n" + kNowTime + "\n"),
                     "\"c\"=dword:00000002", "\"c\"=dword:00000003");
  EXPECT_EQ(expected, hive->Bytes());
  // The index followed both edits.
  ASSERT_TRUE(hive->SetValue({u"Software", u"A", u"Z"}, u"z", kRegDword, Dword(4), kNow));
  EXPECT_EQ(Dword(4), Get(hive.hive(), {u"software", u"a", u"z"}, u"Z").data);
  EXPECT_EQ(Dword(3), Get(hive.hive(), {u"software", u"c"}, u"C").data);
  Loaded again(hive->Bytes());
  EXPECT_EQ(Dword(4), Get(again.hive(), {u"Software", u"A", u"Z"}, u"z").data);
  EXPECT_EQ(Dword(1), Get(again.hive(), {u"Software", u"A", u"B"}, u"v7").data);
}

TEST(HiveEditTest, CreatesMissingLevelsAndKeepsExistingSpelling) {
  Loaded hive(kSorted);
  ASSERT_TRUE(hive->CreateKey({u"SOFTWARE", u"b", u"deep", u"X", u"Y"}, kNow));
  std::string expected = Replace(kSorted,
                                 "[Software\\\\B\\\\Deep] 100\n#time=1\n",
                                 std::string("[Software\\\\B\\\\Deep] ") + kNowSeconds + "\n" +
                                     kNowTime + "\n" +
                                     Section("Software\\\\B\\\\Deep\\\\X\\\\Y"));
  EXPECT_EQ(expected, hive->Bytes());
  EXPECT_TRUE(hive->KeyExists({u"Software", u"B", u"Deep", u"x"}));
  KeyInfo info;
  ASSERT_TRUE(hive->QueryKey({u"Software", u"B", u"Deep"}, &info));
  EXPECT_EQ(1u, info.subkeys);
  // Making it again changes nothing.
  ASSERT_TRUE(hive->CreateKey({u"software", u"B", u"DEEP", u"x", u"y"}, kNow + 1));
  EXPECT_EQ(expected, hive->Bytes());
}

TEST(HiveEditTest, RefusesBadNames) {
  Loaded hive(kSorted);
  EXPECT_FALSE(hive->CreateKey({u"Software", u""}, kNow));
  EXPECT_FALSE(hive->CreateKey({u"Software", u"a\\b"}, kNow));
  EXPECT_FALSE(hive->CreateKey({std::u16string(u"\0x", 2)}, kNow));
  EXPECT_EQ(kSorted, hive->Bytes());
  EXPECT_FALSE(hive->CreateKey({u"Software", Name(257, u'k')}, kNow));
  EXPECT_TRUE(hive->CreateKey({u"Software", Name(256, u'k')}, kNow));
  EXPECT_FALSE(hive->SetValue({u"Software", u"A"}, Name(16384, u'n'), kRegSz, Sz(u""), kNow));
  EXPECT_TRUE(hive->SetValue({u"Software", u"A"}, Name(16383, u'n'), kRegSz, Sz(u""), kNow));
  EXPECT_FALSE(hive->SetValue({u"Software", u"Missing"}, u"v", kRegSz, Sz(u""), kNow));
  Loaded again(hive->Bytes());
  EXPECT_TRUE(again->KeyExists({u"Software", Name(256, u'K')}));
  Value value;
  EXPECT_TRUE(again->GetValue({u"Software", u"A"}, Name(16383, u'N'), &value));
}

// Names and data with every character that could end a line, a string or a
// section read back exactly and leave the rest of the file alone.
TEST(HiveEditTest, HostileNamesStayInsideTheirLine) {
  const Name key_name = u"k]\n[Injected]\r\"x\u00e9F\U0001F600\x01" u"7";
  const Name value_name = u"v\"=\"x\"\n\"y\"=dword:1\n[\\x]\x1b\x7f";
  const std::string data =
      Sz(std::u16string(u"d\"\n[Other]\r\n\\\u00e90\0x\U0001F600", 19));
  Loaded hive(kSorted);
  ASSERT_TRUE(hive->CreateKey({u"Software", key_name}, kNow));
  ASSERT_TRUE(hive->SetValue({u"Software", key_name}, value_name, kRegSz, data, kNow));
  ASSERT_TRUE(hive->SetValue({u"Software", key_name}, u"", 0x12345, "\n\\", kNow));

  Loaded again(hive->Bytes());
  EXPECT_FALSE(again->KeyExists({u"Injected"}));
  EXPECT_FALSE(again->KeyExists({u"Other"}));
  KeyInfo info;
  ASSERT_TRUE(again->QueryKey({u"Software", key_name}, &info));
  EXPECT_EQ(2u, info.values);
  ASSERT_TRUE(again->QueryKey({u"Software"}, &info));
  EXPECT_EQ(4u, info.subkeys);  // A, B, D and the new one
  Value value = Get(again.hive(), {u"Software", key_name}, value_name);
  EXPECT_EQ(kRegSz, value.type);
  EXPECT_EQ(data, value.data);
  value = Get(again.hive(), {u"Software", key_name}, u"");
  EXPECT_EQ(0x12345u, value.type);
  EXPECT_EQ("\n\\", value.data);
  // Only ASCII printable text and line ends were written.
  for (char c : hive->Bytes()) {
    EXPECT_TRUE(c == '\n' || (c >= 0x20 && c <= 0x7f)) << static_cast<int>(c);
  }
}

TEST(HiveEditTest, KeepsAListThatRunsPastTheEndBroken) {
  const std::string text = std::string(kHead) + "\n[k]\n\"h\"=hex:01,\\\n";
  Loaded hive(text);
  ASSERT_TRUE(hive->SetValue({u"k"}, u"z", kRegDword, Dword(1), kNow));
  ASSERT_TRUE(hive->CreateKey({u"l"}, kNow));
  EXPECT_EQ(std::string(kHead) + "\n[k] " + kNowSeconds + "\n" + kNowTime + "\n" +
                "\"z\"=dword:00000001\n\"h\"=hex:01,\\\n;\n" + Section("l"),
            hive->Bytes());
  Loaded again(hive->Bytes());
  Value value = Get(again.hive(), {u"k"}, u"h");
  EXPECT_EQ(0u, value.type);
  EXPECT_EQ("", value.data);
  EXPECT_TRUE(again->KeyExists({u"l"}));
  EXPECT_EQ(Dword(1), Get(again.hive(), {u"k"}, u"z").data);
}

TEST(HiveEditTest, NewSectionInACrlfFileWithoutFinalNewline) {
  Loaded hive(kMessy);
  ASSERT_TRUE(hive->CreateKey({u"software", u"Beta"}, kNow));
  // After Acme's last section, the last in the file; Software has no
  // section, so no time changes.
  EXPECT_EQ(std::string(kMessy) + "\r\n\r\n[Software\\\\Beta] " + kNowSeconds + "\r\n" +
                kNowTime + "\r\n",
            hive->Bytes());
}

// Random changes; after each one the hive must answer as a fresh load of
// its bytes does, and give back what was set.
TEST(HiveEditTest, IndexMatchesAFreshLoadAfterEveryChange) {
  const Name names[] = {u"Software", u"acme", u"ZETA", u"A", u"b", u"New", u"\u00e9", u"\u00c9t"};
  const Name value_names[] = {u"", u"v", u"V", u"Name", u"bin", u"z", u"\u03c3"};
  uint32_t seed = 7;
  auto next = [&seed](uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  auto random_path = [&]() {
    KeyPath path;
    for (uint32_t depth = next(3) + 1; depth > 0; --depth) {
      path.push_back(names[next(sizeof(names) / sizeof(names[0]))]);
    }
    return path;
  };
  const std::string starts[] = {
      kMessy, kSorted, ReadTestData("wineboot_user.reg"),
      std::string(kHead) + "\n[]\n@=\"root\"\n[bad\n[worse\n\"x\"=\"1\"\n"
                           "[software\\\\b] 5\n\"v\"=hex:01,\\\n[Software\\\\Swallowed]\n"
                           "[A\\\\\\x00e9]\n[SOFTWARE\\\\B]\n\"Z\"=dword:1\n[no end"};
  for (const std::string& start : starts) {
    Loaded hive(start);
    for (int op = 0; op < 150; ++op) {
      const std::string row = "op " + std::to_string(op);
      KeyPath path = random_path();
      if (next(3) == 0 || !hive->KeyExists(path)) {
        ASSERT_TRUE(hive->CreateKey(path, kNow + op)) << row;
      } else {
        Name name = value_names[next(sizeof(value_names) / sizeof(value_names[0]))];
        std::string data;
        for (uint32_t n = next(60); n > 0; --n) data += static_cast<char>(next(256));
        uint32_t type = next(5);
        ASSERT_TRUE(hive->SetValue(path, name, type, data, kNow + op)) << row;
        Value back = Get(hive.hive(), path, name);
        EXPECT_EQ(type, back.type) << row;
        EXPECT_EQ(data, back.data) << row;
      }
      Loaded fresh(hive->Bytes());
      for (int probe = 0; probe < 20; ++probe) {
        KeyPath p = probe == 0 ? path : random_path();
        ASSERT_EQ(fresh->KeyExists(p), hive->KeyExists(p)) << row;
        KeyInfo a, b;
        if (!hive->QueryKey(p, &a)) continue;
        ASSERT_TRUE(fresh->QueryKey(p, &b)) << row;
        EXPECT_EQ(b.subkeys, a.subkeys) << row;
        EXPECT_EQ(b.max_subkey_name, a.max_subkey_name) << row;
        EXPECT_EQ(b.values, a.values) << row;
        EXPECT_EQ(b.max_value_data, a.max_value_data) << row;
        EXPECT_EQ(b.last_write, a.last_write) << row;
        for (const Name& name : value_names) {
          Value va, vb;
          bool has = hive->GetValue(p, name, &va);
          ASSERT_EQ(has, fresh->GetValue(p, name, &vb)) << row;
          EXPECT_EQ(vb.type, va.type) << row;
          EXPECT_EQ(vb.data, va.data) << row;
        }
      }
    }
    // Every edit kept the bytes before the first section as they were.
    size_t head = start.find("\n[");
    EXPECT_EQ(start.substr(0, head), hive->Bytes().substr(0, head));
  }
}

// ---- A prefix made by wineboot -------------------------------------------

TEST(HiveWinebootTest, EditChangesOnlyTheSection) {
  const std::string original = ReadTestData("wineboot_user.reg");
  ASSERT_FALSE(original.empty());
  Loaded hive(original);
  KeyInfo info;
  ASSERT_TRUE(hive->QueryKey({}, &info));
  EXPECT_EQ(6u, info.subkeys);  // as RegQueryInfoKey reported under Wine
  EXPECT_EQ(0u, info.values);

  const std::string before =
      "[Control Panel\\\\Desktop] 1796871241\n"
      "#time=1dd8851b5a866a0\n";
  ASSERT_NE(std::string::npos, original.find(before));
  ASSERT_TRUE(hive->SetValue({u"control panel", u"desktop"}, u"WheelScrollLines",
                             kRegSz, Sz(u"7"), kNow));
  std::string expected = Replace(original, before,
                                 std::string("[Control Panel\\\\Desktop] ") + kNowSeconds +
                                     "\n" + kNowTime + "\n");
  expected = Replace(expected, "\"WheelScrollLines\"=\"3\"\n", "\"WheelScrollLines\"=\"7\"\n");
  EXPECT_EQ(expected, hive->Bytes());
}

// The same changes made under Wine and saved by its server: Wine, having
// read what the hive wrote, wrote back exactly the same text.
TEST(HiveWinebootTest, WritesWhatWinesServerWritesBack) {
  const std::string original = ReadTestData("wineboot_user.reg");
  const std::string wine_saved = ReadTestData("wine_saved_new_sections.txt");
  ASSERT_FALSE(wine_saved.empty());
  Loaded hive(original);
  const KeyPath key = {u"Software", u"A1Test", u"Sub \u00e9[x]"};
  ASSERT_TRUE(hive->CreateKey(key, kNow));
  std::string bytes100;
  for (int i = 0; i < 100; ++i) bytes100 += static_cast<char>(i);
  struct {
    Name name;
    uint32_t type;
    std::string data;
  } values[] = {
      {u"", kRegSz, Sz(u"def")},
      {u"multi", 7, Sz(std::u16string(u"a\0b\0", 4))},
      {u"bin", kRegBinary, "\x0a\x0b\x0c"},
      {u"dw", kRegDword, Dword(42)},
      {u"exp", 2, Sz(u"%PATH%")},
      {u"qw", 11, std::string("\x89\x67\x45\x23\x01\0\0\0", 8)},
      {u"sz", kRegSz, Sz(u"hello \"w\" \\x \u00e9a \u20ac1 \U0001F600 tab\there")},
      {u"ctl", kRegSz, Sz(std::u16string(u"\x01" u"5|\x01|\x1b|\x1f" u"7|\x7f|\0|x", 14))},
      {u"q\"uote\\back[br]=eq\ttab", kRegSz, Sz(u"v")},
      {u"bin100", kRegBinary, bytes100},
      {u"odd", kRegSz, std::string("A\0B", 3)},
  };
  for (const auto& v : values) {
    ASSERT_TRUE(hive->SetValue(key, v.name, v.type, v.data, kNow));
  }
  ASSERT_TRUE(hive->SetValue({u"Software", u"A1Test"}, u"onparent", kRegDword, Dword(1), kNow));
  const std::string next = "\n[Software\\\\Microsoft\\\\Internet Explorer\\\\Main]";
  EXPECT_EQ(Replace(original, next, wine_saved + next), hive->Bytes());
}

// ---- Hostile input ---------------------------------------------------------

// Loads `text`; when it loads, reads every key and value it can reach,
// makes a change and checks that the change reads back.
void Exercise(const std::string& text, const std::string& row) {
  Hive hive;
  Status loaded = hive.Load(text);
  if (!loaded.ok()) {
    EXPECT_FALSE(loaded.message().empty()) << row;
    return;
  }
  KeyInfo info;
  Value value;
  const KeyPath paths[] = {{}, {u"Software"}, {u"Software", u"Acme"}, {u"a"}, {u"b"}};
  for (const KeyPath& path : paths) {
    hive.QueryKey(path, &info);
    hive.GetValue(path, u"Bin", &value);
  }
  ASSERT_TRUE(hive.CreateKey({u"Software", u"Acme", u"New"}, kNow)) << row;
  ASSERT_TRUE(hive.SetValue({u"Software", u"Acme"}, u"Bin", kRegBinary, "\x01\x02", kNow)) << row;
  Hive again;
  ASSERT_TRUE(again.Load(hive.Bytes()).ok()) << row;
  EXPECT_TRUE(again.KeyExists({u"Software", u"Acme", u"New"})) << row;
  ASSERT_TRUE(again.GetValue({u"Software", u"Acme"}, u"Bin", &value)) << row;
  EXPECT_EQ("\x01\x02", value.data) << row;
}

TEST(HiveHostileTest, TruncatedAnywhere) {
  const std::string text = std::string(kMessy) +
                           "\r\n[a\\\\b] 7\n#class=\"c\\\"\"\n@=str(7):\"x\\0y\\0\"\n"
                           "\"h\"=hex(b):01,02,\\\n  03\n[b]\n\"d\"=dword:ffffffff\n";
  for (size_t n = 0; n <= text.size(); ++n) {
    Exercise(text.substr(0, n), "truncated at " + std::to_string(n));
  }
}

TEST(HiveHostileTest, GarbageNulBytesAndHugeLines) {
  std::vector<std::string> inputs;
  uint32_t seed = 12345;
  auto next = [&seed]() {
    seed = seed * 1103515245u + 12345u;
    return seed >> 16;
  };
  const char alphabet[] = "[]\"@#;\\=:,x0a \t\r\n\0\xc3\xe9";
  for (int i = 0; i < 300; ++i) {
    std::string text = "WINE REGISTRY Version 2\n";
    size_t len = next() % 400;
    for (size_t j = 0; j < len; ++j) {
      text += (i % 2) ? static_cast<char>(next() & 0xff)
                      : alphabet[next() % (sizeof(alphabet) - 1)];
    }
    inputs.push_back(text);
  }
  inputs.push_back(std::string(kHead) + "\n[Software\\\\Acme]\n\"Bin\"=\"" +
                   std::string(1 << 20, 'x') + "\"\n");
  inputs.push_back(std::string(kHead) + "\n[" + std::string(1 << 20, '\\') + "]\n");
  inputs.push_back(std::string(kHead) + "\n[Software\\\\Acme]\n\"Bin\"=hex:" +
                   std::string(1 << 20, ',') + "\n");
  inputs.push_back(std::string(kHead) + "\n[Software\\\\Acme]\n\"Bin\"=hex:01,\\\n" +
                   std::string(1 << 16, '\\') + "\n");
  const char kNuls[] = "\n[Software\\\\Acme\0]\n\0\"Bin\"=\"\0\"\n[a]\n\"\0\"=hex:01,\\\n\0";
  inputs.push_back(std::string(kHead) + std::string(kNuls, sizeof(kNuls) - 1));
  inputs.push_back(std::string(1 << 20, '\0'));
  for (size_t i = 0; i < inputs.size(); ++i) {
    Exercise(inputs[i], "input " + std::to_string(i));
  }
}

// A path of 20000 levels in a header, met again after another section:
// every level is a real key, and reaching them must not parse the long
// header once per level.
TEST(HiveHostileTest, VeryDeepPath) {
  std::string deep;
  for (int i = 0; i < 20000; ++i) deep += "k\\\\";
  Loaded hive(std::string(kHead) + "\n[" + deep + "end]\n\n[z]\n\n[" + deep + "q]\n");
  KeyPath path(20000, u"K");
  EXPECT_TRUE(hive->KeyExists(path));
  ASSERT_TRUE(hive->CreateKey(path, kNow));  // exists: no change
  EXPECT_FALSE(hive->Modified());
  path.push_back(u"new");
  ASSERT_TRUE(hive->CreateKey(path, kNow));
  path.pop_back();
  KeyInfo info;
  ASSERT_TRUE(hive->QueryKey(path, &info));
  EXPECT_EQ(3u, info.subkeys);  // end, q, new
  Loaded again(hive->Bytes());
  path.push_back(u"NEW");
  EXPECT_TRUE(again->KeyExists(path));
}

}  // namespace
}  // namespace wine
}  // namespace regservice
