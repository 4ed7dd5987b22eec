#pragma once
// The Hardware port: the hardware management library through LoadLibraryA
// and GetProcAddress, the IPMI driver's device through CreateFileA and
// DeviceIoControl.

#include "platform/hardware.h"

namespace fenra::win32 {

// The library's entries are called as BOOL WINAPI entry(void* record): the
// convention of the Windows API, which matters on 32-bit x86 only.
class Win32Hardware final : public Hardware {
 public:
  LibraryPtr LoadLibrary(const std::string& name) override;
  DevicePtr OpenDevice(const std::string& path) override;
  bool DeviceIoControl(Device& device, uint32_t control_code, const void* input, uint32_t input_size, void* output,
                       uint32_t output_size, uint32_t* returned) override;
};

}  // namespace fenra::win32
