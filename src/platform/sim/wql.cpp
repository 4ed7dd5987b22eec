#include "platform/sim/wql.h"

#include <algorithm>
#include <cctype>

namespace fenra::sim {
namespace {

enum class TokenKind { kWord, kQuoted, kComma, kStar, kEnd, kBad };

struct Token {
  TokenKind kind;
  std::string text;
};

class Lexer {
 public:
  explicit Lexer(std::string text) : text_(std::move(text)) {}

  Token Next() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    if (pos_ >= text_.size()) return {TokenKind::kEnd, {}};
    char c = text_[pos_];
    if (c == ',' || c == '*') {
      ++pos_;
      return {c == ',' ? TokenKind::kComma : TokenKind::kStar, std::string(1, c)};
    }
    if (c == '\'' || c == '"') {
      size_t end = text_.find(c, pos_ + 1);
      if (end == std::string::npos) return {TokenKind::kBad, {}};
      Token token{TokenKind::kQuoted, text_.substr(pos_ + 1, end - pos_ - 1)};
      pos_ = end + 1;
      return token;
    }
    size_t start = pos_;
    while (pos_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_')) ++pos_;
    if (pos_ == start) return {TokenKind::kBad, {}};
    return {TokenKind::kWord, text_.substr(start, pos_ - start)};
  }

 private:
  std::string text_;
  size_t pos_ = 0;
};

bool IsKeyword(const Token& token, std::string_view keyword) {
  return token.kind == TokenKind::kWord && EqualsIgnoreCase(token.text, keyword);
}

}  // namespace

bool ParseWql(std::wstring_view text, WqlQuery* query) {
  std::string narrow;
  for (wchar_t c : text) {
    if (c <= 0 || c >= 0x80) return false;
    narrow += static_cast<char>(c);
  }
  Lexer lexer(narrow);
  WqlQuery parsed;
  if (!IsKeyword(lexer.Next(), "SELECT")) return false;

  Token token = lexer.Next();
  if (token.kind == TokenKind::kStar) {
    token = lexer.Next();
  } else {
    for (;;) {
      if (token.kind != TokenKind::kWord || IsKeyword(token, "FROM")) return false;
      parsed.properties.push_back(token.text);
      token = lexer.Next();
      if (token.kind != TokenKind::kComma) break;
      token = lexer.Next();
    }
  }
  if (!IsKeyword(token, "FROM")) return false;
  token = lexer.Next();
  if (token.kind != TokenKind::kWord) return false;
  parsed.class_name = token.text;

  token = lexer.Next();
  if (IsKeyword(token, "WHERE")) {
    Token property = lexer.Next();
    Token isa = lexer.Next();
    Token target = lexer.Next();
    if (property.kind != TokenKind::kWord || !IsKeyword(isa, "ISA") || target.kind != TokenKind::kQuoted)
      return false;
    parsed.isa_property = property.text;
    parsed.isa_class = target.text;
    token = lexer.Next();
  }
  if (token.kind != TokenKind::kEnd) return false;
  *query = std::move(parsed);
  return true;
}

}  // namespace fenra::sim
