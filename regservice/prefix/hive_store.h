// The user.reg of one Wine prefix: loaded once, changed in memory, and
// saved back safely.
//
// Every change is applied to the loaded Hive and also kept in a journal
// (make a key, set a value). Save() writes the changes into the file: under
// an exclusive flock on the prefix directory, it reads user.reg again if it
// changed since it was loaded and replays the journal on the new text, so
// two processes never lose each other's changes. It refuses while a
// wineserver serves the prefix (or may, unseen), and while writing holds the
// lock of every server directory a server started now would use, so that
// none can start meanwhile (doc/running-wine.md). The file is replaced atomically (a temporary
// file in the prefix directory, fsync, rename, fsync of the directory) and
// keeps its mode, owner and group, so that a run by an administrator leaves
// the user's file theirs. A symlinked user.reg keeps its link: the file it
// leads to is replaced the same way, from a temporary file in that file's
// own directory. A file with several hard links, or behind a link in a
// directory that takes no new file, is rewritten in place, as Wine does, so
// that the links survive; the room the rewrite needs is reserved first, so
// that a full disk leaves it untouched.
// Nothing is ever created when the prefix or user.reg is missing, and only
// a file Wine would load is written: one whose #arch, if it has one, is the
// prefix's (the #arch of system.reg; 32-bit when that names none).
//
// Not thread-safe.
#ifndef QUILLFIX_REGSERVICE_PREFIX_HIVE_STORE_H_
#define QUILLFIX_REGSERVICE_PREFIX_HIVE_STORE_H_

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "regservice/prefix/env.h"
#include "regservice/prefix/running_server.h"
#include "regservice/status.h"
#include "regservice/wine/hive.h"

namespace regservice {
namespace prefix {

// One change as it is replayed on a freshly read file.
struct Change {
  enum Kind { kCreateKey, kSetValue };
  Kind kind = kCreateKey;
  wine::KeyPath path;
  wine::Name name;  // kSetValue only
  uint32_t type = 0;
  std::string data;
  uint64_t time = 0;  // FILETIME of the change
};

class HiveStore {
 public:
  // `env` must outlive the store.
  HiveStore(Env* env, PrefixLocation location);

  // Loads user.reg on the first call that finds it usable; after that,
  // succeeds without reading again. Fails with kNotFound when the prefix or
  // user.reg is missing (or no prefix is named), kCorrupt when Wine would
  // not load the file (its #arch is not the prefix's included), kReadError
  // when it cannot be read or is not a regular file.
  Status Load();

  // hive(), CreateKey() and SetValue() REQUIRE that Load() succeeded.
  const wine::Hive& hive() const { return *hive_; }

  // Makes the key and the missing keys above it. Changes nothing when it
  // exists. kBusy when it would have to be made while a wineserver serves
  // the prefix; kInvalidArgument for an empty or over-long element.
  Status CreateKey(const wine::KeyPath& path, uint64_t now);

  // Sets a value of an existing key. kBusy while a wineserver serves the
  // prefix; kNotFound when the key is gone.
  Status SetValue(const wine::KeyPath& path, const wine::Name& name,
                  uint32_t type, const std::string& data, uint64_t now);

  // Whether changes are waiting for Save().
  bool HasPendingChanges() const { return !journal_.empty(); }

  // Writes the pending changes into user.reg (see the file comment). On
  // failure the file is as it was, no temporary file is left and the
  // changes stay pending. kBusy while a server runs, or when what is found
  // where one keeps its lock makes that unknowable; kNotFound if user.reg
  // has gone; kCorrupt if it changed into something Wine would not load;
  // kAccessDenied when the prefix may not be written; kReadError when the
  // changed file cannot be read again; kWriteError when writing fails
  // otherwise.
  Status Save();

  // Tells the store that a look for a server of the prefix, /proc
  // included, found the prefix free just now, so that the first change
  // need not search /proc again. The lock files are still probed at every
  // change.
  void NoteFoundFree() { proc_found_free_ = true; }

  // Every later change fails with kAccessDenied and `why`, touching
  // nothing and looking for no server: for a prefix of another user's,
  // which may be read but is not this run's to write, nor its servers'
  // files to make.
  void RefuseChanges(const std::string& why) { changes_refused_ = why; }

  // The message of the last failure, for diagnostics.
  const std::string& last_error() const { return last_error_; }

  std::string UserRegPath() const { return location_.directory + "/user.reg"; }

 private:
  Status Fail(Status status);
  // Whether the prefix must be left alone: a wineserver serves it now, or
  // may without being seen.
  bool ServerServesPrefix();
  // Reads user.reg, stat first, into *bytes with room for edits; *info is
  // the version stat saw.
  Status ReadUserReg(FileInfo* info, std::string* bytes);
  // Loads `bytes` as a hive Wine would load in this prefix.
  Status LoadHive(std::string bytes, std::unique_ptr<wine::Hive>* hive);
  // A user.reg of `info`'s size that memory cannot hold: a read error
  // that says so, as for any file that cannot be loaded.
  Status TooLarge(const FileInfo& info) const;
  Status ReloadAndReplay();
  // Removes our temporary files for the file `of` in `directory`.
  void RemoveStaleTemporaryFiles(const std::string& directory,
                                 const std::string& of);
  // A new name for a temporary file that is to replace `file`.
  std::string TemporaryPathFor(const std::string& file);
  // Writes `bytes` into user.reg, found as `target`, the way its links
  // allow.
  Status WriteFile(const std::string& bytes, const FileInfo& target);
  Status WriteThroughSymlink(const std::string& bytes, const FileInfo& target);
  Status WriteInPlace(const std::string& bytes, const FileInfo& target);
  // kBusy when /proc shows a server of the prefix now, or user.reg is no
  // longer `read_version`.
  Status CheckNoServerAppeared(const FileInfo& read_version);

  Env* env_;
  PrefixLocation location_;
  RunningServer server_;
  // Held during a save (Save and the checks it runs), else null.
  std::unique_ptr<SaveGuard> guard_;
  std::unique_ptr<wine::Hive> hive_;  // null until loaded
  FileInfo loaded_version_;           // user.reg as last read or written
  std::vector<Change> journal_;
  unsigned int temp_counter_ = 0;
  // A look in /proc since the last save began found the prefix free.
  bool proc_found_free_ = false;
  std::string changes_refused_;  // why changes fail, when they do
  std::string last_error_;
};

// Applies one change to a hive; false if the hive refused it.
bool ApplyChange(const Change& change, wine::Hive* hive);

// Names of our temporary files for the file named `of`:
// "<of>.quillfix-<pid>-<n>.tmp", "user.reg.quillfix-<pid>-<n>.tmp" in the
// prefix. Wine names its own "reg<hex>.tmp".
bool IsTemporaryFileName(const std::string& name,
                         const std::string& of = "user.reg");

}  // namespace prefix
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_PREFIX_HIVE_STORE_H_
