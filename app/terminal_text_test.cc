#include "app/terminal_text.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

namespace text {
namespace {

// The user's locale is read once per process: these tests set it first.
class TerminalTextTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    unsetenv("LC_ALL");
    unsetenv("LC_CTYPE");
    setenv("LANG", "C.UTF-8", 1);
  }
};

TEST_F(TerminalTextTest, NamesThatShowAsThemselvesStayAsTheyAre) {
  for (const std::string name :
       {"/home/a/.wine", "It's here", "caf\xc3\xa9", "a\\b", ""}) {
    EXPECT_TRUE(ShowsAsItself(name)) << name;
    EXPECT_EQ(name, ForPeople(name));
    EXPECT_EQ(name, MessageText(name));
  }
}

TEST_F(TerminalTextTest, ControlCharactersAndStrayBytesAreEscaped) {
  struct Case {
    std::string name;
    std::string for_people;
    std::string in_message;
  };
  const Case cases[] = {
      {"new\nline", "$'new\\nline'", "new\\nline"},
      {"\x1b[31mred", "$'\\033[31mred'", "\\033[31mred"},
      {"tab\there\r", "$'tab\\there\\r'", "tab\\there\\r"},
      {"it's \\ \x7f", "$'it\\'s \\\\ \\177'", "it's \\ \\177"},
      // Not UTF-8: a lone continuation byte, a cut sequence, C1 control.
      {"a\x80z", "$'a\\200z'", "a\\200z"},
      {"caf\xc3", "$'caf\\303'", "caf\\303"},
      {"\xc2\x9b" "2J", "$'\\302\\2332J'", "\\302\\2332J"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(ShowsAsItself(c.name)) << c.for_people;
    EXPECT_EQ(c.for_people, ForPeople(c.name));
    EXPECT_EQ(c.in_message, MessageText(c.name));
  }
}

// What bash reads from the quoted form is the name, byte for byte.
TEST_F(TerminalTextTest, APastedNameMeansTheSameBytesToBash) {
  for (const std::string name :
       {"new\nline", "\x1b]0;title\x07", "it's\\", "a\x80\xff", "plain"}) {
    const std::string script =
        "printf %s " + ShellWord(name) + " | od -An -tx1";
    std::string expected_hex;
    char byte[8];
    for (unsigned char c : name) {
      snprintf(byte, sizeof byte, " %02x", c);
      expected_hex += byte;
    }
    std::string hex;
    FILE* shell = popen(("bash -c " + ShellWord(script)).c_str(), "r");
    ASSERT_NE(nullptr, shell);
    for (int c; (c = fgetc(shell)) != EOF;) {
      if (c != '\n') hex.push_back(static_cast<char>(c));
    }
    EXPECT_EQ(0, pclose(shell));
    EXPECT_EQ(expected_hex, hex) << ShellWord(name);
  }
}

TEST_F(TerminalTextTest, ShellWordsQuoteOnlyWhatNeedsIt) {
  EXPECT_EQ("/home/a/.wine", ShellWord("/home/a/.wine"));
  EXPECT_EQ("'It'\\''s here'", ShellWord("It's here"));
  EXPECT_EQ("''", ShellWord(""));
  EXPECT_EQ("$'a\\nb'", ShellWord("a\nb"));
}

TEST_F(TerminalTextTest, MessagesAreCutAtACharacterBoundary) {
  EXPECT_EQ("abc...", MessageText("abcdef", 3));
  EXPECT_EQ("abcdef", MessageText("abcdef", 6));
  // Two characters of two bytes each, then the cut.
  EXPECT_EQ("\xc3\xa9\xc3\xa9...", MessageText("\xc3\xa9\xc3\xa9\xc3\xa9", 2));
  EXPECT_EQ(80u + 3, MessageText(std::string(900000, 'k'), 80).size());
}

}  // namespace
}  // namespace text
