#include "regservice/testing/recording_registry.h"

#include <cstring>

namespace regservice {

const char* RegOpName(RegOp op) {
  switch (op) {
    case RegOp::kOpenKey: return "OpenKey";
    case RegOp::kOpenKeyEx: return "OpenKeyEx";
    case RegOp::kCreateKey: return "CreateKey";
    case RegOp::kSetValueEx: return "SetValueEx";
    case RegOp::kQueryInfoKey: return "QueryInfoKey";
    case RegOp::kCloseKey: return "CloseKey";
  }
  return "?";
}

RecordingRegistry::RecordingRegistry() { keys_[""]; }

void RecordingRegistry::AddKey(const std::string& path) {
  std::string joined;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) {
      joined += (joined.empty() ? "" : "\\") + path.substr(start, end - start);
      keys_[joined];
    }
    start = end + 1;
  }
}

bool RecordingRegistry::HasKey(const std::string& path) const {
  return keys_.count(Join("", path.c_str())) != 0;
}

const RecordingRegistry::StoredValue* RecordingRegistry::FindValue(
    const std::string& key_path, const std::string& value_name) const {
  auto key = keys_.find(Join("", key_path.c_str()));
  if (key == keys_.end()) return nullptr;
  auto value = key->second.values.find(value_name);
  return value == key->second.values.end() ? nullptr : &value->second;
}

void RecordingRegistry::SetClass(const std::string& key_path,
                                 const std::string& class_name) {
  AddKey(key_path);
  keys_[Join("", key_path.c_str())].class_name = class_name;
}

void RecordingRegistry::FailOn(RegOp op, const std::string& name, LONG code) {
  failures_[{op, name}] = code;
}

std::vector<std::string> RecordingRegistry::CallSummary() const {
  std::vector<std::string> summary;
  for (const RegCall& call : calls_) {
    summary.push_back(std::string(RegOpName(call.op)) + " " + call.name);
  }
  return summary;
}

std::string RecordingRegistry::PathOf(HKEY key) const {
  std::string path;
  return Resolve(key, &path) ? path : "<invalid>";
}

bool RecordingRegistry::Resolve(HKEY key, std::string* path) const {
  if (key == HKEY_CURRENT_USER) {
    path->clear();
    return true;
  }
  auto it = open_.find(key);
  if (it == open_.end() || keys_.count(it->second) == 0) return false;
  *path = it->second;
  return true;
}

// Appends the components of `sub_key` to `base`, skipping empty ones, the
// way a trailing or doubled backslash is taken to name the same key.
std::string RecordingRegistry::Join(const std::string& base,
                                    const char* sub_key) {
  std::string path = base;
  if (sub_key == nullptr) return path;
  std::string rest = sub_key;
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('\\', start);
    if (end == std::string::npos) end = rest.size();
    if (end > start) {
      path += (path.empty() ? "" : "\\") + rest.substr(start, end - start);
    }
    start = end + 1;
  }
  return path;
}

LONG RecordingRegistry::InjectedFailure(RegOp op,
                                        const std::string& name) const {
  auto it = failures_.find({op, name});
  return it == failures_.end() ? ERROR_SUCCESS : it->second;
}

RegCall& RecordingRegistry::Record(RegOp op, HKEY key,
                                   const std::string& name) {
  RegCall call;
  call.op = op;
  call.key = key;
  call.name = name;
  calls_.push_back(call);
  return calls_.back();
}

LONG RecordingRegistry::Open(RegCall& call, HKEY key, LPCSTR sub_key,
                             PHKEY result, bool create) {
  if (result == nullptr) return call.result = ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (LONG failure = InjectedFailure(call.op, call.name)) {
    return call.result = failure;
  }
  std::string base;
  if (!Resolve(key, &base)) return call.result = ERROR_INVALID_HANDLE;
  if (sub_key != nullptr && sub_key[0] == '\\') {
    return call.result = ERROR_BAD_PATHNAME;
  }
  std::string path = Join(base, sub_key);
  if (keys_.count(path) == 0) {
    if (!create) return call.result = ERROR_FILE_NOT_FOUND;
    AddKey(path);
  }
  HKEY handle = reinterpret_cast<HKEY>(next_handle_);
  next_handle_ += 4;
  open_[handle] = path;
  *result = call.returned = handle;
  return call.result = ERROR_SUCCESS;
}

LONG RecordingRegistry::OpenKey(HKEY key, LPCSTR sub_key, PHKEY result) {
  RegCall& call = Record(RegOp::kOpenKey, key, sub_key ? sub_key : "");
  call.name_was_null = sub_key == nullptr;
  if (result != nullptr && (sub_key == nullptr || sub_key[0] == 0) &&
      InjectedFailure(call.op, call.name) == ERROR_SUCCESS) {
    // An empty path hands back the very handle passed in.
    std::string path;
    if (!Resolve(key, &path)) return call.result = ERROR_INVALID_HANDLE;
    *result = call.returned = key;
    return call.result = ERROR_SUCCESS;
  }
  return Open(call, key, sub_key, result, /*create=*/false);
}

LONG RecordingRegistry::OpenKeyEx(HKEY key, LPCSTR sub_key, DWORD options,
                                  REGSAM access, PHKEY result) {
  RegCall& call = Record(RegOp::kOpenKeyEx, key, sub_key ? sub_key : "");
  call.name_was_null = sub_key == nullptr;
  call.options = options;
  call.access = access;
  return Open(call, key, sub_key, result, /*create=*/false);
}

