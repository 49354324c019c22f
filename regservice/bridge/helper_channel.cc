#include "regservice/bridge/helper_channel.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include "regservice/bridge/wire.h"
#include "regservice/prefix/env.h"

namespace regservice {
namespace bridge {

using prefix::NowMs;

namespace {

// How often a wait looks whether the helper still runs.
const int kLivenessCheckMs = 100;

// Keeps a write to a closed pipe from raising SIGPIPE, which would end the
// whole program: blocks it in this thread for the scope, and takes back a
// SIGPIPE the write raised, if none was pending before.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeGuard() {
    if (!was_pending_) {
      struct timespec zero = {0, 0};
      while (sigtimedwait(&pipe_, nullptr, &zero) == SIGPIPE) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }

 private:
  sigset_t pipe_, old_;
  bool was_pending_ = false;
};

}  // namespace

FdChannel::FdChannel(int to_helper, int from_helper, int timeout_ms,
                     std::function<bool()> still_running)
    : to_helper_(to_helper),
      from_helper_(from_helper),
      timeout_ms_(timeout_ms),
      still_running_(std::move(still_running)) {}

FdChannel::~FdChannel() {
  CloseInput();
  if (from_helper_ >= 0) close(from_helper_);
}

void FdChannel::CloseInput() {
  if (to_helper_ >= 0) close(to_helper_);
  to_helper_ = -1;
}

bool FdChannel::Send(const std::string& body) {
  if (to_helper_ < 0 || body.size() > kMaxFrame) return false;
  const std::string bytes = Frame(body);
  SigpipeGuard no_sigpipe;
  long long deadline = NowMs() + timeout_ms_;
  size_t done = 0;
  while (done < bytes.size()) {
    long long left = deadline - NowMs();
    if (left <= 0) return false;
    struct pollfd ready = {to_helper_, POLLOUT, 0};
    int polled = poll(&ready, 1, static_cast<int>(left));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return false;
    ssize_t put = write(to_helper_, bytes.data() + done, bytes.size() - done);
    if (put < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

bool FdChannel::ReadExactly(char* data, size_t size, long long deadline_ms) {
  while (size > 0) {
    long long left = deadline_ms - NowMs();
    if (left <= 0) return false;
    int slice = static_cast<int>(left);
    if (still_running_ && slice > kLivenessCheckMs) slice = kLivenessCheckMs;
    struct pollfd ready = {from_helper_, POLLIN, 0};
    int polled = poll(&ready, 1, slice);
    if (polled < 0 && errno != EINTR) return false;
    if (polled <= 0) {
      if (still_running_ && !still_running_()) return false;
      continue;
    }
    ssize_t got = read(from_helper_, data, size);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return false;  // the end of the answers, or an error
    data += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

bool FdChannel::Receive(std::string* body) {
  if (from_helper_ < 0) return false;
  const long long deadline = NowMs() + timeout_ms_;
  auto read_exactly = [this, deadline](char* data, size_t size) {
    return ReadExactly(data, size, deadline);
  };
  return ReadFrame(read_exactly, body) == FrameRead::kFrame;
}

}  // namespace bridge
}  // namespace regservice
