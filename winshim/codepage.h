// The ANSI code page of the process, chosen from the Unix locale the way
// Wine chooses it for the programs it runs.
#ifndef QUILLFIX_WINSHIM_CODEPAGE_H_
#define QUILLFIX_WINSHIM_CODEPAGE_H_

#include <string>

namespace winshim {

// The ANSI code page Windows uses for the locale named `locale`, a POSIX
// locale name such as "ru_RU.UTF-8", "ja_JP.eucJP@x" or "C". The encoding
// part is ignored: a UTF-8 locale still gets its language's single- or
// double-byte code page, never 65001. "C", "POSIX", an empty name and any
// language without an ANSI code page of its own give 1252.
unsigned int AnsiCodePageForLocale(const std::string& locale);

// AnsiCodePageForLocale of the first of LC_ALL, LC_CTYPE and LANG that is
// set and not empty (the precedence of setlocale(LC_CTYPE, "")).
unsigned int AnsiCodePageFromEnvironment();

}  // namespace winshim

#endif  // QUILLFIX_WINSHIM_CODEPAGE_H_
