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
#include "app/report.h"
#include "app/supervisor.h"
#include "app/terminal_text.h"
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
// (app/run_start_wine_prefix.cc). False with the reason in *why, one
// line naming the home.
bool BecomeHomeOwner(const prefix::RunIdentity& decided, std::string* why) {
  app::SupervisorLimits limits;
  limits.run_ms = kListingRunMs;
  limits.stopped_status = 2;
  limits.stopped_message =
      "quillfix-report: stopped: the listing did not end within its time "
      "limit";
  limits.lost_output_status = 2;
  limits.lost_output_name = "quillfix-report";
  const pid_t supervisor = app::SuperviseRestOfRun(limits);
  const std::string refusal = "not acting on " + decided.directory + ": ";
  if (supervisor < 0) {
    *why = refusal + "no process to act as its owner";
    return false;
  }
  app::CloseDescriptorsBut({});
  const prefix::RunIdentity run =
      prefix::BecomePrefixOwner(prefix::PosixIdentity(), decided);
  if (run.kind == prefix::RunIdentity::kRefused) {
    *why = run.reason;  // names the home already
    return false;
  }
  if (!app::DieWithSupervisor(supervisor)) {
    *why = refusal + "its supervisor has gone";
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
    err << "quillfix-report: " << text::MessageText(decided.reason)
        << std::endl;
    return false;
  }
  std::string why;
  if (decided.kind == prefix::RunIdentity::kPrefixOwner &&
      !BecomeHomeOwner(decided, &why)) {
    err << "quillfix-report: " << text::MessageText(why) << std::endl;
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
        << (home.empty() ? " (no home directory)"
                         : " for " + text::ForPeople(home))
        << std::endl;
    return false;
  }
  return true;
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
  return SplitNulEnded(bytes);
}

// Every wait for a lock that another process holds on a prefix, in all
// of the listing's checks together, ends within this: each check is
// forked after this is set, and a wait that finds the time spent gives up
// at once, with its reason.
constexpr long long kListingWaitsMs = 30000;

void LimitWaits() { prefix::LimitLockWaits(kListingWaitsMs); }

// The reason a prefix could not be read, on `err`, safe for a terminal.
void SayProblem(const PrefixCheck& check, std::ostream& err) {
  if (check.problem.empty()) return;
  err << "quillfix-report: " << text::MessageText(check.problem)
      << std::endl;
}

// How the prefixes of --all came out, for its closing line.
class Outcomes {
 public:
  void Count(const PrefixCheck& check) {
    ++prefixes_;
    if (check.status == 2) {
      ++unreadable_;
    } else if (!check.any_installed) {
      ++no_edition_;
    } else if (check.status == 1) {
      ++not_patched_;
    } else {
      ++patched_;
    }
  }

  // e.g. "5 prefixes: 2 patched, 1 not patched, 1 with no edition,
  // 1 unreadable"
  std::string Line() const {
    return std::to_string(prefixes_) +
           (prefixes_ == 1 ? " prefix: " : " prefixes: ") +
           std::to_string(patched_) + " patched, " +
           std::to_string(not_patched_) + " not patched, " +
           std::to_string(no_edition_) + " with no edition, " +
           std::to_string(unreadable_) + " unreadable";
  }

 private:
  int prefixes_ = 0;
  int patched_ = 0;
  int not_patched_ = 0;
  int no_edition_ = 0;
  int unreadable_ = 0;
};

}  // namespace

int ReportAll(bool for_terminal, std::ostream& out, std::ostream& err) {
  std::vector<finder::FoundPrefix> found;
  if (!FindAll(&found, err)) return 2;
  LimitWaits();
  int status = 0;
  Outcomes outcomes;
  for (const finder::FoundPrefix& prefix : found) {
    out << "prefix: " << text::ForPeople(prefix.path) << " (" << prefix.maker
        << ")\n";
    if (!Delivered(out, err)) return 2;
    const PrefixCheck check = CheckPrefix(prefix.path);
    for (const std::string& line : check.lines) out << line << '\n';
    if (!Delivered(out, err)) return 2;
    SayProblem(check, err);
    outcomes.Count(check);
    if (check.status == 2 || status == 2) {
      status = 2;
    } else if (check.status == 1) {
      status = 1;
    }
  }
  if (for_terminal) {
    out << outcomes.Line() << '\n';
    if (!Delivered(out, err)) return 2;
  }
  return status;
}

int ReportList(bool nul_terminated, std::ostream& out, std::ostream& err) {
  std::vector<finder::FoundPrefix> found;
  if (!FindAll(&found, err)) return 2;
  LimitWaits();
  int status = 0;
  for (const finder::FoundPrefix& prefix : found) {
    const PrefixCheck check = CheckPrefix(prefix.path);
    if (check.status == 2) {
      SayProblem(check, err);
      status = 2;
    }
    if (!check.any_installed) continue;
    // A line end in a path would make two lines of one: such a path is
    // only given where paths end in NULs.
    if (!nul_terminated && prefix.path.find('\n') != std::string::npos) {
      err << "quillfix-report: " << text::ForPeople(prefix.path)
          << ": not listed: its name holds a line end; --list -0 lists it"
          << std::endl;
      status = 2;
      continue;
    }
    out << prefix.path << (nul_terminated ? '\0' : '\n');
    if (!Delivered(out, err)) return 2;
  }
  return status;
}

void HintOtherPrefixes(std::ostream& err) {
  const std::vector<std::string> paths = ListInNewRun();
  if (paths.empty()) return;
  std::string commands;
  for (const std::string& path : paths) {
    if (!commands.empty()) commands += "; ";
    commands += "WINEPREFIX=" + text::ShellWord(path) + " quillfix";
  }
  err << "quillfix-report: Varlo is installed in "
      << (paths.size() == 1 ? "another Wine prefix" : "other Wine prefixes")
      << "; to patch " << (paths.size() == 1 ? "it" : "each") << ": "
      << commands << std::endl;
}

}  // namespace report
