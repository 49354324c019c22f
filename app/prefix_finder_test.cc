// The finder over fixture homes laid out as each Wine manager lays them
// out, with the managers' own file names and formats.
#include "app/prefix_finder.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "regservice/prefix/fault_injection_env.h"
#include "regservice/prefix/test_dir.h"

namespace finder {
namespace {

using regservice::Status;
using regservice::prefix::FaultInjectionEnv;
using regservice::prefix::TestDir;

const char kUserReg[] =
    "WINE REGISTRY Version 2\n;; All keys relative to "
    "\\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win64\n";

// The real file system, but for directories and files a test makes
// unreadable (as another user's would be: the tests run as root, whom
// modes do not stop).
class DenyingEnv : public FaultInjectionEnv {
 public:
  std::set<std::string> denied;

  Status ListDirectory(const std::string& path,
                       std::vector<std::string>* names) override {
    if (denied.count(path)) return Denied("opendir " + path);
    return FaultInjectionEnv::ListDirectory(path, names);
  }
  Status ReadFileStart(const std::string& path, size_t max_bytes,
                       std::string* data) override {
    if (denied.count(path)) return Denied("open " + path);
    return FaultInjectionEnv::ReadFileStart(path, max_bytes, data);
  }

 private:
  static Status Denied(const std::string& call) {
    return Status::FromErrno(Status::kAccessDenied, EACCES, call);
  }
};

// A home directory in a temporary folder, made as the managers make it.
class FixtureHome {
 public:
  FixtureHome() : home_(dir_ / "home") { Dir(""); }

  const std::string& path() const { return home_; }
  std::string operator/(const std::string& relative) const {
    return home_ + "/" + relative;
  }
  const TestDir& dir() const { return dir_; }

  // Makes the directories of `relative` below the home (or an absolute
  // path), like mkdir -p.
  std::string Dir(const std::string& relative) {
    const std::string path =
        !relative.empty() && relative[0] == '/' ? relative : *this / relative;
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
      mkdir(path.substr(0, slash).c_str(), 0755);
      if (slash == std::string::npos) break;
    }
    return path;
  }
  // A prefix: a directory holding a user.reg (and a drive_c, as Wine's).
  std::string Prefix(const std::string& relative) {
    const std::string path = Dir(relative);
    Dir(path + "/drive_c");
    TestDir::Write(path + "/user.reg", kUserReg);
    return path;
  }
  std::string File(const std::string& relative, const std::string& text) {
    const std::string path = relative[0] == '/' ? relative : *this / relative;
    Dir(path.substr(0, path.rfind('/')));
    TestDir::Write(path, text);
    return path;
  }
  void Link(const std::string& target, const std::string& relative) {
    const std::string path = *this / relative;
    Dir(path.substr(0, path.rfind('/')));
    ASSERT_EQ(0, symlink(target.c_str(), path.c_str())) << path;
  }

