#pragma once
// State of the module groups that outlives a restart: the kept copies of
// the modules' serial numbers, by which an exchanged module is recognised,
// and SimplexDate, the local minute at which a group's last SIMPLEX timer
// started. No lock is taken: every registry call is atomic by itself, and
// a deletion and a replacement of the same SimplexDate may meet in any
// order.

#include <array>
#include <cstdint>

#include "runtime.h"

namespace fenra {

// One module: the key where the platform driver publishes its serial
// number (value SerialNumber, REG_BINARY of 8 bytes, all zero when none is
// available) and the kept copy.
struct SerialModule {
  const char* source_key;
  const char* kept_key;
  const char* value_name;
};

inline constexpr const char* kCpuBoardKey = "SOFTWARE\\QOR\\QVMAgent\\FT\\CpuBoard";
inline constexpr const char* kPciBoardKey = "SOFTWARE\\QOR\\QVMAgent\\FT\\PciBoard";
inline constexpr const char* kExPciBoardKey = "SOFTWARE\\QOR\\QVMAgent\\FT\\ExPciBoard";

// CPU 0, 1, 2, PCI 10, 11, 12, 13: the order of the comparison at start-up.
inline constexpr std::array<SerialModule, 7> kSerialModules{{
    {"SYSTEM\\CurrentControlSet\\Services\\zerod\\CpuBoard0", kCpuBoardKey, "SerialNumberCpu0"},
    {"SYSTEM\\CurrentControlSet\\Services\\zerod\\CpuBoard1", kCpuBoardKey, "SerialNumberCpu1"},
    {"SYSTEM\\CurrentControlSet\\Services\\zerod\\CpuBoard2", kCpuBoardKey, "SerialNumberCpu2"},
    {"SYSTEM\\CurrentControlSet\\Services\\zerod\\IoBoard10", kPciBoardKey, "SerialNumberPci10"},
    {"SYSTEM\\CurrentControlSet\\Services\\zerod\\IoBoard11", kPciBoardKey, "SerialNumberPci11"},
    {"SYSTEM\\CurrentControlSet\\Services\\zerod\\IoBoard12", kExPciBoardKey, "SerialNumberPci12"},
    {"SYSTEM\\CurrentControlSet\\Services\\zerod\\IoBoard13", kExPciBoardKey, "SerialNumberPci13"},
}};

// Key of the kept state of SIMPLEX group 0 (CPU), 1 (PCI 10/11), 2 (ExPCI
// 12/13).
inline constexpr std::array<const char*, 3> kSimplexGroupKeys{kCpuBoardKey, kPciBoardKey, kExPciBoardKey};
inline constexpr const char* kSimplexDateValue = "SimplexDate";

// Compares the module's published serial number with its kept copy. When
// they differ (or no readable copy exists) the copy is replaced and the
// group's SimplexDate deleted. 1 when the comparison was made; 0 when the
// published number is unreadable, not 8 bytes of REG_BINARY, or all zero
// (nothing is changed then), or the kept key can be neither opened nor
// created.
int CheckSerialNumber(Runtime& runtime, const char* source_key_path, const char* kept_key_path,
                      const char* value_name);

// Called when group `group`'s SIMPLEX timer starts: stores the present local
// minute as the group's SimplexDate and compares it with the one stored
// before, as calendar date-times. 1 when the earlier start lies less than
// the group's long threshold (minutes, as read at start-up) back; 0 when it
// lies that far back or further, or there was no readable stamp of 12
// digits forming a valid date; -1 when it lies in the future (the clock was
// set back).
int CheckLongThreshold(Runtime& runtime, int group);

}  // namespace fenra
