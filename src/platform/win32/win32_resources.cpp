#include "platform/win32/win32_resources.h"

#include "platform/win32/windows_api.h"

namespace fenra::win32 {

int Win32Resources::LoadString(uint32_t id, char* buffer, int buffer_size) {
  // With no room LoadStringA would hand out a pointer into the resource
  // instead of a copy; the port always copies.
  if (buffer == nullptr || buffer_size <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return LoadStringA(GetModuleHandleA(nullptr), id, buffer, buffer_size);
}

}  // namespace fenra::win32
