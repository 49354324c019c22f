#include "regservice/prefix/proc_view.h"

#include <stdio.h>

namespace regservice {
namespace prefix {

bool ParseProcStat(const std::string& line, ProcStat* stat) {
  const size_t name_end = line.rfind(')');
  if (name_end == std::string::npos) return false;
  *stat = ProcStat();
  // Fields 3 and 4, 5 to 8 skipped, 9, 10 to 21 skipped, 22.
  const int found = sscanf(
      line.c_str() + name_end + 1,
      " %c %ld %*d %*d %*d %*d %lu %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d "
      "%*d %*d %llu",
      &stat->state, &stat->parent, &stat->flags, &stat->start_time);
  stat->fields = found > 0 ? found : 0;
  return true;
}

bool ReadProcStat(Env* env, const std::string& process, ProcStat* stat) {
  std::string line;
  return env->ReadFileStart(process + "/stat", 4096, &line).ok() &&
         ParseProcStat(line, stat);
}

namespace {

// The non-empty pieces of `text` between `separator`s.
std::vector<std::string> Pieces(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string::npos) end = text.size();
    if (end > start) pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

}  // namespace

std::vector<std::string> ParseChildren(const std::string& text) {
  return Pieces(text, ' ');
}

std::vector<std::string> ParseEnvironment(const std::string& block) {
  return Pieces(block, '\0');
}

bool ReadChildren(Env* env, const std::string& path, size_t max_bytes,
                  std::vector<std::string>* children) {
  std::string text;
  if (!env->ReadFileStart(path, max_bytes, &text).ok() ||
      text.size() >= max_bytes) {
    return false;
  }
  *children = ParseChildren(text);
  return true;
}

bool SameFile(const FileInfo& a, const FileInfo& b) {
  return a.device == b.device && a.inode == b.inode;
}

}  // namespace prefix
}  // namespace regservice
