// quillfix-reghelper.exe: runs inside a Wine prefix and carries out, with
// the real advapi32 functions, the registry calls the registry bridge sends
// on standard input, answering each on standard output (the messages of
// doc/helper-protocol.md). Ends when its input ends. Prints nothing else.
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

bool ReadExactly(HANDLE in, char* data, size_t size) {
  while (size > 0) {
    DWORD got = 0;
    if (!ReadFile(in, data, static_cast<DWORD>(size), &got, nullptr) ||
        got == 0) {
      return false;
    }
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
  if (result_ptr == nullptr && op != wire::kOpenKey) {
    // Wine's RegOpenKeyExA and RegCreateKeyA write through it unchecked
    // and crash; this is the answer RegOpenKeyA gives.
    status = ERROR_INVALID_PARAMETER;
  } else if (op == wire::kOpenKey) {
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
  // Wine stores a string's byte past `size` too when it is a NUL; the
  // caller's size is what counts here, so Wine must see no NUL there.
  std::vector<BYTE> bytes(data.begin(), data.end());
  bytes.push_back(wire::kGuardByte);
  // Wine reads the string a null pointer does not point to, and crashes;
  // as bytes it checks the key first and answers ERROR_NOACCESS.
  const bool string_type =
      type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
  const DWORD checked_type =
      !data_present && size > 0 && string_type ? REG_BINARY : type;
  LONG status = RegSetValueExA(ToHandle(key), Text(name, name_present),
                               reserved, checked_type,
                               data_present ? bytes.data() : nullptr, size);
  out->U32(static_cast<uint32_t>(status));
  return true;
}

// The size to tell the call for a buffer of `capacity` bytes: the
// caller's, unless the buffer here is smaller.
DWORD Limited(uint32_t size, uint32_t capacity) {
  return size > capacity ? capacity : size;
}

// A buffer for a call to write into, filled with the guard so that the
// bytes it wrote can be told apart.
std::vector<unsigned char> GuardedBuffer(uint32_t capacity) {
  return std::vector<unsigned char>(capacity, wire::kGuardByte);
}

// The bytes of `buffer` the call wrote; absent when it had no buffer.
void WriteBuffer(const std::vector<unsigned char>& buffer, bool passed,
                 uint32_t known, WireWriter* out) {
  if (!passed) {
    out->Bytes(nullptr, 0);
    return;
  }
  const uint32_t capacity = static_cast<uint32_t>(buffer.size());
  // An empty vector may have no address; a null one would say "absent".
  static const unsigned char kNothing = 0;
  const unsigned char* bytes = capacity > 0 ? buffer.data() : &kNothing;
  out->Bytes(bytes, wire::WrittenLength(bytes, capacity, known));
}

bool QueryInfo(WireReader* in, WireWriter* out) {
  uint64_t key = 0;
  uint32_t asked = 0, class_length = 0;
  DWORD counts[7] = {};
  FILETIME last_write = {};
  bool ok = in->U64(&key) && in->U32(&asked) && in->U32(&class_length);
  for (DWORD& count : counts) {
    uint32_t value = 0;
    ok = ok && in->U32(&value);
    count = value;
  }
  uint32_t low = 0, high = 0;
  ok = ok && in->U32(&low) && in->U32(&high) && in->AtEnd();
  if (!ok) return false;
  last_write.dwLowDateTime = low;
  last_write.dwHighDateTime = high;
  const bool class_passed = (asked & wire::kInfoClassName) != 0;
  const uint32_t class_capacity =
      class_passed && (asked & wire::kInfoClassLength)
          ? wire::BufferCapacity(class_length)
          : 0;
  std::vector<unsigned char> class_name = GuardedBuffer(class_capacity);
  DWORD length = class_passed ? Limited(class_length, class_capacity)
                              : class_length;
  DWORD reserved = 0;
  auto ptr = [asked](uint32_t bit, DWORD* p) {
    return (asked & bit) ? p : nullptr;
  };
  // A buffer of no bytes still has an address: a caller's may be written
  // to only where it has room, which the guarded length tells.
  char empty[1];
  char* class_buffer = nullptr;
  if (class_passed) {
    class_buffer = class_capacity > 0
                       ? reinterpret_cast<char*>(class_name.data())
                       : empty;
  }
  LONG status = RegQueryInfoKeyA(
      ToHandle(key), class_buffer, ptr(wire::kInfoClassLength, &length),
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
  WriteBuffer(class_name, class_passed, 0, out);
  out->U32(length);
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
  uint32_t asked = 0, type_in = 0, size_in = 0;
  if (!in->U64(&key) || !in->Bytes(&name, &name_present) ||
      !in->U32(&asked) || !in->U32(&type_in) || !in->U32(&size_in) ||
      !in->AtEnd()) {
    return false;
  }
  const bool data_passed = (asked & wire::kValueData) != 0;
  const bool size_passed = (asked & wire::kValueSize) != 0;
  const uint32_t capacity =
      data_passed && size_passed ? wire::BufferCapacity(size_in) : 0;
  std::vector<unsigned char> data = GuardedBuffer(capacity);
  BYTE empty[1];
  DWORD reserved = 0, type = type_in;
  DWORD size = data_passed ? Limited(size_in, capacity) : size_in;
  LONG status = RegQueryValueExA(
      ToHandle(key), Text(name, name_present),
      (asked & wire::kValueReserved) ? &reserved : nullptr,
      (asked & wire::kValueType) ? &type : nullptr,
      data_passed ? (capacity > 0 ? data.data() : empty) : nullptr,
      size_passed ? &size : nullptr);
  out->U32(static_cast<uint32_t>(status));
  out->U32(type);
  // After a success the reported size says which bytes hold the value,
  // whatever they are.
  WriteBuffer(data, data_passed, status == ERROR_SUCCESS ? size : 0, out);
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
  if (!WriteAll(out, wire::Frame(wire::Hello()))) return 1;
  auto read_exactly = [in](char* data, size_t size) {
    return ReadExactly(in, data, size);
  };
  for (;;) {
    std::string request;
    switch (wire::ReadFrame(read_exactly, &request)) {
      case wire::FrameRead::kFrame:
        break;
      case wire::FrameRead::kEnd:
        return 0;
      case wire::FrameRead::kBroken:
        return 1;
    }
    WireWriter answer;
    // A request it cannot read ends the helper: the bridge then sees the
    // end of its answers and stops using it.
    if (!Serve(request, &answer)) return 1;
    if (!WriteAll(out, wire::Frame(answer.body()))) return 1;
  }
}
