#include "support/registry_sample.h"

#include <string>
#include <vector>

namespace fenra::testing {

int32_t WriteRegistrySample(sim::SimRegistry& registry) {
  const std::string root = "SOFTWARE\\FenraRegeditCheck";
  int32_t first_error = 0;
  auto set = [&](const std::string& path, const char* name, uint32_t type, const std::string& bytes) {
    RegKeyPtr key;
    int32_t error = registry.CreateKey(Hive::kLocalMachine, path, win::kKeyAllAccess, &key, nullptr);
    if (error == 0)
      error = registry.SetValue(*key, name, type, reinterpret_cast<const uint8_t*>(bytes.data()),
                                static_cast<uint32_t>(bytes.size()));
    if (first_error == 0) first_error = error;
  };
  auto text = [](const std::string& s) { return s + std::string(1, '\0'); };
  std::string counting;
  for (int i = 0; i < 100; ++i) counting += static_cast<char>(i);

  set(root, nullptr, win::kRegSz, text("the default value"));
  set(root, "Text", win::kRegSz, text("C:\\Temp\\ \"quoted\" \xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e \xf0\x9f\x98\x80"));
  set(root, "Tab and line breaks", win::kRegSz, text("a\tb\r\nc"));
  set(root, "Empty", win::kRegSz, text(""));
  set(root, "Expand", win::kRegExpandSz, text("%SystemRoot%\\system32\\\xe6\x97\xa5\xe6\x9c\xac"));
  set(root, "Multi", win::kRegMultiSz, std::string("one\0\xe4\xba\x8c\0\0", 9));
  set(root, "Number", win::kRegDword, std::string("\x1e\0\0\0", 4));
  set(root, "Quad", win::kRegQword, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
  set(root, "Binary", win::kRegBinary, counting);
  set(root, "None", win::kRegNone, "");
  set(root, "Own type", 0x12345678, "\xff");
  // Wrapping counts UTF-16 units, so a non-ASCII name moves the breaks.
  set(root, "\xe5\x80\xa4\xe3\x81\xae\xe5\x90\x8d\xe5\x89\x8d \xe3\x81\xaf\xe9\x95\xb7\xe3\x81\x84", win::kRegBinary,
      counting.substr(0, 40));
  set(root, "A rather long name that leaves room for one byte only on the first line", win::kRegExpandSz,
      text("%TEMP%"));
  // Names order as regedit writes them, compared in lower case: "_" before letters.
  set(root + "\\_Underscore", "_value", win::kRegDword, std::string("\x01\0\0\0", 4));
  set(root + "\\_Underscore", "Value", win::kRegDword, std::string("\x02\0\0\0", 4));
  set(root + "\\Alpha", "x", win::kRegSz, text("y"));
  set(root + "\\Sub \xe6\x97\xa5\xe6\x9c\xac", "x", win::kRegSz, text("y"));

  if (int32_t error = registry.SetString(Hive::kClassesRoot, "FenraRegeditCheck", "LocalService", "FENRA");
      first_error == 0)
    first_error = error;
  return first_error;
}

}  // namespace fenra::testing
