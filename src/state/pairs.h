#pragma once
// The module pairs whose redundancy the monitor watches, in one table: what
// the WMI threads, the timers, the alert composer and the kept state each
// need to know of a pair. Add to a pair here, not at its users.

#include <array>
#include <cstddef>
#include <cstdint>

#include "state/shared_state.h"
#include "wmi/wmi_tables.h"

namespace fenra {

// Timer and alert indices: SIMPLEX timer k of pair k, its DUPLEX timer
// k + kDuplexOffset.
inline constexpr int CHANGE_CPU_SIMPLEX = 0;
inline constexpr int CHANGE_PCI_SIMPLEX = 1;
inline constexpr int CHANGE_EXPCI_SIMPLEX = 2;
inline constexpr int CHANGE_CPU_DUPLEX = 3;
inline constexpr int CHANGE_PCI_DUPLEX = 4;
inline constexpr int CHANGE_EXPCI_DUPLEX = 5;
inline constexpr int kTimerCount = 6;
inline constexpr int kDuplexOffset = 3;

// Group indices: the argument of a WMIThread, the row of EventClassTable.
// The CPU group watches the CPU pair, the PCI group the PCI and ExPCI
// pairs; the disk group watches no pair.
inline constexpr int kGroupCpu = 0;
inline constexpr int kGroupPci = 1;
inline constexpr int kGroupDisk = 2;
inline constexpr int kGroupCount = 3;

// One module: the key where the platform driver publishes its serial
// number (value SerialNumber, REG_BINARY of 8 bytes, all zero when none is
// available) and the kept copy.
struct SerialModule {
  const char* source_key;
  const char* kept_key;
  const char* value_name;
};

// Where a pair's thresholds, its SimplexDate and its kept serial numbers live.
inline constexpr const char* kCpuBoardKey = "SOFTWARE\\QOR\\QVMAgent\\FT\\CpuBoard";
inline constexpr const char* kPciBoardKey = "SOFTWARE\\QOR\\QVMAgent\\FT\\PciBoard";
inline constexpr const char* kExPciBoardKey = "SOFTWARE\\QOR\\QVMAgent\\FT\\ExPciBoard";

// A pair's thresholds under its board key, minutes as a DWORD.
inline constexpr const char* kShortThresholdValue = "SimplexShortThreshold";
inline constexpr const char* kLongThresholdValue = "SimplexLongThreshold";

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

struct ModulePair {
  const char* label;       // in trace lines: "[TimerThread 4][PCI] ..."
  const char* simplex_name;  // its SIMPLEX index as the trace names it
  int group;               // the WMI thread that watches it
  const char* board_key;   // its thresholds, SimplexDate and kept serials
  // Minutes, read at start-up from board_key's SimplexShortThreshold and
  // SimplexLongThreshold.
  uint32_t MonitorConfig::*short_threshold;
  uint32_t MonitorConfig::*long_threshold;
  // Set by the timer manager when it has taken the pair's request; the PCI
  // and ExPCI pairs share one, as they share their WMI thread.
  SharedHandle SharedState::*acknowledgement;
  const char* acknowledgement_name;
  // Rows of kSerialModules compared after one of its modules' events.
  size_t first_serial;
  size_t serial_count;
  // DeviceClassTable row queried for the status line of its alerts.
  int device_class_row;
};

inline constexpr std::array<ModulePair, 3> kPairs{{
    {"CPU", "CHANGE_CPU_SIMPLEX", kGroupCpu, kCpuBoardKey, &MonitorConfig::dwCpuShortThreshold,
     &MonitorConfig::dwCpuLongThreshold, &SharedState::hSyncEventCPU, "hSyncEventCPU", 0, 3, 0},
    {"PCI", "CHANGE_PCI_SIMPLEX", kGroupPci, kPciBoardKey, &MonitorConfig::dwPciShortThreshold,
     &MonitorConfig::dwPciLongThreshold, &SharedState::hSyncEventPCI, "hSyncEventPCI", 3, 2, 1},
    {"ExPCI", "CHANGE_EXPCI_SIMPLEX", kGroupPci, kExPciBoardKey, &MonitorConfig::dwExPciShortThreshold,
     &MonitorConfig::dwExPciLongThreshold, &SharedState::hSyncEventPCI, "hSyncEventPCI", 5, 2, 1},
}};

// A pair's serial rows are kept under its own board key.
constexpr bool SerialRowsUnderBoardKeys() {
  for (const ModulePair& pair : kPairs)
    for (size_t i = pair.first_serial; i < pair.first_serial + pair.serial_count; ++i)
      if (i >= kSerialModules.size() || kSerialModules[i].kept_key != pair.board_key) return false;
  return true;
}
static_assert(SerialRowsUnderBoardKeys());

// The pair of timer (or alert) index n, SIMPLEX or DUPLEX.
constexpr const ModulePair& PairOfTimer(int n) { return kPairs[static_cast<size_t>(n % kDuplexOffset)]; }

// The pair by which the thread of `group` names itself and whose
// acknowledgement it waits for: the CPU pair in the CPU thread, the PCI pair
// in the others (the disk thread included).
constexpr const ModulePair& GroupPair(int group) {
  return kPairs[group == kGroupCpu ? CHANGE_CPU_SIMPLEX : CHANGE_PCI_SIMPLEX];
}

// What a group's status query code says of its pairs: the trace lines, and
// at start-up the states it gives, the SIMPLEX timers it raises (-1 none)
// and, in the thread of `pair_group` only, the halves' DUPLEX flags. A state
// of 0 changes nothing.
struct StatusRow {
  int32_t code;
  int group;  // the group whose query gives this code
  std::array<const char*, 2> lines;
  int32_t group_state;
  int32_t expci_state;
  std::array<int, 2> raised;
  int pair_group;
  std::array<uint8_t, 2> pair;
};

inline constexpr int kNoTimer = -1;
inline constexpr StatusRow kStatusRows[] = {
    {1, kGroupCpu, {"  (CPU) --> SIMPLEX"}, STATE_SIMPLEX, 0, {CHANGE_CPU_SIMPLEX, kNoTimer}, -1, {}},
    {2, kGroupCpu, {"  (CPU) --> TRIPLEX"}, STATE_TRIPLEX, 0, {kNoTimer, kNoTimer}, -1, {}},
    {3, kGroupPci, {"  (PCI) --> SIMPLEX", "  (ExPCI) --> SIMPLEX"}, STATE_SIMPLEX, STATE_SIMPLEX,
     {CHANGE_PCI_SIMPLEX, CHANGE_EXPCI_SIMPLEX}, -1, {}},
    {5, kGroupPci, {"  (ExPCI) --> SIMPLEX"}, 0, STATE_SIMPLEX, {CHANGE_EXPCI_SIMPLEX, kNoTimer}, -1, {}},
    {6, kGroupPci, {"  (PCI) --> SIMPLEX SIMPLEX"}, STATE_SIMPLEX, 0, {CHANGE_PCI_SIMPLEX, kNoTimer}, kGroupPci, {0, 0}},
    {7, kGroupPci, {"  (PCI) --> SIMPLEX DUPLEX"}, STATE_SIMPLEX, 0, {CHANGE_PCI_SIMPLEX, kNoTimer}, kGroupPci, {0, 1}},
    {8, kGroupPci, {"  (PCI) --> DUPLEX SIMPLEX"}, STATE_SIMPLEX, 0, {CHANGE_PCI_SIMPLEX, kNoTimer}, kGroupPci, {1, 0}},
    {9, kGroupCpu, {"  (CPU) --> SIMPLEX SIMPLEX"}, STATE_SIMPLEX, 0, {CHANGE_CPU_SIMPLEX, kNoTimer}, kGroupCpu, {0, 0}},
    {10, kGroupCpu, {"  (CPU) --> SIMPLEX DUPLEX"}, STATE_SIMPLEX, 0, {CHANGE_CPU_SIMPLEX, kNoTimer}, kGroupCpu, {0, 1}},
    {11, kGroupCpu, {"  (CPU) --> DUPLEX SIMPLEX"}, STATE_SIMPLEX, 0, {CHANGE_CPU_SIMPLEX, kNoTimer}, kGroupCpu, {1, 0}},
    {12, kGroupCpu, {"  (CPU) --> DUPLEX DUPLEX"}, 0, 0, {kNoTimer, kNoTimer}, kGroupCpu, {1, 1}},
    {13, kGroupCpu, {"  (CPU) --> SIMPLEX(CPU 0)"}, STATE_SIMPLEX, 0, {CHANGE_CPU_SIMPLEX, kNoTimer}, kGroupCpu, {0, 0}},
    {14, kGroupCpu, {"  (CPU) --> SIMPLEX(CPU 1)"}, STATE_SIMPLEX, 0, {CHANGE_CPU_SIMPLEX, kNoTimer}, kGroupCpu, {0, 0}},
    {15, kGroupCpu, {"  (CPU) --> SIMPLEX(CPU 0)"}, STATE_SIMPLEX, 0, {CHANGE_CPU_SIMPLEX, kNoTimer}, kGroupCpu, {1, 0}},
    {16, kGroupCpu, {"  (CPU) --> SIMPLEX(CPU 1)"}, STATE_SIMPLEX, 0, {CHANGE_CPU_SIMPLEX, kNoTimer}, kGroupCpu, {0, 1}},
};
// Any other code: the CPU group counts as having lost its redundancy ...
inline constexpr StatusRow kOtherCpuStatus{
    0, kGroupCpu, {"  (CPU) --> ABNORMAL"}, STATE_SIMPLEX, 0, {CHANGE_CPU_SIMPLEX, kNoTimer}, kGroupCpu, {0, 0}};
// ... and the PCI group as redundant. The two uses word this differently,
// and both wordings are kept: at start-up the line names both halves
// ("DUPLEX DUPLEX"), the status line of an alert only "DUPLEX".
inline constexpr StatusRow kOtherPciStatus{
    0, kGroupPci, {"  (PCI) --> DUPLEX DUPLEX"}, 0, 0, {kNoTimer, kNoTimer}, kGroupPci, {1, 1}};
inline constexpr const char* kOtherPciAlertStatusLine = "  (PCI) --> DUPLEX";

// The row of `code` at start-up, whichever group's query gave it.
constexpr const StatusRow& InitialStatusRow(int group, int32_t code) {
  for (const StatusRow& row : kStatusRows)
    if (row.code == code) return row;
  return group == kGroupCpu ? kOtherCpuStatus : kOtherPciStatus;
}

// The trace lines of `code` in an alert's status query of `group`, where a
// code of the other group counts as any other code.
constexpr std::array<const char*, 2> AlertStatusLines(int group, int32_t code) {
  for (const StatusRow& row : kStatusRows)
    if (row.code == code && row.group == group) return row.lines;
  if (group == kGroupCpu) return kOtherCpuStatus.lines;
  return {kOtherPciAlertStatusLine, nullptr};
}

}  // namespace fenra
