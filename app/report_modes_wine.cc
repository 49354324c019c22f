// The views over every prefix, on Linux. The finder reads the user's
// files in this process; each prefix is then read by a child of its own
// (app/prefix_check.h), so that the choice of prefix, and of user when run
// by root, that a run's start-up step makes once per process is made
// afresh for each.
#include "app/report_modes.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "app/prefix_check.h"
#include "app/prefix_finder.h"
#include "app/supervisor.h"
#include "regservice/prefix/env.h"
#include "regservice/prefix/prefix_owner.h"
#include "regservice/prefix/running_server.h"

namespace report {
namespace {

namespace prefix = regservice::prefix;

// A listing run by root for a user ends within this, stopped otherwise:
// each of its prefixes may take a run's whole time (app/supervisor.h).
constexpr int kListingRunMs = 600000;

// Goes on as the owner of the home directory `decided` names, for good,
// under a supervisor that stays root, as a run on a user's prefix does
// (app/run_start_wine_prefix.cc). False with the reason in *why.
bool BecomeHomeOwner(const prefix::RunIdentity& decided, std::string* why) {
  app::SupervisorLimits limits;
  limits.run_ms = kListingRunMs;
  limits.stopped_status = 2;
  limits.stopped_message =
      "quillfix-report: stopped: the listing did not end within its time "
      "limit";
  const pid_t supervisor = app::SuperviseRestOfRun(limits);
  if (supervisor < 0) {
    *why = "no process to act as its owner";
    return false;
  }
  app::CloseDescriptorsBut({});
  const prefix::RunIdentity run =
      prefix::BecomePrefixOwner(prefix::PosixIdentity(), decided);
  if (run.kind == prefix::RunIdentity::kRefused) {
    *why = run.reason;
    return false;
  }
  if (!app::DieWithSupervisor(supervisor)) {
    *why = "its supervisor has gone";
    return false;
  }
  // Root's temporary directory is not the owner's.
  unsetenv("TMPDIR");
  return true;
}

// The home directory to search, "" for none. Run by root, the run first
// settles whom it acts as, by the rule for a prefix
// (prefix::DecidePrefixOwner): it stays root in root's own home, goes on
// as the owner of a user's home for good before reading anything in it,
// and refuses (false, the reason on `err`) a home that a third user could
// change. The user's files then name places only with that user's rights.
bool SettleHome(std::string* home, std::ostream& err) {
  home->clear();
  const char* value = getenv("HOME");
  if (value == nullptr || value[0] != '/') return true;
  *home = value;
  if (geteuid() != 0) return true;
  prefix::FileInfo info;
  if (!prefix::PosixEnv()->GetFileInfo(*home, &info).ok() ||
      !info.is_directory) {
    home->clear();  // nothing to search there
    return true;
  }
  prefix::PrefixLocation location;
  location.directory = *home;
  const prefix::RunIdentity decided =
      prefix::DecidePrefixOwner(prefix::PosixEnv(), 0, &location);
  if (decided.kind == prefix::RunIdentity::kRefused) {
    err << "quillfix-report: " << decided.reason << std::endl;
    return false;
  }
  std::string why;
  if (decided.kind == prefix::RunIdentity::kPrefixOwner &&
      !BecomeHomeOwner(decided, &why)) {
    err << "quillfix-report: not acting on " << *home << ": " << why
        << std::endl;
    return false;
  }
  *home = location.directory;
  return true;
}

// The prefixes of the user, broken configuration files named on `err`.
// False when there is nothing to search or nothing was found.
bool FindAll(std::vector<finder::FoundPrefix>* found, std::ostream& err) {
  std::string home;
  if (!SettleHome(&home, err)) return false;
  finder::Places places;
  places.home = home;
  if (const char* wineprefix = getenv("WINEPREFIX")) {
    places.wineprefix = wineprefix;
  }
  *found = finder::FindPrefixes(
      prefix::PosixEnv(), places, [&err](const std::string& line) {
        err << "quillfix-report: " << line << " (skipped)" << std::endl;
      });
  if (found->empty()) {
    err << "quillfix-report: no Wine prefix found"
        << (home.empty() ? " (no home directory)" : " for " + home)
        << std::endl;
    return false;
  }
  return true;
}

// `text` as one word for a POSIX shell.
std::string ShellQuoted(const std::string& text) {
  bool plain = !text.empty();
  for (char c : text) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      (c >= '0' && c <= '9') ||
                      std::string("/._+-,:@%_=").find(c) != std::string::npos;
    plain = plain && safe;
  }
  if (plain) return text;
  std::string quoted = "'";
  for (char c : text) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

// The NUL-terminated paths `quillfix-report --list -0` prints, run anew
// with WINEPREFIX unset (its own prefix is the caller's), its standard
// error discarded.
std::vector<std::string> ListInNewRun() {
  std::vector<std::string> paths;
  // This program's file, named before the fork (a program run under a
  // tool such as valgrind sees its own here, not the tool's).
  std::string program;
  if (!prefix::PosixEnv()->ReadLink("/proc/self/exe", &program).ok()) {
    return paths;
  }
  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) return paths;
  const pid_t child = fork();
  if (child == 0) {
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0 || dup2(null, 0) < 0 || dup2(output[1], 1) < 0 ||
        dup2(null, 2) < 0) {
      _exit(127);
    }
    // No other descriptor of this run's (a helper's pipes among them).
#ifdef SYS_close_range
    syscall(SYS_close_range, 3U, ~0U, 0U);
#endif
    unsetenv("WINEPREFIX");
    char* const argv[] = {const_cast<char*>("quillfix-report"),
                          const_cast<char*>("--list"),
                          const_cast<char*>("-0"), nullptr};
    execv(program.c_str(), argv);
    _exit(127);
  }
  close(output[1]);
  std::string bytes;
  if (child > 0) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(output[0], buffer, sizeof buffer)) != 0) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      bytes.append(buffer, static_cast<size_t>(n));
    }
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  close(output[0]);
  size_t start = 0;
  for (size_t nul; (nul = bytes.find('\0', start)) != std::string::npos;
       start = nul + 1) {
    paths.push_back(bytes.substr(start, nul - start));
  }
  return paths;
}

}  // namespace