LONG RecordingRegistry::CreateKey(HKEY key, LPCSTR sub_key, PHKEY result) {
  RegCall& call = Record(RegOp::kCreateKey, key, sub_key ? sub_key : "");
  call.name_was_null = sub_key == nullptr;
  return Open(call, key, sub_key, result, /*create=*/true);
}

LONG RecordingRegistry::SetValueEx(HKEY key, LPCSTR value_name,
                                   DWORD reserved, DWORD type,
                                   const BYTE* data, DWORD size) {
  RegCall& call =
      Record(RegOp::kSetValueEx, key, value_name ? value_name : "");
  call.name_was_null = value_name == nullptr;
  call.options = reserved;
  call.type = type;
  if (data != nullptr) call.data.assign(data, data + size);
  if (LONG failure = InjectedFailure(call.op, call.name)) {
    return call.result = failure;
  }
  std::string path;
  if (!Resolve(key, &path)) return call.result = ERROR_INVALID_HANDLE;
  if (data == nullptr && size != 0) return call.result = ERROR_INVALID_PARAMETER;
  keys_[path].values[call.name] = StoredValue{type, call.data};
  return call.result = ERROR_SUCCESS;
}

LONG RecordingRegistry::QueryInfoKey(
    HKEY key, LPSTR class_name, LPDWORD class_length, LPDWORD /*reserved*/,
    LPDWORD subkeys, LPDWORD max_subkey_length, LPDWORD max_class_length,
    LPDWORD values, LPDWORD max_value_name_length, LPDWORD max_value_length,
    LPDWORD security_descriptor_size, PFILETIME last_write_time) {
  std::string path;
  bool valid = Resolve(key, &path);
  RegCall& call = Record(RegOp::kQueryInfoKey, key,
                         !valid ? "<invalid>"
                         : path.empty() ? kRootName : path);
  if (LONG failure = InjectedFailure(call.op, call.name)) {
    return call.result = failure;
  }
  if (!valid) return call.result = ERROR_INVALID_HANDLE;
  if (class_name != nullptr && class_length == nullptr) {
    return call.result = ERROR_INVALID_PARAMETER;
  }
  const Key& node = keys_[path];
  if (class_length != nullptr) {
    DWORD needed = static_cast<DWORD>(node.class_name.size());
    if (class_name != nullptr) {
      if (*class_length <= needed) {
        *class_length = needed;
        return call.result = ERROR_MORE_DATA;
      }
      std::memcpy(class_name, node.class_name.c_str(), needed + 1);
    }
    *class_length = needed;
  }
  DWORD child_count = 0, longest_child = 0;
  std::string prefix = path.empty() ? "" : path + "\\";
  for (const auto& entry : keys_) {
    const std::string& other = entry.first;
    if (other.size() <= prefix.size() || other.compare(0, prefix.size(),
                                                       prefix) != 0) {
      continue;
    }
    std::string rest = other.substr(prefix.size());
    if (rest.find('\\') != std::string::npos) continue;
    ++child_count;
    if (rest.size() > longest_child) longest_child = rest.size();
  }
  DWORD longest_name = 0, longest_data = 0;
  for (const auto& value : node.values) {
    if (value.first.size() > longest_name) longest_name = value.first.size();
    if (value.second.data.size() > longest_data) {
      longest_data = value.second.data.size();
    }
  }
  if (subkeys) *subkeys = child_count;
  if (max_subkey_length) *max_subkey_length = longest_child;
  if (max_class_length) *max_class_length = 0;
  if (values) *values = static_cast<DWORD>(node.values.size());
  if (max_value_name_length) *max_value_name_length = longest_name;
  if (max_value_length) *max_value_length = longest_data;
  if (security_descriptor_size) *security_descriptor_size = 0;
  if (last_write_time) *last_write_time = FILETIME{0, 0};
  return call.result = ERROR_SUCCESS;
}

LONG RecordingRegistry::CloseKey(HKEY key) {
  std::string path;
  bool valid = Resolve(key, &path);
  RegCall& call = Record(RegOp::kCloseKey, key,
                         !valid ? "<invalid>"
                         : path.empty() ? kRootName : path);
  if (LONG failure = InjectedFailure(call.op, call.name)) {
    if (key != HKEY_CURRENT_USER) open_.erase(key);
    return call.result = failure;
  }
  if (!valid) {
    ++bad_closes_;
    return call.result = ERROR_INVALID_HANDLE;
  }
  if (key != HKEY_CURRENT_USER) open_.erase(key);
  return call.result = ERROR_SUCCESS;
}

}  // namespace regservice

namespace regservice {

LONG RecordingRegistry::QueryValueEx(HKEY key, LPCSTR value_name, LPDWORD,
                                     LPDWORD type, LPBYTE data,
                                     LPDWORD size) {
  std::string path;
  if (!Resolve(key, &path)) return ERROR_INVALID_HANDLE;
  const StoredValue* value =
      FindValue(path, value_name != nullptr ? value_name : "");
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;
  if (type != nullptr) *type = value->type;
  LONG result = ERROR_SUCCESS;
  if (data != nullptr) {
    if (size == nullptr) return ERROR_INVALID_PARAMETER;
    if (value->data.size() > *size) {
      result = ERROR_MORE_DATA;
    } else if (!value->data.empty()) {
      std::memcpy(data, value->data.data(), value->data.size());
    }
  }
  if (size != nullptr) *size = static_cast<DWORD>(value->data.size());
  return result;
}

}  // namespace regservice
