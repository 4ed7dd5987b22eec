// Any path: GetParentInstanceName copies what lies between the first "{"
// and the next ",", when it fits the 256-byte buffer; nothing is written
// past the buffer.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "wmi/instance_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path(reinterpret_cast<const char*>(data), size);
  constexpr size_t kSize = 256;
  auto out = std::make_unique<char[]>(kSize);
  memset(out.get(), 'x', kSize);
  const char* failure = fenra::FindParentInstanceName(path.c_str(), std::span<char>(out.get(), kSize));
  if (failure == nullptr) {
    size_t length = strnlen(out.get(), kSize);
    size_t brace = path.find('{');
    if (length == kSize || brace == std::string::npos || path.compare(brace + 1, length, out.get()) != 0 ||
        path[brace + 1 + length] != ',' || memchr(out.get(), ',', length) != nullptr)
      __builtin_trap();
  } else if (out[0] != 'x') {
    __builtin_trap();
  }
  return 0;
}
