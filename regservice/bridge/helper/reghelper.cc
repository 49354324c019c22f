// quillfix-reghelper.exe: runs inside a Wine prefix and carries out, with
// the real advapi32 functions, the registry calls the registry bridge sends
// on standard input, answering each on standard output (regservice/bridge/
// wire.h). Ends when its input ends. Prints nothing else.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <vector>

#include "regservice/bridge/wire.h"

namespace {

using regservice::bridge::WireReader;
using regservice::bridge::WireWriter;
namespace wire = regservice::bridge;

// Windows hands out handles that fit in 32 signed bits and sign-extends
// them between 32- and 64-bit processes; the bridge uses the 32-bit
// numbers (HKEY_CURRENT_USER is 0x80000001 there).
HKEY ToHandle(uint64_t number) {
  if ((number >> 32) == 0) {
    return reinterpret_cast<HKEY>(static_cast<LONG_PTR>(
        static_cast<LONG>(static_cast<DWORD>(number))));
  }
  return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(number));
}

uint64_t FromHandle(HKEY handle) {
  LONG_PTR value = reinterpret_cast<LONG_PTR>(handle);
  if (value == static_cast<LONG>(value)) {
    return static_cast<DWORD>(static_cast<LONG>(value));
  }
  return static_cast<ULONG_PTR>(value);
}

bool ReadExactly(HANDLE in, char* data, DWORD size) {
  while (size > 0) {
    DWORD got = 0;
    if (!ReadFile(in, data, size, &got, nullptr) || got == 0) return false;
    data += got;
    size -= got;
  }
  return true;
}

bool WriteAll(HANDLE out, const std::string& bytes) {
  const char* data = bytes.data();
  DWORD left = static_cast<DWORD>(bytes.size());
  while (left > 0) {
    DWORD put = 0;
    if (!WriteFile(out, data, left, &put, nullptr) || put == 0) return false;
    data += put;
    left -= put;
  }
  return true;
}

// A string argument: null when the bridge sent kAbsent.
const char* Text(const std::string& bytes, bool present) {
  return present ? bytes.c_str() : nullptr;
}

bool OpenOrCreate(uint32_t op, WireReader* in, WireWriter* out) {
  uint64_t key = 0;
  std::string sub_key;
  bool sub_key_present = false;
  uint32_t options = 0, access = 0, want_result = 0;
  uint64_t initial = 0;
  if (!in->U64(&key) || !in->Bytes(&sub_key, &sub_key_present)) return false;
  if (op == wire::kOpenKeyEx && (!in->U32(&options) || !in->U32(&access))) {
    return false;
  }
  if (!in->U32(&want_result) || !in->U64(&initial) || !in->AtEnd()) {
    return false;
  }
  // Starts as the caller's variable did: some failures leave it untouched.
  HKEY result = ToHandle(initial);
  PHKEY result_ptr = want_result ? &result : nullptr;
  const char* name = Text(sub_key, sub_key_present);
  LONG status;
  if (op == wire::kOpenKey) {
    status = RegOpenKeyA(ToHandle(key), name, result_ptr);
  } else if (op == wire::kOpenKeyEx) {
    status = RegOpenKeyExA(ToHandle(key), name, options, access, result_ptr);
  } else {
    status = RegCreateKeyA(ToHandle(key), name, result_ptr);
  }
  out->U32(static_cast<uint32_t>(status));
  out->U64(FromHandle(result));
  return true;
}

bool SetValue(WireReader* in, WireWriter* out) {
  uint64_t key = 0;
  std::string name, data;
  bool name_present = false, data_present = false;
  uint32_t reserved = 0, type = 0, size = 0;
  if (!in->U64(&key) || !in->Bytes(&name, &name_present) ||
      !in->U32(&reserved) || !in->U32(&type) ||
      !in->Bytes(&data, &data_present) || !in->U32(&size) || !in->AtEnd()) {
    return false;
  }
  if (data_present && data.size() != size) return false;
  LONG status = RegSetValueExA(
      ToHandle(key), Text(name, name_present), reserved, type,
      data_present ? reinterpret_cast<const BYTE*>(data.data()) : nullptr,
      size);
  out->U32(static_cast<uint32_t>(status));
  return true;
}

