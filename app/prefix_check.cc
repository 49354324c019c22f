#include "app/prefix_check.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "app/registry_source.h"
#include "app/report.h"
#include "app/run_start.h"

namespace report {
namespace {

// The answer travels as NUL-terminated fields: status, whether an edition
// is installed, the problem, the lines, then an end mark, so that a child
// cut short is told from one that answered.
const char kEndMark[] = "end";

std::string Encode(const PrefixCheck& check) {
  std::string bytes;
  auto field = [&bytes](const std::string& text) {
    bytes += text;
    bytes.push_back('\0');
  };
  field(std::to_string(check.status));
  field(check.any_installed ? "1" : "0");
  field(check.problem);
  for (const std::string& line : check.lines) field(line);
  field(kEndMark);
  return bytes;
}

bool Decode(const std::string& bytes, PrefixCheck* check) {
  bool whole = false;
  const std::vector<std::string> fields = SplitNulEnded(bytes, &whole);
  if (!whole || fields.size() < 4 ||
      fields.back() != kEndMark) {
    return false;
  }
  if (fields[0].size() != 1 || fields[0][0] < '0' || fields[0][0] > '2') {
    return false;
  }
  check->status = fields[0][0] - '0';
  check->any_installed = fields[1] == "1";
  check->problem = fields[2];
  check->lines.assign(fields.begin() + 3, fields.end() - 1);
  return true;
}

// What the plain report finds in the prefix WINEPREFIX names, after the
// same start-up step (app/run_start.h): run by root on another user's
// prefix, this process goes on as that user under a supervisor of its own,
// keeping `answer`, where it sends what it found.
PrefixCheck ReadOwnPrefix(const std::string& path, int answer) {
  PrefixCheck check;
  app::StoppedRun stopped;
  stopped.kept_descriptors = {answer};
  stopped.status = 2;
  stopped.message = "quillfix-report: stopped: the check of " + path +
                    " did not end within its time limit";
  const RegistrySource source = CheckRegistry(app::StartRun(stopped));
  if (!source.readable) {
    check.problem = source.problem;
    return check;
  }
  const std::vector<Edition> editions = ReadEditions();
  for (const Edition& edition : editions) {
    check.lines.push_back(Describe(edition));
    check.any_installed = check.any_installed || edition.installed;
  }
  check.lines.push_back("registry: " + source.name);
  check.status = ExitStatus(editions);
  if (check.status == 2) check.problem = "a value could not be read";
  return check;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string ReadAll(int fd) {
  std::string bytes;
  char buffer[4096];
  while (true) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return bytes;
    bytes.append(buffer, static_cast<size_t>(n));
  }
}

std::string HowItEnded(int wait_status) {
  if (WIFSIGNALED(wait_status)) {
    return "signal " + std::to_string(WTERMSIG(wait_status));
  }
  return "status " + std::to_string(WEXITSTATUS(wait_status));
}

}  // namespace

std::vector<std::string> SplitNulEnded(const std::string& bytes,
                                       bool* whole) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t nul; (nul = bytes.find('\0', start)) != std::string::npos;
       start = nul + 1) {
    fields.push_back(bytes.substr(start, nul - start));
  }
  if (whole != nullptr) *whole = start == bytes.size();
  return fields;
}

PrefixCheck CheckPrefix(const std::string& path) {
  PrefixCheck check;
  int answer[2];
  if (pipe2(answer, O_CLOEXEC) != 0) {
    check.problem = "cannot check " + path + ": pipe: " + strerror(errno);
    return check;
  }
  fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    check.problem = "cannot check " + path + ": fork: " + strerror(errno);
    close(answer[0]);
    close(answer[1]);
    return check;
  }
  if (child == 0) {
    close(answer[0]);
    signal(SIGPIPE, SIG_DFL);  // as a run of its own has it
    setenv("WINEPREFIX", path.c_str(), 1);
    const bool sent =
        WriteAll(answer[1], Encode(ReadOwnPrefix(path, answer[1])));
    close(answer[1]);
    // exit, not _exit: the registry's own end runs (a helper it started
    // for a running Wine is told to stop).
    exit(sent ? 0 : 2);
  }
  close(answer[1]);
  const std::string bytes = ReadAll(answer[0]);
  close(answer[0]);
  int wait_status = 0;
  while (waitpid(child, &wait_status, 0) < 0 && errno == EINTR) {
  }
  if (!Decode(bytes, &check)) {
    check = PrefixCheck();
    check.problem = "the check of " + path + " ended before it answered (" +
                    HowItEnded(wait_status) + ")";
  }
  return check;
}

}  // namespace report