 private:
  TestDir dir_;
  std::string home_;
};

std::string LutrisGame(const std::string& name, const std::string& prefix) {
  return "game:\n"
         "  exe: " + prefix + "/drive_c/Program Files/Varlo/varlo.exe\n"
         "  prefix: " + prefix + "\n"
         "game_slug: " + name + "\n"
         "name: " + name + "\n"
         "runner: wine\n"
         "slug: " + name + "-1700000000\n"
         "system: {}\n"
         "version: Installer\n"
         "wine:\n"
         "  version: lutris-GE-Proton8-26-x86_64\n";
}

std::string HeroicGame(const std::string& app, const std::string& prefix) {
  return "{\n"
         "  \"" + app + "\": {\n"
         "    \"autoInstallDxvk\": true,\n"
         "    \"language\": \"\",\n"
         "    \"winePrefix\": \"" + prefix + "\",\n"
         "    \"wineVersion\": {\n"
         "      \"bin\": \"/usr/bin/wine\",\n"
         "      \"name\": \"Wine Default - wine-8.0\",\n"
         "      \"type\": \"wine\"\n"
         "    }\n"
         "  },\n"
         "  \"version\": \"v0\",\n"
         "  \"explicit\": true\n"
         "}\n";
}

std::string LibraryFolders(const std::vector<std::string>& libraries) {
  std::string text = "\"libraryfolders\"\n{\n";
  for (size_t i = 0; i < libraries.size(); ++i) {
    text += "\t\"" + std::to_string(i) + "\"\n\t{\n";
    text += "\t\t\"path\"\t\t\"" + libraries[i] + "\"\n";
    text += "\t\t\"label\"\t\t\"\"\n\t\t\"contentid\"\t\t\"77\"\n";
    text += "\t\t\"apps\"\n\t\t{\n\t\t\t\"12345\"\t\t\"1000\"\n\t\t}\n\t}\n";
  }
  return text + "}\n";
}

using Found = std::vector<std::pair<std::string, std::string>>;

Found Find(regservice::prefix::Env* env, const Places& places,
           std::vector<std::string>* warnings) {
  Found found;
  for (const FoundPrefix& prefix :
       FindPrefixes(env, places, [warnings](const std::string& line) {
         warnings->push_back(line);
       })) {
    found.emplace_back(prefix.path, prefix.maker);
  }
  return found;
}

TEST(PrefixFinderTest, EveryMakerInItsPlacesInTheTablesOrder) {
  FixtureHome home;
  FaultInjectionEnv env;
  const std::string outside = home.dir() / "elsewhere";
  const std::string library = home.dir() / "SteamLibrary";

  const std::string wineprefix = home.Prefix(outside + "/chosen");
  const std::string wine = home.Prefix(".wine");
  const std::string winetricks =
      home.Prefix(".local/share/wineprefixes/vcrun2019");
  const std::string bottle = home.Prefix(".local/share/bottles/bottles/Office");
  home.File(".local/share/bottles/bottles/Office/bottle.yml", "Name: Office\n");
  const std::string flatpak_bottle = home.Prefix(
      ".var/app/com.usebottles.bottles/data/bottles/bottles/Games");
  home.File(".var/app/com.usebottles.bottles/data/bottles/data.yml",
            "custom_bottles_path: " + outside + "/bottles\n"
            "funding_dialog_dismissed: true\n");
  const std::string custom_bottle = home.Prefix(outside + "/bottles/Work");
  const std::string lutris = home.Prefix(outside + "/lutris-varlo");
  home.File(".config/lutris/games/varlo-1700000000.yml",
            LutrisGame("varlo", lutris));
  const std::string lutris_data = home.Prefix("Games/tilde-game");
  home.File(".local/share/lutris/games/tilde-1.yml",
            LutrisGame("tilde", "~/Games/tilde-game"));
  const std::string lutris_flatpak = home.Prefix(outside + "/lutris-flatpak");
  home.File(".var/app/net.lutris.Lutris/config/lutris/games/f-2.yml",
            LutrisGame("flat", lutris_flatpak));
  const std::string games = home.Prefix("Games/other");
  const std::string heroic = home.Prefix(outside + "/heroic-fn");
  home.File(".config/heroic/GamesConfig/Fortnite.json",
            HeroicGame("Fortnite", heroic));
  const std::string heroic_flatpak = home.Prefix(outside + "/heroic-flat");
  home.File(".var/app/com.heroicgameslauncher.hgl/config/heroic/GamesConfig/"
            "a1b2.json",
            HeroicGame("a1b2", heroic_flatpak));
  const std::string heroic_default =
      home.Prefix("Games/Heroic/Prefixes/default/Varlo Deluxe");
  const std::string playonlinux = home.Prefix(".PlayOnLinux/wineprefix/Varlo");
  const std::string crossover = home.Prefix(".cxoffice/Varlo");
  home.File(".local/share/Steam/steamapps/libraryfolders.vdf",
            LibraryFolders({home / ".local/share/Steam", library}));
  const std::string proton =
      home.Prefix(".local/share/Steam/steamapps/compatdata/228980/pfx");
  const std::string proton_library =
      home.Prefix(library + "/steamapps/compatdata/12345/pfx");
  const std::string proton_flatpak = home.Prefix(
      ".var/app/com.valvesoftware.Steam/.local/share/Steam/steamapps/"
      "compatdata/440/pfx");
  const std::string flatpak_wine =
      home.Prefix(".var/app/org.winehq.Wine/data/wine");

  std::vector<std::string> warnings;
  const Found found = Find(&env, {home.path(), wineprefix}, &warnings);
  const Found expected = {
      {wineprefix, "Wine (WINEPREFIX)"},
      {wine, "Wine"},
      {winetricks, "winetricks \"vcrun2019\""},
      {bottle, "Bottles \"Office\""},
      {flatpak_bottle, "Bottles \"Games\""},
      {custom_bottle, "Bottles \"Work\""},
      {lutris, "Lutris \"varlo\""},
      {lutris_data, "Lutris \"tilde\""},
      {lutris_flatpak, "Lutris \"flat\""},
      {games, "Lutris \"other\""},
      {heroic, "Heroic \"Fortnite\""},
      {heroic_flatpak, "Heroic \"a1b2\""},
      {heroic_default, "Heroic \"Varlo Deluxe\""},
      {playonlinux, "PlayOnLinux \"Varlo\""},
      {crossover, "CrossOver \"Varlo\""},
      {proton, "Steam app 228980"},
      {proton_library, "Steam app 12345"},
      {proton_flatpak, "Steam app 440"},
      {flatpak_wine, "Wine (flatpak)"},
  };
  EXPECT_EQ(expected, found);
  EXPECT_EQ(std::vector<std::string>(), warnings);
}

TEST(PrefixFinderTest, ADirectoryReachedTwiceIsListedOnce) {
  FixtureHome home;
  FaultInjectionEnv env;
  const std::string library = home.dir() / "SteamLibrary";
  const std::string wine = home.Prefix(".wine");
  // WINEPREFIX naming ~/.wine through a trailing slash.
  // Steam's usual ~/.steam/steam symlink, and a library named twice.
  home.File(".local/share/Steam/steamapps/libraryfolders.vdf",
            LibraryFolders({home / ".local/share/Steam", library, library}));
  home.Link(home / ".local/share/Steam", ".steam/steam");
  const std::string proton =
      home.Prefix(".local/share/Steam/steamapps/compatdata/70/pfx");
  const std::string proton_library =
      home.Prefix(library + "/steamapps/compatdata/80/pfx");
  // A Lutris game installed into a bottle, and a symlink in ~/Games.
  const std::string bottle = home.Prefix(".local/share/bottles/bottles/B");
  home.File(".config/lutris/games/b-1.yml", LutrisGame("b", bottle));
  home.Link(wine, "Games/old-wine");

  std::vector<std::string> warnings;
  const Found found = Find(&env, {home.path(), wine + "/"}, &warnings);
  const Found expected = {
      {wine + "/", "Wine (WINEPREFIX)"},
      {bottle, "Bottles \"B\""},
      {home / ".steam/steam/steamapps/compatdata/70/pfx", "Steam app 70"},
      {proton_library, "Steam app 80"},
  };
  EXPECT_EQ(expected, found);
  (void)proton;
}

TEST(PrefixFinderTest, OnlyDirectoriesHoldingAUserRegCount) {
  FixtureHome home;
  FaultInjectionEnv env;
  home.Dir(".wine/drive_c");                             // no user.reg
  home.Dir(".local/share/wineprefixes/dir/user.reg");    // not a file
  home.File(".local/share/wineprefixes/file", "x");      // not a directory
  home.File(".cxoffice/cxbottle.conf", "[Bottle]\n");    // CrossOver's own
  home.Dir(".cxoffice/Deep/inner");
  TestDir::Write(home / ".cxoffice/Deep/inner/user.reg", kUserReg);  // 2 deep
  const std::string linked = home.Prefix(home.dir() / "target");
  home.Link(linked + "/user.reg", ".PlayOnLinux/wineprefix/L/user.reg");
  home.Link(home.dir() / "nowhere", ".PlayOnLinux/wineprefix/dangling");
  home.Prefix("Games/Heroic/Prefixes/default/G");  // not a Lutris one too

  std::vector<std::string> warnings;
  const Found found = Find(&env, {home.path(), ""}, &warnings);
  const Found expected = {
      {home / "Games/Heroic/Prefixes/default/G", "Heroic \"G\""},
      {home / ".PlayOnLinux/wineprefix/L", "PlayOnLinux \"L\""},
  };
  EXPECT_EQ(expected, found);
}

TEST(PrefixFinderTest, BrokenFilesAreNamedAndSkipped) {
  FixtureHome home;
  FaultInjectionEnv env;
  const std::string good = home.Prefix(home.dir() / "good");
  home.File(".config/lutris/games/a-broken.yml",
            "game:\n  prefix: [unclosed\n");
  home.File(".config/lutris/games/b-good.yml", LutrisGame("good", good));
  home.File(".config/heroic/GamesConfig/Broken.json", "{\"x\": {\"winePr");
  home.File(".config/heroic/GamesConfig/List.json", "[1, 2]");
  home.File(".local/share/bottles/data.yml", "custom_bottles_path: {x\n");
  home.File(".local/share/Steam/steamapps/libraryfolders.vdf",
            "\"libraryfolders\"\n{\n\t\"0\"\n\t{\n");
  home.File(".steam/steam/steamapps/libraryfolders.vdf",
            "\"libraryfolders\" { \"0\" { \"path\" \"" + home.dir().path() +
                "/lib\" } }");
  const std::string proton = home.Prefix(home.dir() / "lib/steamapps/"
                                         "compatdata/9/pfx");
  std::string deep = "custom_bottles_path:";
  for (int i = 0; i < 100; ++i) deep += " [";
  home.File(".var/app/com.usebottles.bottles/data/bottles/data.yml", deep);

  std::vector<std::string> warnings;
  const Found found = Find(&env, {home.path(), ""}, &warnings);
  const Found expected = {{good, "Lutris \"good\""},
                          {proton, "Steam app 9"}};
  EXPECT_EQ(expected, found);
  ASSERT_EQ(6u, warnings.size());
  const std::vector<std::string> files = {
      home / ".local/share/bottles/data.yml",
      home / ".var/app/com.usebottles.bottles/data/bottles/data.yml",
      home / ".config/lutris/games/a-broken.yml",
      home / ".config/heroic/GamesConfig/Broken.json",
      home / ".config/heroic/GamesConfig/List.json",
      home / ".local/share/Steam/steamapps/libraryfolders.vdf",
  };
  for (size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(files[i] + ": ", warnings[i].substr(0, files[i].size() + 2))
        << warnings[i];
    EXPECT_EQ(std::string::npos, warnings[i].find('\n')) << warnings[i];
  }
  EXPECT_EQ(files[4] + ": not a JSON object", warnings[4]);
  EXPECT_EQ(files[5] + ": line 5: expected '}', got end of file",
            warnings[5]);
  EXPECT_EQ(files[1] + ": nested more than 64 levels deep", warnings[1]);
}

TEST(PrefixFinderTest, UnreadablePlacesAreSkippedSilently) {
  FixtureHome home;
  DenyingEnv env;
  const std::string elsewhere = home.Prefix(home.dir() / "elsewhere");
  home.Prefix(".local/share/wineprefixes/hidden");
  const std::string bottle = home.Prefix(".local/share/bottles/bottles/B");
  home.File(".config/lutris/games/x.yml", LutrisGame("x", elsewhere));
  env.denied = {home / ".local/share/wineprefixes",
                home / ".config/lutris/games/x.yml"};

  std::vector<std::string> warnings;
  const Found found = Find(&env, {home.path(), ""}, &warnings);
  const Found expected = {{bottle, "Bottles \"B\""}};
  EXPECT_EQ(expected, found);
  EXPECT_EQ(std::vector<std::string>(), warnings);
}

TEST(PrefixFinderTest, WithoutAHomeOnlyAnAbsoluteWineprefixCounts) {
  FixtureHome home;
  FaultInjectionEnv env;
  const std::string prefix = home.Prefix("p");
  home.Prefix(".wine");
  std::vector<std::string> warnings;
  EXPECT_EQ(Found({{prefix, "Wine (WINEPREFIX)"}}),
            Find(&env, {"", prefix}, &warnings));
  EXPECT_EQ(Found(), Find(&env, {"relative/home", ""}, &warnings));
  // A relative WINEPREFIX names no prefix, as for Wine.
  EXPECT_EQ(Found({{home / ".wine", "Wine"}}),
            Find(&env, {home.path(), "p"}, &warnings));
}

TEST(PrefixFinderTest, NamesAreFitForOneLine) {
  FixtureHome home;
  FaultInjectionEnv env;
  const std::string prefix = home.Prefix(".cxoffice/two\nlines");
  const std::string colour = home.Prefix(".cxoffice/\x1b[31mred");
  std::vector<std::string> warnings;
  EXPECT_EQ(Found({{colour, "CrossOver \"\\033[31mred\""},
                   {prefix, "CrossOver \"two\\nlines\""}}),
            Find(&env, {home.path(), ""}, &warnings));
}

// Counts the listings of Steam's compatdata folders.
class CountingEnv : public FaultInjectionEnv {
 public:
  int compatdata_listings = 0;

