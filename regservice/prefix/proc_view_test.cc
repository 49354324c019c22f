#include "regservice/prefix/proc_view.h"

#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "regservice/prefix/test_dir.h"

namespace regservice {
namespace prefix {
namespace {

// The fields found in stat lines, whatever the process's name holds, and
// only as far as the line goes.
TEST(ProcViewTest, ParsesStatLines) {
  struct Case {
    const char* line;
    bool parsed;
    int fields;
    char state;
    long parent;
    unsigned long flags;
    unsigned long long start_time;
  } cases[] = {
      {"2 (kthreadd) S 0 0 0 0 -1 2129984 0 0 0 0 0 0 0 0 20 0 1 0 9\n", true,
       4, 'S', 0, 2129984, 9},
      {"4242 (wine) 1 2 (x) R) T 77 1 1 34816 -1 4194560 1 2 3 4 5 6 7 8 20 "
       "0 1 0 987654 0 0\n",
       true, 4, 'T', 77, 4194560, 987654},
      {"2 (a) 1 2 3) S 0 0 0 0 -1 2129984 0 0\n", true, 3, 'S', 0, 2129984, 0},
      {"9 (sh) Z 1 2 2", true, 2, 'Z', 1, 0, 0},
      {"9 (sh) S", true, 1, 'S', 0, 0, 0},
      {"9 (sh)", true, 0, 0, 0, 0, 0},
      {"9 (sh) S x 2", true, 1, 'S', 0, 0, 0},
      {"9 (sh S 1 2", false, 0, 0, 0, 0, 0},
      {"", false, 0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    ProcStat stat;
    ASSERT_EQ(c.parsed, ParseProcStat(c.line, &stat)) << c.line;
    if (!c.parsed) continue;
    EXPECT_EQ(c.fields, stat.fields) << c.line;
    EXPECT_EQ(c.state, stat.state) << c.line;
    EXPECT_EQ(c.parent, stat.parent) << c.line;
    EXPECT_EQ(c.flags, stat.flags) << c.line;
    EXPECT_EQ(c.start_time, stat.start_time) << c.line;
  }
}

// This process as the kernel shows it: running, below its parent, started.
TEST(ProcViewTest, ReadsTheRealStatOfThisProcess) {
  ProcStat stat;
  ASSERT_TRUE(ReadProcStat(PosixEnv(), "/proc/self", &stat));
  EXPECT_EQ(4, stat.fields);
  EXPECT_EQ('R', stat.state);
  EXPECT_EQ(getppid(), stat.parent);
  EXPECT_GT(stat.start_time, 0ULL);
  EXPECT_FALSE(ReadProcStat(PosixEnv(), "/proc/0", &stat));
}

TEST(ProcViewTest, ParsesChildrenLists) {
  struct Case {
    const char* text;
    std::vector<std::string> children;
  } cases[] = {
      {"100 101 105 ", {"100", "101", "105"}},
      {"3 4 100", {"3", "4", "100"}},
      {"7", {"7"}},
      {"  8  9 ", {"8", "9"}},
      {"", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.children, ParseChildren(c.text)) << c.text;
  }
}

TEST(ProcViewTest, ParsesEnvironmentBlocks) {
  const std::string block("HOME=/home/a\0\0PATH=/bin\0X=a b\0LAST", 34);
  EXPECT_EQ((std::vector<std::string>{"HOME=/home/a", "PATH=/bin", "X=a b",
                                      "LAST"}),
            ParseEnvironment(block));
  EXPECT_TRUE(ParseEnvironment(std::string()).empty());
}

// A list that fills the room given may have lost its last number.
TEST(ProcViewTest, ReadsChildrenFilesWholeOnly) {
  TestDir dir;
  TestDir::Write(dir / "children", "100 101 ");
  std::vector<std::string> children;
  ASSERT_TRUE(ReadChildren(PosixEnv(), dir / "children", 9, &children));
  EXPECT_EQ((std::vector<std::string>{"100", "101"}), children);

  children = {"kept"};
  EXPECT_FALSE(ReadChildren(PosixEnv(), dir / "children", 8, &children));
  EXPECT_FALSE(ReadChildren(PosixEnv(), dir / "none", 9, &children));
  EXPECT_EQ((std::vector<std::string>{"kept"}), children);
}

TEST(ProcViewTest, SameFileIsDeviceAndInode) {
  FileInfo a;
  a.device = 1;
  a.inode = 2;
  a.size = 10;
  FileInfo b = a;
  b.size = 20;  // changed since, but the same file
  EXPECT_TRUE(SameFile(a, b));
  b.inode = 3;
  EXPECT_FALSE(SameFile(a, b));
  b = a;
  b.device = 4;
  EXPECT_FALSE(SameFile(a, b));
}

}  // namespace
}  // namespace prefix
}  // namespace regservice
