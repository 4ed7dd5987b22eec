// Any INI file, section and key (the input is "section\0key\0file bytes"):
// GetPrivateProfileInt's lookup finds a value or gives the default, and a
// file that holds just that section and key with a decimal number gives the
// number back.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/sim/sim_files.h"

using fenra::sim::ProfileIntFromFile;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t first = input.find('\0');
  size_t second = first == std::string_view::npos ? first : input.find('\0', first + 1);
  if (second == std::string_view::npos) return 0;
  std::string_view section = input.substr(0, first);
  std::string_view key = input.substr(first + 1, second - first - 1);
  uint32_t value = ProfileIntFromFile(input.substr(second + 1), section, key, -7);

  // Names that the file form can hold: no line breaks, brackets or '=', and
  // not starting with ';'.
  auto plain = [](std::string_view name) {
    return !name.empty() && name.find_first_of("\r\n[]=\x1a") == std::string_view::npos && name[0] != ';';
  };
  if (plain(section) && plain(key)) {
    std::string file = "[" + std::string(section) + "]\r\n" + std::string(key) + "=" + std::to_string(value) + "\r\n";
    if (ProfileIntFromFile(file, section, key, -7) != value) __builtin_trap();
  }
  return 0;
}
