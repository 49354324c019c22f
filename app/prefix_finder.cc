#include "app/prefix_finder.h"

#include <nlohmann/json.hpp>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <utility>

#include "app/terminal_text.h"
#include "app/vdf_reader.h"

namespace finder {
namespace {

using regservice::Status;
using regservice::prefix::Env;
using regservice::prefix::FileInfo;

// The managers' files are small; a larger one is not theirs.
constexpr size_t kMaxConfigBytes = 1 << 20;

// yaml-cpp reads nested nodes by recursion. Debian's 0.7 stops at a depth
// of its own ("bad file"); older releases go on to the end of the stack.
// Text nested deeper than this is refused before it is parsed, with a
// message that says why, whichever yaml-cpp the program links. Lutris
// writes a few levels.
constexpr int kMaxYamlNesting = 64;

// How long a parser's message may be: its own words and a quote.
constexpr size_t kMaxErrorChars = 200;

std::string ParserError(const char* what) {
  return text::MessageText(what, kMaxErrorChars);
}

std::string Labelled(const std::string& maker, const std::string& name) {
  return maker + " \"" + text::MessageText(name) + "\"";
}

// An absolute path without the elements that change nothing (empty ones,
// ".") and without a final slash: /L//./ is /L. ".." is kept, since
// where it leads depends on the links on the way.
std::string WithoutNoOpElements(const std::string& path) {
  std::string out;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string element = path.substr(start, end - start);
    if (!element.empty() && element != ".") out += "/" + element;
    start = end + 1;
  }
  return out.empty() ? "/" : out;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() &&
         text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A coarse bound on how deep YAML text nests: brackets of flow
// collections, and block nesting by indentation and by "- " entries that
// open a sequence inside another on one line. Comments and quoted scalars
// (which may run over several lines) nest nothing and are passed over.
class YamlNestingScan {
 public:
  explicit YamlNestingScan(const std::string& text) : text_(text) {}

  int Deepest() {
    size_t line_start = 0;
    while (line_start < text_.size()) {
      size_t line_end = text_.find('\n', line_start);
      if (line_end == std::string::npos) line_end = text_.size();
      ScanLine(line_start, line_end);
      line_start = line_end + 1;
    }
    return deepest_;
  }

 private:
  void ScanLine(size_t i, size_t line_end) {
    bool scalar_may_start = true;
    if (quote_ == 0) {
      const size_t line_start = i;
      while (i < line_end && (text_[i] == ' ' || text_[i] == '\t')) ++i;
      // A comment or a blank line nests nothing, however indented.
      if (i == line_end || text_[i] == '#') return;
      block_ = static_cast<int>(i - line_start);
      while (i + 1 < line_end && (text_[i] == '-' || text_[i] == '?') &&
             text_[i + 1] == ' ') {
        block_ += 2;
        i += 2;
        while (i < line_end && text_[i] == ' ') ++i;
      }
    }
    for (; i < line_end; ++i) {
      const char c = text_[i];
      if (quote_ != 0) {
        if (quote_ == '"' && c == '\\') {
          ++i;  // an escaped character, a quote among them
        } else if (c == quote_) {
          // '' inside single quotes is one quote, not the end.
          if (quote_ == '\'' && i + 1 < line_end && text_[i + 1] == '\'') {
            ++i;
          } else {
            quote_ = 0;
            scalar_may_start = false;
          }
        }
        continue;
      }
      if (c == ' ' || c == '\t') continue;
      const bool after_space =
          i == 0 || text_[i - 1] == ' ' || text_[i - 1] == '\t';
      if (c == '#' && after_space) return;  // a comment, to the line's end
      // A quote opens a quoted scalar only where a scalar begins; inside
      // a plain one (It's) it is a character of it.
      if ((c == '"' || c == '\'') && scalar_may_start) {
        quote_ = c;
        continue;
      }
      if (c == '[' || c == '{') ++flow_;
      if ((c == ']' || c == '}') && flow_ > 0) --flow_;
      deepest_ = std::max(deepest_, flow_ + block_ / 2);
      const bool value_follows =
          c == ':' && (i + 1 == line_end || text_[i + 1] == ' ');
      scalar_may_start =
          c == '[' || c == '{' || c == ',' || value_follows ||
          (c == '-' && (i + 1 == line_end || text_[i + 1] == ' '));
    }
    deepest_ = std::max(deepest_, flow_ + block_ / 2);
  }

