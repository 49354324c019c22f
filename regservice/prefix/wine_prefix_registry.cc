#include "regservice/prefix/wine_prefix_registry.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>

#include "regservice/prefix/ansi_text.h"
#include "regservice/wine/reg_names.h"
#include "winshim/mbstring.h"

namespace regservice {
namespace prefix {
namespace {

// Not in regservice.h: RegSetValueExA's answer to a null data pointer
// with a non-zero size.
const LONG kErrorNoAccess = 998;

// Wine's A functions convert a subkey path into a buffer of 261 UTF-16
// units, its terminator included; a longer path is ERROR_MORE_DATA before
// the registry is asked anything.
const size_t kMaxSubKeyPathUnits = 260;

uint64_t SystemTimeAsFileTime() {
  const uint64_t kUnixEpochAsFileTime = 116444736000000000ull;
  auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch)
                   .count() /
               100;
  return kUnixEpochAsFileTime + static_cast<uint64_t>(ticks);
}

bool IsStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// What Wine holds as the class of a key it loaded from user.reg: the text
// and the NUL after it, which it counts in the class's length.
std::u16string LoadedClassText(const std::u16string& text) {
  if (text.empty()) return text;
  return text + u'\0';
}

}  // namespace

LONG WindowsError(const Status& status) {
  switch (status.code()) {
    case Status::kOk:
      return ERROR_SUCCESS;
    case Status::kNotFound:
      return ERROR_FILE_NOT_FOUND;
    case Status::kCorrupt:
      return ERROR_BADDB;
    case Status::kReadError:
      return ERROR_CANTREAD;
    case Status::kWriteError:
    case Status::kAlreadyExists:
      return ERROR_CANTWRITE;
    case Status::kAccessDenied:
      return ERROR_ACCESS_DENIED;
    case Status::kBusy:
      return ERROR_SHARING_VIOLATION;
    case Status::kInvalidArgument:
      return ERROR_INVALID_PARAMETER;
  }
  return ERROR_CANTWRITE;
}

PrefixLocation PrefixLocationFromEnvironment() {
  PrefixLocation location;
  const char* prefix = getenv("WINEPREFIX");
  if (prefix != nullptr) {
    // Wine refuses a WINEPREFIX that is not an absolute path, the empty
    // one included, and touches nothing; so does this.
    if (prefix[0] == '/') {
      location.directory = prefix;
      while (location.directory.size() > 1 &&
             location.directory.back() == '/') {
        location.directory.pop_back();
      }
    }
  } else {
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] == '/') {
      location.directory = std::string(home) + "/.wine";
    }
  }
  const char* tmpdir = getenv("TMPDIR");
  if (tmpdir != nullptr) location.tmpdir = tmpdir;
  return location;
}

WinePrefixRegistry::WinePrefixRegistry(Env* env, PrefixLocation location)
    : store_(env, std::move(location)), clock_(SystemTimeAsFileTime) {}

WinePrefixRegistry::~WinePrefixRegistry() { Flush(); }

LONG WinePrefixRegistry::LoadHive() { return WindowsError(store_.Load()); }

unsigned int WinePrefixRegistry::CodePage() const {
  return winshim::MultibyteCodePage();
}

LONG WinePrefixRegistry::Resolve(HKEY key, wine::KeyPath* path) {
  if (key == HKEY_CURRENT_USER) {
    path->clear();
    return LoadHive();
  }
  const wine::KeyPath* open = handles_.Find(key);
  if (open == nullptr) return ERROR_INVALID_HANDLE;
  *path = *open;
  return LoadHive();
}

bool WinePrefixRegistry::PathFitsConversion(LPCSTR sub_key) const {
  if (sub_key == nullptr) return true;
  const size_t bytes = strlen(sub_key);
  // Every unit takes at least one byte: short paths need no conversion.
  if (bytes <= kMaxSubKeyPathUnits) return true;
  return AnsiToUtf16(CodePage(), sub_key, bytes).size() <=
         kMaxSubKeyPathUnits;
}

LONG WinePrefixRegistry::ParseSubKey(LPCSTR sub_key,
                                     wine::KeyPath* path) const {
  // Split after converting: in a double-byte code page a trail byte may be
  // 0x5C and is then no backslash.
  std::u16string text = AnsiToUtf16(CodePage(), sub_key, strlen(sub_key));
  if (!text.empty() && text[0] == u'\\') return ERROR_BAD_PATHNAME;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(u'\\', start);
    if (end == std::u16string::npos) end = text.size();
    if (end > start) {
      if (end - start > wine::kMaxKeyNameUnits) return ERROR_INVALID_PARAMETER;
      path->push_back(text.substr(start, end - start));
    }
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

LONG WinePrefixRegistry::OpenPath(HKEY key, LPCSTR sub_key, PHKEY result) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  // Wine leaves *result as it was here.
  if (!PathFitsConversion(sub_key)) return ERROR_MORE_DATA;
  *result = nullptr;
  wine::KeyPath path;
  LONG status = Resolve(key, &path);
  if (status != ERROR_SUCCESS) return status;
  status = ParseSubKey(sub_key, &path);
  if (status != ERROR_SUCCESS) return status;
  if (!store_.hive().KeyExists(path)) return ERROR_FILE_NOT_FOUND;
  *result = handles_.Add(std::move(path));
  return ERROR_SUCCESS;
}

