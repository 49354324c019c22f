#include "winshim/codepage.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

namespace {

TEST(CodePageTest, LocaleNames) {
  struct Case {
    const char* locale;
    unsigned int code_page;
  } cases[] = {
      {"", 1252},
      {"C", 1252},
      {"POSIX", 1252},
      {"C.UTF-8", 1252},
      {"en_US.UTF-8", 1252},
      {"de_DE@euro", 1252},
      {"fr", 1252},
      {"ru_RU.UTF-8", 1251},
      {"ru_RU.KOI8-R", 1251},
      {"uk_UA", 1251},
      {"pl_PL.UTF-8", 1250},
      {"sr_RS.UTF-8", 1251},
      {"sr_RS.UTF-8@latin", 1250},
      {"el_GR.UTF-8", 1253},
      {"tr_TR.UTF-8", 1254},
      {"he_IL.UTF-8", 1255},
      {"ar_EG.UTF-8", 1256},
      {"lt_LT.UTF-8", 1257},
      {"vi_VN", 1258},
      {"th_TH.UTF-8", 874},
      {"ja_JP.UTF-8", 932},
      {"ja_JP.eucJP", 932},
      {"ko_KR.UTF-8", 949},
      {"zh_CN.GB18030", 936},
      {"zh_SG.UTF-8", 936},
      {"zh_TW.UTF-8", 950},
      {"zh_HK.Big5-HKSCS", 950},
      // Prefixes of a listed language are other languages.
      {"r", 1252},
      {"rus_XX", 1252},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.code_page, winshim::AnsiCodePageForLocale(c.locale))
        << "locale '" << c.locale << "'";
  }
}

// Sets the three locale variables for one test, restoring them after.
class LocaleEnvironmentTest : public ::testing::Test {
 protected:
  LocaleEnvironmentTest() {
    for (int i = 0; i < 3; ++i) {
      const char* value = getenv(kNames[i]);
      had_[i] = value != nullptr;
      if (had_[i]) saved_[i] = value;
    }
  }
  ~LocaleEnvironmentTest() override {
    for (int i = 0; i < 3; ++i) {
      if (had_[i]) {
        setenv(kNames[i], saved_[i].c_str(), 1);
      } else {
        unsetenv(kNames[i]);
      }
    }
  }
  void Set(const char* lc_all, const char* lc_ctype, const char* lang) {
    const char* values[] = {lc_all, lc_ctype, lang};
    for (int i = 0; i < 3; ++i) {
      if (values[i] == nullptr) {
        unsetenv(kNames[i]);
      } else {
        setenv(kNames[i], values[i], 1);
      }
    }
  }

  static constexpr const char* kNames[3] = {"LC_ALL", "LC_CTYPE", "LANG"};
  bool had_[3];
  std::string saved_[3];
};

TEST_F(LocaleEnvironmentTest, FirstNonEmptyVariableDecides) {
  struct Case {
    const char* lc_all;
    const char* lc_ctype;
    const char* lang;
    unsigned int code_page;
  } cases[] = {
      {nullptr, nullptr, nullptr, 1252},
      {nullptr, nullptr, "ja_JP.UTF-8", 932},
      {nullptr, "ru_RU.UTF-8", "ja_JP.UTF-8", 1251},
      {"el_GR.UTF-8", "ru_RU.UTF-8", "ja_JP.UTF-8", 1253},
      {"", "ru_RU.UTF-8", "ja_JP.UTF-8", 1251},
      {"", "", "ko_KR", 949},
      {"C", "ru_RU.UTF-8", "ja_JP.UTF-8", 1252},
  };
  for (const Case& c : cases) {
    Set(c.lc_all, c.lc_ctype, c.lang);
    EXPECT_EQ(c.code_page, winshim::AnsiCodePageFromEnvironment())
        << (c.lc_all ? c.lc_all : "-") << " " << (c.lc_ctype ? c.lc_ctype : "-")
        << " " << (c.lang ? c.lang : "-");
  }
}

}  // namespace
