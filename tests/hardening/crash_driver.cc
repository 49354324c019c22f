// crash_driver: kills the prefix registry's file store with SIGKILL in the
// middle of its writes, many times, and checks what each kill leaves behind.
//
// The store loads user.reg once in this process. Each round forks a child
// that makes the product's Preferences key and writes one value into it,
// then saves (lock, temporary file, write, fsync, rename, fsync of the
// folder), as a run of the program does; this process kills the child after
// a random delay spread over the time a save takes. First, though, one
// child per step of the save (making the temporary file, writing it, fsync,
// close, the rename, the fsync of the folder, or rewriting user.reg in
// place) stops itself right before that step and is killed there, so that
// each kind of point is hit whatever the pace of the machine. The change
// always starts from the same file and carries a fixed time, so the file
// after a complete save is always the same bytes. After every kill user.reg
// must be byte-identical to the file before the save or to the file after
// it, and every other new entry in the folder must be a temporary file the
// store recognises as its own (so that a later save removes it, and nothing
// mistakes it for data). When the save got through, the file is put back
// and the store loaded again.
//
// A user.reg that is a symlink is checked through its link: the file it
// leads to must be the old or the new bytes, the link must still lead to
// the same path, and the folder of that file may hold only the store's
// temporaries for it besides what was there.
//
// Usage: crash_driver PREFIX KILLS SEED
// Prints two lines: "kills=N before=N after=N completed=N
// max_temporaries=N", then "steps=STEP:FILE,..." with each step a save
// was killed at and the file it left there (old or new), in the order
// the save reaches them; exits 1 with a message on the first violation.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "regservice/prefix/env.h"
#include "regservice/prefix/fault_injection_env.h"
#include "regservice/prefix/hive_store.h"

using regservice::prefix::FaultInjectionEnv;
using regservice::prefix::HiveStore;
using regservice::prefix::PosixEnv;
using regservice::prefix::PrefixLocation;

namespace {

const uint64_t kChangeTime = 0x1dd884ccfb82800;  // a fixed FILETIME

// The steps of a save, in the order it reaches them: a new file renamed
// over user.reg, or user.reg rewritten in place.
const std::pair<FaultInjectionEnv::Step, const char*> kSteps[] = {
    {FaultInjectionEnv::kCreate, "create"},
    {FaultInjectionEnv::kRewrite, "rewrite"},
    {FaultInjectionEnv::kWrite, "write"},
    {FaultInjectionEnv::kFileSync, "file_sync"},
    {FaultInjectionEnv::kClose, "close"},
    {FaultInjectionEnv::kRename, "rename"},
    {FaultInjectionEnv::kDirectorySync, "directory_sync"},
};

[[noreturn]] void Die(const std::string& message) {
  fprintf(stderr, "crash_driver: %s\n", message.c_str());
  exit(1);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Die("cannot read " + path);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Puts `bytes` back as the file, atomically, under a name the store does
// not use for its temporaries.
void Restore(const std::string& path, const std::string& bytes) {
  const std::string temp = path + ".restore";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) Die("cannot write " + temp);
  }
  if (rename(temp.c_str(), path.c_str()) != 0) Die("cannot rename " + temp);
}

std::vector<std::string> ListFolder(const std::string& folder) {
  std::vector<std::string> names;
  if (!PosixEnv()->ListDirectory(folder, &names).ok()) {
    Die("cannot list " + folder);
  }
  std::sort(names.begin(), names.end());
  return names;
}

regservice::wine::Name Utf16(const std::string& ascii) {
  return regservice::wine::Name(ascii.begin(), ascii.end());
}

std::string LinkText(const std::string& path) {
  std::string text;
  if (!PosixEnv()->ReadLink(path, &text).ok()) return "";
  return text;
}

// A folder that a save may leave temporaries in, with what it held before.
struct WatchedFolder {
  std::string path;
  std::string temporaries_of;  // the name of the file they replace
  std::set<std::string> entries;
};

