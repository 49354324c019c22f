// The messages between the registry bridge (Linux) and its helper
// (quillfix-reghelper.exe, run under Wine): their encoding, the frames that
// carry them, and the numbers both sides agree on. Every message is laid
// out byte for byte in doc/helper-protocol.md; this file does not repeat
// it. Shared by both sides and built by both toolchains: plain C++ without
// platform headers.
#ifndef QUILLFIX_REGSERVICE_BRIDGE_WIRE_H_
#define QUILLFIX_REGSERVICE_BRIDGE_WIRE_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

namespace regservice {
namespace bridge {

const uint32_t kMagic = 0x51524748;  // "HGRQ" on the wire
const uint32_t kVersion = 3;
const uint32_t kAbsent = 0xFFFFFFFFu;
// Neither side accepts a longer frame: a registry value is far smaller,
// and a garbage length must not make anyone allocate gigabytes.
const uint32_t kMaxFrame = 64u << 20;
// The largest buffer either side hands a call: whatever the call writes
// into it must come back in one frame.
const uint32_t kMaxBuffer = kMaxFrame / 2;
// What the helper fills a buffer with before the call: not a NUL, which
// is what the calls write last.
const unsigned char kGuardByte = 0xA5;

enum Op : uint32_t {
  kOpenKey = 1,
  kOpenKeyEx = 2,
  kCreateKey = 3,
  kSetValueEx = 4,
  kQueryInfoKey = 5,
  kCloseKey = 6,
  kQueryValueEx = 7,
};

// Which of RegQueryInfoKeyA's outputs the caller asked for (a bit each).
enum InfoOutput : uint32_t {
  kInfoReserved = 1u << 0,  // a non-null lpReserved, which Windows refuses
  kInfoSubkeys = 1u << 1,
  kInfoMaxSubkey = 1u << 2,
  kInfoMaxClass = 1u << 3,
  kInfoValues = 1u << 4,
  kInfoMaxValueName = 1u << 5,
  kInfoMaxValue = 1u << 6,
  kInfoSecurity = 1u << 7,
  kInfoLastWrite = 1u << 8,
  kInfoClassName = 1u << 9,
  kInfoClassLength = 1u << 10,
};

// Which of RegQueryValueExA's pointers the caller passed.
enum ValueOutput : uint32_t {
  kValueReserved = 1u << 0,
  kValueType = 1u << 1,
  kValueData = 1u << 2,
  kValueSize = 1u << 3,
};

// The bytes a buffer of `asked` bytes holds on the wire: no more than
// kMaxBuffer. The helper tells the call no larger size.
inline uint32_t BufferCapacity(uint32_t asked) {
  return asked < kMaxBuffer ? asked : kMaxBuffer;
}

// How many bytes at the start of a buffer the call wrote, the helper's
// buffer having been filled with kGuardByte: up to the last byte that is
// not the guard, and at least `known`, the bytes the call said it filled.
// A written byte that happens to be the guard is found unless it is the
// last one written beyond `known`; the calls end what they write beyond
// the data with a NUL.
inline uint32_t WrittenLength(const unsigned char* buffer, uint32_t capacity,
                              uint32_t known) {
  uint32_t length = capacity;
  while (length > 0 && buffer[length - 1] == kGuardByte) --length;
  if (known > capacity) known = capacity;
  return length > known ? length : known;
}

// Builds a message body.
class WireWriter {
 public:
  void U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<char>(v >> (8 * i)));
  }
  void U64(uint64_t v) {
    U32(static_cast<uint32_t>(v));
    U32(static_cast<uint32_t>(v >> 32));
  }
  // A null pointer is written as kAbsent.
  void Bytes(const void* data, uint32_t size) {
    if (data == nullptr) {
      U32(kAbsent);
      return;
    }
    U32(size);
    out_.append(static_cast<const char*>(data), size);
  }
  void String(const char* text) {
    Bytes(text, text == nullptr ? 0 : static_cast<uint32_t>(strlen(text)));
  }

  const std::string& body() const { return out_; }

 private:
  std::string out_;
};

// Reads a message body. Every read fails, and keeps failing, once the
// body is too short; callers check ok() (or a read's result) at the end.
class WireReader {
 public:
  WireReader(const char* data, size_t size) : data_(data), size_(size) {}
  explicit WireReader(const std::string& body)
      : WireReader(body.data(), body.size()) {}

  bool U32(uint32_t* v) {
    if (!Have(4)) return false;
    *v = 0;
    for (int i = 0; i < 4; ++i) {
      *v |= static_cast<uint32_t>(static_cast<unsigned char>(data_[pos_ + i]))
            << (8 * i);
    }
    pos_ += 4;
    return true;
  }
  bool U64(uint64_t* v) {
    uint32_t low = 0, high = 0;
    if (!U32(&low) || !U32(&high)) return false;
    *v = (static_cast<uint64_t>(high) << 32) | low;
    return true;
  }
  // *present is false for kAbsent, and *bytes then empty.
  bool Bytes(std::string* bytes, bool* present) {
    uint32_t size = 0;
    if (!U32(&size)) return false;
    *present = size != kAbsent;
    bytes->clear();
    if (!*present) return true;
    if (!Have(size)) return false;
    bytes->assign(data_ + pos_, size);
    pos_ += size;
    return true;
  }

  bool ok() const { return ok_; }
  // Whether every byte was read: an answer with bytes left over is
  // malformed too.
  bool AtEnd() const { return ok_ && pos_ == size_; }

 private:
  bool Have(size_t n) {
    if (!ok_ || size_ - pos_ < n) ok_ = false;
    return ok_;
  }
  const char* data_;
  size_t size_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// The helper's first message, before it reads any request: the bridge
// takes no other.
inline std::string Hello() {
  WireWriter hello;
  hello.U32(kMagic);
  hello.U32(kVersion);
  return hello.body();
}

// `body` with its length in front: the bytes that carry one message.
inline std::string Frame(const std::string& body) {
  WireWriter length;
  length.U32(static_cast<uint32_t>(body.size()));
  return length.body() + body;
}

// What ReadFrame found.
enum class FrameRead {
  kFrame,   // a whole frame, its body in *body
  kEnd,     // not even the length: the stream ended or failed
  kBroken,  // a length over kMaxFrame, or a body cut off
};

// Reads the next frame into *body with `read_exactly(char* data, size_t
// size)`, which fills all of `data` or returns false.
template <typename ReadExactly>
FrameRead ReadFrame(ReadExactly read_exactly, std::string* body) {
  char length_bytes[4];
  if (!read_exactly(length_bytes, sizeof length_bytes)) return FrameRead::kEnd;
  uint32_t length = 0;
  WireReader(length_bytes, sizeof length_bytes).U32(&length);
  if (length > kMaxFrame) return FrameRead::kBroken;
  body->assign(length, '\0');
  if (length > 0 && !read_exactly(&(*body)[0], length)) {
    return FrameRead::kBroken;
  }
  return FrameRead::kFrame;
}

}  // namespace bridge
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_BRIDGE_WIRE_H_
