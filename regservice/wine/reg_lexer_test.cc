#include "regservice/wine/reg_lexer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include <string>
#include <vector>

namespace regservice {
namespace wine {
namespace {

// The 1-based line numbers of the headers found, each with R for a
// rejected one; the first line is the file's signature line. With
// skip_sections the lexer skips what it may of accepted sections, as
// loading does.
std::string HeaderLines(const std::string& body, bool skip_sections) {
  const std::string text = "WINE REGISTRY Version 2\n" + body;
  Lexer lexer(text, text.find('\n') + 1);
  std::string out;
  LexedLine line;
  size_t newlines = 0;  // before `counted_to`
  size_t counted_to = 0;
  while (lexer.Next(&line)) {
    if (line.kind == LineKind::kHeader) {
      newlines += std::count(text.begin() + counted_to,
                             text.begin() + line.begin, '\n');
      counted_to = line.begin;
      if (!out.empty()) out += ' ';
      out += std::to_string(1 + newlines);
      if (!lexer.header().ok) out += 'R';
    }
    if (skip_sections) lexer.SkipToBracketLine();
  }
  return out;
}

// Both ways of lexing find the same headers.
std::string HeaderLines(const std::string& body) {
  const std::string every_line = HeaderLines(body, false);
  EXPECT_EQ(every_line, HeaderLines(body, true)) << body.substr(0, 200);
  return every_line;
}

TEST(LexerTest, FindsTheLinesWineReadsAsHeaders) {
  struct Case {
    const char* what;
    std::string body;
    std::string lines;
  } cases[] = {
      {"usual", "\n[A] 1\n#time=1\n\"v\"=\"x\"\n\n[A\\\\B] 2\n", "3 7"},
      {"blanks before the bracket", "[A]\n \t[B]\n", "2 3"},
      {"a bracket inside a line", "[A]\n\"v\"=\"[B]\"\n @=\"[\"\n", "2"},
      {"rejected", "[A\n[B]\n", "2R 3"},
      {"a NUL before the bracket", std::string("[A]\n\0[B]\n", 10), "2"},
      {"CRLF", "[A]\r\n\r\n[B]\r\n", "2 4"},
      // A hex list that goes on swallows the next line, header or not.
      {"swallowed", "[A]\n\"h\"=hex:01,\\\n[B]\n\n[C]\n", "2 6"},
      {"swallowed, text after the backslash",
       "[A]\n\"h\"=hex:01,\\ junk\n[B]\n[C]\n", "2 5"},
      {"a chain of continuations", "[A]\n\"h\"=hex:01,\\\n  02,\\\n[B]\n  03\n[C]\n",
       "2 7"},
      {"a blank line ends the list", "[A]\n\"h\"=hex:01,\\\n\n[B]\n", "2 5"},
      {"a string with backslashes", "[A]\n\"p\"=\"C:\\\\windows\\\\\"\n[B]\n", "2 4"},
      {"hex(7) list", "[A]\n\"m\"=hex(7):41,00,\\\n[B]\n[C]\n", "2 5"},
      {"a list that is no hex", "[A]\n\"d\"=dword:1\\\n[B]\n", "2 4"},
      // Values are not read in a rejected section or before any section.
      {"after a rejected header", "[A\n\"h\"=hex:01,\\\n[B]\n", "2R 4"},
      {"before any section", "\"h\"=hex:01,\\\n[B]\n", "3"},
      {"a header line ending in a backslash", "[A] 1 \\\n[B]\n", "2 3"},
      {"a list running to the end", "[A]\n\"h\"=hex:01,\\\n", "2"},
      // A list goes on only while each line ends its hex in a backslash.
      {"a continuation line that does not go on",
       "[A]\n\"h\"=hex:01,\\\n  02\n[B]\n", "2 5"},
      {"a bad byte ends the list", "[A]\n\"h\"=hex:01,\\\n  0g,\\\n[B]\n",
       "2 5"},
      {"a value line swallowed by the list before it",
       "[A]\n\"a\"=hex:01,\\\n\"b\"=hex:02,\\\n[B]\n", "2 5"},
      {"a list after a swallowed header",
       "[A]\n\"a\"=hex:01,\\\n[B]\n\"c\"=hex:03,\\\n[C]\n\n[D]\n", "2 8"},
      {"values between the list and the header",
       "[A]\n\"a\"=hex:01,\\\n  02\n\"b\"=\"x\"\n\"c\"=hex:03,\\\n[B]\n", "2"},
      {"a name too long creates no value and continues nothing",
       "[A]\n\"" + std::string(16384, 'n') + "\"=hex:01,\\\n[B]\n", "2 4"},
      {"the longest name continues",
       "[A]\n\"" + std::string(16383, 'n') + "\"=hex:01,\\\n[B]\n", "2"},
      {"CRLF continuation", "[A]\r\n\"h\"=hex:01,\\\r\n[B]\r\n", "2"},
      {"a NUL before the backslash",
       std::string("[A]\n\"h\"=hex:01,\0\\\n[B]\n", 22), "2 4"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.lines, HeaderLines(c.body)) << c.what;
  }
}

// One letter per line after the signature line: H header, V value,
// O option, C comment, B blank, + continuation, X anything else.
std::string Kinds(const std::string& body) {
  const std::string text = "WINE REGISTRY Version 2\n" + body;
  Lexer lexer(text, text.find('\n') + 1);
  std::string out;
  LexedLine line;
  while (lexer.Next(&line)) {
    switch (line.kind) {
      case LineKind::kHeader: out += 'H'; break;
      case LineKind::kValue: out += 'V'; break;
      case LineKind::kOption: out += 'O'; break;
      case LineKind::kComment: out += 'C'; break;
      case LineKind::kBlank: out += 'B'; break;
      case LineKind::kContinuation: out += '+'; break;
      case LineKind::kOther: out += 'X'; break;
    }
  }
  return out;
}

TEST(LexerTest, GivesEveryLineItsKind) {
  struct Case {
    const char* what;
    std::string body;
    std::string kinds;
  } cases[] = {
      {"every kind", ";c\n\n#arch=win64\n[A] 1\n#time=1\n@=\"x\"\n junk\n",
       "CBOHOVX"},
      {"blanks before the first byte", " \t;c\n\t\"v\"=dword:1\n", "CV"},
      {"white space only, CRLF", "  \r\n\r\n", "BB"},
      {"a NUL ends the text", std::string("\0[A]\n[B]\n", 9), "BH"},
      // A '[' line read as a list's ends it: the bracket is no hex.
      {"a list that swallows a header",
       "[A]\n\"h\"=hex:01,\\\n[B],\\\n  02,\\\n\n#time=1\n", "HV+XBO"},
      {"a list's lines before it is known", "[A]\n\"h\"=hex:01,\\\n  02\n",
       "HVX"},
      {"no list outside an accepted section",
       "\"h\"=hex:01,\\\n[B\n\"h\"=hex:01,\\\n[C]\n", "VHVH"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.kinds, Kinds(c.body)) << c.what;
  }
}

// Many values with backslashes, and many lists that swallow the header
// after them.
TEST(LexerTest, ManyHeadersAfterBackslashLines) {
  std::string body;
  std::string expected;
  size_t line = 2;
  for (int i = 0; i < 50000; ++i) {
    body += "[K" + std::to_string(i) + "]\n\"p\"=\"a\\\\b\"\n";
    if (i) expected += ' ';
    expected += std::to_string(line);
    line += 2;
  }
  EXPECT_EQ(expected, HeaderLines(body));
  // Every header but the first is swallowed by the list just before it.
  std::string swallowed = "[A]\n";
  for (int i = 0; i < 50000; ++i) swallowed += "\"h\"=hex:01,\\\n[B" + std::to_string(i) + "]\n";
  EXPECT_EQ("2", HeaderLines(swallowed));
}

// The headers as a reader that follows every list finds them: each value
// line of an accepted section is read at once with its continuation lines.
std::string HeadersFollowingEveryList(const std::string& body) {
  const std::string text = "WINE REGISTRY Version 2\n" + body;
  LineCursor cursor(text, text.find('\n') + 1, text.size());
  std::string out;
  bool key_open = false;
  Line line;
  size_t number = 1;
  auto count_to = [&](size_t pos) {
    number = 1 + std::count(text.begin(), text.begin() + pos, '\n');
  };
  while (cursor.Next(&line)) {
    const size_t start = SkipBlanks(text, line);
    if (start == line.content_end) continue;
    if (text[start] == '[') {
      SectionHeader header;
      ReadHeader(text.data() + start, text.data() + line.content_end, &header);
      key_open = header.ok;
      count_to(line.begin);
      if (!out.empty()) out += ' ';
      out += std::to_string(number);
      if (!header.ok) out += 'R';
    } else if (key_open && (text[start] == '"' || text[start] == '@')) {
      ValueLine value;
      ReadValueLine(text, line, &cursor, &value);
    }
  }
  return out;
}

// Files made of lines that lists, headers and blanks meet in every order.
TEST(LexerTest, FindsWhatFollowingEveryListFinds) {
  const std::string kLines[] = {
      "[A]", "[A\\B] 5", "[Bad", " [C]", "\t[D]\r", "\"v\"=hex:01,\\",
      "\"w\"=hex(7):41,00,\\ tail", "  02,03,\\", "  04", "  0g,\\", "",
      "  ", "\"s\"=\"a\\\\b\"", "@=dword:1\\", "#time=1", ";c\\", "[E],\\",
      "\"" + std::string(300, 'n') + "\"=hex:01,\\",
      "[" + std::string(257, 'k') + "]",  // an element too long: rejected
      "\"v\"=\"[x]\"", "x [F]",          // brackets that start no line
      // A NUL ends a line's text: no list goes on, no header follows.
      std::string("\"n\"=hex:01,\0\\", 13), std::string("\0[G]", 4),
      std::string("[H\0]", 4),
  };
  std::mt19937 random(13);
  std::uniform_int_distribution<size_t> pick(0, std::size(kLines) - 1);
  for (int file = 0; file < 3000; ++file) {
    std::string body;
    const int lines = 1 + file % 40;
    for (int i = 0; i < lines; ++i) {
      body += kLines[pick(random)];
      body += file % 7 == 0 ? "\r\n" : "\n";
    }
    if (file % 5 == 0) body.pop_back();  // no final newline
    ASSERT_EQ(HeadersFollowingEveryList(body), HeaderLines(body)) << body;
  }
}

}  // namespace
}  // namespace wine
}  // namespace regservice
