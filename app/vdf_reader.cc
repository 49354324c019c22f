#include "app/vdf_reader.h"

#include <cctype>

#include "app/terminal_text.h"

namespace vdf {
namespace {

bool SameKey(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' ||
         c == '\f';
}

struct Token {
  enum Kind { kEnd, kOpen, kClose, kString };
  Kind kind = kEnd;
  std::string text;  // kString: the string, escapes resolved
};

// Splits the text into tokens, skipping blanks, comments and conditions.
class Lexer {
 public:
  explicit Lexer(const std::string& text) : text_(text) {}

  // False with *error set when the text holds no valid token here.
  bool Next(Token* token, std::string* error) {
    if (!SkipIgnored(error)) return false;
    *token = Token();
    if (pos_ >= text_.size()) return true;
    const char c = text_[pos_];
    if (c == '{' || c == '}') {
      token->kind = c == '{' ? Token::kOpen : Token::kClose;
      ++pos_;
      return true;
    }
    token->kind = Token::kString;
    if (c == '"') return ReadQuoted(&token->text, error);
    ReadBare(&token->text);
    return true;
  }

  int line() const { return line_; }

 private:
  // Blanks, "//" comments and "[...]" conditions.
  bool SkipIgnored(std::string* error) {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (IsBlank(c)) {
        if (c == '\n') ++line_;
        ++pos_;
      } else if (text_.compare(pos_, 2, "//") == 0) {
        while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
      } else if (c == '[') {
        const size_t end = text_.find_first_of("]\n", pos_);
        if (end == std::string::npos || text_[end] != ']') {
          *error = "a condition without its ']'";
          return false;
        }
        pos_ = end + 1;
      } else {
        return true;
      }
    }
    return true;
  }

  bool ReadQuoted(std::string* out, std::string* error) {
    const int start_line = line_;
    for (++pos_; pos_ < text_.size(); ++pos_) {
      char c = text_[pos_];
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c == '\n') ++line_;
      if (c == '\\' && pos_ + 1 < text_.size()) {
        const char next = text_[pos_ + 1];
        const char* known = "\\\"nt";
        const char* resolved = "\\\"\n\t";
        for (int i = 0; known[i] != '\0'; ++i) {
          if (next == known[i]) {
            c = resolved[i];
            ++pos_;
            break;
          }
        }
      }
      out->push_back(c);
    }
    *error = "a string opened on line " + std::to_string(start_line) +
             " is not closed";
    return false;
  }

  void ReadBare(std::string* out) {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (IsBlank(c) || c == '{' || c == '}' || c == '"') break;
      out->push_back(c);
      ++pos_;
    }
  }

  const std::string& text_;
  size_t pos_ = 0;
  int line_ = 1;
};

// A string of the file, as a message quotes it: cut short, its control
// characters and stray bytes escaped.
std::string Excerpt(const std::string& text) {
  return "\"" + text::MessageText(text, text::kExcerptChars) + "\"";
}

std::string Describe(const Token& token) {
  switch (token.kind) {
    case Token::kEnd: return "end of file";
    case Token::kOpen: return "'{'";
    case Token::kClose: return "'}'";
    case Token::kString: break;
  }
  return Excerpt(token.text);
}

// One loop over the entries of a block; a nested block is read by a call
// of its own, at most kMaxDepth deep.
class Parser {
 public:
  explicit Parser(const std::string& text) : lexer_(text) {}

  bool ParseBlock(int depth, Node* block, std::string* error) {
    block->is_block = true;
    while (true) {
      Token key;
      if (!Read(&key, error)) return false;
      if (key.kind == Token::kEnd) {
        if (depth == 0) return true;
        return Fail("expected '}', got end of file", error);
      }
      if (key.kind == Token::kClose) {
        if (depth > 0) return true;
        return Fail("a '}' that closes no block", error);
      }
      if (key.kind == Token::kOpen) {
        return Fail("expected a key, got '{'", error);
      }
      Token value;
      if (!Read(&value, error)) return false;
      block->entries.emplace_back(key.text, Node());
      Node* node = &block->entries.back().second;
      if (value.kind == Token::kString) {
        node->text = value.text;
      } else if (value.kind == Token::kOpen) {
        if (depth + 1 > kMaxDepth) {
          return Fail("blocks nested deeper than " +
                          std::to_string(kMaxDepth),
                      error);
        }
        if (!ParseBlock(depth + 1, node, error)) return false;
      } else {
        return Fail("expected a value for " + Excerpt(key.text) + ", got " +
                        Describe(value),
                    error);
      }
    }
  }

 private:
  bool Read(Token* token, std::string* error) {
    std::string what;
    if (lexer_.Next(token, &what)) return true;
    return Fail(what, error);
  }

  bool Fail(const std::string& what, std::string* error) {
    *error = "line " + std::to_string(lexer_.line()) + ": " + what;
    return false;
  }

  Lexer lexer_;
};

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
  return out + "\"";
}

void SerializeEntries(const Node& block, int depth, std::string* out) {
  const std::string indent(static_cast<size_t>(depth), '\t');
  for (const auto& entry : block.entries) {
    *out += indent + Quoted(entry.first);
    if (!entry.second.is_block) {
      *out += "\t" + Quoted(entry.second.text) + "\n";
      continue;
    }
    *out += "\n" + indent + "{\n";
    SerializeEntries(entry.second, depth + 1, out);
    *out += indent + "}\n";
  }
}

bool IsNumber(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

const Node* Node::Find(const std::string& key) const {
  for (const auto& entry : entries) {
    if (SameKey(entry.first, key)) return &entry.second;
  }
  return nullptr;
}

bool Node::operator==(const Node& other) const {
  return is_block == other.is_block && text == other.text &&
         entries == other.entries;
}

bool Parse(const std::string& text, Node* root, std::string* error) {
  *root = Node();
  Node parsed;
  if (!Parser(text).ParseBlock(0, &parsed, error)) return false;
  *root = std::move(parsed);
  return true;
}

std::string Serialize(const Node& root) {
  std::string out;
  SerializeEntries(root, 0, &out);
  return out;
}

std::vector<std::string> SteamLibraryPaths(const Node& root) {
  std::vector<std::string> paths;
  const Node* folders = root.Find("libraryfolders");
  if (folders == nullptr || !folders->is_block) return paths;
  for (const auto& entry : folders->entries) {
    if (!IsNumber(entry.first)) continue;  // e.g. "contentstatsid"
    const Node* path = &entry.second;
    if (path->is_block) path = path->Find("path");
    if (path != nullptr && !path->is_block && !path->text.empty()) {
      paths.push_back(path->text);
    }
  }
  return paths;
}

}  // namespace vdf
