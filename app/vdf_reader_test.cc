#include "app/vdf_reader.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vdf {
namespace {

// A libraryfolders.vdf as Steam writes it now: the installation's own
// library and a second one, each with its apps.
const char kLibraryFolders[] =
    "\"libraryfolders\"\n"
    "{\n"
    "\t\"0\"\n"
    "\t{\n"
    "\t\t\"path\"\t\t\"/home/alice/.local/share/Steam\"\n"
    "\t\t\"label\"\t\t\"\"\n"
    "\t\t\"contentid\"\t\t\"4424185125254523371\"\n"
    "\t\t\"totalsize\"\t\t\"0\"\n"
    "\t\t\"update_clean_bytes_tally\"\t\t\"7263713\"\n"
    "\t\t\"time_last_update_corruption\"\t\t\"0\"\n"
    "\t\t\"apps\"\n"
    "\t\t{\n"
    "\t\t\t\"228980\"\t\t\"392374583\"\n"
    "\t\t}\n"
    "\t}\n"
    "\t\"1\"\n"
    "\t{\n"
    "\t\t\"path\"\t\t\"/mnt/games/SteamLibrary\"\n"
    "\t\t\"label\"\t\t\"\"\n"
    "\t\t\"apps\"\n"
    "\t\t{\n"
    "\t\t\t\"12345\"\t\t\"1000\"\n"
    "\t\t}\n"
    "\t}\n"
    "}\n";

// The older form: numbered strings beside other keys.
const char kOldLibraryFolders[] =
    "\"LibraryFolders\"\n"
    "{\n"
    "\t\"TimeNextStatsReport\"\t\t\"1651000000\"\n"
    "\t\"ContentStatsID\"\t\t\"-1234\"\n"
    "\t\"1\"\t\t\"/mnt/games/SteamLibrary\"\n"
    "\t\"2\"\t\t\"/media/disk/Steam Games\"\n"
    "}\n";

TEST(VdfReaderTest, SteamLibraryPathsOfBothForms) {
  struct Case {
    const char* name;
    const char* text;
    std::vector<std::string> paths;
  } cases[] = {
      {"current", kLibraryFolders,
       {"/home/alice/.local/share/Steam", "/mnt/games/SteamLibrary"}},
      {"older", kOldLibraryFolders,
       {"/mnt/games/SteamLibrary", "/media/disk/Steam Games"}},
      {"no libraries", "\"libraryfolders\" { }", {}},
      {"another file", "\"AppState\" { \"appid\" \"5\" }", {}},
      {"an empty path and a block without one",
       "\"libraryfolders\" { \"0\" { \"path\" \"\" } \"1\" { \"label\" \"x\" }"
       " \"2\" { \"path\" \"/games\" } }",
       {"/games"}},
  };
  for (const Case& c : cases) {
    Node root;
    std::string error;
    ASSERT_TRUE(Parse(c.text, &root, &error)) << c.name << ": " << error;
    EXPECT_EQ(c.paths, SteamLibraryPaths(root)) << c.name;
  }
}

TEST(VdfReaderTest, ReadsTheFormsOfTheFormat) {
  struct Case {
    const char* text;
    const char* serialized;
  } cases[] = {
      {"", ""},
      {"\"a\" \"b\"", "\"a\"\t\"b\"\n"},
      {"bare words k {x y}", "\"bare\"\t\"words\"\n\"k\"\n{\n"
                             "\t\"x\"\t\"y\"\n}\n"},
      {"\"k\" \"a\\\\b\\\"c\\nd\\te\\q\"",
       "\"k\"\t\"a\\\\b\\\"c\\nd\\te\\\\q\"\n"},
      {"// comment\n\"k\" \"v\" // after\n", "\"k\"\t\"v\"\n"},
      {"\"k\" \"v\" [$WIN32]\n\"l\" { } [!$X360]",
       "\"k\"\t\"v\"\n\"l\"\n{\n}\n"},
      {"\"a\"{\"b\"{\"c\"\"d\"}}", "\"a\"\n{\n\t\"b\"\n\t{\n\t\t\"c\"\t\"d\"\n"
                                   "\t}\n}\n"},
      {"\"two\r\nlines\" \"v\"", "\"two\r\\nlines\"\t\"v\"\n"},
      {"\"k\" \"v\"\r\n\"k\" \"w\"\r\n", "\"k\"\t\"v\"\n\"k\"\t\"w\"\n"},
  };
  for (const Case& c : cases) {
    Node root;
    std::string error;
    ASSERT_TRUE(Parse(c.text, &root, &error)) << c.text << ": " << error;
    EXPECT_EQ(c.serialized, Serialize(root)) << c.text;
    Node again;
    ASSERT_TRUE(Parse(Serialize(root), &again, &error)) << c.text;
    EXPECT_TRUE(again == root) << c.text;
  }
}

TEST(VdfReaderTest, FindIgnoresCaseAndTakesTheFirst) {
  Node root;
  std::string error;
  ASSERT_TRUE(Parse("\"Path\" \"/a\" \"PATH\" \"/b\"", &root, &error));
  ASSERT_NE(nullptr, root.Find("path"));
  EXPECT_EQ("/a", root.Find("path")->text);
  EXPECT_EQ(nullptr, root.Find("pat"));
}

TEST(VdfReaderTest, BrokenTextIsRefusedWithItsLine) {
  struct Case {
    std::string text;
    std::string error;
  };
  std::vector<Case> cases = {
      {"\"libraryfolders\"\n{\n\t\"0\"\n\t{\n\t\t\"path\" \"/x\"\n\t}\n",
       "line 7: expected '}', got end of file"},
      {"\"k\" \"v\"\n}", "line 2: a '}' that closes no block"},
      {"\"k\"", "line 1: expected a value for \"k\", got end of file"},
      {"\"a\" { \"k\" }", "line 1: expected a value for \"k\", got '}'"},
      {"{", "line 1: expected a key, got '{'"},
      // "words" is the value of "bare": no key before the block.
      {"bare words {x y}", "line 1: expected a key, got '{'"},
      {"\"k\" \"unclosed\n\n", "line 3: a string opened on line 1 is not "
                               "closed"},
      {"\"k\" \"v\" [$WIN32\n", "line 1: a condition without its ']'"},
  };
  std::string deep;
  for (int i = 0; i <= kMaxDepth; ++i) deep += "k {";
  cases.push_back({deep, "line 1: blocks nested deeper than 100"});
  for (const Case& c : cases) {
    Node root;
    root.entries.emplace_back("left", Node());
    std::string error;
    EXPECT_FALSE(Parse(c.text, &root, &error)) << c.text;
    EXPECT_EQ(c.error, error) << c.text;
    EXPECT_TRUE(root.entries.empty()) << "a refused text leaves no tree";
  }
}

TEST(VdfReaderTest, NestingUpToTheLimitIsRead) {
  std::string text;
  for (int i = 0; i < kMaxDepth; ++i) text += "k {";
  text += std::string(kMaxDepth, '}');
  Node root;
  std::string error;
  EXPECT_TRUE(Parse(text, &root, &error)) << error;
}

}  // namespace
}  // namespace vdf
