#include "platform/sim/reg_file.h"

#include <cstdio>
#include <stdexcept>

#include "platform/win_values.h"

namespace fenra::sim {
namespace {

constexpr std::string_view kHeaderV5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeaderV4 = "REGEDIT4";
constexpr std::string_view kLocalMachine = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kClassesRoot = "HKEY_CLASSES_ROOT";
// regedit breaks hex data once a line reaches this column.
constexpr size_t kHexWrapColumn = 77;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool StartsWithIgnoreCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsIgnoreCase(s.substr(0, prefix.size()), prefix);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = AsciiLower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

class RegTextParser {
 public:
  RegTextParser(std::string_view text, const std::string& file_name, RegHives* hives)
      : text_(text), file_name_(file_name), hives_(hives) {}

  void Parse() {
    std::string_view line;
    if (!NextLine(&line) || (TrimRight(line) != kHeaderV5 && TrimRight(line) != kHeaderV4))
      Fail("the first line is not \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
    unicode_hex_ = TrimRight(line) == kHeaderV5;
    while (NextLine(&line)) {
      line = TrimLeft(line);
      if (line.empty() || line[0] == ';') continue;
      if (line[0] == '[') {
        ParseKeyLine(line);
      } else if (line[0] == '"' || line[0] == '@') {
        ParseValueLine(line);
      } else {
        Fail("expected a [key] line, a value line or a comment");
      }
    }
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    int line = line_number_ > 0 ? line_number_ : 1;  // an empty file fails on its first line
    throw std::runtime_error(file_name_ + ":" + std::to_string(line) + ": " + what);
  }

  bool NextLine(std::string_view* line) {
    if (position_ >= text_.size()) return false;
    size_t end = text_.find('\n', position_);
    if (end == std::string_view::npos) end = text_.size();
    *line = text_.substr(position_, end - position_);
    if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
    position_ = end + 1;
    ++line_number_;
    return true;
  }

  void ExpectEnd(std::string_view rest) const {
    rest = TrimLeft(rest);
    if (!rest.empty() && rest[0] != ';') Fail("unexpected text \"" + std::string(rest) + "\"");
  }

  void ParseKeyLine(std::string_view line) {
    size_t close = line.rfind(']');
    if (close == std::string_view::npos) Fail("a [key] line without its closing ']'");
    ExpectEnd(line.substr(close + 1));
    std::string_view path = line.substr(1, close - 1);
    bool remove = !path.empty() && path[0] == '-';
    if (remove) path.remove_prefix(1);

    std::string_view root_name = path.substr(0, path.find('\\'));
    RegNode* node = nullptr;
    if (EqualsIgnoreCase(root_name, kLocalMachine)) {
      node = hives_->local_machine.get();
    } else if (EqualsIgnoreCase(root_name, kClassesRoot)) {
      node = hives_->classes_root.get();
    } else {
      Fail("unknown root key \"" + std::string(root_name) +
           "\" (only HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT exist here)");
    }
    std::vector<std::string_view> names;
    for (size_t start = root_name.size(); start < path.size();) {
      size_t end = path.find('\\', start + 1);
      if (end == std::string_view::npos) end = path.size();
      std::string_view name = path.substr(start + 1, end - start - 1);
      if (name.empty()) Fail("an empty key name in \"" + std::string(path) + "\"");
      if (!IsValidUtf8(name)) Fail("a key name that is not valid UTF-8");
      names.push_back(name);
      start = end;
    }

    current_ = nullptr;
    if (remove) {
      if (names.empty()) Fail("a root key cannot be deleted");
      for (size_t i = 0; i + 1 < names.size() && node; ++i) {
        auto it = node->subkeys.find(names[i]);
        node = it == node->subkeys.end() ? nullptr : it->second.get();
      }
      if (node) node->subkeys.erase(std::string(names.back()));
      return;
    }
    for (std::string_view name : names) {
      auto it = node->subkeys.find(name);
      if (it == node->subkeys.end()) it = node->subkeys.emplace(std::string(name), std::make_shared<RegNode>()).first;
      node = it->second.get();
    }
    current_ = node;
  }

  // A quoted text starting at line[*pos] == '"'; *pos ends behind the
  // closing quote. Escapes: \\ and \" (and \n, \r as Wine writes them).
  std::string ParseQuoted(std::string_view line, size_t* pos) const {
    std::string text;
    for (size_t i = *pos + 1; i < line.size(); ++i) {
      char c = line[i];
      if (c == '"') {
        *pos = i + 1;
        if (!IsValidUtf8(text)) Fail("a quoted text that is not valid UTF-8");
        return text;
      }
      if (c == '\\') {
        if (++i == line.size()) break;
        switch (line[i]) {
          case '\\': text += '\\'; break;
          case '"': text += '"'; break;
          case 'n': text += '\n'; break;
          case 'r': text += '\r'; break;
          default: Fail(std::string("unknown escape \"\\") + line[i] + "\" (write a backslash as \\\\)");
        }
        continue;
      }
      text += c;
    }
    Fail("a quoted text without its closing quote");
  }

  void ParseValueLine(std::string_view line) {
    size_t pos = 1;
    std::string name;
    if (line[0] == '"') {
      pos = 0;
      name = ParseQuoted(line, &pos);
    }
    std::string_view rest = TrimLeft(line.substr(pos));
    if (rest.empty() || rest[0] != '=') Fail("expected '=' after the value name");
    rest = TrimLeft(rest.substr(1));
    if (!current_) Fail("a value line that belongs to no key");

    if (!rest.empty() && rest[0] == '-') {
      ExpectEnd(rest.substr(1));
      current_->values.erase(name);
      return;
    }
    RegValue value;
    if (!rest.empty() && rest[0] == '"') {
      size_t end = 0;
      std::string text = ParseQuoted(rest, &end);
      ExpectEnd(rest.substr(end));
      value.type = win::kRegSz;
      value.data.assign(text.begin(), text.end());
      value.data.push_back(0);
    } else if (StartsWithIgnoreCase(rest, "dword:")) {
      value = ParseDword(rest.substr(6));
    } else if (StartsWithIgnoreCase(rest, "hex")) {
      value = ParseHex(rest.substr(3));
    } else {
      Fail("unknown value data \"" + std::string(rest) + "\" (expected \"text\", dword:, hex: or hex(N):)");
    }
    auto it = current_->values.find(name);
    if (it != current_->values.end()) {
      it->second = std::move(value);
    } else {
      current_->values.emplace(std::move(name), std::move(value));
    }
  }

  RegValue ParseDword(std::string_view digits) const {
    uint32_t number = 0;
    size_t count = 0;
    while (count < digits.size() && HexDigit(digits[count]) >= 0) {
      number = (number << 4) | static_cast<uint32_t>(HexDigit(digits[count]));
      ++count;
    }
    if (count == 0 || count > 8) Fail("dword: needs 1 to 8 hex digits");
    ExpectEnd(digits.substr(count));
    RegValue value{win::kRegDword, {}};
    for (int shift = 0; shift < 32; shift += 8) value.data.push_back(static_cast<uint8_t>(number >> shift));
    return value;
  }

  // After "hex": ":" or "(N):", then bytes "12,ab,..." continued on the
  // next line after a trailing backslash.
  RegValue ParseHex(std::string_view rest) {
    RegValue value{win::kRegBinary, {}};
    if (!rest.empty() && rest[0] == '(') {
      size_t close = rest.find(')');
      std::string_view digits = rest.substr(1, close == std::string_view::npos ? 0 : close - 1);
      if (digits.empty() || digits.size() > 8) Fail("hex(N): needs a type of 1 to 8 hex digits");
      value.type = 0;
      for (char c : digits) {
        if (HexDigit(c) < 0) Fail("hex(N): needs a type of 1 to 8 hex digits");
        value.type = (value.type << 4) | static_cast<uint32_t>(HexDigit(c));
      }
      rest = rest.substr(close + 1);
    }
    if (rest.empty() || rest[0] != ':') Fail("expected ':' after hex");
    rest.remove_prefix(1);

    bool after_byte = false;
    for (;;) {
      rest = TrimLeft(rest);
      if (rest.empty() || rest[0] == ';') break;
      if (rest[0] == '\\') {
        ExpectEnd(rest.substr(1));
        std::string_view next;
        if (!NextLine(&next)) Fail("hex data continues past the end of the file");
        rest = next;
        continue;
      }
      if (rest[0] == ',') {
        if (!after_byte) Fail("expected a hex byte before ','");
        after_byte = false;
        rest.remove_prefix(1);
        continue;
      }
      if (after_byte) Fail("expected ',' between hex bytes");
      int high = HexDigit(rest[0]);
      if (high < 0) Fail("expected a hex byte, found \"" + std::string(rest) + "\"");
      int byte = high;
      rest.remove_prefix(1);
      if (!rest.empty() && HexDigit(rest[0]) >= 0) {
        byte = byte * 16 + HexDigit(rest[0]);
        rest.remove_prefix(1);
      }
      value.data.push_back(static_cast<uint8_t>(byte));
      after_byte = true;
    }

    if (IsStringType(value.type)) {
      std::string text;
      if (unicode_hex_) {
        if (value.data.size() % 2 != 0) Fail("string data of a version 5 file must be UTF-16LE (an even byte count)");
        text = Utf16LeToUtf8(value.data.data(), value.data.size());
      } else {
        text.assign(value.data.begin(), value.data.end());
        if (!IsValidUtf8(text)) Fail("string data that is not valid UTF-8");
      }
      value.data.assign(text.begin(), text.end());
    }
    return value;
  }

  std::string_view text_;
  const std::string& file_name_;
  RegHives* hives_;
  size_t position_ = 0;
  int line_number_ = 0;
  bool unicode_hex_ = true;
  RegNode* current_ = nullptr;
};

std::string Quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out + '"';
}

// A REG_SZ that round-trips through "text": one terminator at the end and
// nothing before it that a quoted line could not hold.
bool IsCleanText(const std::vector<uint8_t>& data) {
  if (data.empty() || data.back() != 0) return false;
  for (size_t i = 0; i + 1 < data.size(); ++i) {
    if (data[i] < 0x20 && data[i] != '\t') return false;
  }
  return true;
}

void AppendValue(std::string* out, const std::string& name, const RegValue& value) {
  std::string line = name.empty() ? "@=" : Quote(name) + "=";
  const std::vector<uint8_t>& data = value.data;
  char buffer[16];
  if (value.type == win::kRegSz && IsCleanText(data)) {
    line += Quote(std::string_view(reinterpret_cast<const char*>(data.data()), data.size() - 1));
  } else if (value.type == win::kRegDword && data.size() == 4) {
    uint32_t number = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<uint32_t>(data[3]) << 24);
    snprintf(buffer, sizeof(buffer), "dword:%08x", number);
    line += buffer;
  } else {
    if (value.type == win::kRegBinary) {
      line += "hex:";
    } else {
      snprintf(buffer, sizeof(buffer), "hex(%x):", value.type);
      line += buffer;
    }
    std::vector<uint8_t> bytes =
        IsStringType(value.type)
            ? Utf8ToUtf16Le(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()))
            : data;
    size_t column = line.size();
    for (size_t i = 0; i < bytes.size(); ++i) {
      snprintf(buffer, sizeof(buffer), "%02x", bytes[i]);
      line += buffer;
      if (i + 1 == bytes.size()) break;
      line += ',';
      column += 3;
      if (column >= kHexWrapColumn) {
        line += "\\\n  ";
        column = 2;
      }
    }
  }
  *out += line + "\n";
}

void AppendKey(std::string* out, const std::string& path, const RegNode& node, bool is_root) {
  if (!is_root || !node.values.empty()) {
    *out += "[" + path + "]\n";
    for (const auto& [name, value] : node.values) AppendValue(out, name, value);
    *out += "\n";
  }
  for (const auto& [name, child] : node.subkeys) AppendKey(out, path + "\\" + name, *child, false);
}

}  // namespace

bool IsStringType(uint32_t type) {
  return type == win::kRegSz || type == win::kRegExpandSz || type == win::kRegMultiSz;
}

void ParseRegText(std::string_view bytes, const std::string& file_name, RegHives* hives) {
  std::string text;
  if (!DecodeTextFile(bytes, &text)) throw std::runtime_error(file_name + ":1: UTF-16 text of odd length");
  RegTextParser(text, file_name, hives).Parse();
}

std::string FormatRegText(const RegHives& hives) {
  std::string out = std::string(kHeaderV5) + "\n\n";
  AppendKey(&out, std::string(kClassesRoot), *hives.classes_root, true);
  AppendKey(&out, std::string(kLocalMachine), *hives.local_machine, true);
  return out;
}

}  // namespace fenra::sim
