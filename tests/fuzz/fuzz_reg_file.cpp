// Any bytes as a registry file (regedit's UTF-16LE export, UTF-8 with or
// without a byte-order mark, REGEDIT4): the reader takes them in or throws
// std::runtime_error naming the line. What it took in is written back in
// regedit's form, and that reads back to the same text: nothing taken in is
// lost or altered by a save.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/sim/reg_file.h"

using fenra::sim::FormatRegText;
using fenra::sim::ParseRegText;
using fenra::sim::RegHives;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RegHives hives;
  try {
    ParseRegText(std::string_view(reinterpret_cast<const char*>(data), size), "registry.reg", &hives);
  } catch (const std::runtime_error& e) {
    if (std::string_view(e.what()).substr(0, 13) != "registry.reg:") __builtin_trap();
    return 0;
  }
  std::string saved = FormatRegText(hives);
  RegHives again;
  ParseRegText(saved, "saved.reg", &again);  // throws (and so fails) when the saved form is refused
  if (FormatRegText(again) != saved) __builtin_trap();
  return 0;
}