  Status ListDirectory(const std::string& path,
                       std::vector<std::string>* names) override {
    const std::string end = "/compatdata";
    if (path.size() > end.size() &&
        path.compare(path.size() - end.size(), end.size(), end) == 0) {
      ++compatdata_listings;
    }
    return FaultInjectionEnv::ListDirectory(path, names);
  }
};

// One library named in many spellings, and through a symlink, is one
// library: its compatdata is listed once, its prefixes once each.
TEST(PrefixFinderTest, ASteamLibraryInManySpellingsIsReadOnce) {
  FixtureHome home;
  CountingEnv env;
  const std::string library = home.dir() / "L";
  const std::string a = home.Prefix(library + "/steamapps/compatdata/1/pfx");
  const std::string b = home.Prefix(library + "/steamapps/compatdata/2/pfx");
  home.Link(library, "link-to-L");
  const std::vector<std::string> spellings = {
      library,          home / "link-to-L", library + "/.",
      library + "//",   library + "/./.",   library + "/../L",
      home.dir() / "./L"};
  home.File(".local/share/Steam/steamapps/libraryfolders.vdf",
            LibraryFolders(spellings));
  std::vector<std::string> warnings;
  const Found found = Find(&env, {home.path(), ""}, &warnings);
  EXPECT_EQ(Found({{a, "Steam app 1"}, {b, "Steam app 2"}}), found);
  EXPECT_EQ(std::vector<std::string>(), warnings);
  EXPECT_EQ(1, env.compatdata_listings);
}

// A message quotes at most a few dozen characters of a file, escaped.
TEST(PrefixFinderTest, ErrorsQuoteLittleAndEscapeIt) {
  FixtureHome home;
  FaultInjectionEnv env;
  home.File(".local/share/Steam/steamapps/libraryfolders.vdf",
            "\"libraryfolders\"\n{\n\"" + std::string(900000, 'k') +
                "\" }\n");
  home.File(".config/heroic/GamesConfig/Bytes.json",
            "{\"a\": \"\xff\xfe\x1b[2J");
  std::vector<std::string> warnings;
  Find(&env, {home.path(), ""}, &warnings);
  ASSERT_EQ(2u, warnings.size());
  for (const std::string& line : warnings) {
    EXPECT_GT(300u, line.size()) << line.substr(0, 300);
    for (unsigned char c : line) {
      EXPECT_TRUE(c >= 0x20 && c < 0x7f) << line;
    }
  }
  EXPECT_NE(std::string::npos,
            warnings[1].find("expected a value for \"" +
                             std::string(80, 'k') + "...\", got '}'"))
      << warnings[1];
  EXPECT_NE(std::string::npos, warnings[0].find("\\377")) << warnings[0];
}

TEST(PrefixFinderTest, LutrisGames) {
  struct Case {
    const char* text;
    bool ok;
    const char* prefix;
    const char* name;
  } cases[] = {
      {"game:\n  prefix: /p\nname: Varlo\n", true, "/p", "Varlo"},
      {"game:\n  prefix: '/with: colon'\n", true, "/with: colon", ""},
      {"game: {exe: /x.exe}\nname: n\n", true, "", "n"},  // no prefix
      {"game:\n  prefix: [/a, /b]\n", true, "", ""},      // not a string
      {"game: 5\n", true, "", ""},
      {"- a\n- b\n", true, "", ""},
      {"", true, "", ""},
      {"game:\n  prefix: /a\n prefix: /b\n", false, "", ""},
      {"game: {prefix: /a\n", false, "", ""},
      {"game:\n  prefix: /x\n- item\n", false, "", ""},
  };
  for (const Case& c : cases) {
    std::string prefix = "left", name = "left", error;
    EXPECT_EQ(c.ok, ReadLutrisGame(c.text, &prefix, &name, &error))
        << c.text << error;
    EXPECT_EQ(c.prefix, prefix) << c.text;
    EXPECT_EQ(c.name, name) << c.text;
    EXPECT_EQ(c.ok, error.empty()) << c.text;
  }
}

TEST(PrefixFinderTest, HeroicGames) {
  using Games = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    const char* text;
    bool ok;
    Games games;
  } cases[] = {
      {"{\"Fn\": {\"winePrefix\": \"/p\"}, \"version\": \"v0\"}", true,
       {{"Fn", "/p"}}},
      {"{\"b\": {\"winePrefix\": \"/b\"}, \"a\": {\"winePrefix\": \"/a\"}}",
       true, {{"a", "/a"}, {"b", "/b"}}},
      {"{\"Fn\": {\"winePrefix\": 5}, \"x\": {}}", true, {}},
      {"{}", true, {}},
      {"[]", false, {}},
      {"{\"Fn\": ", false, {}},
      {"", false, {}},
  };
  for (const Case& c : cases) {
    Games games = {{"left", "over"}};
    std::string error;
    EXPECT_EQ(c.ok, ReadHeroicGame(c.text, &games, &error)) << c.text;
    EXPECT_EQ(c.games, games) << c.text;
    EXPECT_EQ(c.ok, error.empty()) << c.text << error;
  }
}

