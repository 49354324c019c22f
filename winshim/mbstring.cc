#include "winshim/mbstring.h"

#include "winshim/codepage.h"

namespace winshim {
namespace {
// 0 until first asked for: the locale then decides, unless
// SetMultibyteCodePage chose first.
unsigned int g_code_page = 0;
}  // namespace

unsigned int MultibyteCodePage() {
  if (g_code_page == 0) g_code_page = AnsiCodePageFromEnvironment();
  return g_code_page;
}
void SetMultibyteCodePage(unsigned int code_page) { g_code_page = code_page; }

}  // namespace winshim

int _ismbblead(unsigned int c) {
  c &= 0xFF;
  switch (winshim::MultibyteCodePage()) {
    case 932:  // Shift-JIS
      return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    case 936:  // GBK
    case 949:  // Unified Hangul
    case 950:  // Big5
      return c >= 0x81 && c <= 0xFE;
    default:
      return 0;
  }
}

namespace {

// Length in bytes of the character at `p`: 2 for a lead byte followed by a
// trail, else 1. A lead byte right before the terminator stands alone.
size_t CharLength(const unsigned char* p) {
  return (_ismbblead(p[0]) && p[1] != 0) ? 2 : 1;
}

unsigned int CharValue(const unsigned char* p, size_t length) {
  return length == 2 ? (p[0] << 8) | p[1] : p[0];
}

}  // namespace

unsigned char* _mbschr(const unsigned char* str, unsigned int c) {
  for (const unsigned char* p = str;; ) {
    size_t length = *p == 0 ? 1 : CharLength(p);
    if (CharValue(p, length) == c) return const_cast<unsigned char*>(p);
    if (*p == 0) return nullptr;
    p += length;
  }
}

int _mbscmp(const unsigned char* a, const unsigned char* b) {
  while (true) {
    size_t length_a = *a == 0 ? 1 : CharLength(a);
    size_t length_b = *b == 0 ? 1 : CharLength(b);
    unsigned int ca = CharValue(a, length_a);
    unsigned int cb = CharValue(b, length_b);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
    a += length_a;
    b += length_b;
  }
}

unsigned char* _mbsnbcpy(unsigned char* dst, const unsigned char* src,
                         size_t count) {
  size_t i = 0;
  bool last_was_lead = false;
  for (; i < count && src[i] != 0; ++i) {
    last_was_lead = !last_was_lead && _ismbblead(src[i]);
    dst[i] = src[i];
  }
  // A lead byte whose trail did not fit (or never came) would pair with
  // whatever follows in `dst`; drop it.
  if (last_was_lead) dst[i - 1] = 0;
  for (; i < count; ++i) dst[i] = 0;
  return dst;
}
