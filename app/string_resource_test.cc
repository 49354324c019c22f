// The string table that the program's executable carries, read back the
// way the program reads it: on Windows from the STRINGTABLE resource that
// the resource compiler made of strings.def, elsewhere from the table
// compiled in. Each text must come out exactly as the C++ compiler reads
// the same literal, so escapes mean the same to both.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "app/resource.h"
#include "winshim/afx.h"
#include "winshim/process.h"

namespace {

struct Entry {
  UINT id;
  const char* text;
};

#define QUILLFIX_STRING(id, text) {id, text},
const Entry kStrings[] = {
#include "app/strings.def"
};
#undef QUILLFIX_STRING

std::string Load(UINT id) {
  char buffer[512];
  int length = LoadStringA(GetModuleHandleA(nullptr), id, buffer,
                           sizeof buffer);
  return std::string(buffer, length > 0 ? length : 0);
}

TEST(StringResourceTest, EveryStringLoadsAsTheCompilerReadsIt) {
  ASSERT_EQ(5u, sizeof kStrings / sizeof kStrings[0]);
  for (const Entry& entry : kStrings) {
    EXPECT_EQ(entry.text, Load(entry.id)) << entry.id;
  }
}

TEST(StringResourceTest, RootsAreSingleBackslashPaths) {
  struct Case {
    UINT id;
    const char* text;
  } cases[] = {
      {IDS_TITLE, "Quillfix v1.0a7"},
      {IDS_ROOT_VARLO_ALT, "SOFTWARE\\Corvane\\Varlo 6.8\\"},
      {IDS_ROOT_VARLO, "SOFTWARE\\Corvane\\Varlo 6.8\\"},
      {IDS_ROOT_VARLOPLUS_ALT, "SOFTWARE\\Corvane\\VarloPlus 6.8\\"},
      {IDS_ROOT_VARLOPLUS, "SOFTWARE\\Corvane\\VarloPlus 6.8\\"},
  };
  for (const Case& c : cases) {
    std::string text = Load(c.id);
    EXPECT_EQ(c.text, text) << c.id;
    EXPECT_EQ(std::string::npos, text.find("\\\\")) << c.id;
  }
  // IDs between and around the table hold nothing.
  for (UINT id : {0u, 2u, 63057u, 63062u}) EXPECT_EQ("", Load(id)) << id;
}

TEST(StringResourceTest, FrameworkLoadsThemAfterInitialisation) {
  CWinApp app(nullptr);
  ASSERT_NE(0, AfxWinInit(GetModuleHandleA(nullptr), nullptr,
                          GetCommandLineA(), 0));
  CString path;
  ASSERT_TRUE(path.LoadStringA(IDS_ROOT_VARLOPLUS));
  path += "Preferences";
  EXPECT_STREQ("SOFTWARE\\Corvane\\VarloPlus 6.8\\Preferences", path);
}

#ifdef _WIN32
TEST(StringResourceTest, TableIsInUnitedStatesEnglish) {
  // Strings are stored in blocks of 16, block n + 1 holding IDs 16n to
  // 16n + 15.
  for (UINT id : {IDS_TITLE, IDS_ROOT_VARLO, IDS_ROOT_VARLOPLUS}) {
    HRSRC block = FindResourceExA(
        nullptr, MAKEINTRESOURCEA(6),  // RT_STRING
        MAKEINTRESOURCEA(id / 16 + 1),
        MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    EXPECT_NE(nullptr, block) << id;
  }
}
#endif

}  // namespace
