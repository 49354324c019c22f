// What /proc says of a process, read through an Env, so that a test can
// give a /proc tree of its own and a sandbox's /proc reads as any other.
// `process` is a process's directory there, such as "/proc/123".
#ifndef QUILLFIX_REGSERVICE_PREFIX_PROC_VIEW_H_
#define QUILLFIX_REGSERVICE_PREFIX_PROC_VIEW_H_

#include <stddef.h>

#include <string>
#include <vector>

#include "regservice/prefix/env.h"

namespace regservice {
namespace prefix {

// The fields of a process's stat line that are used here.
struct ProcStat {
  char state = 0;                     // field 3: R, S, T, Z...
  long parent = 0;                    // field 4: the parent's pid
  unsigned long flags = 0;            // field 9: the kernel's PF_* bits
  unsigned long long start_time = 0;  // field 22: clock ticks after boot
  // How many of the four above the line held, in that order: a field
  // counts only when every one before it is there.
  int fields = 0;
};

// Parses a stat line, "<pid> (<name>) <state> <ppid> ...": the name may
// hold anything, the fields after it do not. False when no name ends in
// it; else *stat holds what was found.
bool ParseProcStat(const std::string& line, ProcStat* stat);

// Reads `process`/stat and parses it. False when it cannot be read or
// holds no stat line (the process is gone).
bool ReadProcStat(Env* env, const std::string& process, ProcStat* stat);

// The process ids in the text of a thread's children file
// (task/<tid>/children), as the names of their /proc directories.
std::vector<std::string> ParseChildren(const std::string& text);

// The entries ("NAME=value") of the text of an environ file, in order.
std::vector<std::string> ParseEnvironment(const std::string& block);

// Reads the children file at `path` (at most `max_bytes`) and parses it.
// False when it cannot be read, or holds `max_bytes` or more: the list
// would be cut short.
bool ReadChildren(Env* env, const std::string& path, size_t max_bytes,
                  std::vector<std::string>* children);

// Whether the two are the same file (device and inode), such as a
// process's namespace and ours, or a descriptor and a directory.
bool SameFile(const FileInfo& a, const FileInfo& b);

}  // namespace prefix
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_PREFIX_PROC_VIEW_H_