LONG WinePrefixRegistry::OpenKey(HKEY key, LPCSTR sub_key, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  if (sub_key == nullptr || *sub_key == '\0') {
    // The very handle passed in, unchecked, as Windows does; only a root
    // over an unusable hive fails.
    if (key == HKEY_CURRENT_USER) {
      LONG status = LoadHive();
      if (status != ERROR_SUCCESS) {
        *result = nullptr;
        return status;
      }
    }
    *result = key;
    return ERROR_SUCCESS;
  }
  return OpenPath(key, sub_key, result);
}

LONG WinePrefixRegistry::OpenKeyEx(HKEY key, LPCSTR sub_key, DWORD, REGSAM,
                                   PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  if (sub_key != nullptr && *sub_key != '\0') {
    return OpenPath(key, sub_key, result);
  }
  // An empty path: HKEY_CURRENT_USER itself, as RegOpenKeyA gives it, but
  // a new handle to the same key for an open one (Wine's answers both).
  if (key == HKEY_CURRENT_USER) return OpenKey(key, sub_key, result);
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  *result = nullptr;
  wine::KeyPath path;
  LONG status = Resolve(key, &path);
  if (status != ERROR_SUCCESS) return status;
  *result = handles_.Add(std::move(path));
  return ERROR_SUCCESS;
}

LONG WinePrefixRegistry::CreateKey(HKEY key, LPCSTR sub_key, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  // Nothing is made, and *result stays as it was, as in Wine.
  if (!PathFitsConversion(sub_key)) return ERROR_MORE_DATA;
  *result = nullptr;
  wine::KeyPath path;
  LONG status = Resolve(key, &path);
  if (status != ERROR_SUCCESS) return status;
  if (sub_key != nullptr) {
    status = ParseSubKey(sub_key, &path);
    if (status != ERROR_SUCCESS) return status;
  }
  // One time for the whole operation. The keys made above the deepest one
  // take theirs from its header, which holds whole seconds, as Wine reads
  // the file: a whole second gives them, the deepest key and its parent
  // the same time.
  const uint64_t kTicksPerSecond = 10000000;
  const uint64_t now = clock_();
  status = WindowsError(store_.CreateKey(path, now - now % kTicksPerSecond));
  if (status != ERROR_SUCCESS) return status;
  // Even an empty path gives a new handle here.
  *result = handles_.Add(std::move(path));
  return ERROR_SUCCESS;
}

LONG WinePrefixRegistry::SetValueEx(HKEY key, LPCSTR value_name, DWORD,
                                    DWORD type, const BYTE* data, DWORD size) {
  // `Reserved` is ignored, as Wine ignores it. Wine also adds a NUL a
  // caller "forgot" at the end of string data by reading the byte after
  // the buffer; that read is out of bounds, so the size is taken as given.
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  // Wine finds the missing data before it looks at the handle.
  if (data == nullptr && size > 0) return kErrorNoAccess;
  wine::KeyPath path;
  LONG status = Resolve(key, &path);
  if (status != ERROR_SUCCESS) return status;

  std::u16string name;
  if (value_name != nullptr) {
    name = AnsiToUtf16(CodePage(), value_name, strlen(value_name));
  }
  if (name.size() > wine::kMaxValueNameUnits) return ERROR_INVALID_PARAMETER;

  std::string bytes;
  if (size > 0) bytes.assign(reinterpret_cast<const char*>(data), size);
  if (IsStringType(type)) {
    const std::u16string units = AnsiToUtf16(CodePage(), bytes.data(), bytes.size());
    bytes.clear();
    wine::AppendUtf16Le(units, &bytes);
  }
  return WindowsError(store_.SetValue(path, name, type, bytes, clock_()));
}

