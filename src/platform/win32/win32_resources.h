#pragma once
// The Resources port on the executable's string tables (LoadStringA). The
// system picks the table by its user-interface language; texts come in the
// system's ANSI code page.

#include "platform/resources.h"

namespace fenra::win32 {

class Win32Resources final : public Resources {
 public:
  int LoadString(uint32_t id, char* buffer, int buffer_size) override;
};

}  // namespace fenra::win32
