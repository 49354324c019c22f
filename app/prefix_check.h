// The report of one Wine prefix among several, read by a process of its
// own. A run's start-up step (app/run_start.h) settles once per process
// which prefix it acts on and, run by root, goes on as that prefix's owner
// for good: a child per prefix keeps each choice, and each change of user,
// to that prefix.
#ifndef QUILLFIX_APP_PREFIX_CHECK_H_
#define QUILLFIX_APP_PREFIX_CHECK_H_

#include <string>
#include <vector>

namespace report {

struct PrefixCheck {
  int status = 2;              // the plain report's exit status for it
  bool any_installed = false;  // whether an edition is installed there
  // The plain report's lines: one per edition, then "registry: ...".
  // Empty when the prefix could not be read.
  std::vector<std::string> lines;
  std::string problem;  // why it could not be read, one line
};

// Reads the prefix at `path` as the plain report reads $WINEPREFIX, in a
// child process with WINEPREFIX set to `path`. A child that ends without
// its answer gives status 2 and a problem that says how it ended.
// REQUIRES: this process has not used the registry yet, and holds no
// unflushed output (the child would write it again).
PrefixCheck CheckPrefix(const std::string& path);

// The fields of `bytes` that a NUL ends, in order, as a child's answer or
// a "--list -0" holds them. What follows the last NUL ends no field and is
// left out; *whole (when given) says whether nothing did.
std::vector<std::string> SplitNulEnded(const std::string& bytes,
                                       bool* whole = nullptr);

}  // namespace report

#endif  // QUILLFIX_APP_PREFIX_CHECK_H_