int ReportAll(std::ostream& out, std::ostream& err) {
  std::vector<finder::FoundPrefix> found;
  if (!FindAll(&found, err)) return 2;
  int status = 0;
  for (const finder::FoundPrefix& prefix : found) {
    out << "prefix: " << prefix.path << " (" << prefix.maker << ")\n";
    out.flush();
    const PrefixCheck check = CheckPrefix(prefix.path);
    for (const std::string& line : check.lines) out << line << '\n';
    out.flush();
    if (!check.problem.empty()) {
      err << "quillfix-report: " << check.problem << std::endl;
    }
    if (check.status == 2 || status == 2) {
      status = 2;
    } else if (check.status == 1) {
      status = 1;
    }
  }
  return status;
}

int ReportList(bool nul_terminated, std::ostream& out, std::ostream& err) {
  std::vector<finder::FoundPrefix> found;
  if (!FindAll(&found, err)) return 2;
  int status = 0;
  for (const finder::FoundPrefix& prefix : found) {
    const PrefixCheck check = CheckPrefix(prefix.path);
    if (check.status == 2) {
      err << "quillfix-report: " << check.problem << std::endl;
      status = 2;
    }
    if (check.any_installed) {
      out << prefix.path << (nul_terminated ? '\0' : '\n');
      out.flush();
    }
  }
  return status;
}

void HintOtherPrefixes(std::ostream& err) {
  const std::vector<std::string> paths = ListInNewRun();
  if (paths.empty()) return;
  std::string commands;
  for (const std::string& path : paths) {
    if (!commands.empty()) commands += "; ";
    commands += "WINEPREFIX=" + ShellQuoted(path) + " quillfix";
  }
  err << "quillfix-report: Varlo is installed in "
      << (paths.size() == 1 ? "another Wine prefix" : "other Wine prefixes")
      << "; to patch " << (paths.size() == 1 ? "it" : "each") << ": "
      << commands << std::endl;
}

}  // namespace report
