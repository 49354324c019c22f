#include "regservice/bridge/bridge_registry.h"

#include <string.h>

#include "regservice/bridge/wire.h"

namespace regservice {
namespace bridge {
namespace {

uint64_t HandleNumber(HKEY key) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key));
}

HKEY HandleFromNumber(uint64_t number) {
  return reinterpret_cast<HKEY>(static_cast<uintptr_t>(number));
}

// What an out-parameter holds before the call, 0 for a null pointer: the
// helper starts from it, as the call may leave it alone.
uint32_t ValueOf(const DWORD* variable) {
  return variable != nullptr ? *variable : 0;
}

}  // namespace

BridgeRegistry::BridgeRegistry(Connector connect)
    : connect_(std::move(connect)) {}

BridgeRegistry::~BridgeRegistry() { Close(); }

void BridgeRegistry::Close() {
  // Dropping the channel ends the helper if it still runs.
  channel_.reset();
  failed_ = true;
}

bool BridgeRegistry::Connect() {
  if (channel_ != nullptr) return true;
  if (failed_) return false;
  channel_ = connect_();
  std::string hello;
  if (channel_ == nullptr || !channel_->Receive(&hello) || hello != Hello()) {
    Close();
    return false;
  }
  return true;
}

LONG BridgeRegistry::Call(const std::string& request, std::string* answer) {
  if (request.size() > kMaxFrame) return ERROR_NOT_ENOUGH_MEMORY;
  if (!Connect()) return kBridgeFailed;
  if (!channel_->Send(request) || !channel_->Receive(answer)) {
    Close();
    return kBridgeFailed;
  }
  return ERROR_SUCCESS;
}

LONG BridgeRegistry::CallForStatus(const std::string& request) {
  std::string answer;
  const LONG sent = Call(request, &answer);
  if (sent != ERROR_SUCCESS) return sent;
  WireReader reader(answer);
  uint32_t status = 0;
  if (!reader.U32(&status) || !reader.AtEnd()) {
    Close();
    return kBridgeFailed;
  }
  return static_cast<LONG>(status);
}

LONG BridgeRegistry::OpenOrCreate(uint32_t op, HKEY key, LPCSTR sub_key,
                                  DWORD options, REGSAM access,
                                  PHKEY result) {
  WireWriter request;
  request.U32(op);
  request.U64(HandleNumber(key));
  request.String(sub_key);
  if (op == kOpenKeyEx) {
    request.U32(options);
    request.U32(access);
  }
  request.U32(result != nullptr ? 1 : 0);
  // What the caller's variable holds now: some failures leave it as it was.
  request.U64(result != nullptr ? HandleNumber(*result) : 0);
  std::string answer;
  const LONG sent = Call(request.body(), &answer);
  if (sent != ERROR_SUCCESS) return sent;
  WireReader reader(answer);
  uint32_t status = 0;
  uint64_t handle = 0;
  if (!reader.U32(&status) || !reader.U64(&handle) || !reader.AtEnd()) {
    Close();
    return kBridgeFailed;
  }
  if (result != nullptr) *result = HandleFromNumber(handle);
  return static_cast<LONG>(status);
}

LONG BridgeRegistry::OpenKey(HKEY key, LPCSTR sub_key, PHKEY result) {
  return OpenOrCreate(kOpenKey, key, sub_key, 0, 0, result);
}

LONG BridgeRegistry::OpenKeyEx(HKEY key, LPCSTR sub_key, DWORD options,
                               REGSAM access, PHKEY result) {
  return OpenOrCreate(kOpenKeyEx, key, sub_key, options, access, result);
}

LONG BridgeRegistry::CreateKey(HKEY key, LPCSTR sub_key, PHKEY result) {
  return OpenOrCreate(kCreateKey, key, sub_key, 0, 0, result);
}

LONG BridgeRegistry::SetValueEx(HKEY key, LPCSTR value_name, DWORD reserved,
                                DWORD type, const BYTE* data, DWORD size) {
  if (data != nullptr && size > kMaxBuffer) return ERROR_NOT_ENOUGH_MEMORY;
  WireWriter request;
  request.U32(kSetValueEx);
  request.U64(HandleNumber(key));
  request.String(value_name);
  request.U32(reserved);
  request.U32(type);
  request.Bytes(data, size);
  request.U32(size);
  return CallForStatus(request.body());
}