bool QueryInfo(WireReader* in, WireWriter* out) {
  uint64_t key = 0;
  uint32_t asked = 0, class_capacity = 0;
  if (!in->U64(&key) || !in->U32(&asked) || !in->U32(&class_capacity) ||
      !in->AtEnd() || class_capacity > wire::kMaxFrame / 2) {
    return false;
  }
  std::vector<char> class_name(class_capacity + 1);
  DWORD class_length = class_capacity;
  DWORD reserved = 0, counts[7] = {};
  FILETIME last_write = {};
  auto ptr = [asked](uint32_t bit, DWORD* p) {
    return (asked & bit) ? p : nullptr;
  };
  char* class_buffer =
      (asked & wire::kInfoClassName) ? class_name.data() : nullptr;
  LONG status = RegQueryInfoKeyA(
      ToHandle(key), class_buffer, ptr(wire::kInfoClassLength, &class_length),
      ptr(wire::kInfoReserved, &reserved),
      ptr(wire::kInfoSubkeys, &counts[0]),
      ptr(wire::kInfoMaxSubkey, &counts[1]),
      ptr(wire::kInfoMaxClass, &counts[2]),
      ptr(wire::kInfoValues, &counts[3]),
      ptr(wire::kInfoMaxValueName, &counts[4]),
      ptr(wire::kInfoMaxValue, &counts[5]),
      ptr(wire::kInfoSecurity, &counts[6]),
      (asked & wire::kInfoLastWrite) ? &last_write : nullptr);
  out->U32(static_cast<uint32_t>(status));
  if (asked & wire::kInfoClassName) {
    out->Bytes(class_name.data(), class_capacity);
  } else {
    out->Bytes(nullptr, 0);
  }
  out->U32(class_length);
  for (DWORD count : counts) out->U32(count);
  out->U32(last_write.dwLowDateTime);
  out->U32(last_write.dwHighDateTime);
  return true;
}

bool Close(WireReader* in, WireWriter* out) {
  uint64_t key = 0;
  if (!in->U64(&key) || !in->AtEnd()) return false;
  out->U32(static_cast<uint32_t>(RegCloseKey(ToHandle(key))));
  return true;
}

bool QueryValue(WireReader* in, WireWriter* out) {
  uint64_t key = 0;
  std::string name;
  bool name_present = false;
  uint32_t asked = 0, capacity = 0;
  if (!in->U64(&key) || !in->Bytes(&name, &name_present) ||
      !in->U32(&asked) || !in->U32(&capacity) || !in->AtEnd() ||
      capacity > wire::kMaxFrame / 2) {
    return false;
  }
  std::vector<BYTE> data(capacity + 1);
  DWORD reserved = 0, type = 0, size = capacity;
  LONG status = RegQueryValueExA(
      ToHandle(key), Text(name, name_present),
      (asked & wire::kValueReserved) ? &reserved : nullptr,
      (asked & wire::kValueType) ? &type : nullptr,
      (asked & wire::kValueData) ? data.data() : nullptr,
      (asked & wire::kValueSize) ? &size : nullptr);
  out->U32(static_cast<uint32_t>(status));
  out->U32(type);
  if (asked & wire::kValueData) {
    // What the buffer holds is defined only after a success.
    DWORD filled = status == ERROR_SUCCESS ? (size < capacity ? size : capacity)
                                           : 0;
    out->Bytes(data.data(), filled);
  } else {
    out->Bytes(nullptr, 0);
  }
  out->U32(size);
  return true;
}

// Carries out one request; false when it is malformed.
bool Serve(const std::string& request, WireWriter* answer) {
  WireReader in(request);
  uint32_t op = 0;
  if (!in.U32(&op)) return false;
  switch (op) {
    case wire::kOpenKey:
    case wire::kOpenKeyEx:
    case wire::kCreateKey:
      return OpenOrCreate(op, &in, answer);
    case wire::kSetValueEx:
      return SetValue(&in, answer);
    case wire::kQueryInfoKey:
      return QueryInfo(&in, answer);
    case wire::kCloseKey:
      return Close(&in, answer);
    case wire::kQueryValueEx:
      return QueryValue(&in, answer);
    default:
      return false;
  }
}

}  // namespace

int main() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  WireWriter hello;
  hello.U32(wire::kMagic);
  hello.U32(wire::kVersion);
  if (!WriteAll(out, hello.Frame())) return 1;
  for (;;) {
    char length_bytes[4];
    if (!ReadExactly(in, length_bytes, sizeof length_bytes)) return 0;
    uint32_t length = 0;
    WireReader(length_bytes, sizeof length_bytes).U32(&length);
    if (length > wire::kMaxFrame) return 1;
    std::string request(length, '\0');
    if (length > 0 && !ReadExactly(in, &request[0], length)) return 1;
    WireWriter answer;
    // A request it cannot read ends the helper: the bridge then sees the
    // end of its answers and stops using it.
    if (!Serve(request, &answer)) return 1;
    if (!WriteAll(out, answer.Frame())) return 1;
  }
}
