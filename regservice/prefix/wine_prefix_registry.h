// The Registry over the current user's hive of a Wine prefix, user.reg,
// read and written directly while no Wine runs. Registry::Default() on
// this platform.
//
// Answers as Wine's registry does for the seven operations: paths are split
// at backslashes with empty elements skipped (a leading backslash is
// ERROR_BAD_PATHNAME), a path of more than 260 UTF-16 units is
// ERROR_MORE_DATA, names are matched without regard to case, names and
// string data are converted from the ANSI code page (winshim's
// MultibyteCodePage) to UTF-16.
//
// Changes are kept in memory and written to user.reg when the last open key
// handle of the process is closed (HKEY_CURRENT_USER aside), when
// HKEY_CURRENT_USER is closed with changes pending, and by Flush(), which
// Default() runs at normal exit. A crash, or a kill, before that loses the
// changes made since the last write, as on Windows, whose registry also
// writes lazily. A change is refused while a wineserver serves the prefix.
//
// When the prefix or its user.reg is missing, or Wine would not load the
// file, every operation fails and nothing is created on disk.
//
// Not thread-safe.
#ifndef QUILLFIX_REGSERVICE_PREFIX_WINE_PREFIX_REGISTRY_H_
#define QUILLFIX_REGSERVICE_PREFIX_WINE_PREFIX_REGISTRY_H_

#include <stdint.h>

#include <functional>
#include <string>

#include "regservice/prefix/env.h"
#include "regservice/prefix/handle_table.h"
#include "regservice/prefix/hive_store.h"
#include "regservice/registry.h"

namespace regservice {
namespace prefix {

// The prefix the process environment names: $WINEPREFIX (trailing slashes
// dropped), else $HOME/.wine; TMPDIR for finding a wineserver. An empty
// directory, for no prefix, when WINEPREFIX is set but not an absolute path
// (empty included), as Wine refuses it, or when neither variable is set.
PrefixLocation PrefixLocationFromEnvironment();

// The Windows error code of a store's or the format layer's result.
LONG WindowsError(const Status& status);

class WinePrefixRegistry : public Registry {
 public:
  // `env` must outlive the registry.
  WinePrefixRegistry(Env* env, PrefixLocation location);
  ~WinePrefixRegistry() override;

  LONG OpenKey(HKEY key, LPCSTR sub_key, PHKEY result) override;
  LONG OpenKeyEx(HKEY key, LPCSTR sub_key, DWORD options, REGSAM access,
                 PHKEY result) override;
  LONG CreateKey(HKEY key, LPCSTR sub_key, PHKEY result) override;
  LONG SetValueEx(HKEY key, LPCSTR value_name, DWORD reserved, DWORD type,
                  const BYTE* data, DWORD size) override;
  LONG QueryInfoKey(HKEY key, LPSTR class_name, LPDWORD class_length,
                    LPDWORD reserved, LPDWORD subkeys,
                    LPDWORD max_subkey_length, LPDWORD max_class_length,
                    LPDWORD values, LPDWORD max_value_name_length,
                    LPDWORD max_value_length, LPDWORD security_descriptor_size,
                    PFILETIME last_write_time) override;
  LONG CloseKey(HKEY key) override;
  LONG QueryValueEx(HKEY key, LPCSTR value_name, LPDWORD reserved,
                    LPDWORD type, LPBYTE data, LPDWORD size) override;

  // Writes pending changes now. ERROR_SUCCESS when there were none.
  LONG Flush();

  // Replaces the clock (FILETIME, 100 ns units since 1601) for tests.
  void set_clock(std::function<uint64_t()> clock) { clock_ = std::move(clock); }

  const HiveStore& store() const { return store_; }

  // See HiveStore::NoteFoundFree.
  void NoteFoundFree() { store_.NoteFoundFree(); }
  // See HiveStore::RefuseChanges.
  void RefuseChanges(const std::string& why) { store_.RefuseChanges(why); }

 private:
  // Loads the hive unless it is loaded.
  LONG LoadHive();
  // The key an open handle or HKEY_CURRENT_USER names, the hive loaded.
  // ERROR_INVALID_HANDLE for anything else; the load's error if the hive
  // cannot be used.
  LONG Resolve(HKEY key, wine::KeyPath* path);
  // Whether `sub_key` fits the 260 UTF-16 units that Wine's A functions
  // convert a path into; a null path does.
  bool PathFitsConversion(LPCSTR sub_key) const;
  // Appends the elements of `sub_key` to *path.
  LONG ParseSubKey(LPCSTR sub_key, wine::KeyPath* path) const;
  LONG OpenPath(HKEY key, LPCSTR sub_key, PHKEY result);
  // RegQueryInfoKeyA's class outputs: `class_text` into `buffer` (may be
  // null) of *length bytes, and its length in bytes into *length.
  LONG CopyClass(const std::u16string& class_text, LPSTR buffer,
                 LPDWORD length) const;
  unsigned int CodePage() const;

  HiveStore store_;
  HandleTable handles_;
  std::function<uint64_t()> clock_;
};

}  // namespace prefix
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_PREFIX_WINE_PREFIX_REGISTRY_H_
