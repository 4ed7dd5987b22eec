#pragma once
// The hardware facts of the simulated machine that the version information
// reads: the hardware management library, the IPMI device, the platform
// driver zerod (its file's version and the serial numbers it publishes)
// and the executable's own version resource. They live in the sections
// "library", "ipmi", "driver" and "executable" of the machine's
// hardware.json; other sections belong to other components and are left
// alone.

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/registry.h"
#include "platform/sim/hardware_description.h"
#include "platform/sim/text.h"
#include "platform/version_info.h"

namespace fenra::sim {

// One scripted answer of QVMGetSdrRepositoryStatus, given `calls` times in
// a row; the last answer of a script is given for good.
struct SdrAnswer {
  int32_t result = 1;  // the BOOL the entry returns
  uint32_t status = 1;  // what it writes: 0 initialising, 2 disabled, else ready
  uint32_t calls = 1;
};

struct LibraryFacts {
  bool present = false;
  // Where it lies: empty for the system directory (found by every load),
  // else a Windows folder, found only by a load that searches it.
  std::string folder{};
  bool sdr_status_entry = true;  // exports QVMGetSdrRepositoryStatus
  bool device_id_entry = true;   // exports QVMGetDeviceID_V15
  std::vector<SdrAnswer> sdr_status;  // empty: every call answers "ready"
  int32_t device_id_result = 1;
  std::array<uint8_t, 18> device_id{};
};

struct IpmiFacts {
  bool present = false;
  bool io_control_result = true;
  std::vector<uint8_t> answer;  // at most 256 bytes
};

// A file's version resource: its fixed part (optional) and its strings,
// keyed "041104b0\\FileVersion" (language and code page, then name).
struct VersionResourceFacts {
  std::optional<FixedFileVersion> fixed;
  std::map<std::string, std::string, LessIgnoreCase> strings;
};

struct DriverFacts {
  bool present = false;  // zerod.sys exists
  std::optional<VersionResourceFacts> version;
  // Published SerialNumber of each module key ("CpuBoard0" .. "IoBoard13").
  std::map<std::string, std::array<uint8_t, 8>> serial_numbers;
};

struct ExecutableFacts {
  std::string path = "C:\\Windows\\system32\\FENRA.exe";
  std::optional<VersionResourceFacts> version = VersionResourceFacts{
      FixedFileVersion{8, 0, 0, 2}, {{"040904b0\\FileVersion", "8, 0, 0, 2"}, {"041104b0\\FileVersion", "8, 0, 0, 2"}}};
};

struct HardwareFacts {
  LibraryFacts library;
  IpmiFacts ipmi;
  DriverFacts driver;
  ExecutableFacts executable;
};

// The facts of `document`'s sections. A section left out (or with
// "present": false) is a component the machine lacks; without "executable"
// the executable keeps its built-in path and version. Throws
// std::runtime_error naming `file` and the section and member at fault.
HardwareFacts ParseHardwareFacts(const nlohmann::json& document, const std::filesystem::path& file);

// Reads `file` (comments allowed); a missing file is a machine without
// these components. Throws std::runtime_error naming the file on bad input.
HardwareFacts LoadHardwareFacts(const std::filesystem::path& file);

// The baseline content of the four sections.
nlohmann::json BaselineHardwareFacts();

// The driver's module keys whose serial numbers it may publish: one for
// every module a server can have, CPU modules 0 to 2 and PCI modules 10 to
// 13. The machine's own list: the service's table of modules is checked
// against it, not built from it.
inline constexpr std::array<std::string_view, 7> kZerodModuleKeys{"CpuBoard0", "CpuBoard1", "CpuBoard2", "IoBoard10",
                                                                  "IoBoard11", "IoBoard12", "IoBoard13"};
inline constexpr const char* kZerodKey = "SYSTEM\\CurrentControlSet\\Services\\zerod";

// What the driver does when the machine starts: writes each listed module's
// SerialNumber (REG_BINARY, 8 bytes) under kZerodKey, where it differs from
// the stored one. Values of modules not listed are left as they are.
// Throws std::runtime_error when the registry refuses a write.
void PublishSerialNumbers(Registry& registry, const DriverFacts& driver);

}  // namespace fenra::sim
