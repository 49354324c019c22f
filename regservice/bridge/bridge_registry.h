// The Registry that forwards each call to a helper program running inside
// the Wine prefix (quillfix-reghelper.exe), which makes it with the real
// advapi32 function and sends back its result and out-parameters. Used
// while a wineserver serves the prefix: the registry then lives in that
// server, and only a Wine process can change it.
//
// Handles are the numbers Wine gave; HKEY_CURRENT_USER passes as it is.
// The helper is started on the first call. Once it cannot be started, dies,
// answers out of turn or does not answer in time, that call and every
// later one fail with kBridgeFailed, and no new helper is tried. A call
// whose request would not fit in one frame fails alone, unsent.
//
// Not thread-safe.
#ifndef QUILLFIX_REGSERVICE_BRIDGE_BRIDGE_REGISTRY_H_
#define QUILLFIX_REGSERVICE_BRIDGE_BRIDGE_REGISTRY_H_

#include <functional>
#include <memory>
#include <string>

#include "regservice/bridge/helper_channel.h"
#include "regservice/registry.h"

namespace regservice {
namespace bridge {

// What every call returns once the helper is gone: the registry's own
// "I/O operation failed unrecoverably".
const LONG kBridgeFailed = ERROR_REGISTRY_IO_FAILED;

class BridgeRegistry : public Registry {
 public:
  // Starts a helper and returns the channel to it (its hello not read
  // yet), or null when it cannot be started.
  using Connector = std::function<std::unique_ptr<HelperChannel>()>;

  explicit BridgeRegistry(Connector connect);
  ~BridgeRegistry() override;

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

  // Ends the helper (it exits when its input closes). Every later call
  // fails. Default() runs it at normal exit; the bridge itself runs it when
  // the helper lets it down.
  void Close();

  // Whether the helper has failed (or the bridge was closed).
  bool failed() const { return failed_; }

 private:
  // Sends a request and reads its answer: ERROR_SUCCESS, or
  // kBridgeFailed, and the bridge closed from then on, when that does not
  // work. A request too large for one frame is not sent: that call alone
  // fails, with ERROR_NOT_ENOUGH_MEMORY.
  LONG Call(const std::string& request, std::string* answer);
  // A call whose answer is its status alone.
  LONG CallForStatus(const std::string& request);
  bool Connect();
  LONG OpenOrCreate(uint32_t op, HKEY key, LPCSTR sub_key, DWORD options,
                    REGSAM access, PHKEY result);

  Connector connect_;
  std::unique_ptr<HelperChannel> channel_;
  bool failed_ = false;
};

}  // namespace bridge
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_BRIDGE_BRIDGE_REGISTRY_H_
