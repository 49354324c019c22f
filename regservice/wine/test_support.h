// What the tests of user.reg's text share: the head of a file as Wine
// writes it, and value data in the bytes Wine keeps. Included by tests only.
#ifndef QUILLFIX_REGSERVICE_WINE_TEST_SUPPORT_H_
#define QUILLFIX_REGSERVICE_WINE_TEST_SUPPORT_H_

#include <string>

// The first lines of a user.reg as Wine writes them: the version, the
// comment naming the user's key, a blank line and the architecture. A
// literal, so that a test's file text can go on after it.
#define QUILLFIX_TEST_USER_REG_HEAD                                      \
  "WINE REGISTRY Version 2\n"                                            \
  ";; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n"  \
  "\n"                                                                   \
  "#arch=win64\n"

namespace regservice {
namespace wine {

// UTF-16LE with the terminating NUL Wine stores with strings.
inline std::string Sz(const std::u16string& text) {
  std::string out;
  for (char16_t u : text) {
    out += static_cast<char>(u & 0xff);
    out += static_cast<char>(u >> 8);
  }
  return out + std::string(2, '\0');
}

}  // namespace wine
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_WINE_TEST_SUPPORT_H_
