#include "platform/sim/reg_file.h"

#include <cstdio>
#include <iterator>
#include <stdexcept>

#include "platform/win_values.h"

namespace fenra::sim {
namespace {

constexpr std::string_view kHeaderV5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeaderV4 = "REGEDIT4";
// The roots in the order regedit shows them; the machine simulates two.
constexpr std::string_view kRoots[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",   "HKEY_LOCAL_MACHINE",
                                       "HKEY_USERS",        "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};
constexpr size_t kClassesRoot = 0;
constexpr size_t kLocalMachine = 2;
// regedit breaks hex data once a line, counted in UTF-16 units, reaches
// this column.
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

// A name as the ANSI functions see it: an unpaired surrogate is U+FFFD.
std::string AnsiName(std::string_view wtf8) {
  if (IsValidUtf8(wtf8)) return std::string(wtf8);
  std::vector<uint8_t> utf16 = Wtf8ToUtf16Le(wtf8);
  return Utf16LeToUtf8(utf16.data(), utf16.size());
}

// A string value from its UTF-16LE data.
RegValue StringValue(uint32_t type, const std::vector<uint8_t>& utf16) {
  std::string ansi = Utf16LeToUtf8(utf16.data(), utf16.size());
  RegValue value{type, std::vector<uint8_t>(ansi.begin(), ansi.end()), std::nullopt};
  if (Utf8ToUtf16Le(ansi) != utf16) value.utf16 = utf16;
  return value;
}

// The text of a file: UTF-16LE after its byte-order mark becomes WTF-8, so
// that every unit survives; UTF-8 loses its byte-order mark.
std::string DecodeRegFile(std::string_view bytes, const std::string& file_name) {
  if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE) {
    if (bytes.size() % 2 != 0) throw std::runtime_error(file_name + ":1: UTF-16 text of odd length");
    return Utf16LeToWtf8(reinterpret_cast<const uint8_t*>(bytes.data()) + 2, bytes.size() - 2);
  }
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  return std::string(bytes);
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
        EndForeignSection(line_start_);
        ParseKeyLine(line);
      } else if (line[0] == '"' || line[0] == '@') {
        ParseValueLine(line);
      } else {
        Fail("expected a [key] line, a value line or a comment");
      }
    }
    EndForeignSection(text_.size());
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
    line_start_ = position_;
    position_ = end + 1;
    ++line_number_;
    return true;
  }

  void ExpectEnd(std::string_view rest) const {
    rest = TrimLeft(rest);
    if (!rest.empty() && rest[0] != ';') Fail("unexpected text \"" + std::string(rest) + "\"");
  }

  // A section of a foreign root ends where the next [key] line starts.
  void EndForeignSection(size_t end) {
    if (!foreign_root_) return;
    hives_->foreign.push_back({*foreign_root_, std::string(text_.substr(foreign_start_, end - foreign_start_))});
    foreign_root_.reset();
  }

  void ParseKeyLine(std::string_view line) {
    size_t close = line.rfind(']');
    if (close == std::string_view::npos) Fail("a [key] line without its closing ']'");
    ExpectEnd(line.substr(close + 1));
    std::string_view path = line.substr(1, close - 1);
    bool remove = !path.empty() && path[0] == '-';
    if (remove) path.remove_prefix(1);

    std::string_view root_name = path.substr(0, path.find('\\'));
    size_t root = 0;
    while (root < std::size(kRoots) && !EqualsIgnoreCase(root_name, kRoots[root])) ++root;
    if (root == std::size(kRoots)) Fail("unknown root key \"" + std::string(root_name) + "\"");
    std::vector<std::string> names;
    for (size_t start = root_name.size(); start < path.size();) {
      size_t end = path.find('\\', start + 1);
      if (end == std::string_view::npos) end = path.size();
      std::string_view name = path.substr(start + 1, end - start - 1);
      if (name.empty()) Fail("an empty key name in \"" + std::string(path) + "\"");
      if (!IsValidWtf8(name)) Fail("a key name that is not valid UTF-8");
      names.push_back(AnsiName(name));
      start = end;
    }

    current_ = nullptr;
    if (root != kLocalMachine && root != kClassesRoot) {
      // Kept as it stands; its values are read only to find mistakes.
      foreign_root_ = root;
      foreign_start_ = line_start_;
      scratch_.values.clear();
      if (!remove) current_ = &scratch_;
      return;
    }
    RegNode* node = root == kLocalMachine ? hives_->local_machine.get() : hives_->classes_root.get();
    if (remove) {
      if (names.empty()) Fail("a root key cannot be deleted");
      for (size_t i = 0; i + 1 < names.size() && node; ++i) {
        auto it = node->subkeys.find(names[i]);
        node = it == node->subkeys.end() ? nullptr : it->second.get();
      }
      if (node) node->subkeys.erase(names.back());
      return;
    }
    for (const std::string& name : names) {
      auto it = node->subkeys.find(name);
      if (it == node->subkeys.end()) it = node->subkeys.emplace(name, std::make_shared<RegNode>()).first;
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
        if (!IsValidWtf8(text)) Fail("a quoted text that is not valid UTF-8");
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
      name = AnsiName(ParseQuoted(line, &pos));
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
      std::vector<uint8_t> utf16 = Wtf8ToUtf16Le(ParseQuoted(rest, &end));
      ExpectEnd(rest.substr(end));
      utf16.insert(utf16.end(), {0, 0});
      value = StringValue(win::kRegSz, utf16);
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
    RegValue value{win::kRegDword, {}, std::nullopt};
    for (int shift = 0; shift < 32; shift += 8) value.data.push_back(static_cast<uint8_t>(number >> shift));
    return value;
  }

  // After "hex": ":" or "(N):", then bytes "12,ab,..." continued on the
  // next line after a trailing backslash.
  RegValue ParseHex(std::string_view rest) {
    RegValue value{win::kRegBinary, {}, std::nullopt};
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
      if (unicode_hex_) return StringValue(value.type, value.data);
      if (!IsValidUtf8(std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size())))
        Fail("string data that is not valid UTF-8");
    }
    return value;
  }

  std::string_view text_;
  const std::string& file_name_;
  RegHives* hives_;
  size_t position_ = 0;
  size_t line_start_ = 0;
  int line_number_ = 0;
  bool unicode_hex_ = true;
  RegNode* current_ = nullptr;
  std::optional<size_t> foreign_root_;
  size_t foreign_start_ = 0;
  RegNode scratch_;  // the values of a foreign section
};

