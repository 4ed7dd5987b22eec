#pragma once
// The registry of the simulated machine as a .reg text file ("Windows
// Registry Editor Version 5.00", UTF-8), the form regedit exports and
// imports, so that a person can read, diff and edit it.

#include <cstdint>
#include <map>
#include <memory>
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

struct RegHives {
  std::shared_ptr<RegNode> local_machine = std::make_shared<RegNode>();
  std::shared_ptr<RegNode> classes_root = std::make_shared<RegNode>();

  RegNode& Root(Hive hive) { return hive == Hive::kLocalMachine ? *local_machine : *classes_root; }
};

bool IsStringType(uint32_t type);

// Reads .reg text (header "Windows Registry Editor Version 5.00" or
// "REGEDIT4"; UTF-8, with or without a byte-order mark, or UTF-16LE with
// one; LF or CR LF) into `hives`, applying key and value deletions.
// Throws std::runtime_error "<file_name>:<line>: <what is wrong>".
void ParseRegText(std::string_view bytes, const std::string& file_name, RegHives* hives);

// The whole registry as .reg text: every key in case-insensitive order, the
// hive roots only when they hold values. REG_SZ is written as "text" only
// when it is one clean line of text with exactly one terminator, REG_DWORD
// as dword: only with exactly 4 bytes; all else as hex bytes, wrapped as
// regedit wraps them. The hex data of string types is UTF-16LE, as in
// every version 5 file.
std::string FormatRegText(const RegHives& hives);

}  // namespace fenra::sim
