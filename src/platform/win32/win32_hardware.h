#pragma once
// The Hardware port: the hardware management library through LoadLibraryExA
// and GetProcAddress, the IPMI driver's device through CreateFileA and
// DeviceIoControl.

#include <cstdint>

#include "platform/hardware.h"

namespace fenra::win32 {

// The library is looked for in the system directory (SysWOW64 for a 32-bit
// process on 64-bit Windows), in the program's own directory and in the
// hardware vendor's installation folder, it and its dependencies, and
// nowhere else: a service running as LocalSystem must not load a DLL of
// that name planted in its current directory or in a folder on PATH. The
// vendor's folder comes in through AddDllDirectory for the one load; a
// system without it (Windows 7 or Server 2008 R2 before their update
// KB2533623, which brought it together with the LOAD_LIBRARY_SEARCH flags)
// loads by full path from each folder in turn instead.
//
// The calling convention of the library's entries is an assumption, stated
// here once: BOOL WINAPI entry(void* record), that is __stdcall on 32-bit
// x86 (the callee removes its one 4-byte argument) and the one convention
// of x64. Nothing we have documents it. On 32-bit x86 every call therefore
// goes through a thunk that measures the stack pointer around it: an entry
// that leaves the stack anywhere else (a __cdecl export, a different
// argument list) has its result discarded, the stack is put back, and the
// call fails with ERROR_INVALID_FUNCTION after a line on the debugger
// output, rather than carrying on with a stack that is off by 4 bytes.
class Win32Hardware final : public Hardware {
 public:
  LibraryPtr LoadLibrary(const std::string& name, const std::string& vendor_directory) override;
  DevicePtr OpenDevice(const std::string& path) override;
  bool DeviceIoControl(Device& device, uint32_t control_code, const void* input, uint32_t input_size, void* output,
                       uint32_t output_size, uint32_t* returned) override;
};

// Calls `entry` as BOOL WINAPI entry(void* record). On 32-bit x86 *stack_moved
// is how many bytes the stack pointer ended away from where it was before
// the argument was pushed (0 for a __stdcall entry, -4 for a __cdecl one);
// elsewhere it is always 0. Exposed for the tests of the check.
using LibraryEntry = void (*)();
int32_t CallLibraryEntry(LibraryEntry entry, void* record, int32_t* stack_moved);

}  // namespace fenra::win32
