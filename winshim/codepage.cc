#include "winshim/codepage.h"

#include <stdlib.h>
#include <string.h>

namespace winshim {
namespace {

struct LanguageCodePage {
  const char* language;  // ISO 639 code as it starts a locale name
  unsigned int code_page;
};

// Windows' default ANSI code page per language. Languages missing here
// (Latin-script western languages among them) use 1252.
const LanguageCodePage kCodePages[] = {
    // Central European, Latin script.
    {"bs", 1250},
    {"cs", 1250},
    {"hr", 1250},
    {"hu", 1250},
    {"pl", 1250},
    {"ro", 1250},
    {"sk", 1250},
    {"sl", 1250},
    {"sq", 1250},
    {"hsb", 1250},
    // Cyrillic.
    {"be", 1251},
    {"bg", 1251},
    {"kk", 1251},
    {"ky", 1251},
    {"mk", 1251},
    {"mn", 1251},
    {"ru", 1251},
    {"sr", 1251},
    {"tg", 1251},
    {"tt", 1251},
    {"uk", 1251},
    {"ba", 1251},
    {"sah", 1251},
    {"el", 1253},
    {"az", 1254},
    {"tr", 1254},
    {"uz", 1254},
    {"he", 1255},
    {"iw", 1255},
    {"yi", 1255},
    {"ar", 1256},
    {"fa", 1256},
    {"ur", 1256},
    {"ps", 1256},
    {"ug", 1256},
    {"et", 1257},
    {"lt", 1257},
    {"lv", 1257},
    {"vi", 1258},
    {"th", 874},
    {"ja", 932},
    {"ko", 949},
};

// Chinese depends on the country: simplified script in mainland China and
// Singapore, traditional elsewhere.
unsigned int ChineseCodePage(const std::string& country) {
  if (country == "TW" || country == "HK" || country == "MO") return 950;
  return 936;
}

}  // namespace

unsigned int AnsiCodePageForLocale(const std::string& locale) {
  // language[_COUNTRY][.encoding][@modifier]
  size_t language_end = locale.find_first_of("_.@");
  std::string language = locale.substr(0, language_end);
  std::string country;
  if (language_end != std::string::npos && locale[language_end] == '_') {
    size_t country_end = locale.find_first_of(".@", language_end + 1);
    country =
        locale.substr(language_end + 1, country_end == std::string::npos
                                            ? std::string::npos
                                            : country_end - language_end - 1);
  }
  if (language == "zh") return ChineseCodePage(country);
  // Serbian in Latin script is a Central European language.
  if (language == "sr" && locale.find("@latin") != std::string::npos) {
    return 1250;
  }
  for (const LanguageCodePage& entry : kCodePages) {
    if (language == entry.language) return entry.code_page;
  }
  return 1252;
}

unsigned int AnsiCodePageFromEnvironment() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = getenv(name);
    if (value != nullptr && *value != '\0') return AnsiCodePageForLocale(value);
  }
  return 1252;
}

}  // namespace winshim
