#include "platform/win32/win32_com.h"

#include "platform/win32/windows_api.h"

namespace fenra::win32 {

int32_t Win32Com::CoInitializeEx(uint32_t coinit) { return ::CoInitializeEx(nullptr, coinit); }

void Win32Com::CoUninitialize() { ::CoUninitialize(); }

int32_t Win32Com::CoInitializeSecurity(uint32_t authn_level, uint32_t imp_level) {
  // No security descriptor: every caller is admitted.
  return ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, authn_level, imp_level, nullptr, EOAC_NONE, nullptr);
}

}  // namespace fenra::win32
