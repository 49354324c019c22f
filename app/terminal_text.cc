#include "app/terminal_text.h"

#include <cstdio>
#include <cstring>

#ifndef _WIN32
#include <locale.h>
#include <wchar.h>
#include <wctype.h>
#endif

namespace text {
namespace {

// How many bytes at `at` make one printable character; 0 when the byte
// there is a control character or does not begin a valid one.
#ifdef _WIN32
size_t PrintableCharAt(const std::string& name, size_t at) {
  const unsigned char c = static_cast<unsigned char>(name[at]);
  return (c < 0x20 || c == 0x7f) ? 0 : 1;
}
#else
// The user's character encoding, read once, without changing this
// process's locale: other code reads text in the C locale's rules.
locale_t UserLocale() {
  static const locale_t user = [] {
    locale_t made = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    return made != static_cast<locale_t>(0)
               ? made
               : newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(0));
  }();
  return user;
}

size_t PrintableCharAt(const std::string& name, size_t at) {
  const unsigned char first = static_cast<unsigned char>(name[at]);
  if (first < 0x80) return (first < 0x20 || first == 0x7f) ? 0 : 1;
  const locale_t user = UserLocale();
  if (user == static_cast<locale_t>(0)) return 0;
  const locale_t previous = uselocale(user);
  mbstate_t state;
  std::memset(&state, 0, sizeof state);
  wchar_t wide = 0;
  const size_t n = mbrtowc(&wide, name.data() + at, name.size() - at, &state);
  const bool printable = n != static_cast<size_t>(-1) &&
                         n != static_cast<size_t>(-2) && n != 0 &&
                         iswprint(static_cast<wint_t>(wide));
  uselocale(previous);
  return printable ? n : 0;
}
#endif

// The escape for a byte that does not show as itself.
std::string EscapeOf(unsigned char c) {
  switch (c) {
    case '\a': return "\\a";
    case '\b': return "\\b";
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\v': return "\\v";
    case '\f': return "\\f";
    case '\r': return "\\r";
    default: {
      char octal[8];
      std::snprintf(octal, sizeof octal, "\\%03o", c);
      return octal;
    }
  }
}

bool NeedsNoShellQuoting(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      (c >= '0' && c <= '9') ||
                      std::strchr("/._+-,:@%=", c) != nullptr;
    if (!safe) return false;
  }
  return true;
}

}  // namespace

bool ShowsAsItself(const std::string& name) {
  for (size_t at = 0; at < name.size();) {
    const size_t n = PrintableCharAt(name, at);
    if (n == 0) return false;
    at += n;
  }
  return true;
}

std::string AnsiCQuoted(const std::string& name) {
  std::string quoted = "$'";
  for (size_t at = 0; at < name.size();) {
    const size_t n = PrintableCharAt(name, at);
    if (n == 0) {
      quoted += EscapeOf(static_cast<unsigned char>(name[at]));
      ++at;
      continue;
    }
    if (name[at] == '\'' || name[at] == '\\') quoted += '\\';
    quoted.append(name, at, n);
    at += n;
  }
  return quoted + "'";
}

std::string ForPeople(const std::string& name) {
  return ShowsAsItself(name) ? name : AnsiCQuoted(name);
}

std::string ShellWord(const std::string& name) {
  if (NeedsNoShellQuoting(name)) return name;
  if (!ShowsAsItself(name)) return AnsiCQuoted(name);
  std::string quoted = "'";
  for (char c : name) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string MessageText(const std::string& text, size_t max_chars) {
  std::string out;
  size_t chars = 0;
  for (size_t at = 0; at < text.size(); ++chars) {
    if (chars == max_chars) return out + "...";
    const size_t n = PrintableCharAt(text, at);
    if (n == 0) {
      out += EscapeOf(static_cast<unsigned char>(text[at]));
      ++at;
    } else {
      out.append(text, at, n);
      at += n;
    }
  }
  return out;
}

}  // namespace text
