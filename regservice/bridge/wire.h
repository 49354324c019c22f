// The messages between the registry bridge (Linux) and its helper
// (quillfix-reghelper.exe, run under Wine). Shared by both sides; plain
// C++ without platform headers.
//
// Every message is a frame: a 32-bit little-endian length, then that many
// bytes. Inside, numbers are little-endian (u32, u64), and a string or a
// byte block is a u32 length then its bytes, with kAbsent as the length of
// a null pointer. Handles travel as u64: the Linux numbers, where
// HKEY_CURRENT_USER is 0x80000001; the helper sign-extends 32-bit numbers
// into Windows handles and narrows them back, as Windows itself does
// between 32- and 64-bit processes.
//
// The helper first sends a hello: kMagic and kVersion. Then, for each
// request (an Op and its arguments), one answer: the result (u32, the
// Windows error code) and the out-parameters of that Op.
//
// An out-parameter travels both ways: the request carries what the
// caller's variable holds (0 for a null pointer), the helper starts its own
// from that, and the answer carries it back. The real call leaves some of
// them alone when it fails early, and the caller then gets its own value
// back. A buffer is not sent in: the helper fills its own with kGuardByte
// and answers with the bytes the call wrote (WrittenLength).
//
//   kOpenKey      key, sub_key, result?     -> result, handle
//   kOpenKeyEx    key, sub_key, options, access, result?
//                                           -> result, handle
//   kCreateKey    key, sub_key, result?     -> result, handle
//   kSetValueEx   key, name, reserved, type, data, size -> result
//   kQueryInfoKey key, mask, class length, the seven counts, last write
//                 (low, high)
//                 -> result, class bytes, class length, the seven counts,
//                    last write (low, high)
//   kCloseKey     key                       -> result
//   kQueryValueEx key, name, mask, type, size
//                 -> result, type, data bytes, size
// "result?" is a u32 presence flag and then the caller's handle (u64);
// "mask" says which pointers the caller passed (InfoOutput, ValueOutput);
// a buffer's capacity is the size the caller passed with it (at most
// kMaxFrame / 2; the helper tells the call no more). The seven
// counts are RegQueryInfoKeyA's, in its order, subkeys to security.
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
  // The body with its length in front, ready to send.
  std::string Frame() const {
    WireWriter framed;
    framed.U32(static_cast<uint32_t>(out_.size()));
    return framed.out_ + out_;
  }

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

}  // namespace bridge
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_BRIDGE_WIRE_H_