class CrashRounds {
 public:
  CrashRounds(const std::string& prefix, unsigned seed)
      : user_reg_(prefix + "/user.reg"), random_(seed) {
    location_.directory = prefix;
    const char* tmpdir = getenv("TMPDIR");
    location_.tmpdir = tmpdir ? tmpdir : "";
    link_text_ = LinkText(user_reg_);
    if (!PosixEnv()->RealPath(user_reg_, &data_file_).ok()) {
      Die("cannot resolve " + user_reg_);
    }
    before_ = ReadAll(data_file_);
    Watch(prefix, "user.reg");
    const size_t slash = data_file_.rfind('/');
    const std::string data_folder = data_file_.substr(0, slash);
    const std::string data_name = data_file_.substr(slash + 1);
    if (data_folder != folders_[0].path || data_name != "user.reg") {
      Watch(data_folder, data_name);
    }
    LoadStore();
  }

  // Runs saves to completion to learn the file they make and how long they
  // take.
  void Calibrate() {
    for (int i = 0; i < 3; ++i) {
      auto started = std::chrono::steady_clock::now();
      pid_t child = StartSave();
      int status = 0;
      waitpid(child, &status, 0);
      durations_.push_back(std::chrono::steady_clock::now() - started);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        Die("a save that was not killed failed");
      }
      std::string written = ReadAll(data_file_);
      if (written == before_) Die("the save changed nothing");
      if (!after_.empty() && written != after_) {
        Die("two saves of the same change wrote different files");
      }
      after_ = written;
      Reset();
    }
  }

  // Kills one save right before each step it reaches.
  void KillAtEachStep() {
    for (const auto& [step, name] : kSteps) {
      pid_t child = StartSave(step);
      int status = 0;
      waitpid(child, &status, WUNTRACED);
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        // This kind of save has no such step.
        ++completed_;
        if (!Check()) Die("a save that was not killed left the old file");
        continue;
      }
      if (!WIFSTOPPED(status)) Die(std::string("a save failed before ") + name);
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      ++kills_;
      steps_ += std::string(steps_.empty() ? "" : ",") + name +
                (Check() ? ":new" : ":old");
    }
  }

  void Run(int kills) {
    // Delays spread up to a bound that starts at the quickest save's time
    // and follows the load of the machine: it shrinks when a save got
    // through before the kill (each costs a reload of the file) and grows
    // slowly when kills land before the rename, so that most kills land
    // inside the save and some after its rename.
    double bound_ns = static_cast<double>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(
            *std::min_element(durations_.begin(), durations_.end()))
            .count());
    int rounds = 0;
    while (kills_ < kills) {
      if (++rounds > kills * 4) Die("too few saves could be killed");
      std::uniform_real_distribution<double> delay(0, bound_ns);
      int64_t wait_ns = static_cast<int64_t>(delay(random_));
      pid_t child = StartSave();
      struct timespec pause = {static_cast<time_t>(wait_ns / 1000000000),
                               static_cast<long>(wait_ns % 1000000000)};
      nanosleep(&pause, nullptr);
      kill(child, SIGKILL);
      int status = 0;
      waitpid(child, &status, 0);
      if (WIFSIGNALED(status)) {
        ++kills_;
      } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        ++completed_;
        bound_ns *= 0.9;
      } else {
        Die("a save failed on its own");
      }
      if (!Check() && WIFSIGNALED(status)) bound_ns *= 1.02;
    }
    // A later save removes what the killed ones left behind.
    pid_t child = StartSave();
    int status = 0;
    waitpid(child, &status, 0);
    if (ReadAll(data_file_) != after_) Die("the last save wrote another file");
    if (TemporaryCount() != 0) Die("the last save left temporary files");
  }

  void PrintSummary() const {
    printf("kills=%d before=%d after=%d completed=%d max_temporaries=%d\n",
           kills_, seen_before_, seen_after_, completed_, max_temporaries_);
    printf("steps=%s\n", steps_.c_str());
  }

 private:
  void LoadStore() {
    store_.reset(new HiveStore(&env_, location_));
    if (!store_->Load().ok()) {
      Die("cannot load " + user_reg_ + ": " + store_->last_error());
    }
  }

  // Forks a child that makes the change and saves it, then exits; one given
  // a step stops itself (SIGSTOP) right before it.
  pid_t StartSave(
      FaultInjectionEnv::Step stop_at = FaultInjectionEnv::kNothing) {
    fflush(stdout);
    pid_t child = fork();
    if (child < 0) Die("fork failed");
    if (child == 0) {
      if (stop_at != FaultInjectionEnv::kNothing) {
        env_.PauseAt(stop_at, [] { raise(SIGSTOP); });
      }
      regservice::wine::KeyPath path = {Utf16("Software"), Utf16("Corvane"),
                                        Utf16("Varlo 6.8"),
                                        Utf16("Preferences")};
      bool ok = store_->CreateKey(path, kChangeTime).ok() &&
                store_->SetValue(path, Utf16("Quillfix"), 3,
                                 std::string(1, '\x01'), kChangeTime)
                    .ok() &&
                store_->Save().ok();
      _exit(ok ? 0 : 3);
    }
    return child;
  }

  void Watch(const std::string& folder, const std::string& temporaries_of) {
    WatchedFolder watched;
    watched.path = folder;
    watched.temporaries_of = temporaries_of;
    for (const std::string& name : ListFolder(folder)) {
      watched.entries.insert(name);
    }
    folders_.push_back(watched);
  }

  int TemporaryCount() const {
    int count = 0;
    for (const WatchedFolder& folder : folders_) {
      for (const std::string& name : ListFolder(folder.path)) {
        if (regservice::prefix::IsTemporaryFileName(name,
                                                    folder.temporaries_of)) {
          ++count;
        }
      }
    }
    return count;
  }

  // Returns whether the save had got through (user.reg is the new file).
  bool Check() {
    if (LinkText(user_reg_) != link_text_) {
      Die("after kill " + std::to_string(kills_) +
          " user.reg no longer links to " + link_text_);
    }
    std::string now = ReadAll(data_file_);
    bool saved = now == after_;
    if (!saved && now != before_) {
      size_t at = 0;
      while (at < now.size() && at < before_.size() && now[at] == before_[at]) {
        ++at;
      }
      Die("after kill " + std::to_string(kills_) + " user.reg (" +
          std::to_string(now.size()) + " bytes) is neither the old nor the " +
          "new file; first difference from the old one at byte " +
          std::to_string(at));
    }
    int temporaries = 0;
    for (const WatchedFolder& folder : folders_) {
      for (const std::string& name : ListFolder(folder.path)) {
        if (folder.entries.count(name)) continue;
        if (!regservice::prefix::IsTemporaryFileName(name,
                                                     folder.temporaries_of)) {
          Die("a kill left " + name + ", which is no temporary of the store");
        }
        ++temporaries;
      }
    }
    max_temporaries_ = std::max(max_temporaries_, temporaries);
    if (saved) {
      ++seen_after_;
      Reset();
    } else {
      ++seen_before_;
    }
    return saved;
  }

  // Back to the file before the change, loaded afresh.
  void Reset() {
    Restore(data_file_, before_);
    LoadStore();
  }

  const std::string user_reg_;
  std::string link_text_;  // where user.reg links to; empty if no symlink
  std::string data_file_;  // the file user.reg is or leads to
  std::vector<WatchedFolder> folders_;
  PrefixLocation location_;
  FaultInjectionEnv env_;  // the real file system; lets a child stop itself
  std::unique_ptr<HiveStore> store_;
  std::mt19937_64 random_;
  std::string before_;
  std::string after_;
  std::vector<std::chrono::steady_clock::duration> durations_;
  int kills_ = 0;
  int completed_ = 0;
  int seen_before_ = 0;
  int seen_after_ = 0;
  int max_temporaries_ = 0;
  std::string steps_;  // "name:old" or "name:new" for each step killed at
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: crash_driver PREFIX KILLS SEED\n");
    return 2;
  }
  CrashRounds rounds(argv[1], static_cast<unsigned>(atoi(argv[3])));
  rounds.Calibrate();
  rounds.KillAtEachStep();
  rounds.Run(atoi(argv[2]));
  rounds.PrintSummary();
  return 0;
}
