#pragma once
// String resources of the executable, in the language of the system's user
// interface.

#include <cstdint>

namespace fenra {

class Resources {
 public:
  virtual ~Resources() = default;

  // LoadStringA: copies at most buffer_size - 1 bytes and a terminator,
  // returns the number of bytes copied; 0 when the string does not exist
  // (last error ERROR_RESOURCE_NAME_NOT_FOUND). Texts are in the ANSI code
  // page.
  virtual int LoadString(uint32_t id, char* buffer, int buffer_size) = 0;
};

}  // namespace fenra
