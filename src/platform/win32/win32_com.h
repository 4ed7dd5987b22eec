#pragma once
// The Com port on the COM runtime (CoInitializeEx, CoInitializeSecurity).

#include "platform/com.h"

namespace fenra::win32 {

class Win32Com final : public Com {
 public:
  int32_t CoInitializeEx(uint32_t coinit) override;
  void CoUninitialize() override;
  int32_t CoInitializeSecurity(uint32_t authn_level, uint32_t imp_level) override;
};

}  // namespace fenra::win32
