#include "regservice/prefix/env.h"

#include <gtest/gtest.h>

#include <string>

#include "regservice/prefix/test_dir.h"

namespace regservice {
namespace prefix {
namespace {

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 23);
  return bytes;
}

// Whole files and their starts, around the sizes where reading switches
// from the file's own size to the small buffer for what lies beyond it.
TEST(PosixEnvReadTest, ReadsWholeFilesAndTheirStarts) {
  TestDir dir;
  const std::string path = dir / "file";
  for (size_t size : {0, 1, 4095, 4096, 4097, 100000}) {
    const std::string bytes = Pattern(size);
    TestDir::Write(path, bytes);
    std::string read = "left over";
    ASSERT_TRUE(PosixEnv()->ReadFile(path, &read).ok()) << size;
    EXPECT_EQ(bytes, read) << size;
    for (size_t max : {size_t{0}, size_t{1}, size / 2, size, size + 1}) {
      ASSERT_TRUE(PosixEnv()->ReadFileStart(path, max, &read).ok()) << size;
      EXPECT_EQ(bytes.substr(0, max), read) << size << " " << max;
    }
  }
}

// /proc's files tell no size: they are read to their end or to the limit.
TEST(PosixEnvReadTest, ReadsFilesThatTellNoSize) {
  std::string status;
  ASSERT_TRUE(PosixEnv()->ReadFile("/proc/self/status", &status).ok());
  EXPECT_EQ(0u, status.find("Name:"));
  EXPECT_NE(std::string::npos, status.find("\nPid:"));
  // The first lines, the test program's own mappings, stay put.
  std::string maps;
  ASSERT_TRUE(PosixEnv()->ReadFile("/proc/self/maps", &maps).ok());
  ASSERT_GT(maps.size(), 200u);
  std::string start;
  ASSERT_TRUE(PosixEnv()->ReadFileStart("/proc/self/maps", 100, &start).ok());
  EXPECT_EQ(maps.substr(0, 100), start);
}

// The room a caller reserved past the file's bytes stays, so that edits
// made in place need no second copy of the file.
TEST(PosixEnvReadTest, KeepsTheCallersRoom) {
  TestDir dir;
  const std::string path = dir / "file";
  TestDir::Write(path, Pattern(300000));
  std::string read;
  read.reserve(300000 + 65536);
  const char* buffer = read.data();
  ASSERT_TRUE(PosixEnv()->ReadFile(path, &read).ok());
  EXPECT_EQ(300000u, read.size());
  EXPECT_GE(read.capacity(), 300000u + 65536u);
  EXPECT_EQ(buffer, read.data());
}

}  // namespace
}  // namespace prefix
}  // namespace regservice