LONG WinePrefixRegistry::QueryInfoKey(
    HKEY key, LPSTR class_name, LPDWORD class_length, LPDWORD, LPDWORD subkeys,
    LPDWORD max_subkey_length, LPDWORD max_class_length, LPDWORD values,
    LPDWORD max_value_name_length, LPDWORD max_value_length,
    LPDWORD security_descriptor_size, PFILETIME last_write_time) {
  // `lpReserved` is ignored, as Wine ignores it.
  if (class_name != nullptr && class_length == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  wine::KeyPath path;
  LONG status = Resolve(key, &path);
  if (status != ERROR_SUCCESS) return status;
  wine::KeyInfo info;
  if (!store_.hive().QueryKey(path, &info,
                              subkeys != nullptr || max_subkey_length != nullptr)) {
    return ERROR_FILE_NOT_FOUND;
  }

  LONG result = ERROR_SUCCESS;
  if (class_length != nullptr) {
    result = CopyClass(LoadedClassText(info.class_name), class_name,
                       class_length);
  }
  // The maxima count UTF-16 units, as Wine's A function reports them.
  if (subkeys != nullptr) *subkeys = info.subkeys;
  if (max_subkey_length != nullptr) *max_subkey_length = info.max_subkey_name;
  // The hive does not report the classes of subkeys; keys made by the A
  // functions never have one.
  if (max_class_length != nullptr) *max_class_length = 0;
  if (values != nullptr) *values = info.values;
  if (max_value_name_length != nullptr) {
    *max_value_name_length = info.max_value_name;
  }
  if (max_value_length != nullptr) *max_value_length = info.max_value_data;
  // Wine keeps no security descriptors in user.reg and reports 0.
  if (security_descriptor_size != nullptr) *security_descriptor_size = 0;
  if (last_write_time != nullptr) {
    last_write_time->dwLowDateTime =
        static_cast<DWORD>(info.last_write & 0xFFFFFFFFu);
    last_write_time->dwHighDateTime = static_cast<DWORD>(info.last_write >> 32);
  }
  return result;
}

LONG WinePrefixRegistry::CopyClass(const std::u16string& class_text,
                                   LPSTR buffer, LPDWORD length) const {
  const std::string text = Utf16ToAnsi(CodePage(), class_text);
  const DWORD room = *length;
  *length = static_cast<DWORD>(text.size());
  // Wine's answers: a buffer of no bytes is left alone and is no error; a
  // short one gets as much as fits, terminated, and that length.
  if (buffer == nullptr || room == 0) return ERROR_SUCCESS;
  if (text.size() < room) {
    memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return ERROR_SUCCESS;
  }
  memcpy(buffer, text.data(), room - 1);
  buffer[room - 1] = '\0';
  *length = room - 1;
  return ERROR_MORE_DATA;
}

LONG WinePrefixRegistry::CloseKey(HKEY key) {
  if (key == HKEY_CURRENT_USER) {
    // Never really closed; a moment to write what is pending.
    LONG status = LoadHive();
    if (status != ERROR_SUCCESS) return status;
    return Flush();
  }
  if (!handles_.Remove(key)) return ERROR_INVALID_HANDLE;
  if (handles_.size() == 0 && store_.HasPendingChanges()) {
    // The handle is closed even when the write fails; the changes then
    // stay pending for the next chance.
    return WindowsError(store_.Save());
  }
  return ERROR_SUCCESS;
}

LONG WinePrefixRegistry::QueryValueEx(HKEY key, LPCSTR value_name,
                                      LPDWORD reserved, LPDWORD type,
                                      LPBYTE data, LPDWORD size) {
  // Wine's order of checks and of what it fills in on failure: the type
  // becomes REG_NONE and, when no buffer is passed, the size 0, before the
  // key and the value are looked up.
  if ((data != nullptr && size == nullptr) || reserved != nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  const DWORD room = size != nullptr ? *size : 0;
  if (data == nullptr && size != nullptr) *size = 0;
  if (type != nullptr) *type = REG_NONE;

  wine::KeyPath path;
  LONG status = Resolve(key, &path);
  if (status != ERROR_SUCCESS) return status;
  std::u16string name;
  if (value_name != nullptr) {
    name = AnsiToUtf16(CodePage(), value_name, strlen(value_name));
  }
  wine::Value value;
  if (!store_.hive().GetValue(path, name, &value)) {
    return ERROR_FILE_NOT_FOUND;
  }

  std::string bytes = value.data;
  bool add_nul = false;
  if (IsStringType(value.type)) {
    // Whole UTF-16 units only; no NUL is added to the length, but one is
    // written after text that lacks it when the buffer has room.
    bytes = Utf16ToAnsi(CodePage(), wine::FromUtf16Le(value.data.data(), value.data.size()));
    add_nul = !bytes.empty() && bytes.back() != '\0';
  }
  LONG result = ERROR_SUCCESS;
  if (data != nullptr && !bytes.empty()) {
    if (bytes.size() > room) {
      result = ERROR_MORE_DATA;  // the buffer is left untouched
    } else {
      memcpy(data, bytes.data(), bytes.size());
      if (add_nul && bytes.size() < room) data[bytes.size()] = 0;
    }
  }
  if (type != nullptr) *type = value.type;
  if (size != nullptr) *size = static_cast<DWORD>(bytes.size());
  return result;
}

LONG WinePrefixRegistry::Flush() {
  return WindowsError(store_.Save());
}

}  // namespace prefix
}  // namespace regservice
