// Any text: GetOperationalState's scan finds a state or names a missing
// token, and never reads past the text.
#include <cstdint>
#include <cstring>
#include <string>

#include "wmi/instance_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  int32_t state = 0;
  const char* failure = fenra::FindOperationalState(text.c_str(), &state);
  if (failure != nullptr && (state != 0 || strncmp(failure, "[GetOperationalState]", 21) != 0)) __builtin_trap();
  return 0;
}
