#include "winshim/afx.h"

#include <string>

#include <gtest/gtest.h>

#include "winshim/resources.h"

// This test program's own string table.
namespace {
const std::string kLong(1000, 'L');
}  // namespace

namespace winshim {
const StringResource kModuleStringTable[] = {
    {1, "title"},
    {7, "SOFTWARE\\Corvane\\"},
    {8, ""},
    {9, kLong.c_str()},
};
const std::size_t kModuleStringCount = 4;
}  // namespace winshim

namespace {

TEST(LoadStringTest, CopiesAndCutsToTheBuffer) {
  char buffer[8] = "xxxxxxx";
  EXPECT_EQ(5, LoadStringA(nullptr, 1, buffer, sizeof buffer));
  EXPECT_STREQ("title", buffer);
  EXPECT_EQ(3, LoadStringA(GetModuleHandleA(nullptr), 1, buffer, 4));
  EXPECT_STREQ("tit", buffer);
  EXPECT_EQ(0, LoadStringA(nullptr, 2, buffer, sizeof buffer));
  EXPECT_STREQ("", buffer);
  EXPECT_EQ(0, LoadStringA(nullptr, 1, buffer, 0));
}

TEST(AfxTest, StringsLoadOnlyAfterInitialisation) {
  CString text;
  EXPECT_FALSE(text.LoadStringA(1));
  EXPECT_STREQ("", text);

  CWinApp app(nullptr);
  EXPECT_EQ(&app, AfxGetApp());
  char command_line[] = "prog";
  HINSTANCE module = GetModuleHandleA(nullptr);
  ASSERT_NE(0, AfxWinInit(module, nullptr, command_line, 0));
  EXPECT_EQ(module, AfxGetResourceHandle());
  EXPECT_EQ(module, app.m_hInstance);
  EXPECT_EQ(command_line, app.m_lpCmdLine);

  struct Case {
    UINT id;
    BOOL found;
    std::string text;
  } cases[] = {
      {1, TRUE, "title"},
      {7, TRUE, "SOFTWARE\\Corvane\\"},
      {9, TRUE, kLong},  // longer than the first buffer
      {3, FALSE, ""},
      {8, FALSE, ""},   // an empty string is no string
  };
  for (const Case& c : cases) {
    CString loaded = "stale";
    EXPECT_EQ(c.found, loaded.LoadStringA(c.id)) << c.id;
    EXPECT_EQ(c.text, static_cast<const char*>(loaded)) << c.id;
  }
}

TEST(AfxTest, AppendingKeepsBothTexts) {
  CString path = "SOFTWARE\\X\\";
  CString sub = "Preferences";
  path += sub;
  EXPECT_STREQ("SOFTWARE\\X\\Preferences", path);
  EXPECT_EQ(22, path.GetLength());
  EXPECT_STREQ("Preferences", sub);
}

TEST(AfxTest, ApplicationObjectIsForgottenWhenDestroyed) {
  { CWinApp app(nullptr); }
  EXPECT_EQ(nullptr, AfxGetApp());
}

TEST(AfxTest, InitialisationCanBeMadeToFail) {
  winshim::FailAfxWinInitForTesting();
  EXPECT_EQ(0, AfxWinInit(GetModuleHandleA(nullptr), nullptr, nullptr, 0));
}

}  // namespace
