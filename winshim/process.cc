#include "winshim/process.h"
#include "winshim/command_line.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Stands for the executable: any distinct, non-null address will do.
char g_module_marker;

// Quotes one argument so that the Windows rules for splitting a command
// line give it back unchanged: quotes around it when it is empty or holds a
// space, tab or quote; backslashes doubled where they precede a quote.
void AppendQuoted(const std::string& arg, std::string* line) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
    *line += arg;
    return;
  }
  *line += '"';
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') backslashes = backslashes * 2 + 1;
    line->append(backslashes, '\\');
    backslashes = 0;
    *line += c;
  }
  line->append(backslashes * 2, '\\');
  *line += '"';
}

std::vector<std::string> ProcessArguments() {
  std::vector<std::string> args;
  std::FILE* file = std::fopen("/proc/self/cmdline", "rb");
  if (file == nullptr) return args;
  std::string current;
  int c;
  bool any = false;
  while ((c = std::fgetc(file)) != EOF) {
    any = true;
    if (c == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(c);
    }
  }
  if (any && !current.empty()) args.push_back(current);
  std::fclose(file);
  return args;
}

}  // namespace

namespace winshim {
std::string QuoteCommandLine(const std::vector<std::string>& args) {
  std::string line;
  for (size_t i = 0; i < args.size(); ++i) {
    if (i > 0) line += ' ';
    AppendQuoted(args[i], &line);
  }
  return line;
}
}  // namespace winshim

HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
  if (lpModuleName != nullptr) return nullptr;
  return reinterpret_cast<HMODULE>(&g_module_marker);
}

LPSTR GetCommandLineA(void) {
  static std::string line = winshim::QuoteCommandLine(ProcessArguments());
  return &line[0];
}
