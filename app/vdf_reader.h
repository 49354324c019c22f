// A reader of Valve's KeyValues text format ("VDF"), as Steam writes
// steamapps/libraryfolders.vdf: quoted (or bare) keys, each followed by a
// string or by a block in braces; "//" comments to the end of the line;
// escapes \\ \" \n \t in quoted strings; a "[$CONDITION]" after an entry,
// which is ignored. Nothing else: no #include or #base.
#ifndef QUILLFIX_APP_VDF_READER_H_
#define QUILLFIX_APP_VDF_READER_H_

#include <string>
#include <utility>
#include <vector>

namespace vdf {

// An entry's value: a string, or a block of entries in file order (a key
// may repeat, as the format allows).
struct Node {
  bool is_block = false;
  std::string text;  // when !is_block
  std::vector<std::pair<std::string, Node>> entries;  // when is_block

  // The first entry named `key` (ASCII case ignored, as Steam does), or
  // null.
  const Node* Find(const std::string& key) const;

  bool operator==(const Node& other) const;
};

// Blocks nest at most this deep; deeper input is refused, so that hostile
// input cannot exhaust the stack.
constexpr int kMaxDepth = 100;

// Reads the whole text into *root, a block of the top-level entries. False
// with "line N: what" in *error when the text is not in the format.
bool Parse(const std::string& text, Node* root, std::string* error);

// The text of a block's entries in the format, every string quoted and
// escaped, one entry a line, tabs for indentation: Parse gives back the
// same tree. For tests.
std::string Serialize(const Node& root);

// The library folders a libraryfolders.vdf names, in file order: the
// "path" of each numbered block (the current form) or the numbered
// strings themselves (the older form). Empty paths are left out.
std::vector<std::string> SteamLibraryPaths(const Node& root);

}  // namespace vdf

#endif  // QUILLFIX_APP_VDF_READER_H_
