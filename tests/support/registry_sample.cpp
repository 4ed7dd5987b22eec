#include "support/registry_sample.h"

#include <string>

namespace fenra::testing {

int32_t WriteRegistrySample(sim::SimRegistry& registry) {
  struct Value {
    std::string key;  // below HKEY_LOCAL_MACHINE\SOFTWARE\FenraRegeditCheck
    const char* name;
    uint32_t type;
    std::string data;
  };
  std::string counting;
  for (int i = 0; i < 100; ++i) counting += static_cast<char>(i);
  using std::string_literals::operator""s;
  const Value values[] = {
      {"", nullptr, win::kRegSz, "the default value\0"s},
      {"", "Text", win::kRegSz, "C:\\Temp\\ \"quoted\" \xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e \xf0\x9f\x98\x80\0"s},
      {"", "Tab and line breaks", win::kRegSz, "a\tb\r\nc\0"s},
      {"", "Empty", win::kRegSz, "\0"s},
      {"", "Expand", win::kRegExpandSz, "%SystemRoot%\\system32\\\xe6\x97\xa5\xe6\x9c\xac\0"s},
      {"", "Multi", win::kRegMultiSz, "one\0\xe4\xba\x8c\0\0"s},
      {"", "Number", win::kRegDword, "\x1e\0\0\0"s},
      {"", "Quad", win::kRegQword, "\x01\x02\x03\x04\x05\x06\x07\x08"s},
      {"", "Binary", win::kRegBinary, counting},
      {"", "None", win::kRegNone, ""},
      {"", "Own type", 0x12345678, "\xff"},
      // Wrapping counts UTF-16 units, so a non-ASCII name moves the breaks.
      {"", "\xe5\x80\xa4\xe3\x81\xae\xe5\x90\x8d\xe5\x89\x8d \xe3\x81\xaf\xe9\x95\xb7\xe3\x81\x84", win::kRegBinary,
       counting.substr(0, 40)},
      {"", "A rather long name that leaves room for one byte only on the first line", win::kRegExpandSz,
       "%TEMP%\0"s},
      // Names compare in lower case: "_" sorts before letters.
      {"\\_Underscore", "_value", win::kRegDword, "\x01\0\0\0"s},
      {"\\_Underscore", "Value", win::kRegDword, "\x02\0\0\0"s},
      {"\\Alpha", "x", win::kRegSz, "y\0"s},
      {"\\Sub \xe6\x97\xa5\xe6\x9c\xac", "x", win::kRegSz, "y\0"s},
  };
  for (const Value& value : values) {
    RegKeyPtr key;
    int32_t error = registry.CreateKey(Hive::kLocalMachine, "SOFTWARE\\FenraRegeditCheck" + value.key,
                                       win::kKeyAllAccess, &key, nullptr);
    if (error == 0)
      error = registry.SetValue(*key, value.name, value.type, reinterpret_cast<const uint8_t*>(value.data.data()),
                                static_cast<uint32_t>(value.data.size()));
    if (error != 0) return error;
  }
  return registry.SetString(Hive::kClassesRoot, "FenraRegeditCheck", "LocalService", "FENRA");
}

}  // namespace fenra::testing
