#include "app/report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/product_root.h"
#include "app/resource.h"

namespace report {
namespace {

const char kSubkey[] = "Preferences";
const char kValueName[] = "Quillfix";
const char kValuePath[] = "Preferences\\Quillfix";

std::string HexBytes(const std::string& data) {
  std::string text;
  char byte[4];
  for (unsigned char c : data) {
    std::snprintf(byte, sizeof byte, "%s%02x", text.empty() ? "" : " ", c);
    text += byte;
  }
  return text;
}

}  // namespace

Edition ReadEdition(uint32_t string_id) {
  Edition edition;
  CProductRoot root(string_id);
  CString path;
  path.LoadStringA(string_id);
  edition.root = static_cast<const char*>(path);
  edition.installed = root.Exists();
  if (edition.installed) {
    edition.read =
        root.ReadValue(kSubkey, kValueName, &edition.type, &edition.data);
  }
  return edition;
}

std::vector<Edition> ReadEditions() {
  return {ReadEdition(IDS_ROOT_VARLO), ReadEdition(IDS_ROOT_VARLOPLUS)};
}

std::string TypeName(DWORD type) {
  static const char* const kNames[] = {
      "REG_NONE",  "REG_SZ",       "REG_EXPAND_SZ", "REG_BINARY",
      "REG_DWORD", "REG_DWORD_BIG_ENDIAN", "REG_LINK", "REG_MULTI_SZ"};
  if (type < sizeof kNames / sizeof kNames[0]) return kNames[type];
  if (type == REG_QWORD) return "REG_QWORD";
  char text[24];
  std::snprintf(text, sizeof text, "type 0x%lx",
                static_cast<unsigned long>(type));
  return text;
}

bool IsPatched(const Edition& edition) {
  return edition.read == ERROR_SUCCESS && edition.type == REG_BINARY &&
         edition.data == "\x01";
}

std::string Describe(const Edition& edition) {
  // Keys are named as reg.exe names them: the root, no final backslash.
  std::string line = "HKEY_CURRENT_USER";
  if (!edition.root.empty()) line += "\\" + edition.root;
  if (line.back() == '\\') line.pop_back();
  if (!edition.installed) return line + ": not installed";
  line += ": installed, ";
  line += kValuePath;
  if (IsPatched(edition)) return line + " = 01";
  if (edition.read == ERROR_FILE_NOT_FOUND) return line + " missing";
  if (edition.read != ERROR_SUCCESS) {
    return line + " unreadable (error " + std::to_string(edition.read) + ")";
  }
  line += " = " + TypeName(edition.type);
  return line + (edition.data.empty() ? " (no bytes)"
                                      : " " + HexBytes(edition.data));
}

int ExitStatus(const std::vector<Edition>& editions) {
  int status = 0;
  for (const Edition& edition : editions) {
    if (!edition.installed) continue;
    if (edition.read != ERROR_SUCCESS &&
        edition.read != ERROR_FILE_NOT_FOUND) {
      return 2;
    }
    if (!IsPatched(edition)) status = 1;
  }
  return status;
}

bool Delivered(std::ostream& out, std::ostream& err) {
  errno = 0;
  if (out.flush()) return true;
  const int error = errno;
  err << "quillfix-report: write error"
      << (error != 0 ? std::string(": ") + std::strerror(error) : "")
      << std::endl;
  return false;
}

}  // namespace report
