// Multibyte string functions of the Windows C runtime.
//
// On Windows these are the runtime's own. Elsewhere this is a stand-in with
// the same semantics for the ANSI code pages Windows uses: the double-byte
// code pages 932, 936, 949 and 950, where a lead byte and the byte after it
// form one character (so a 0x5C trailing a lead byte is not a backslash), and
// every other code page, where each byte is one character.
#ifndef QUILLFIX_WINSHIM_MBSTRING_H_
#define QUILLFIX_WINSHIM_MBSTRING_H_

#include <stddef.h>

#ifdef _WIN32

#include <mbstring.h>

#else  // !_WIN32

// Whether `c` starts a double-byte character in the active code page.
int _ismbblead(unsigned int c);

// First occurrence of the character `c` in `str`, or null. A trail byte of a
// double-byte character never matches. Searching for 0 finds the terminator.
unsigned char* _mbschr(const unsigned char* str, unsigned int c);

// Compares two strings character by character (a double-byte character
// counts as the 16-bit number lead * 256 + trail); case-sensitive.
// Returns <0, 0 or >0 like strcmp.
int _mbscmp(const unsigned char* a, const unsigned char* b);

// Copies at most `count` bytes of `src` to `dst`, then pads `dst` with NULs
// up to `count` bytes. Like strncpy, the result is not terminated when `src`
// is `count` bytes or longer. When the bytes copied end on a lead byte whose
// trail was cut off, that lead byte is replaced by NUL. Returns `dst`.
unsigned char* _mbsnbcpy(unsigned char* dst, const unsigned char* src,
                         size_t count);

namespace winshim {

// The ANSI code page the functions above work in: the one the locale gives
// (see winshim/codepage.h), until changed. Setting 0 lets the locale decide
// again at the next use.
unsigned int MultibyteCodePage();
void SetMultibyteCodePage(unsigned int code_page);

}  // namespace winshim

#endif  // _WIN32

#endif  // QUILLFIX_WINSHIM_MBSTRING_H_
