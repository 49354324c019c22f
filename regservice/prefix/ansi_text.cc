#include "regservice/prefix/ansi_text.h"

#include <errno.h>
#include <iconv.h>

#include <string>

#include "regservice/wine/reg_names.h"

namespace regservice {
namespace prefix {
namespace {

std::string IconvName(unsigned int code_page) {
  if (code_page == 65001) return "UTF-8";
  return "CP" + std::to_string(code_page);
}

// An iconv descriptor closed at the end of the scope.
class Converter {
 public:
  Converter(const std::string& to, const std::string& from)
      : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts as much as it can; returns the errno that stopped it, 0 when
  // the whole input was used. Appends the output to *out.
  int Convert(const char** in, size_t* in_left, std::string* out) {
    char buffer[4096];
    while (*in_left > 0) {
      char* out_ptr = buffer;
      size_t out_left = sizeof buffer;
      size_t result =
          iconv(cd_, const_cast<char**>(in), in_left, &out_ptr, &out_left);
      out->append(buffer, sizeof buffer - out_left);
      if (result == static_cast<size_t>(-1) && errno != E2BIG) return errno;
    }
    char* out_ptr = buffer;
    size_t out_left = sizeof buffer;
    iconv(cd_, nullptr, nullptr, &out_ptr, &out_left);  // flush state
    out->append(buffer, sizeof buffer - out_left);
    return 0;
  }

 private:
  iconv_t cd_;
};


bool IsAscii(const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (static_cast<unsigned char>(data[i]) >= 0x80) return false;
  }
  return true;
}

}  // namespace

// Every ANSI code page is a superset of ASCII, so ASCII text, nearly all
// there is to convert, needs no converter (whose set-up loads a module).
std::u16string AnsiToUtf16(unsigned int code_page, const char* data,
                           size_t size) {
  if (IsAscii(data, size)) return std::u16string(data, data + size);
  Converter converter("UTF-16LE", IconvName(code_page));
  if (!converter.ok()) {
    std::u16string text;
    for (size_t i = 0; i < size; ++i) {
      text.push_back(static_cast<unsigned char>(data[i]));
    }
    return text;
  }
  std::string utf16;
  const char* in = data;
  size_t in_left = size;
  while (in_left > 0) {
    if (converter.Convert(&in, &in_left, &utf16) == 0) break;
    // Invalid or cut-off sequence: its first byte stands for itself.
    unsigned char byte = static_cast<unsigned char>(*in);
    utf16.push_back(static_cast<char>(byte));
    utf16.push_back('\0');
    ++in;
    --in_left;
  }
  return wine::FromUtf16Le(utf16.data(), utf16.size());
}

std::string Utf16ToAnsi(unsigned int code_page, const std::u16string& text) {
  bool ascii = true;
  for (char16_t unit : text) ascii = ascii && unit < 0x80;
  if (ascii) return std::string(text.begin(), text.end());
  std::string utf16;
  wine::AppendUtf16Le(text, &utf16);
  Converter converter(IconvName(code_page), "UTF-16LE");
  std::string ansi;
  if (!converter.ok()) {
    for (char16_t unit : text) {
      ansi.push_back(unit < 0x100 ? static_cast<char>(unit) : '?');
    }
    return ansi;
  }
  const char* in = utf16.data();
  size_t in_left = utf16.size();
  while (in_left > 0) {
    if (converter.Convert(&in, &in_left, &ansi) == 0) break;
    // No such character, or half a surrogate pair: skip one unit.
    ansi.push_back('?');
    size_t skip = in_left < 2 ? in_left : 2;
    in += skip;
    in_left -= skip;
  }
  return ansi;
}

}  // namespace prefix
}  // namespace regservice
