// The result of a call of the prefix's file store or of the user.reg format
// layer: success, or what failed, with the errno and the message of the
// failing call. The Registry over the prefix turns it into a Windows error
// code; nothing below it speaks those.
#ifndef QUILLFIX_REGSERVICE_STATUS_H_
#define QUILLFIX_REGSERVICE_STATUS_H_

#include <string.h>

#include <string>
#include <utility>

namespace regservice {

class Status {
 public:
  enum Code {
    kOk,
    kNotFound,      // the prefix, user.reg or a key is not there
    kCorrupt,       // a file Wine would not load
    kReadError,     // reading failed: error() and the failing call
    kWriteError,    // writing failed: error() and the failing call
    kAccessDenied,  // the prefix may not be written
    kAlreadyExists,  // something is already where a file was to be made
    kBusy,          // a wineserver serves the prefix, or may unseen
    kInvalidArgument,
  };

  Status() = default;
  Status(Code code, std::string message, int error = 0)
      : code_(code), error_(error), message_(std::move(message)) {}

  // `call` (such as "rename user.reg.tmp") failed with errno `error`.
  static Status FromErrno(Code code, int error, const std::string& call) {
    return Status(code, call + ": " + strerror(error), error);
  }

  bool ok() const { return code_ == kOk; }
  Code code() const { return code_; }
  int error() const { return error_; }  // errno; 0 when none
  const std::string& message() const { return message_; }

 private:
  Code code_ = kOk;
  int error_ = 0;
  std::string message_;
};

}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_STATUS_H_
