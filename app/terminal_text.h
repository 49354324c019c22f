// Text from the user's files and directory names, made safe to print: a
// name that holds control characters, or bytes that are not characters in
// the locale's encoding, is quoted as GNU ls quotes it for a terminal
// (shell-escape style), so that no escape sequence reaches the terminal,
// it takes one line, and a pasted name means the same bytes to a POSIX
// shell with $'...' quoting (bash, zsh, ksh, busybox sh).
#ifndef QUILLFIX_APP_TERMINAL_TEXT_H_
#define QUILLFIX_APP_TERMINAL_TEXT_H_

#include <cstddef>
#include <string>

namespace text {

// Whether every byte of `name` is part of a printable character in the
// locale of LC_ALL, LC_CTYPE or LANG (ASCII only in the C locale).
bool ShowsAsItself(const std::string& name);

// `name` as $'...': control characters and bytes that are not printable
// characters as \n, \t, ... or \ooo (octal), ' and \ with a backslash.
std::string AnsiCQuoted(const std::string& name);

// For people: `name` itself when it shows as itself, AnsiCQuoted
// otherwise, e.g. $'new\nline'.
std::string ForPeople(const std::string& name);

// One word for a POSIX shell: `name` itself when it needs no quoting,
// '...' when it shows as itself, AnsiCQuoted otherwise.
std::string ShellWord(const std::string& name);

// Text for a message line, such as a parser's error or a quote from a
// file: control characters and bytes that are not printable characters
// as \n, \t, ... or \ooo in place, the rest as it is; cut after
// `max_chars` characters, "..." marking the cut.
std::string MessageText(const std::string& text,
                        size_t max_chars = static_cast<size_t>(-1));

// How long a quote from a file may be in a message.
constexpr size_t kExcerptChars = 80;

}  // namespace text

#endif  // QUILLFIX_APP_TERMINAL_TEXT_H_