LONG BridgeRegistry::QueryInfoKey(
    HKEY key, LPSTR class_name, LPDWORD class_length, LPDWORD reserved,
    LPDWORD subkeys, LPDWORD max_subkey_length, LPDWORD max_class_length,
    LPDWORD values, LPDWORD max_value_name_length, LPDWORD max_value_length,
    LPDWORD security_descriptor_size, PFILETIME last_write_time) {
  LPDWORD counts[7] = {subkeys, max_subkey_length, max_class_length, values,
                       max_value_name_length, max_value_length,
                       security_descriptor_size};
  const uint32_t count_bits[7] = {kInfoSubkeys, kInfoMaxSubkey, kInfoMaxClass,
                                  kInfoValues, kInfoMaxValueName,
                                  kInfoMaxValue, kInfoSecurity};
  uint32_t asked = 0;
  if (reserved != nullptr) asked |= kInfoReserved;
  if (class_name != nullptr) asked |= kInfoClassName;
  if (class_length != nullptr) asked |= kInfoClassLength;
  if (last_write_time != nullptr) asked |= kInfoLastWrite;
  for (int i = 0; i < 7; ++i) {
    if (counts[i] != nullptr) asked |= count_bits[i];
  }
  const uint32_t capacity =
      class_name != nullptr ? BufferCapacity(ValueOf(class_length)) : 0;

  WireWriter request;
  request.U32(kQueryInfoKey);
  request.U64(HandleNumber(key));
  request.U32(asked);
  request.U32(ValueOf(class_length));
  for (LPDWORD count : counts) request.U32(ValueOf(count));
  request.U32(last_write_time != nullptr ? last_write_time->dwLowDateTime : 0);
  request.U32(last_write_time != nullptr ? last_write_time->dwHighDateTime
                                         : 0);
  std::string answer;
  const LONG sent = Call(request.body(), &answer);
  if (sent != ERROR_SUCCESS) return sent;

  WireReader reader(answer);
  uint32_t status = 0, returned_length = 0, numbers[7] = {}, low = 0,
           high = 0;
  std::string class_bytes;
  bool class_present = false;
  bool ok = reader.U32(&status) && reader.Bytes(&class_bytes, &class_present) &&
            reader.U32(&returned_length);
  for (uint32_t& number : numbers) ok = ok && reader.U32(&number);
  ok = ok && reader.U32(&low) && reader.U32(&high) && reader.AtEnd();
  if (!ok || class_present != (class_name != nullptr) ||
      class_bytes.size() > capacity) {
    Close();
    return kBridgeFailed;
  }
  if (class_name != nullptr && !class_bytes.empty()) {
    memcpy(class_name, class_bytes.data(), class_bytes.size());
  }
  if (class_length != nullptr) *class_length = returned_length;
  for (int i = 0; i < 7; ++i) {
    if (counts[i] != nullptr) *counts[i] = numbers[i];
  }
  if (last_write_time != nullptr) {
    last_write_time->dwLowDateTime = low;
    last_write_time->dwHighDateTime = high;
  }
  return static_cast<LONG>(status);
}

LONG BridgeRegistry::CloseKey(HKEY key) {
  WireWriter request;
  request.U32(kCloseKey);
  request.U64(HandleNumber(key));
  return CallForStatus(request.body());
}

LONG BridgeRegistry::QueryValueEx(HKEY key, LPCSTR value_name,
                                  LPDWORD reserved, LPDWORD type, LPBYTE data,
                                  LPDWORD size) {
  uint32_t asked = 0;
  if (reserved != nullptr) asked |= kValueReserved;
  if (type != nullptr) asked |= kValueType;
  if (data != nullptr) asked |= kValueData;
  if (size != nullptr) asked |= kValueSize;
  const uint32_t capacity =
      (data != nullptr && size != nullptr) ? BufferCapacity(*size) : 0;

  WireWriter request;
  request.U32(kQueryValueEx);
  request.U64(HandleNumber(key));
  request.String(value_name);
  request.U32(asked);
  request.U32(ValueOf(type));
  request.U32(ValueOf(size));
  std::string answer;
  const LONG sent = Call(request.body(), &answer);
  if (sent != ERROR_SUCCESS) return sent;

  WireReader reader(answer);
  uint32_t status = 0, returned_type = 0, returned_size = 0;
  std::string bytes;
  bool bytes_present = false;
  if (!reader.U32(&status) || !reader.U32(&returned_type) ||
      !reader.Bytes(&bytes, &bytes_present) || !reader.U32(&returned_size) ||
      !reader.AtEnd() || bytes_present != (data != nullptr) ||
      bytes.size() > capacity) {
    Close();
    return kBridgeFailed;
  }
  if (type != nullptr) *type = returned_type;
  if (data != nullptr && !bytes.empty()) {
    memcpy(data, bytes.data(), bytes.size());
  }
  if (size != nullptr) *size = returned_size;
  return static_cast<LONG>(status);
}

}  // namespace bridge
}  // namespace regservice
