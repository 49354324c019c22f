#include "regservice/fallback_registry.h"

#include <utility>

namespace regservice {

namespace {

std::string Joined(const std::string& path, LPCSTR sub_key) {
  if (sub_key == nullptr || *sub_key == '\0') return path;
  return path.empty() ? std::string(sub_key) : path + "\\" + sub_key;
}

}  // namespace

FallbackRegistry::FallbackRegistry(std::unique_ptr<Registry> online,
                                   FailedCall failed, Offline offline)
    : online_(std::move(online)),
      failed_(std::move(failed)),
      make_offline_(std::move(offline)),
      current_(online_.get()) {}

FallbackRegistry::~FallbackRegistry() = default;

bool FallbackRegistry::Inner(HKEY key, HKEY* inner, LONG* result) {
  auto it = keys_.find(key);
  // A predefined key (or one that is no handle at all) is the same number
  // everywhere.
  if (it == keys_.end()) {
    *inner = key;
    return true;
  }
  Key& known = it->second;
  if (known.generation != generation_) {
    HKEY opened = nullptr;
    LONG status = current_->OpenKeyEx(known.root, known.path.c_str(), 0,
                                      KEY_ALL_ACCESS, &opened);
    if (status != ERROR_SUCCESS && known.made) {
      status = current_->CreateKey(known.root, known.path.c_str(), &opened);
    }
    if (status != ERROR_SUCCESS) {
      *result = status;
      return false;
    }
    known.inner = opened;
    known.generation = generation_;
  }
  *inner = known.inner;
  return true;
}

bool FallbackRegistry::GoOffline() {
  offline_ = make_offline_();
  if (offline_ == nullptr) return false;
  current_ = offline_.get();
  ++generation_;
  // What the server took may have died with it: written again, the same
  // bytes, before anything else.
  for (const Written& value : written_) {
    HKEY key = nullptr;
    if (current_->CreateKey(value.root, value.path.c_str(), &key) !=
        ERROR_SUCCESS) {
      continue;
    }
    current_->SetValueEx(key, value.name_was_null ? nullptr : value.name.c_str(),
                         0, value.type,
                         value.data.empty() ? nullptr : value.data.data(),
                         static_cast<DWORD>(value.data.size()));
    current_->CloseKey(key);
  }
  return true;
}

LONG FallbackRegistry::Run(HKEY key,
                           const std::function<LONG(Registry*, HKEY)>& call) {
  if (gone_) return failure_;
  HKEY inner = nullptr;
  LONG result = ERROR_SUCCESS;
  if (!Inner(key, &inner, &result)) return result;
  result = call(current_, inner);
  if (offline() || !failed_(result)) return result;
  if (!GoOffline()) {
    gone_ = true;
    failure_ = result;
    return result;
  }
  if (!Inner(key, &inner, &result)) return result;
  return call(current_, inner);
}

LONG FallbackRegistry::OpenOrCreate(
    HKEY key, LPCSTR sub_key, bool create,
    const std::function<LONG(Registry*, HKEY, PHKEY)>& call, PHKEY result) {
  // What the caller's variable holds goes in, as some failures leave it.
  const HKEY given = result != nullptr ? *result : nullptr;
  HKEY opened = given;
  HKEY opened_from = nullptr;
  const LONG status = Run(key, [&](Registry* registry, HKEY inner) {
    opened = given;
    opened_from = inner;
    return call(registry, inner, result != nullptr ? &opened : nullptr);
  });
  if (result == nullptr) return status;
  if (status != ERROR_SUCCESS) {
    if (opened != given) *result = opened;
    return status;
  }
  // The key itself given back (a predefined key, or RegOpenKeyA's empty
  // path): the caller's handle is that key, as it is below.
  if (opened == opened_from) {
    *result = key;
    return status;
  }
  Key made;
  auto parent = keys_.find(key);
  made.root = parent != keys_.end() ? parent->second.root : key;
  made.path = Joined(parent != keys_.end() ? parent->second.path : "", sub_key);
  made.made = create || (parent != keys_.end() && parent->second.made);
  made.inner = opened;
  made.generation = generation_;
  const HKEY handle = reinterpret_cast<HKEY>(next_handle_);
  next_handle_ += 4;
  keys_[handle] = made;
  *result = handle;
  return status;
}

LONG FallbackRegistry::OpenKey(HKEY key, LPCSTR sub_key, PHKEY result) {
  return OpenOrCreate(
      key, sub_key, false,
      [sub_key](Registry* registry, HKEY inner, PHKEY out) {
        return registry->OpenKey(inner, sub_key, out);
      },
      result);
}

LONG FallbackRegistry::OpenKeyEx(HKEY key, LPCSTR sub_key, DWORD options,
                                 REGSAM access, PHKEY result) {
  return OpenOrCreate(
      key, sub_key, false,
      [=](Registry* registry, HKEY inner, PHKEY out) {
        return registry->OpenKeyEx(inner, sub_key, options, access, out);
      },
      result);
}

LONG FallbackRegistry::CreateKey(HKEY key, LPCSTR sub_key, PHKEY result) {
  return OpenOrCreate(
      key, sub_key, true,
      [sub_key](Registry* registry, HKEY inner, PHKEY out) {
        return registry->CreateKey(inner, sub_key, out);
      },
      result);
}

LONG FallbackRegistry::SetValueEx(HKEY key, LPCSTR value_name, DWORD reserved,
                                  DWORD type, const BYTE* data, DWORD size) {
  const LONG status = Run(key, [=](Registry* registry, HKEY inner) {
    return registry->SetValueEx(inner, value_name, reserved, type, data, size);
  });
  if (status != ERROR_SUCCESS) return status;
  auto known = keys_.find(key);
  Written value;
  value.root = known != keys_.end() ? known->second.root : key;
  value.path = known != keys_.end() ? known->second.path : "";
  value.name_was_null = value_name == nullptr;
  value.name = value_name != nullptr ? value_name : "";
  value.type = type;
  if (data != nullptr) value.data.assign(data, data + size);
  written_.push_back(std::move(value));
  return status;
}

LONG FallbackRegistry::QueryInfoKey(
    HKEY key, LPSTR class_name, LPDWORD class_length, LPDWORD reserved,
    LPDWORD subkeys, LPDWORD max_subkey_length, LPDWORD max_class_length,
    LPDWORD values, LPDWORD max_value_name_length, LPDWORD max_value_length,
    LPDWORD security_descriptor_size, PFILETIME last_write_time) {
  return Run(key, [=](Registry* registry, HKEY inner) {
    return registry->QueryInfoKey(inner, class_name, class_length, reserved,
                                  subkeys, max_subkey_length,
                                  max_class_length, values,
                                  max_value_name_length, max_value_length,
                                  security_descriptor_size, last_write_time);
  });
}

LONG FallbackRegistry::QueryValueEx(HKEY key, LPCSTR value_name,
                                    LPDWORD reserved, LPDWORD type,
                                    LPBYTE data, LPDWORD size) {
  return Run(key, [=](Registry* registry, HKEY inner) {
    return registry->QueryValueEx(inner, value_name, reserved, type, data,
                                  size);
  });
}

LONG FallbackRegistry::CloseKey(HKEY key) {
  auto known = keys_.find(key);
  if (known == keys_.end()) {
    return Run(key, [](Registry* registry, HKEY inner) {
      return registry->CloseKey(inner);
    });
  }
  // A key not opened again since going offline has nothing to close.
  const bool open_here = known->second.generation == generation_;
  const HKEY inner = known->second.inner;
  keys_.erase(known);
  if (gone_) return failure_;
  return open_here ? current_->CloseKey(inner) : ERROR_SUCCESS;
}

}  // namespace regservice