// Quotes as regedit does: \\, \" and line breaks as \n and \r.
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

// How many UTF-16 units a WTF-8 text takes.
size_t Utf16Units(std::string_view text) {
  size_t units = 0;
  for (char c : text) {
    auto byte = static_cast<uint8_t>(c);
    if ((byte & 0xC0) != 0x80) ++units;
    if (byte >= 0xF0) ++units;
  }
  return units;
}

// UTF-16 that a quoted text holds exactly: well-formed, with one NUL, at
// its end.
bool IsOneTerminatedString(const std::vector<uint8_t>& utf16) {
  if (utf16.size() < 2 || utf16.size() % 2 != 0) return false;
  size_t units = utf16.size() / 2;
  auto unit = [&utf16](size_t i) { return utf16[2 * i] | (utf16[2 * i + 1] << 8); };
  for (size_t i = 0; i < units; ++i) {
    int u = unit(i);
    if (u == 0) return i + 1 == units;
    if (u >= 0xDC00 && u <= 0xDFFF) return false;
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 == units || unit(i + 1) < 0xDC00 || unit(i + 1) > 0xDFFF) return false;
      ++i;
    }
  }
  return false;
}

void AppendValue(std::string* out, const std::string& name, const RegValue& value) {
  std::string line = name.empty() ? "@=" : Quote(name) + "=";
  std::vector<uint8_t> bytes = value.data;
  char buffer[16];
  if (IsStringType(value.type)) {
    bytes = value.utf16 ? *value.utf16
                        : Utf8ToUtf16Le(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (value.type == win::kRegSz && IsOneTerminatedString(bytes)) {
      *out += line + Quote(Utf16LeToUtf8(bytes.data(), bytes.size() - 2)) + "\r\n";
      return;
    }
  } else if (value.type == win::kRegDword && bytes.size() == 4) {
    uint32_t number = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
    snprintf(buffer, sizeof(buffer), "dword:%08x", number);
    *out += line + buffer + "\r\n";
    return;
  }
  if (value.type == win::kRegBinary) {
    line += "hex:";
  } else {
    snprintf(buffer, sizeof(buffer), "hex(%x):", value.type);
    line += buffer;
  }
  size_t column = Utf16Units(line);
  for (size_t i = 0; i < bytes.size(); ++i) {
    snprintf(buffer, sizeof(buffer), "%02x", bytes[i]);
    line += buffer;
    if (i + 1 == bytes.size()) break;
    line += ',';
    column += 3;
    if (column >= kHexWrapColumn) {
      line += "\\\r\n  ";
      column = 2;
    }
  }
  *out += line + "\r\n";
}

void AppendKey(std::string* out, const std::string& path, const RegNode& node, bool is_root) {
  if (is_root && node.values.empty() && node.subkeys.empty()) return;
  *out += "[" + path + "]\r\n";
  for (const auto& [name, value] : node.values) AppendValue(out, name, value);
  *out += "\r\n";
  for (const auto& [name, child] : node.subkeys) AppendKey(out, path + "\\" + name, *child, false);
}

// The lines of a foreign section, each ended by CR LF.
void AppendLines(std::string* out, std::string_view text) {
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    *out += line;
    *out += "\r\n";
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
}

void MarkDeleted(RegNode& node) {
  node.deleted = true;
  for (auto& [name, child] : node.subkeys) MarkDeleted(*child);
}

void MergeNode(RegNode& into, RegNode& from) {
  into.values = std::move(from.values);
  std::map<std::string, std::shared_ptr<RegNode>, LessIgnoreCase> merged;
  for (auto& [name, node] : from.subkeys) {
    auto old = into.subkeys.find(name);
    if (old == into.subkeys.end()) {
      merged.emplace(name, node);
      continue;
    }
    MergeNode(*old->second, *node);
    merged.emplace(name, old->second);
    into.subkeys.erase(old);
  }
  for (auto& [name, node] : into.subkeys) MarkDeleted(*node);
  into.subkeys = std::move(merged);
}

}  // namespace

