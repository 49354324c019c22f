// A Registry for tests: an in-memory registry below HKEY_CURRENT_USER that
// records every call with its arguments and can be told to fail chosen
// calls. Key names are compared exactly (letter case included).
#ifndef QUILLFIX_REGSERVICE_TESTING_RECORDING_REGISTRY_H_
#define QUILLFIX_REGSERVICE_TESTING_RECORDING_REGISTRY_H_

#include <map>
#include <set>
#include <string>
#include <vector>

#include "regservice/registry.h"

namespace regservice {

enum class RegOp { kOpenKey, kOpenKeyEx, kCreateKey, kSetValueEx,
                   kQueryInfoKey, kCloseKey };

// "OpenKey", "OpenKeyEx", ...
const char* RegOpName(RegOp op);

// One call as it was made, with what it returned.
struct RegCall {
  RegOp op;
  HKEY key = nullptr;      // the handle passed in
  std::string name;        // sub key or value name as passed; for
                           // QueryInfoKey and CloseKey the path of `key`
  bool name_was_null = false;
  DWORD options = 0;       // ulOptions or Reserved
  REGSAM access = 0;
  DWORD type = 0;
  std::vector<BYTE> data;
  LONG result = ERROR_SUCCESS;
  HKEY returned = nullptr;  // the handle handed out, if any
};

class RecordingRegistry : public Registry {
 public:
  struct StoredValue {
    DWORD type;
    std::vector<BYTE> data;
  };

  // The name under which HKEY_CURRENT_USER appears in call records and in
  // FailOn.
  static constexpr const char* kRootName = "HKEY_CURRENT_USER";

  RecordingRegistry();

  // Makes the key at `path` (components separated by backslashes, below
  // HKEY_CURRENT_USER) and every key above it.
  void AddKey(const std::string& path);
  bool HasKey(const std::string& path) const;
  // Null when the key or value does not exist.
  const StoredValue* FindValue(const std::string& key_path,
                               const std::string& value_name) const;
  // The class text that QueryInfoKey reports for a key.
  void SetClass(const std::string& key_path, const std::string& class_name);

  // Makes every later call of `op` whose name (see RegCall::name) equals
  // `name` fail with `code`, without any other effect.
  void FailOn(RegOp op, const std::string& name,
              LONG code = ERROR_ACCESS_DENIED);

  const std::vector<RegCall>& calls() const { return calls_; }
  // Each call as "Op name", in order: {"OpenKeyEx A", "CreateKey B", ...}.
  std::vector<std::string> CallSummary() const;
  void ClearCalls() { calls_.clear(); }

  // Handles handed out and not closed yet (HKEY_CURRENT_USER never counts).
  int OpenHandleCount() const { return static_cast<int>(open_.size()); }
  // Closes of a handle that was null, unknown or already closed.
  int BadCloseCount() const { return bad_closes_; }
  // The key path behind an open handle ("" for HKEY_CURRENT_USER).
  std::string PathOf(HKEY key) const;

  LONG OpenKey(HKEY key, LPCSTR sub_key, PHKEY result) override;
  LONG OpenKeyEx(HKEY key, LPCSTR sub_key, DWORD options, REGSAM access,
                 PHKEY result) override;
  LONG CreateKey(HKEY key, LPCSTR sub_key, PHKEY result) override;
  LONG SetValueEx(HKEY key, LPCSTR value_name, DWORD reserved, DWORD type,
                  const BYTE* data, DWORD size) override;
  LONG QueryInfoKey(HKEY key, LPSTR class_name, LPDWORD class_length,
                    LPDWORD reserved, LPDWORD subkeys,
                    LPDWORD max_subkey_length, LPDWORD max_class_length,
                    LPDWORD values, LPDWORD max_value_name_length,
                    LPDWORD max_value_length,
                    LPDWORD security_descriptor_size,
                    PFILETIME last_write_time) override;
  LONG CloseKey(HKEY key) override;
  // Not recorded: reads only what the other calls stored.
  LONG QueryValueEx(HKEY key, LPCSTR value_name, LPDWORD reserved,
                    LPDWORD type, LPBYTE data, LPDWORD size) override;

 private:
  struct Key {
    std::string class_name;
    std::map<std::string, StoredValue> values;
  };

  // Resolves `key` to a key path; false for a null, unknown or closed handle.
  bool Resolve(HKEY key, std::string* path) const;
  static std::string Join(const std::string& base, const char* sub_key);
  LONG InjectedFailure(RegOp op, const std::string& name) const;
  RegCall& Record(RegOp op, HKEY key, const std::string& name);
  LONG Open(RegCall& call, HKEY key, LPCSTR sub_key, PHKEY result,
            bool create);

  std::map<std::string, Key> keys_;  // "" is HKEY_CURRENT_USER
  std::map<HKEY, std::string> open_;
  std::map<std::pair<RegOp, std::string>, LONG> failures_;
  std::vector<RegCall> calls_;
  uintptr_t next_handle_ = 0x1000;
  int bad_closes_ = 0;
};

}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_TESTING_RECORDING_REGISTRY_H_
