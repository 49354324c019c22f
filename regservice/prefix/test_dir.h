// A temporary directory for a test, removed with its content at the end.
#ifndef QUILLFIX_REGSERVICE_PREFIX_TEST_DIR_H_
#define QUILLFIX_REGSERVICE_PREFIX_TEST_DIR_H_

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace regservice {
namespace prefix {

class TestDir {
 public:
  TestDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern =
        std::string(base && *base ? base : "/tmp") + "/regservice-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
  }
  ~TestDir() {
    if (!path_.empty()) RemoveTree(path_);
  }
  TestDir(const TestDir&) = delete;
  TestDir& operator=(const TestDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const {
    return path_ + "/" + name;
  }

  static void Write(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }
  static bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
  }
  // Sorted entry names of a directory.
  static std::vector<std::string> List(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
      while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  static void RemoveTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
      for (const std::string& name : List(path)) RemoveTree(path + "/" + name);
      rmdir(path.c_str());
    } else {
      unlink(path.c_str());
    }
  }

  std::string path_;
};

}  // namespace prefix
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_PREFIX_TEST_DIR_H_
