#pragma once
// The registry of the simulated machine as a .reg file, in the form
// regedit exports ("Windows Registry Editor Version 5.00", UTF-16LE with a
// byte-order mark, CR LF), so that regedit imports it and a person can
// read, diff and edit it.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"
#include "platform/sim/text.h"

namespace fenra::sim {

// The data of a string type (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) is kept
// as the ANSI functions see it: valid UTF-8 bytes, terminators as stored.
struct RegValue {
  uint32_t type = 0;
  std::vector<uint8_t> data;
  // A string read from a file whose UTF-16 does not convert to UTF-8 and
  // back unchanged (an unpaired surrogate, an odd byte count): that UTF-16
  // as it was, written back instead of `data`.
  std::optional<std::vector<uint8_t>> utf16;
  bool operator==(const RegValue&) const = default;
};

// One key. Names keep the case they were created with and are found in any
// case; both maps are ordered case-insensitively, which gives the file its
// stable order.
struct RegNode {
  std::map<std::string, RegValue, LessIgnoreCase> values;  // "" = default value
  std::map<std::string, std::shared_ptr<RegNode>, LessIgnoreCase> subkeys;
  // Set when the key is removed; handles still open to it then fail.
  bool deleted = false;
};

// A [key] section of a root the machine does not simulate (HKEY_USERS,
// HKEY_CURRENT_USER, ...): its lines as they stand, up to the next [key]
// line, kept to be written back unchanged. `root` indexes the roots in
// the order regedit shows them.
struct ForeignSection {
  size_t root = 0;
  std::string text;  // WTF-8, lines ended by '\n'
};

struct RegHives {
  std::shared_ptr<RegNode> local_machine = std::make_shared<RegNode>();
  std::shared_ptr<RegNode> classes_root = std::make_shared<RegNode>();
  std::vector<ForeignSection> foreign;

  RegNode& Root(Hive hive) { return hive == Hive::kLocalMachine ? *local_machine : *classes_root; }
};

bool IsStringType(uint32_t type);

// Reads .reg text into `hives`, applying key and value deletions: a
// version 5 file in UTF-16LE with its byte-order mark, as regedit writes
// it, or in UTF-8 with or without one (hand edits); a "REGEDIT4" file
// (string data in the ANSI code page, UTF-8 here); LF or CR LF.
// Throws std::runtime_error "<file_name>:<line>: <what is wrong>".
void ParseRegText(std::string_view bytes, const std::string& file_name, RegHives* hives);

// The whole registry as the bytes regedit exports for it: every key in
// case-insensitive order, the hive roots only when they hold anything, then
// the foreign sections behind the keys of the roots that precede theirs.
// A REG_SZ is written as "text" when its UTF-16 is one terminated string
// without other NULs, REG_DWORD as dword: when it has 4 bytes; everything
// else as hex bytes, string types as their UTF-16LE, wrapped as regedit
// wraps them.
std::string FormatRegText(const RegHives& hives);

// Makes `into` hold what `from` holds while keeping the node of every key
// that exists in both, so that handles open to it see the new contents;
// the keys `from` lacks are marked deleted.
void MergeRegHives(RegHives& into, RegHives&& from);

}  // namespace fenra::sim
