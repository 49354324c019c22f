// libFuzzer target over the reader of Steam's VDF text (app/vdf_reader).
//
// For any input the reader either refuses it or, having read it, gives a
// tree whose serialized text reads back to the same tree and serializes
// to the same text again; the library paths it names are strings of the
// tree. Nesting is bounded, so no input exhausts the stack.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/vdf_reader.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "vdf_fuzzer: %s\n", what);
  abort();
}

bool HoldsString(const vdf::Node& node, const std::string& text) {
  if (!node.is_block) return node.text == text;
  for (const auto& entry : node.entries) {
    if (HoldsString(entry.second, text)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  vdf::Node tree;
  std::string error;
  if (!vdf::Parse(input, &tree, &error)) {
    if (error.compare(0, 5, "line ") != 0) Fail("an error without its line");
    if (!tree.entries.empty()) Fail("a refused text left a tree");
    return 0;
  }
  const std::string text = vdf::Serialize(tree);
  vdf::Node again;
  if (!vdf::Parse(text, &again, &error)) Fail("serialized text is refused");
  if (!(again == tree)) Fail("serialized text reads back to another tree");
  if (vdf::Serialize(again) != text) Fail("serializing is not stable");
  for (const std::string& path : vdf::SteamLibraryPaths(tree)) {
    if (path.empty() || !HoldsString(tree, path)) {
      Fail("a library path that is no string of the file");
    }
  }
  return 0;
}
