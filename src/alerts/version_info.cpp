#include "alerts/version_info.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "diagnostics/trace_texts.h"
#include "state/shared_state.h"

namespace fenra {
namespace {

constexpr char kVersionSizeFailed[] = "[CheckSWVersion]GetKeyVal %s faild // dnum = %d";
constexpr char kSdrDisabled[] = "[Frusys_Get_Bmc_Fw_Revision]GetSDRStatus(QVM_SDR_DISABLE)";

constexpr const char* kPlatformKey = "SOFTWARE\\QOR\\Trelvane";
constexpr const char* kPlatformVersionValue = "TrelvaneVersion";
constexpr uint32_t kVersionSize = 16;
constexpr const char* kUnknown = "unknown";
// The driver file below %SystemRoot%, in a path of at most 260 bytes.
constexpr const char* kDriverFile = "\\system32\\drivers\\zerod.sys";
constexpr size_t kMaxPath = 260;
constexpr const char* kOwnFileVersionBlock = "\\StringFileInfo\\041104b0\\FileVersion";

constexpr int kSdrAttempts = 24;
constexpr uint32_t kSdrWaitMs = 5000;

// A file's version resource, read into a buffer 10 bytes larger than it.
struct VersionResource {
  std::unique_ptr<uint8_t[]> data;
  uint32_t size = 0;
};
enum class VersionStep { kRead, kSizeFailed, kAllocationFailed, kReadFailed };

VersionStep ReadVersionResource(VersionInfo& version_info, const std::string& path, VersionResource* resource) {
  resource->size = version_info.GetFileVersionInfoSize(path);
  if (resource->size == 0) return VersionStep::kSizeFailed;
  resource->data.reset(new (std::nothrow) uint8_t[size_t{resource->size} + 10]);
  if (!resource->data) return VersionStep::kAllocationFailed;
  if (!version_info.GetFileVersionInfo(path, resource->size, resource->data.get())) return VersionStep::kReadFailed;
  return VersionStep::kRead;
}

// TrelvaneVersion of the open key. A value that does not fit the 16-byte
// version with its terminator is refused.
std::optional<std::string> ReadRegistryVersion(Runtime& runtime, RegKey& key) {
  Registry& registry = runtime.platform.registry;
  uint32_t size = 0;
  int32_t result = registry.QueryValue(key, kPlatformVersionValue, nullptr, nullptr, &size);
  if (result != 0) {
    runtime.trace.TraceLogF("[CheckSWVersion]QueryValue %s faild // ret = %d", kPlatformVersionValue, result);
    return std::nullopt;
  }
  if (size > kVersionSize) {
    runtime.trace.TraceLogF(kVersionSizeFailed, kPlatformVersionValue,
                            static_cast<int>(size));
    return std::nullopt;
  }
  char version[kVersionSize + 1] = {};
  uint32_t type = 0;
  size = kVersionSize;
  result = registry.QueryValue(key, kPlatformVersionValue, &type, reinterpret_cast<uint8_t*>(version), &size);
  if (result == 0 && type != win::kRegSz) result = static_cast<int32_t>(win::kErrorInvalidData);
  if (result != 0) {
    runtime.trace.TraceLogF("[CheckSWVersion]GetKeyVal %s faild // ret = %d", kPlatformVersionValue, result);
    return std::nullopt;
  }
  // Sixteen characters without a terminator leave no room for one.
  if (strnlen(version, kVersionSize) == kVersionSize) {
    runtime.trace.TraceLogF(kVersionSizeFailed, kPlatformVersionValue,
                            static_cast<int>(size));
    return std::nullopt;
  }
  return std::string(version);
}

// The version that the fixed file version of zerod.sys stands for. Its
// parts are written one after another ("%d.%0d%0d%0d") and read back as a
// decimal number, so 1.1.23.9 and 1.1.239.0 both read 1.1239.
std::optional<std::string> DriverFileVersion(Runtime& runtime) {
  Platform& platform = runtime.platform;
  Trace& trace = runtime.trace;
  std::string path = platform.system.ExpandEnvironmentStrings("%SystemRoot%") + kDriverFile;
  VersionResource resource;
  VersionStep step = VersionStep::kSizeFailed;
  if (path.size() < kMaxPath)
    step = ReadVersionResource(platform.version_info, path, &resource);
  else
    platform.kernel.SetLastError(win::kErrorInsufficientBuffer);
  switch (step) {
    case VersionStep::kSizeFailed:
      trace.TraceLogF("[CheckSWVersion]GetFileVersionInfoSize %s Error = %d", path.c_str(),
                      static_cast<int>(platform.kernel.GetLastError()));
      return std::nullopt;
    case VersionStep::kAllocationFailed:
      trace.TraceLog("[CheckSWVersion]malloc error");
      return std::nullopt;
    case VersionStep::kReadFailed:
      trace.TraceLogF("[CheckSWVersion]GetFileVersionInfo %s Error = %d", path.c_str(),
                      static_cast<int>(platform.kernel.GetLastError()));
      return std::nullopt;
    case VersionStep::kRead:
      break;
  }
  FixedFileVersion version;
  if (platform.version_info.QueryFixedFileVersion(resource.data.get(), resource.size, &version)) {
    char text[64];
    FormatText(text, "%d.%0d%0d%0d", version.major, version.minor, version.build, version.revision);
    double number = 0;
    std::from_chars(text, text + strlen(text), number);
    if (number == 1.1239) return "1.1";
    if (number == 1.019714) return "1.0.2";
    if (number == 1.0182) return "1.0";
  }
  trace.TraceLog("[CheckSWVersion]File Version old");
  return std::nullopt;
}

// Traces the executable's own file version; silent when it has none.
void TraceOwnFileVersion(Runtime& runtime) {
  VersionInfo& version_info = runtime.platform.version_info;
  // A longer path would have been cut in its 261-byte buffer and name no file.
  std::string path = version_info.GetModuleFileName();
  if (path.size() > kMaxPath) return;
  VersionResource resource;
  std::string file_version;
  if (ReadVersionResource(version_info, path, &resource) == VersionStep::kRead &&
      version_info.QueryVersionString(resource.data.get(), resource.size, kOwnFileVersionBlock, &file_version))
    runtime.trace.TraceLogF("[CheckSWVersion]FileVersion = %s", file_version.c_str());
}

int Unknown(char* revision, size_t size) {
  CopyText(revision, size, kUnknown);
  return 0;
}

void FormatRevision(char* revision, size_t size, uint8_t first, uint8_t second) {
  if (size == 0) return;
  snprintf(revision, size, "%02X.%02X", first, second);
}

// The revision from the IPMI driver, bytes 3 and 4 of its answer as they are.
int RevisionFromDriver(Runtime& runtime, char* revision, size_t size) {
  Hardware& hardware = runtime.platform.hardware;
  Trace& trace = runtime.trace;
  trace.TraceLog("[Frusys_Get_Bmc_Fw_Revision]API address load faild");
  DevicePtr device = hardware.OpenDevice(kIpmiDevicePath);
  if (!device) {
    trace.TraceLog("[Frusys_Get_Bmc_Fw_Revision]IPMIDEV open error");
    return Unknown(revision, size);
  }
  uint8_t answer[kIpmiAnswerSize] = {};
  uint32_t returned = 0;
  // An answer too short to hold the two bytes holds no revision.
  if (!hardware.DeviceIoControl(*device, kIpmiDeviceIdControlCode, nullptr, 0, answer, sizeof(answer), &returned) ||
      returned < 5) {
    trace.TraceLog("[Frusys_Get_Bmc_Fw_Revision]IPMI DeviceIoControl error");
    return Unknown(revision, size);
  }
  FormatRevision(revision, size, answer[3], answer[4]);
  return 1;
}

}  // namespace

int CheckSWVersion(Runtime& runtime) {
  Platform& platform = runtime.platform;
  SharedState& monitor = runtime.shared;
  std::optional<std::string> version;
  RegKeyPtr key;
  int32_t result = platform.registry.OpenKey(Hive::kLocalMachine, kPlatformKey, win::kKeyQueryValue, &key);
  if (result == 0) {
    version = ReadRegistryVersion(runtime, *key);
    key.reset();
  } else {
    runtime.trace.TraceLogF("[CheckSWVersion]OpenKey %s faild // ret = %d", kPlatformKey, result);
    version = DriverFileVersion(runtime);
  }
  if (!version) {
    monitor.szSWVersion.set(kUnknown);
    return 0;
  }
  monitor.szSWVersion.set(version->c_str());
  runtime.trace.TraceLogF(trace_text::kPlatformVersionFound, version->c_str());
  TraceOwnFileVersion(runtime);
  return 1;
}

HardwareLibraryEntries LoadHardwareLibrary(Runtime& runtime, const LibraryTraceTexts& texts) {
  SharedState::HardwareLibrary& library = runtime.shared.library;
  Kernel& kernel = runtime.platform.kernel;
  // Failures are traced after the lock is let go: the trace may wait for
  // its mutex.
  std::optional<uint32_t> load_error;
  std::optional<uint32_t> status_entry_error;
  std::optional<uint32_t> device_id_entry_error;
  HardwareLibraryEntries entries;
  {
    MutexLock lock(library.lock);
    if (!library.hQvmsmsen) {
      library.hQvmsmsen = runtime.platform.hardware.LoadLibrary(kHardwareLibraryName, library.install_dir);
      if (!library.hQvmsmsen) load_error = kernel.GetLastError();
    }
    if (library.hQvmsmsen) {
      if (!library.pfnGetSdrRepositoryStatus) {
        library.pfnGetSdrRepositoryStatus = library.hQvmsmsen->GetProcAddress(kSdrRepositoryStatusEntry);
        if (!library.pfnGetSdrRepositoryStatus) status_entry_error = kernel.GetLastError();
      }
      if (!library.pfnGetDeviceID) {
        library.pfnGetDeviceID = library.hQvmsmsen->GetProcAddress(kDeviceIdEntry);
        if (!library.pfnGetDeviceID) device_id_entry_error = kernel.GetLastError();
      }
    }
    entries = {library.hQvmsmsen != nullptr, library.pfnGetSdrRepositoryStatus, library.pfnGetDeviceID};
  }
  if (load_error) runtime.trace.TraceLogF(texts.load_error, static_cast<int>(*load_error));
  if (status_entry_error) runtime.trace.TraceLogF(texts.status_entry_missing, static_cast<int>(*status_entry_error));
  if (device_id_entry_error)
    runtime.trace.TraceLogF(texts.device_id_entry_missing, static_cast<int>(*device_id_entry_error));
  return entries;
}

void ReleaseHardwareLibrary(SharedState& monitor) {
  LibraryPtr library;
  LibraryProc status_entry;
  LibraryProc device_id_entry;
  {
    MutexLock lock(monitor.library.lock);
    library = std::exchange(monitor.library.hQvmsmsen, nullptr);
    status_entry = std::exchange(monitor.library.pfnGetSdrRepositoryStatus, nullptr);
    device_id_entry = std::exchange(monitor.library.pfnGetDeviceID, nullptr);
  }
  // The references are dropped here, outside the lock.
}

int Frusys_Get_Bmc_Fw_Revision(Runtime& runtime, char* revision, size_t size) {
  static constexpr LibraryTraceTexts kTexts{
      "[Frusys_Get_Bmc_Fw_Revision]qvmsmsen.dll load Error = %d",
      "[Frusys_Get_Bmc_Fw_Revision]GetSDRStatus GetProcAddress Error = %d",
      "[Frusys_Get_Bmc_Fw_Revision]IPMIFunction GetProcAddress Error = %d",
  };
  Trace& trace = runtime.trace;
  Kernel& kernel = runtime.platform.kernel;
  HardwareLibraryEntries library = LoadHardwareLibrary(runtime, kTexts);
  // A library that cannot be loaded sends the question to the driver as
  // missing entries do: the driver may well answer where the library is
  // not installed, or is broken.
  if (!library.get_sdr_repository_status || !library.get_device_id) return RevisionFromDriver(runtime, revision, size);

  uint32_t dwSDRStatus = kQvmSdrInit;
  int32_t result = 0;
  for (int i = 0; i < kSdrAttempts; ++i) {
    result = library.get_sdr_repository_status(&dwSDRStatus);
    if (dwSDRStatus != kQvmSdrInit) break;
    trace.TraceLogF("[Frusys_Get_Bmc_Fw_Revision](i=%d)(QVM_SDR_INIT) wait 5 sec //ret = %d", i, result);
    uint32_t dwWake = kernel.WaitForSingleObject(runtime.shared.hServiceEvent.load(), kSdrWaitMs);
    if (dwWake == win::kWaitFailed)
      trace.TraceLogF("[Frusys_Get_Bmc_Fw_Revision]WaitForSingleObject Error = %d",
                      static_cast<int>(kernel.GetLastError()));
    if (dwWake != win::kWaitTimeout) {
      trace.TraceLogF("[Frusys_Get_Bmc_Fw_Revision]ServiceEvent error// dwWake=%x", dwWake);
      return Unknown(revision, size);
    }
  }
  if (dwSDRStatus == kQvmSdrInit) {
    trace.TraceLog("[Frusys_Get_Bmc_Fw_Revision]GetSDRStatus time out 2 min");
    trace.TraceLog("[Frusys_Get_Bmc_Fw_Revision]GetSDRStatus(QVM_SDR_INIT)");
    return Unknown(revision, size);
  }
  if (result == 0) {
    trace.TraceLog("[Frusys_Get_Bmc_Fw_Revision]GetSDRStatus faild ret = FALSE");
    if (dwSDRStatus == kQvmSdrDisable)
      trace.TraceLog(kSdrDisabled);
    else
      trace.TraceLogF("[Frusys_Get_Bmc_Fw_Revision]dwSDRStatus = %d", static_cast<int>(dwSDRStatus));
    return Unknown(revision, size);
  }
  if (dwSDRStatus == kQvmSdrDisable) {
    trace.TraceLog(kSdrDisabled);
    return Unknown(revision, size);
  }
  uint8_t record[kDeviceIdRecordSize] = {};
  if (library.get_device_id(record) == 0) {
    trace.TraceLog("[Frusys_Get_Bmc_Fw_Revision]IPMIFunction faild");
    return Unknown(revision, size);
  }
  // The top bit of the first byte is the device-available flag.
  FormatRevision(revision, size, record[3] & 0x7F, record[4]);
  return 1;
}

}  // namespace fenra
