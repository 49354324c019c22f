// The registry of a run through a running Wine server, which outlives the
// server: calls go to the server's registry (the bridge) until one fails
// there; when the server has ended by then, the run goes on with the
// prefix's file, into which the server saved its registry as it exited,
// and every value written so far is written again there, so that none is
// lost whenever the server went. doc/running-wine.md, "A server that goes
// away".
//
// Handles are this registry's own, each remembered by its path, so that a
// key opened through the server is opened again in the file when it is
// next used. Not thread-safe.
#ifndef QUILLFIX_REGSERVICE_FALLBACK_REGISTRY_H_
#define QUILLFIX_REGSERVICE_FALLBACK_REGISTRY_H_

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "regservice/registry.h"

namespace regservice {

class FallbackRegistry : public Registry {
 public:
  // Whether a call's result says that `online` has failed for good.
  using FailedCall = std::function<bool(LONG result)>;
  // The registry to go on with once `online` has failed: null when there
  // is none (the server still runs, or another one does).
  using Offline = std::function<std::unique_ptr<Registry>()>;

  FallbackRegistry(std::unique_ptr<Registry> online, FailedCall failed,
                   Offline offline);
  ~FallbackRegistry() override;

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
                    LPDWORD max_value_length, LPDWORD security_descriptor_size,
                    PFILETIME last_write_time) override;
  LONG CloseKey(HKEY key) override;
  LONG QueryValueEx(HKEY key, LPCSTR value_name, LPDWORD reserved,
                    LPDWORD type, LPBYTE data, LPDWORD size) override;

  // The registry calls go to now: `online`, or the one `offline` gave.
  Registry* current() const { return current_; }
  bool offline() const { return offline_ != nullptr; }

 private:
  // One key as its callers know it: below a predefined key, by path.
  struct Key {
    HKEY root = nullptr;
    std::string path;     // backslash-separated, "" for `root` itself
    bool made = false;    // by CreateKey: made again where it is missing
    HKEY inner = nullptr;  // the handle in the registry of `generation`
    int generation = 0;
  };
  struct Written {
    HKEY root;
    std::string path;
    std::string name;
    bool name_was_null;
    DWORD type;
    std::vector<BYTE> data;
  };

  // Runs `call` on the current registry with `key`'s handle there; once
  // it fails online, goes offline (when there is somewhere to go) and runs
  // it again.
  LONG Run(HKEY key, const std::function<LONG(Registry*, HKEY)>& call);
  // `key`'s handle in the current registry, opened again by its path there
  // when it was opened before going offline. False with *result when it
  // cannot be.
  bool Inner(HKEY key, HKEY* inner, LONG* result);
  LONG OpenOrCreate(HKEY key, LPCSTR sub_key, bool create,
                    const std::function<LONG(Registry*, HKEY, PHKEY)>& call,
                    PHKEY result);
  // Switches to the offline registry and writes every value again. False
  // when there is none.
  bool GoOffline();

  std::unique_ptr<Registry> online_;
  std::unique_ptr<Registry> offline_;
  FailedCall failed_;
  Offline make_offline_;
  Registry* current_;
  int generation_ = 0;
  bool gone_ = false;  // online failed and there was nowhere to go
  LONG failure_ = ERROR_SUCCESS;  // what every call returns once gone_
  uintptr_t next_handle_ = 0x1000;
  std::map<HKEY, Key> keys_;
  std::vector<Written> written_;
};

}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_FALLBACK_REGISTRY_H_