  const std::string& text_;
  int deepest_ = 0;
  int flow_ = 0;
  int block_ = 0;
  char quote_ = 0;
};

int YamlNesting(const std::string& text) {
  return YamlNestingScan(text).Deepest();
}

bool LoadYaml(const std::string& text, YAML::Node* root, std::string* error) {
  if (YamlNesting(text) > kMaxYamlNesting) {
    *error = "nested more than " + std::to_string(kMaxYamlNesting) +
             " levels deep";
    return false;
  }
  try {
    *root = YAML::Load(text);
  } catch (const YAML::Exception& e) {
    *error = ParserError(e.what());
    return false;
  }
  return true;
}

// The scalar at `key` of a map node, or empty.
std::string ScalarAt(const YAML::Node& map, const char* key) {
  if (!map.IsDefined() || !map.IsMap()) return "";
  const YAML::Node value = map[key];
  if (!value.IsDefined() || !value.IsScalar()) return "";
  return value.Scalar();
}

class Finder {
 public:
  Finder(Env* env, const Places& places, const Warn& warn)
      : env_(env), places_(places), warn_(warn) {
    if (!places_.home.empty() && places_.home[0] != '/') places_.home.clear();
  }

  std::vector<FoundPrefix> Run() {
    Wine();
    InEach(Home(".local/share/wineprefixes"), "winetricks");
    Bottles();
    Lutris();
    Heroic();
    InEach(Home(".PlayOnLinux/wineprefix"), "PlayOnLinux");
    InEach(Home(".cxoffice"), "CrossOver");
    Steam();
    Consider(Home(".var/app/org.winehq.Wine/data/wine"), "Wine (flatpak)");
    return std::move(found_);
  }

 private:
  void Wine() {
    if (!places_.wineprefix.empty() && places_.wineprefix[0] == '/') {
      Consider(places_.wineprefix, "Wine (WINEPREFIX)");
    }
    Consider(Home(".wine"), "Wine");
  }

  void Bottles() {
    for (const char* base :
         {".local/share/bottles", ".var/app/com.usebottles.bottles/data/bottles"}) {
      InEach(Home(base) + "/bottles", "Bottles");
      std::string text, error, custom;
      const std::string data = Home(base) + "/data.yml";
      if (!ReadConfig(data, &text)) continue;
      if (!ReadBottlesData(text, &custom, &error)) {
        Warning(data, error);
      } else if (!custom.empty()) {
        InEach(Expanded(custom), "Bottles");
      }
    }
  }

  void Lutris() {
    for (const char* games :
         {".config/lutris/games", ".local/share/lutris/games",
          ".var/app/net.lutris.Lutris/config/lutris/games"}) {
      for (const std::string& name : SortedEntries(Home(games))) {
        if (!EndsWith(name, ".yml")) continue;
        const std::string file = Home(games) + "/" + name;
        std::string text, prefix, game, error;
        if (!ReadConfig(file, &text)) continue;
        if (!ReadLutrisGame(text, &prefix, &game, &error)) {
          Warning(file, error);
          continue;
        }
        if (game.empty()) game = name.substr(0, name.size() - 4);
        Consider(Expanded(prefix), Labelled("Lutris", game));
      }
    }
    InEach(Home("Games"), "Lutris");
  }

  void Heroic() {
    for (const char* config :
         {".config/heroic/GamesConfig",
          ".var/app/com.heroicgameslauncher.hgl/config/heroic/GamesConfig"}) {
      for (const std::string& name : SortedEntries(Home(config))) {
        if (!EndsWith(name, ".json")) continue;
        const std::string file = Home(config) + "/" + name;
        std::string text, error;
        std::vector<std::pair<std::string, std::string>> games;
        if (!ReadConfig(file, &text)) continue;
        if (!ReadHeroicGame(text, &games, &error)) {
          Warning(file, error);
          continue;
        }
        for (const auto& game : games) {
          Consider(Expanded(game.second), Labelled("Heroic", game.first));
        }
      }
    }
    InEach(Home("Games/Heroic/Prefixes/default"), "Heroic");
  }

  // Each library of each Steam installation: the installation's own and
  // those its libraryfolders.vdf names.
  void Steam() {
    std::vector<std::string> libraries;
    for (const char* root :
         {".steam/steam", ".local/share/Steam",
          ".var/app/com.valvesoftware.Steam/.local/share/Steam"}) {
      if (places_.home.empty()) break;
      libraries.push_back(Home(root));
      const std::string file = Home(root) + "/steamapps/libraryfolders.vdf";
      std::string text, error;
      if (!ReadConfig(file, &text)) continue;
      vdf::Node tree;
      if (!vdf::Parse(text, &tree, &error)) {
        Warning(file, error);
        continue;
      }
      for (const std::string& path : vdf::SteamLibraryPaths(tree)) {
        if (!path.empty() && path[0] == '/') libraries.push_back(path);
      }
    }
    // A library named in many spellings (/L, /L/., //L, a symlink) is one
    // directory: it is told apart by device and inode, so the work grows
    // with the libraries, not with the ways they are written.
    // Spellings that differ only by empty and "." elements are one path
    // before any look at the disk.
    std::set<std::string> spelled;
    std::set<std::pair<uint64_t, uint64_t>> done;
    for (const std::string& library : libraries) {
      if (!spelled.insert(WithoutNoOpElements(library)).second) continue;
      const std::string compatdata = library + "/steamapps/compatdata";
      FileInfo info;
      if (!env_->GetFileInfo(compatdata, &info).ok() || !info.is_directory ||
          !done.insert({info.device, info.inode}).second) {
        continue;
      }
      for (const std::string& app : SortedEntries(compatdata)) {
        Consider(compatdata + "/" + app + "/pfx",
                 "Steam app " + text::MessageText(app));
      }
    }
  }

