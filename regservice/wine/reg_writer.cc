#include "regservice/wine/reg_writer.h"

#include <cstdio>
#include <cstring>

namespace regservice {
namespace wine {

namespace {

constexpr uint64_t kTicksPerSecond = 10000000;
constexpr int64_t kTicks1601To1970 = 116444736000000000LL;

bool IsHexDigit(char16_t c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

// ---- Writing -----------------------------------------------------------

std::string EscapeUnits(const char16_t* units, size_t count,
                        const char* quote) {
  static const char kEscapes[33] = ".......abtnvfr.............e....";
  std::string out;
  out.reserve(count);
  char buf[16];
  for (size_t i = 0; i < count; ++i) {
    char16_t u = units[i];
    bool has_next = i + 1 < count;
    char16_t next = has_next ? units[i + 1] : 0;
    if (u > 127) {
      bool pad = has_next && next < 128 && IsHexDigit(next);
      std::snprintf(buf, sizeof(buf), pad ? "\\x%04x" : "\\x%x",
                    static_cast<unsigned>(u));
      out += buf;
    } else if (u < 32) {
      if (kEscapes[u] != '.') {
        out += '\\';
        out += kEscapes[u];
      } else {
        bool pad = has_next && next >= '0' && next <= '7';
        std::snprintf(buf, sizeof(buf), pad ? "\\%03o" : "\\%o",
                      static_cast<unsigned>(u));
        out += buf;
      }
    } else {
      char c = static_cast<char>(u);
      if (c == '\\' || c == quote[0] || c == quote[1]) out += '\\';
      out += c;
    }
  }
  return out;
}

std::string EscapeKeyPath(const std::vector<Name>& elements) {
  std::string out;
  for (size_t i = 0; i < elements.size(); ++i) {
    if (i > 0) out += "\\\\";
    out += EscapeUnits(elements[i].data(), elements[i].size(), "[]");
  }
  return out;
}

std::string FormatValue(const Name& name, uint32_t type,
                        const std::string& data, const std::string& eol) {
  std::string out;
  if (name.empty()) {
    out = "@=";
  } else {
    out = "\"" + EscapeUnits(name.data(), name.size(), "\"\"") + "\"=";
  }
  size_t count = out.size();
  char buf[32];
  const size_t len = data.size();
  if ((type == kRegSz || type == kRegExpandSz || type == kRegMultiSz) &&
      len >= 2 && len % 2 == 0 && data[len - 1] == 0 && data[len - 2] == 0) {
    const Name units = FromUtf16Le(data.data(), len - 2);
    if (type != kRegSz) {
      std::snprintf(buf, sizeof(buf), "str(%x):", static_cast<unsigned>(type));
      out += buf;
    }
    out += '"';
    out += EscapeUnits(units.data(), units.size(), "\"\"");
    out += '"';
    out += eol;
    return out;
  }
  if (type == kRegDword && len == 4) {
    uint32_t dword = 0;
    for (int i = 0; i < 4; ++i) {
      dword |= static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    }
    std::snprintf(buf, sizeof(buf), "dword:%08x", static_cast<unsigned>(dword));
    return out + buf + eol;
  }
  if (type == kRegBinary) {
    std::snprintf(buf, sizeof(buf), "hex:");
  } else {
    std::snprintf(buf, sizeof(buf), "hex(%x):", static_cast<unsigned>(type));
  }
  out += buf;
  count += std::strlen(buf);
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < len; ++i) {
    unsigned char b = static_cast<unsigned char>(data[i]);
    out += kHex[b >> 4];
    out += kHex[b & 15];
    count += 2;
    if (i + 1 < len) {
      out += ',';
      if (++count > 76) {
        out += '\\';
        out += eol;
        out += "  ";
        count = 2;
      }
    }
  }
  out += eol;
  return out;
}

std::string FormatSeconds(uint64_t filetime) {
  int64_t ticks = static_cast<int64_t>(filetime) - kTicks1601To1970;
  return std::to_string(static_cast<uint32_t>(
      ticks / static_cast<int64_t>(kTicksPerSecond)));
}

std::string FormatTimeOption(uint64_t filetime) {
  char buf[40];
  std::snprintf(buf, sizeof(buf), "#time=%x%08x",
                static_cast<unsigned>(filetime >> 32),
                static_cast<unsigned>(filetime & 0xffffffffu));
  return buf;
}

uint64_t SecondsToFileTime(uint32_t seconds) {
  return static_cast<uint64_t>(seconds) * kTicksPerSecond + kTicks1601To1970;
}

}  // namespace wine
}  // namespace regservice
