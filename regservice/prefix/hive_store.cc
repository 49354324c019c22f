#include "regservice/prefix/hive_store.h"

#include <unistd.h>

#include <new>
#include <stdexcept>

#include "regservice/wine/reg_lexer.h"

namespace regservice {
namespace prefix {

namespace {

// A temporary file is named after the file it replaces.
const char kTemporaryInfix[] = ".quillfix-";
const char kTemporarySuffix[] = ".tmp";

// How much of system.reg is read for its #arch line, which Wine writes as
// the fourth line.
const size_t kSystemRegHead = 4096;

// Room reserved past the file's bytes, so that the few lines a run changes
// are spliced into the same buffer instead of a new copy of the file.
const size_t kEditRoom = 64 * 1024;

// What a failure while writing user.reg means for the caller, whatever
// step failed: the prefix may not be written, a server came, or writing
// failed.
Status AsWriteFailure(const Status& status) {
  const bool told = status.code() == Status::kBusy ||
                    status.code() == Status::kAccessDenied;
  return told ? status
              : Status(Status::kWriteError, status.message(), status.error());
}

// What a failure while reading user.reg means for the caller: it is not
// there, or it cannot be read.
Status AsReadFailure(const Status& status) {
  return status.code() == Status::kNotFound
             ? status
             : Status(Status::kReadError, status.message(), status.error());
}

const char kServerRuns[] = "a wineserver serves the prefix";

// The last element of a path.
std::string NameOf(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

}  // namespace

bool IsTemporaryFileName(const std::string& name, const std::string& of) {
  const std::string prefix = of + kTemporaryInfix;
  const size_t suffix = sizeof kTemporarySuffix - 1;
  return name.size() > prefix.size() + suffix &&
         name.compare(0, prefix.size(), prefix) == 0 &&
         name.compare(name.size() - suffix, suffix, kTemporarySuffix) == 0;
}

bool ApplyChange(const Change& change, wine::Hive* hive) {
  switch (change.kind) {
    case Change::kCreateKey:
      return hive->CreateKey(change.path, change.time);
    case Change::kSetValue:
      // The key may be missing from a file someone else rewrote since.
      if (!hive->KeyExists(change.path) &&
          !hive->CreateKey(change.path, change.time)) {
        return false;
      }
      return hive->SetValue(change.path, change.name, change.type, change.data,
                            change.time);
  }
  return false;
}

HiveStore::HiveStore(Env* env, PrefixLocation location)
    : env_(env),
      location_(std::move(location)),
      server_(env, location_) {}

Status HiveStore::Fail(Status status) {
  last_error_ = status.message();
  return status;
}

Status HiveStore::Load() {
  if (hive_ != nullptr) return Status();
  if (location_.directory.empty()) {
    return Fail(
        Status(Status::kNotFound,
               "no prefix: WINEPREFIX not an absolute path, or no HOME"));
  }
  FileInfo info;
  std::string bytes;
  Status status = ReadUserReg(&info, &bytes);
  if (!status.ok()) return Fail(status);
  std::unique_ptr<wine::Hive> hive;
  status = LoadHive(std::move(bytes), &hive);
  if (!status.ok()) return status;
  hive_ = std::move(hive);
  loaded_version_ = info;
  return Status();
}

Status HiveStore::ReadUserReg(FileInfo* info, std::string* bytes) {
  const std::string path = UserRegPath();
  // Stat before reading: if the file changes in between, Save() sees a
  // version other than the one read and reads again, never the reverse.
  Status status = env_->GetFileInfo(path, info);
  if (!status.ok()) return AsReadFailure(status);
  if (!info->is_regular) {
    return Status(Status::kReadError, path + ": not a file");
  }
  try {
    bytes->reserve(static_cast<size_t>(info->size) + kEditRoom);
    status = env_->ReadFile(path, bytes);
  } catch (const std::bad_alloc&) {
    return TooLarge(*info);
  } catch (const std::length_error&) {
    return TooLarge(*info);
  }
  return status.ok() ? status : AsReadFailure(status);
}

Status HiveStore::TooLarge(const FileInfo& info) const {
  return Status(Status::kReadError,
                std::to_string(info.size) +
                    " bytes, more than this run has memory for");
}

Status HiveStore::LoadHive(std::string bytes,
                           std::unique_ptr<wine::Hive>* hive) {
  const uint64_t size = bytes.size();
  hive->reset(new wine::Hive);
  Status status;
  try {
    status = (*hive)->Load(std::move(bytes));
  } catch (const std::bad_alloc&) {
    FileInfo info;
    info.size = size;
    status = TooLarge(info);
  }
  if (!status.ok()) {
    hive->reset();
    return Fail(status);
  }
  // Wine reads system.reg first and takes the prefix's architecture from
  // it, 32-bit when the file names none (so Wine 8 does); a user.reg
  // naming another is not loaded, so it must not be written. Without a
  // system.reg the prefix is not set up yet and nothing tells its
  // architecture: the file is taken as it is.
  const std::string user_arch = (*hive)->Architecture();
  if (user_arch.empty()) return Status();
  std::string head;
  const std::string system_reg = location_.directory + "/system.reg";
  status = env_->ReadFileStart(system_reg, kSystemRegHead, &head);
  if (status.code() == Status::kNotFound) return Status();
  if (!status.ok()) {
    hive->reset();
    return Fail(Status(Status::kCorrupt, status.message(), status.error()));
  }
  std::string prefix_arch = wine::ArchitectureBeforeFirstKey(head);
  if (prefix_arch.empty()) prefix_arch = "win32";
  if (user_arch != prefix_arch) {
    hive->reset();
    return Fail(Status(Status::kCorrupt, "user.reg: #arch=" + user_arch +
                                             " is not the prefix's " +
                                             prefix_arch));
  }
  return Status();
}

bool HiveStore::ServerServesPrefix() {
  // Refusing early is a courtesy; Save looks in /proc again right before
  // its rename. So one look that found nothing serves every change until
  // the next save.
  const FoundServer found = server_.Find(!proc_found_free_);
  if (found.state != FoundServer::kNone) return true;
  proc_found_free_ = true;
  return false;
}

Status HiveStore::CreateKey(const wine::KeyPath& path, uint64_t now) {
  if (hive_->KeyExists(path)) return Status();
  if (!changes_refused_.empty()) {
    return Fail(Status(Status::kAccessDenied, changes_refused_));
  }
  if (ServerServesPrefix()) return Fail(Status(Status::kBusy, kServerRuns));
  Change change;
  change.kind = Change::kCreateKey;
  change.path = path;
  change.time = now;
  if (!ApplyChange(change, hive_.get())) {
    return Fail(Status(Status::kInvalidArgument, "bad key name"));
  }
  journal_.push_back(std::move(change));
  return Status();
}

Status HiveStore::SetValue(const wine::KeyPath& path, const wine::Name& name,
                           uint32_t type, const std::string& data,
                           uint64_t now) {
  if (!hive_->KeyExists(path)) return Fail(Status(Status::kNotFound, "no key"));
  if (!changes_refused_.empty()) {
    return Fail(Status(Status::kAccessDenied, changes_refused_));
  }
  if (ServerServesPrefix()) return Fail(Status(Status::kBusy, kServerRuns));
  Change change;
  change.kind = Change::kSetValue;
  change.path = path;
  change.name = name;
  change.type = type;
  change.data = data;
  change.time = now;
  if (!hive_->SetValue(path, name, type, data, now)) {
    return Fail(Status(Status::kInvalidArgument, "value refused"));
  }
  journal_.push_back(std::move(change));
  return Status();
}

Status HiveStore::ReloadAndReplay() {
  FileInfo info;
  std::string bytes;
  Status status = ReadUserReg(&info, &bytes);
  if (!status.ok()) return Fail(status);
  std::unique_ptr<wine::Hive> hive;
  status = LoadHive(std::move(bytes), &hive);
  if (!status.ok()) return status;
  for (const Change& change : journal_) {
    if (!ApplyChange(change, hive.get())) {
      return Fail(Status(Status::kCorrupt,
                         "cannot replay a change on the new file"));
    }
  }
  hive_ = std::move(hive);
  return Status();
}

void HiveStore::RemoveStaleTemporaryFiles(const std::string& directory,
                                          const std::string& of) {
  // Runs under the prefix's directory lock, which every writer takes before
  // it makes a temporary file for the prefix's user.reg, so any such file is
  // left over from a crash. In the directory a symlinked user.reg points
  // into, the names carry the target's own name, so that the temporaries of
  // other files there are never taken for ours.
  std::vector<std::string> names;
  if (!env_->ListDirectory(directory, &names).ok()) return;
  for (const std::string& name : names) {
    if (IsTemporaryFileName(name, of)) env_->RemoveFile(directory + "/" + name);
  }
}

std::string HiveStore::TemporaryPathFor(const std::string& file) {
  return file + kTemporaryInfix + std::to_string(getpid()) + "-" +
         std::to_string(temp_counter_++) + kTemporarySuffix;
}

Status HiveStore::WriteFile(const std::string& bytes, const FileInfo& target) {
  // Replacing a file with other hard links would part it from them.
  if (target.links > 1) return WriteInPlace(bytes, target);
  if (target.is_symlink) return WriteThroughSymlink(bytes, target);
  // The replacement gets the old file's mode, owner and group: run by an
  // administrator, the user's file must stay the user's, or their Wine
  // cannot read it and saves an empty hive over it. The last look for a
  // server comes after the write, as late as it can.
  return ReplaceFile(env_, UserRegPath(), TemporaryPathFor(UserRegPath()),
                     bytes, target,
                     [&] { return CheckNoServerAppeared(target); });
}

Status HiveStore::WriteThroughSymlink(const std::string& bytes,
                                      const FileInfo& target) {
  // The link stays; the file it leads to is replaced, from a temporary file
  // beside it so that the rename stays within one file system.
  std::string real;
  Status status = env_->RealPath(UserRegPath(), &real);
  if (!status.ok()) return status;
  FileInfo found;
  status = env_->GetFileInfo(real, &found);
  if (!status.ok() || !found.SameVersionAs(target)) {
    return Status(Status::kBusy, "user.reg changed during the save");
  }
  RemoveStaleTemporaryFiles(DirectoryOf(real), NameOf(real));
  const std::string temp = TemporaryPathFor(real);
  std::unique_ptr<WritableFile> new_file;
  status = env_->NewExclusiveFile(temp, target, &new_file);
  if (!status.ok()) {
    // A directory that takes no new file (not the user's to write, say):
    // the file is rewritten where it is instead.
    return WriteInPlace(bytes, target);
  }
  return ReplaceFileWith(env_, real, temp, std::move(new_file), bytes,
                         [&] { return CheckNoServerAppeared(target); });
}

Status HiveStore::WriteInPlace(const std::string& bytes,
                               const FileInfo& target) {
  // Keeps the links: the file's own bytes are overwritten, after room for
  // them is reserved (see RewriteFile).
  std::string original;
  Status status = env_->ReadFile(UserRegPath(), &original);
  if (!status.ok()) return status;
  return RewriteFile(env_, UserRegPath(), bytes, original,
                     [&] { return CheckNoServerAppeared(target); });
}

Status HiveStore::CheckNoServerAppeared(const FileInfo& read_version) {
  // The locks keep out every server whose lock file is known. One whose
  // lock is not (another TMPDIR, or the first start of Debian's Wine in
  // the prefix, which picks a new directory name) is seen only in /proc:
  // looked for as late as possible, so that the file changes only
  // milliseconds after the last look. Such a server that ran when the
  // locks were taken and has exited since saved the registry on its way
  // out if it had changes: then user.reg is no longer the version read.
  proc_found_free_ = !guard_->ServerAppeared();
  if (!proc_found_free_) {
    return Status(Status::kBusy, "a wineserver started for the prefix");
  }
  FileInfo now;
  if (!env_->GetFileInfo(UserRegPath(), &now).ok() ||
      !now.SameVersionAs(read_version)) {
    return Status(Status::kBusy, "user.reg changed during the save");
  }
  return Status();
}

Status HiveStore::Save() {
  if (journal_.empty()) return Status();
  // Only the save's own last look counts for the changes after it.
  proc_found_free_ = false;
  Status status = server_.GuardSave(&guard_);
  if (!status.ok()) return Fail(status);
  // The guard goes however the save ends.
  struct ReleaseAtEnd {
    std::unique_ptr<SaveGuard>* guard;
    ~ReleaseAtEnd() { guard->reset(); }
  } release_at_end{&guard_};
  RemoveStaleTemporaryFiles(location_.directory, "user.reg");

  FileInfo current;
  status = env_->GetFileInfo(UserRegPath(), &current);
  if (!status.ok()) return Fail(status);
  if (!current.is_regular) {
    return Fail(Status(Status::kWriteError, UserRegPath() + ": not a file"));
  }
  if (!current.SameVersionAs(loaded_version_)) {
    status = ReloadAndReplay();
    if (!status.ok()) return status;
  }

  status = WriteFile(hive_->Bytes(), current);
  if (!status.ok()) {
    // The file on disk may now differ from what was loaded (a failed
    // directory sync after the rename); compare again at the next save.
    loaded_version_ = FileInfo();
    return Fail(AsWriteFailure(status));
  }
  journal_.clear();
  if (!env_->GetFileInfo(UserRegPath(), &loaded_version_).ok()) {
    loaded_version_ = FileInfo();
  }
  return Status();
}

}  // namespace prefix
}  // namespace regservice
