#pragma once
// Hardware port: the platform's hardware management library and the IPMI
// driver's device, as LoadLibraryA / GetProcAddress and CreateFileA /
// DeviceIoControl offer them.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace fenra {

// What the platform's hardware components are known by.
// The hardware management library (qvmsmsen.dll) and its two entries:
// BOOL QVMGetSdrRepositoryStatus(DWORD* status) and
// BOOL QVMGetDeviceID_V15(QvmDeviceId_v15* record).
inline constexpr const char* kHardwareLibraryName = "qvmsmsen";
inline constexpr const char* kSdrRepositoryStatusEntry = "QVMGetSdrRepositoryStatus";
inline constexpr const char* kDeviceIdEntry = "QVMGetDeviceID_V15";
// Repository states; any other value means ready.
inline constexpr uint32_t kQvmSdrInit = 0;
inline constexpr uint32_t kQvmSdrDisable = 2;
// The device-ID record: the IPMI v1.5 Get Device ID response preceded by
// its completion code. Byte 3 is firmware revision 1 (top bit: device
// available), byte 4 firmware revision 2.
inline constexpr uint32_t kDeviceIdRecordSize = 18;
// The IPMI driver's device and its control code (device type 0x810C,
// function 0, buffered, read access) that answers with the BMC's device ID
// in a 256-byte buffer, firmware revision in bytes 3 and 4.
inline constexpr const char* kIpmiDevicePath = "\\\\.\\IPMIDEV";
inline constexpr uint32_t kIpmiDeviceIdControlCode = 0x810C4000;
inline constexpr uint32_t kIpmiAnswerSize = 256;

// An entry point of a loaded library. The entries the system calls take one
// pointer to a record that they fill and return nonzero on success (a
// BOOL). An entry holds its own reference to its library, so the library
// stays loaded while anybody still holds one of its entries.
using LibraryProc = std::function<int32_t(void* record)>;

// A loaded library. Every LoadLibrary gives one reference; the library is
// released (FreeLibrary) when the last reference to it and to its entries
// is dropped.
class Library {
 public:
  virtual ~Library() = default;
  // GetProcAddress. Empty, with last error ERROR_PROC_NOT_FOUND, when the
  // library exports no entry of that name. Thread-safe.
  virtual LibraryProc GetProcAddress(const char* name) = 0;
};
using LibraryPtr = std::shared_ptr<Library>;

// An open device; destroying it closes it (CloseHandle).
class Device {
 public:
  virtual ~Device() = default;
};
using DevicePtr = std::unique_ptr<Device>;

// Failures set the calling thread's last error. Thread-safe.
class Hardware {
 public:
  virtual ~Hardware() = default;

  // Loads the library `name` (".dll" added) from the system directory, the
  // program's directory and, when not empty, `vendor_directory` (the
  // hardware vendor's installation folder), in that order; the library's
  // own dependencies are looked for in the same places. Never from the
  // current directory or a folder on PATH. Null on failure, with the
  // loader's error: ERROR_MOD_NOT_FOUND when it is in none of them (or a
  // dependency is missing), ERROR_BAD_EXE_FORMAT for one that is no library
  // of this process's kind (a 64-bit one in the 32-bit service), ...
  virtual LibraryPtr LoadLibrary(const std::string& name, const std::string& vendor_directory) = 0;
  // CreateFileA of a device ("\\\\.\\IPMIDEV") for reading and writing,
  // without sharing, as an existing device. Null on failure
  // (ERROR_FILE_NOT_FOUND when the device does not exist).
  virtual DevicePtr OpenDevice(const std::string& path) = 0;
  // DeviceIoControl. `output` gets at most `output_size` bytes; *returned
  // the number written.
  virtual bool DeviceIoControl(Device& device, uint32_t control_code, const void* input, uint32_t input_size,
                               void* output, uint32_t output_size, uint32_t* returned) = 0;
};

}  // namespace fenra