bool IsStringType(uint32_t type) {
  return type == win::kRegSz || type == win::kRegExpandSz || type == win::kRegMultiSz;
}

void ParseRegText(std::string_view bytes, const std::string& file_name, RegHives* hives) {
  std::string text = DecodeRegFile(bytes, file_name);
  RegTextParser(text, file_name, hives).Parse();
}

std::string FormatRegText(const RegHives& hives) {
  std::string text = std::string(kHeaderV5) + "\r\n\r\n";
  for (size_t root = 0; root < std::size(kRoots); ++root) {
    if (root == kClassesRoot) AppendKey(&text, std::string(kRoots[root]), *hives.classes_root, true);
    if (root == kLocalMachine) AppendKey(&text, std::string(kRoots[root]), *hives.local_machine, true);
    for (const ForeignSection& section : hives.foreign) {
      if (section.root == root) AppendLines(&text, section.text);
    }
  }
  std::vector<uint8_t> utf16 = Wtf8ToUtf16Le(text);
  std::string bytes = "\xFF\xFE";
  bytes.append(utf16.begin(), utf16.end());
  return bytes;
}

void MergeRegHives(RegHives& into, RegHives&& from) {
  MergeNode(*into.local_machine, *from.local_machine);
  MergeNode(*into.classes_root, *from.classes_root);
  into.foreign = std::move(from.foreign);
}

}  // namespace fenra::sim
