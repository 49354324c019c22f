// The current user's hive of a Wine prefix (the text of user.reg) held in
// memory, read and changed the way Wine's registry server would, and saved
// back byte for byte except for the sections of the keys that changed.
//
// Not thread-safe. Knows nothing of files, locks or code pages: the caller
// hands in the file's bytes and takes the new bytes back.
//
// The bytes stay the source of truth. Loading reads the lines once and keeps
// where each section starts; a key's values are read from its sections'
// text when they are asked for or changed. A change splices the text: the
// lines it rewrites are in Wine's own form and end like the file's first
// line (LF or CRLF); every other byte stays as it was. The format is
// described in doc/user-reg-format.md.
#ifndef QUILLFIX_REGSERVICE_WINE_HIVE_H_
#define QUILLFIX_REGSERVICE_WINE_HIVE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "regservice/status.h"
#include "regservice/wine/reg_names.h"
#include "regservice/wine/sections.h"

namespace regservice {
namespace wine {

// What RegQueryInfoKey reports of a key. Lengths count UTF-16 units.
struct KeyInfo {
  Name class_name;
  uint32_t subkeys = 0;
  uint32_t max_subkey_name = 0;
  uint32_t values = 0;
  uint32_t max_value_name = 0;
  uint32_t max_value_data = 0;  // bytes
  uint64_t last_write = 0;      // FILETIME: 100 ns units since 1601-01-01
};

struct Value {
  uint32_t type = 0;
  std::string data;  // raw bytes
};

class Hive {
 public:
  Hive() = default;
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;

  // Takes the bytes of a user.reg. Returns kCorrupt, with a message such as
  // "user.reg:1: not a valid registry file", when Wine would
  // ignore the whole file (first line not exactly "WINE REGISTRY Version 2",
  // an empty file, a wrong or unknown #arch before the first section); the
  // hive is then empty and must not be saved. The other messages are
  // "user.reg:<line>: unknown architecture '<line text>'" and "...:
  // mismatched architecture '...'" (win32 and win64 are accepted, but not
  // both). An #arch line right after a rejected header counts too, as for
  // Wine. Lines Wine would skip or half-read are kept as they are and read
  // the way Wine reads them. Bytes() still gives the bytes after a failure.
  Status Load(std::string bytes);

  // The file's bytes with every change made since Load. Identical to the
  // loaded bytes while nothing changed.
  const std::string& Bytes() const { return bytes_; }
  bool Modified() const { return modified_; }

  // The architecture the file's global "#arch=" option names ("win32" or
  // "win64"); empty when it has none. Wine loads the file only when this
  // is the prefix's.
  const std::string& Architecture() const { return arch_; }

  // Names are matched without regard to case, as Wine matches them
  // (Unicode lowercase of each UTF-16 unit).
  bool KeyExists(const KeyPath& path) const;

  // Makes the key and every missing key above it, as RegCreateKey does, and
  // gives new keys and the parent of each new key the time `now`. Making a
  // key that exists changes nothing. Returns false if an element is empty,
  // longer than 256 units, or holds a backslash or a NUL.
  //
  // Only the deepest new key gets a section ("[path] secs" and "#time="),
  // as Wine writes it; the keys above it exist through its path, which uses
  // the existing keys' first spelling. The section goes where Wine's sorted,
  // depth-first order puts it: after everything of the sibling that sorts
  // just before it, else before everything of the one just after it, else
  // after the parent's last section, else at the end. In a file out of
  // order "everything of" means the last (or first) such section in the
  // file. The existing parent's last section, if it has one, gets the time.
  bool CreateKey(const KeyPath& path, uint64_t now);

  // Sets a value of an existing key (false if the key does not exist, or
  // the name is longer than 16383 units): exact bytes and type. A name that
  // exists in another case keeps its first spelling. The key's time becomes
  // `now`, written into its last section, the one Wine takes it from.
  //
  // An existing value's last line (with its continuation lines) is
  // replaced; earlier lines for the same name, in this or other sections,
  // are left alone, since the last one is what Wine reads. A new value goes
  // into the key's last section: where Wine's order puts it if that
  // section's values are sorted, else after its last value. A key without a
  // section of its own (one that exists only as part of deeper paths, or
  // the root) gets one, placed before its subkeys' sections ("[]" first).
  bool SetValue(const KeyPath& path, const Name& name, uint32_t type,
                const std::string& data, uint64_t now);

  // False if the key or the value does not exist.
  bool GetValue(const KeyPath& path, const Name& name, Value* value) const;

  // False if the key does not exist. The class is the text of the last
  // well-formed "#class=" of the key's sections. (Wine keeps a NUL after a
  // class it loaded and counts it: RegQueryInfoKey reports 4 for
  // #class="q\"x"; class_name here is the 3 units of text.)
  // last_write is what Wine loads: the last "#time=" of the key's sections,
  // else the seconds after the "]" of the header that made the key (the
  // first one whose path holds it; later headers' seconds do not count),
  // else 0 where Wine would use the time it loaded the file.
  // Without count_subkeys, subkeys and max_subkey_name are left 0.
  bool QueryKey(const KeyPath& path, KeyInfo* info,
                bool count_subkeys = true) const;

 private:
  struct SectionScan;
  struct KeyValues;
  struct KeyView;
  struct Splice;

  // Load's work: false, with the message in *error, for a file Wine
  // would not load.
  bool Parse(std::string bytes, std::string* error);
  void Reset();
  bool CheckArchitecture(const LexedLine& line, std::string* arch,
                         std::string* error) const;
  bool View(const KeyPath& path, KeyView* view, bool own_only = false) const;
  KeyPath FirstSpelling(const KeyPath& path) const;
  void ScanSection(uint32_t section, SectionScan* scan) const;
  void CollectValues(const std::vector<uint32_t>& sections,
                     KeyValues* merged, SectionScan* last) const;

  void AddTimeSplices(uint32_t section, const SectionScan& scan, uint64_t now,
                      std::vector<Splice>* splices) const;
  size_t PlaceForNewChild(const KeyView& parent, const Name& child) const;
  size_t PlaceForSectionOf(const KeyPath& path, const KeyView& view) const;
  bool EndsInDanglingValue() const;
  std::string SectionInsertText(size_t place, std::string section) const;
  size_t BackOverBlankLines(size_t pos) const;
  std::string NewSectionText(const KeyPath& path, uint64_t now) const;
  void Apply(std::vector<Splice>* splices);
  void WriteSplices(const std::vector<Splice>& splices);
  void InsertSection(size_t place, std::string text, const KeyPath& path,
                     std::vector<Splice>* splices);

  std::string bytes_;
  std::string eol_ = "\n";
  std::string arch_;  // of the #arch option, empty without one
  bool loaded_ = false;
  bool modified_ = false;
  Sections sections_;
};

}  // namespace wine
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_WINE_HIVE_H_
