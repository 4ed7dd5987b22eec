// Any text: GetDevicePathID copies a value that fits the 256-byte buffer,
// terminated, or refuses it; nothing is written past the buffer.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "wmi/instance_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  constexpr size_t kSize = 256;
  auto out = std::make_unique<char[]>(kSize);  // on the heap, so that an overrun is caught
  memset(out.get(), 'x', kSize);
  const char* failure = fenra::FindDevicePathID(text.c_str(), std::span<char>(out.get(), kSize));
  if (failure == nullptr) {
    size_t length = strnlen(out.get(), kSize);
    if (length == kSize || text.find(std::string("DevicePathId = ") + out.get() + ";") == std::string::npos)
      __builtin_trap();
  } else if (out[0] != 'x') {
    __builtin_trap();
  }
  return 0;
}
