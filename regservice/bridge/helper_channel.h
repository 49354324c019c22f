// The connection between the registry bridge and its helper: frames of
// regservice/bridge/wire.h, one request and then one answer.
#ifndef QUILLFIX_REGSERVICE_BRIDGE_HELPER_CHANNEL_H_
#define QUILLFIX_REGSERVICE_BRIDGE_HELPER_CHANNEL_H_

#include <functional>
#include <string>

namespace regservice {
namespace bridge {

class HelperChannel {
 public:
  virtual ~HelperChannel() = default;

  // Sends one frame with `body`. False when the helper cannot take it.
  virtual bool Send(const std::string& body) = 0;
  // Reads the next frame's body. False on the end of the answers, a
  // frame longer than kMaxFrame, or no complete frame in the time allowed.
  virtual bool Receive(std::string* body) = 0;
};

// A channel over two file descriptors (the helper's standard input and
// output), with a time limit for each frame. Takes ownership of both.
class FdChannel : public HelperChannel {
 public:
  // `still_running`, when given, is asked while waiting for an answer; once
  // it says no, the wait ends (a dead helper's output may stay open in
  // processes it started).
  FdChannel(int to_helper, int from_helper, int timeout_ms,
            std::function<bool()> still_running = nullptr);
  ~FdChannel() override;
  FdChannel(const FdChannel&) = delete;
  FdChannel& operator=(const FdChannel&) = delete;

  bool Send(const std::string& body) override;
  bool Receive(std::string* body) override;

  void set_timeout_ms(int timeout_ms) { timeout_ms_ = timeout_ms; }
  // Closes the helper's input, which tells it to end.
  void CloseInput();

 private:
  bool ReadExactly(char* data, size_t size, long long deadline_ms);

  int to_helper_;
  int from_helper_;
  int timeout_ms_;
  std::function<bool()> still_running_;
};

}  // namespace bridge
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_BRIDGE_HELPER_CHANNEL_H_
