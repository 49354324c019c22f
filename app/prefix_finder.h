// Finds the Wine prefixes a user keeps: those of plain Wine and of the
// Wine managers (winetricks, Bottles, Lutris, Heroic, PlayOnLinux,
// CrossOver, Steam's Proton, the flatpak'd Wine), in the places each of
// them keeps its prefixes or names them in its configuration files.
//
// A prefix is a directory holding a user.reg. Only the known places are
// looked at, one level deep, so the cost grows with the number of
// prefixes, not with the size of the home directory. A place that cannot
// be read is skipped; a configuration file that cannot be parsed is
// skipped with a warning naming it. Reads only.
#ifndef QUILLFIX_APP_PREFIX_FINDER_H_
#define QUILLFIX_APP_PREFIX_FINDER_H_

#include <functional>
#include <string>
#include <vector>

#include "regservice/prefix/env.h"

namespace finder {

struct FoundPrefix {
  std::string path;   // as found (a configured path as written there)
  std::string maker;  // e.g. Bottles "Office", Steam app 12345
};

// Where to look: the user's home directory (absolute; empty for none) and
// the value of WINEPREFIX (empty when unset; used only when absolute).
struct Places {
  std::string home;
  std::string wineprefix;
};

// Receives one line, without a line end, for each configuration file
// skipped as broken: "<path>: <what is wrong>".
using Warn = std::function<void(const std::string&)>;

// Every prefix found, in a stable order: the places in the order of the
// table in the README, the entries of a directory sorted by name. A
// directory reached twice (the same device and inode: a symlink, two
// managers naming it) is listed once, under the first name and maker it
// was reached by.
std::vector<FoundPrefix> FindPrefixes(regservice::prefix::Env* env,
                                      const Places& places, const Warn& warn);

// The parsers of the managers' files, on their text; each returns false
// with *error set when the text is not in its format, and true with
// nothing found when it is but names no prefix.

// A Lutris game configuration (games/*.yml): game: prefix:, and the game's
// name when the file has one.
bool ReadLutrisGame(const std::string& text, std::string* prefix,
                    std::string* name, std::string* error);

// A Heroic game configuration (GamesConfig/<app>.json): the winePrefix of
// each top-level object that has one, with that object's key.
bool ReadHeroicGame(const std::string& text,
                    std::vector<std::pair<std::string, std::string>>* found,
                    std::string* error);

// Bottles' data.yml: custom_bottles_path, empty when it keeps none.
bool ReadBottlesData(const std::string& text, std::string* custom_path,
                     std::string* error);

}  // namespace finder

#endif  // QUILLFIX_APP_PREFIX_FINDER_H_
