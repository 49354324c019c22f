// Frames as both sides write and read them, and which bytes of a guarded
// buffer a call wrote.
#include "regservice/bridge/wire.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace regservice {
namespace bridge {
namespace {

// A stream of bytes read as the channels read theirs: all of a request
// or nothing.
class ByteStream {
 public:
  explicit ByteStream(std::string bytes) : bytes_(std::move(bytes)) {}
  bool ReadExactly(char* data, size_t size) {
    asked_.push_back(size);
    if (bytes_.size() - pos_ < size) return false;
    bytes_.copy(data, size, pos_);
    pos_ += size;
    return true;
  }
  // The sizes asked for, in order.
  const std::vector<size_t>& asked() const { return asked_; }

 private:
  std::string bytes_;
  size_t pos_ = 0;
  std::vector<size_t> asked_;
};

FrameRead ReadFrom(ByteStream* stream, std::string* body) {
  return ReadFrame(
      [stream](char* data, size_t size) {
        return stream->ReadExactly(data, size);
      },
      body);
}

TEST(FrameTest, LengthInFrontLittleEndian) {
  EXPECT_EQ(std::string("\x03\0\0\0abc", 7), Frame("abc"));
  EXPECT_EQ(std::string(4, '\0'), Frame(""));
  EXPECT_EQ(std::string("\x00\x01\0\0", 4) + std::string(256, 'x'),
            Frame(std::string(256, 'x')));
}

TEST(FrameTest, ReadsOneFrameAndTellsAnEndFromABrokenOne) {
  struct Case {
    const char* name;
    std::string stream;
    FrameRead expected;
    std::string body;  // when kFrame
    size_t reads;      // how many reads it took: none past a bad length
  } cases[] = {
      {"a frame", Frame("abc"), FrameRead::kFrame, "abc", 2},
      {"an empty body", Frame(""), FrameRead::kFrame, "", 1},
      {"a frame and more", Frame("ab") + Frame("cd"), FrameRead::kFrame, "ab",
       2},
      {"nothing", "", FrameRead::kEnd, "", 1},
      {"the length cut off", std::string("\x03\0", 2), FrameRead::kEnd, "", 1},
      {"the body cut off", Frame("abc").substr(0, 6), FrameRead::kBroken, "",
       2},
      {"one byte over the limit", std::string("\x01\0\0\x04", 4) + "xxxx",
       FrameRead::kBroken, "", 1},
      {"a garbage length", "\xff\xff\xff\xffxxxx", FrameRead::kBroken, "", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteStream stream(c.stream);
    std::string body = "left over";
    EXPECT_EQ(c.expected, ReadFrom(&stream, &body));
    if (c.expected == FrameRead::kFrame) {
      EXPECT_EQ(c.body, body);
    }
    EXPECT_EQ(c.reads, stream.asked().size());
  }
}

TEST(FrameTest, FramesInARowComeBackInOrder) {
  ByteStream stream(Frame("first") + Frame("") + Frame("third"));
  std::string body;
  for (const char* expected : {"first", "", "third"}) {
    ASSERT_EQ(FrameRead::kFrame, ReadFrom(&stream, &body));
    EXPECT_EQ(expected, body);
  }
  EXPECT_EQ(FrameRead::kEnd, ReadFrom(&stream, &body));
}

TEST(BufferCapacityTest, TheCallersSizeUpToTheLimit) {
  EXPECT_EQ(0u, BufferCapacity(0));
  EXPECT_EQ(4u, BufferCapacity(4));
  EXPECT_EQ(kMaxBuffer, BufferCapacity(kMaxBuffer));
  EXPECT_EQ(kMaxBuffer, BufferCapacity(kMaxBuffer + 1));
  EXPECT_EQ(kMaxBuffer, BufferCapacity(0xFFFFFFFFu));
  // An answer carrying a full buffer still fits in a frame.
  EXPECT_LT(kMaxBuffer + 64, kMaxFrame);
}

TEST(WrittenLengthTest, EndsAtTheLastByteThatIsNotTheGuard) {
  const std::string g(1, static_cast<char>(kGuardByte));
  struct Case {
    const char* name;
    std::string buffer;
    uint32_t known;
    uint32_t expected;
  } cases[] = {
      {"nothing written", g + g + g + g, 0, 0},
      {"an empty buffer", "", 0, 0},
      {"data", "ab" + g + g, 0, 2},
      {"data and its NUL", std::string("ab\0", 3) + g, 2, 3},
      {"a NUL alone", std::string("\0", 1) + g + g, 0, 1},
      {"the whole buffer", "abcd", 0, 4},
      // Data that ends in the guard's value is still the data.
      {"data ending in the guard", "a" + g + g + g, 2, 2},
      {"guard inside the data", "a" + g + "b" + g, 0, 3},
      // A size larger than the buffer (ERROR_MORE_DATA's) counts up to
      // its end only.
      {"known beyond the buffer", g + g, 9, 2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected,
              WrittenLength(
                  reinterpret_cast<const unsigned char*>(c.buffer.data()),
                  static_cast<uint32_t>(c.buffer.size()), c.known))
        << c.name;
  }
}

}  // namespace
}  // namespace bridge
}  // namespace regservice
