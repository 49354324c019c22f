#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "winshim/command_line.h"
#include "winshim/process.h"

namespace {

TEST(CommandLineTest, QuotesTheWindowsWay) {
  struct Case {
    std::vector<std::string> args;
    std::string line;
  } cases[] = {
      {{"quillfix"}, "quillfix"},
      {{"quillfix", "--help", "/?"}, "quillfix --help /?"},
      {{"/usr/bin/quill fix", "a b"}, "\"/usr/bin/quill fix\" \"a b\""},
      {{"x", ""}, "x \"\""},
      {{"x", "say \"hi\""}, "x \"say \\\"hi\\\"\""},
      {{"x", "a\\b"}, "x a\\b"},                  // no quotes: left alone
      {{"x", "dir\\ x\\"}, "x \"dir\\ x\\\\\""},  // trailing \ before "
      {{"x", "a\\\"b"}, "x \"a\\\\\\\"b\""},      // \" becomes \\\"
      {{"x", "tab\there"}, "x \"tab\there\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.line, winshim::QuoteCommandLine(c.args)) << c.line;
  }
}

TEST(ProcessTest, CommandLineStartsWithThisProgram) {
  std::string line = GetCommandLineA();
  EXPECT_NE(std::string::npos, line.find("winshim_tests")) << line;
  EXPECT_EQ(GetCommandLineA(), GetCommandLineA()) << "one lasting buffer";
}

TEST(ProcessTest, ModuleHandleOfNullNameIsTheProgram) {
  EXPECT_NE(nullptr, GetModuleHandleA(nullptr));
  EXPECT_EQ(GetModuleHandleA(nullptr), GetModuleHandleA(nullptr));
  EXPECT_EQ(nullptr, GetModuleHandleA("kernel32.dll"));
}

}  // namespace
