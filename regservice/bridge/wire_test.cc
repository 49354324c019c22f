// WrittenLength: which bytes of a guarded buffer a call wrote.
#include "regservice/bridge/wire.h"

#include <string>

#include <gtest/gtest.h>

namespace regservice {
namespace bridge {
namespace {

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