// yaml-cpp recurses once per level (some releases to the end of the
// stack): such text is refused before it is parsed, saying why.
TEST(PrefixFinderTest, DeeplyNestedYamlIsRefusedUnparsed) {
  const std::string flow = "game:\n  prefix: " + std::string(200000, '[');
  std::string block = "game:\n";
  for (int i = 0; i < 100000; ++i) block += "- ";
  std::string indented = "game:\n";
  for (int i = 1; i < 1000; ++i) indented += std::string(i, ' ') + "k:\n";
  for (const std::string& text : {flow, block, indented}) {
    std::string prefix, name, error;
    EXPECT_FALSE(ReadLutrisGame(text, &prefix, &name, &error));
    EXPECT_EQ("nested more than 64 levels deep", error);
  }
}

// Brackets in comments and quoted scalars nest nothing: such a file is
// read. Nesting after a quote inside a plain scalar is still counted.
TEST(PrefixFinderTest, YamlNestingCountsOnlyRealNesting) {
  std::string comments = "game:\n";
  for (int i = 0; i < 65; ++i) comments += "  # [ an unbalanced note\n";
  comments += "  prefix: /p\nname: n\n";
  std::string quoted = "game:\n";
  for (int i = 0; i < 65; ++i) {
    quoted += "  k" + std::to_string(i) + ": \"[{ \\\" [\"\n";
    quoted += "  s" + std::to_string(i) + ": '[''['\n";
  }
  quoted += "  prefix: /p\nname: '[ multi\n  line ['\n";
  for (const std::string& text : {comments, quoted}) {
    std::string prefix, name, error;
    EXPECT_TRUE(ReadLutrisGame(text, &prefix, &name, &error)) << error;
    EXPECT_EQ("/p", prefix);
  }
  const std::string hidden =
      "name: It's " + std::string(100, '[') + "\n" + "game: x\n";
  std::string prefix, name, error;
  EXPECT_FALSE(ReadLutrisGame(hidden, &prefix, &name, &error));
  EXPECT_EQ("nested more than 64 levels deep", error);
}

TEST(PrefixFinderTest, BottlesData) {
  struct Case {
    const char* text;
    bool ok;
    const char* path;
  } cases[] = {
      {"custom_bottles_path: /mnt/b\nfunding_dialog_dismissed: true\n", true,
       "/mnt/b"},
      {"funding_dialog_dismissed: true\n", true, ""},
      {"custom_bottles_path: ''\n", true, ""},
      {"{}\n", true, ""},
      {"custom_bottles_path: [\n", false, ""},
  };
  for (const Case& c : cases) {
    std::string path = "left", error;
    EXPECT_EQ(c.ok, ReadBottlesData(c.text, &path, &error)) << c.text;
    EXPECT_EQ(c.path, path) << c.text;
  }
}

}  // namespace
}  // namespace finder