  // Each entry of `directory` that is a prefix, named after the entry.
  void InEach(const std::string& directory, const std::string& maker) {
    for (const std::string& name : SortedEntries(directory)) {
      Consider(directory + "/" + name, Labelled(maker, name));
    }
  }

  // Adds `path` when it is a directory holding a user.reg (through
  // symlinks) that was not found before.
  void Consider(const std::string& path, const std::string& maker) {
    if (path.empty() || path[0] != '/') return;
    FileInfo directory, user_reg;
    if (!env_->GetFileInfo(path, &directory).ok() ||
        !directory.is_directory) {
      return;
    }
    if (!env_->GetFileInfo(path + "/user.reg", &user_reg).ok() ||
        !user_reg.is_regular) {
      return;
    }
    if (!seen_.insert({directory.device, directory.inode}).second) return;
    found_.push_back(FoundPrefix{path, maker});
  }

  // The entries of a directory, sorted; none when it cannot be read.
  std::vector<std::string> SortedEntries(const std::string& directory) {
    std::vector<std::string> names;
    if (directory.empty() || !env_->ListDirectory(directory, &names).ok()) {
      return {};
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  // The text of a configuration file; false, silently, when there is none
  // or it cannot be read, and with a warning when it is too large.
  bool ReadConfig(const std::string& path, std::string* text) {
    if (places_.home.empty()) return false;
    const Status status = env_->ReadFileStart(path, kMaxConfigBytes + 1, text);
    if (!status.ok()) return false;
    if (text->size() > kMaxConfigBytes) {
      Warning(path, "larger than " + std::to_string(kMaxConfigBytes) +
                        " bytes");
      return false;
    }
    return true;
  }

  void Warning(const std::string& path, const std::string& what) {
    warn_(text::ForPeople(path) + ": " + text::MessageText(what));
  }

  // A path below the home directory; empty when there is no home.
  std::string Home(const std::string& relative) const {
    if (places_.home.empty()) return "";
    return places_.home + "/" + relative;
  }

  // A configured path with a leading "~" or "~/" read as the home
  // directory, as the managers expand it; empty when it is not absolute.
  std::string Expanded(const std::string& configured) const {
    if (configured == "~" || configured.compare(0, 2, "~/") == 0) {
      if (places_.home.empty()) return "";
      return places_.home + configured.substr(1);
    }
    if (configured.empty() || configured[0] != '/') return "";
    return configured;
  }

  Env* env_;
  Places places_;
  Warn warn_;
  std::set<std::pair<uint64_t, uint64_t>> seen_;
  std::vector<FoundPrefix> found_;
};

}  // namespace

std::vector<FoundPrefix> FindPrefixes(Env* env, const Places& places,
                                      const Warn& warn) {
  return Finder(env, places, warn).Run();
}

bool ReadLutrisGame(const std::string& text, std::string* prefix,
                    std::string* name, std::string* error) {
  prefix->clear();
  name->clear();
  YAML::Node root;
  if (!LoadYaml(text, &root, error)) return false;
  try {
    *name = ScalarAt(root, "name");
    if (root.IsMap()) *prefix = ScalarAt(root["game"], "prefix");
  } catch (const YAML::Exception& e) {
    *error = ParserError(e.what());
    return false;
  }
  return true;
}

bool ReadHeroicGame(const std::string& text,
                    std::vector<std::pair<std::string, std::string>>* found,
                    std::string* error) {
  found->clear();
  nlohmann::json root;
  try {
    root = nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    *error = ParserError(e.what());
    return false;
  }
  if (!root.is_object()) {
    *error = "not a JSON object";
    return false;
  }
  for (const auto& entry : root.items()) {
    if (!entry.value().is_object()) continue;  // "version", "explicit"
    const auto prefix = entry.value().find("winePrefix");
    if (prefix == entry.value().end() || !prefix->is_string()) continue;
    found->emplace_back(entry.key(), prefix->get<std::string>());
  }
  return true;
}

bool ReadBottlesData(const std::string& text, std::string* custom_path,
                     std::string* error) {
  custom_path->clear();
  YAML::Node root;
  if (!LoadYaml(text, &root, error)) return false;
  try {
    *custom_path = ScalarAt(root, "custom_bottles_path");
  } catch (const YAML::Exception& e) {
    *error = ParserError(e.what());
    return false;
  }
  return true;
}

}  // namespace finder
