// Conversion between the ANSI code page of the A registry functions and the
// UTF-16 that Wine keeps names and string data in, through iconv.
#ifndef QUILLFIX_REGSERVICE_PREFIX_ANSI_TEXT_H_
#define QUILLFIX_REGSERVICE_PREFIX_ANSI_TEXT_H_

#include <stddef.h>

#include <string>

namespace regservice {
namespace prefix {

// Converts `size` bytes of `code_page` text, NULs included, one code unit
// per character. A byte that does not start a valid character becomes the
// unit of the same number (Wine's single-byte tables map their undefined
// bytes the same way, 0x81 to U+0081). A code page iconv does not know is
// read as Latin-1.
std::u16string AnsiToUtf16(unsigned int code_page, const char* data,
                           size_t size);

// The reverse; a unit with no character in the code page becomes '?'.
std::string Utf16ToAnsi(unsigned int code_page, const std::u16string& text);

}  // namespace prefix
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_PREFIX_ANSI_TEXT_H_
