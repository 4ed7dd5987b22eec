#pragma once
// The fixed vocabulary shared with the hardware's WMI provider: operational
// state codes and their texts, and the class tables with one column per
// platform generation. Constant data only, usable by the simulated provider
// as well as by the core.

#include <cstdint>
#include <span>
#include <string_view>

namespace fenra {

// Operational state codes: the State property of an embedded
// DOD_OperationalState object. Always compared as whole 32-bit values.
inline constexpr int32_t STATE_EMPTY = 0x10000;
inline constexpr int32_t STATE_REMOVED = 0x20001;
inline constexpr int32_t STATE_SHOT = 0x200002;
inline constexpr int32_t STATE_BROKEN = 0x200003;
inline constexpr int32_t STATE_DUMPING = 0x20004;
inline constexpr int32_t STATE_DIAGNOSTICS = 0x40005;
inline constexpr int32_t STATE_DIAGNOSTICS_PASSED = 0x20006;
inline constexpr int32_t STATE_INITIALIZING = 0x20007;
inline constexpr int32_t STATE_SYNCING = 0x20008;
inline constexpr int32_t STATE_FIRMWARE_UPDATE = 0x20009;
inline constexpr int32_t STATE_OFFLINE = 0x2000A;
inline constexpr int32_t STATE_DEVICE_READY = 0x2000B;
inline constexpr int32_t STATE_STOPPED = 0x2000C;
inline constexpr int32_t STATE_FIRMWARE_UPDATE_COMPLETE = 0x20010;
inline constexpr int32_t STATE_ONLINE = 0x80014;
inline constexpr int32_t STATE_SIMPLEX = 0x80015;
inline constexpr int32_t STATE_DUPLEX = 0x180016;
inline constexpr int32_t STATE_TRIPLEX = 0x180017;
inline constexpr int32_t STATE_NOT_PRESENT = 0x10018;

// A known state: its code and its text, which starts with one blank. The
// narrow and wide texts are the same characters.
struct StateEntry {
  int32_t code;
  const char* text;
  const wchar_t* wide_text;
  // The text without its blank ("DUPLEX").
  constexpr std::string_view name() const { return std::string_view(text).substr(1); }
};

#define FENRA_STATE_ENTRY(code, text) StateEntry{code, text, L"" text}
inline constexpr StateEntry kStateTable[] = {
    FENRA_STATE_ENTRY(STATE_EMPTY, " EMPTY"),
    FENRA_STATE_ENTRY(STATE_REMOVED, " REMOVED"),
    FENRA_STATE_ENTRY(STATE_SHOT, " SHOT"),
    FENRA_STATE_ENTRY(STATE_BROKEN, " BROKEN"),
    FENRA_STATE_ENTRY(STATE_DUMPING, " DUMPING"),
    FENRA_STATE_ENTRY(STATE_DIAGNOSTICS, " DIAGNOSTICS"),
    FENRA_STATE_ENTRY(STATE_DIAGNOSTICS_PASSED, " DIAGNOSTICS_PASSED"),
    FENRA_STATE_ENTRY(STATE_INITIALIZING, " INITIALIZING"),
    FENRA_STATE_ENTRY(STATE_SYNCING, " SYNCING"),
    FENRA_STATE_ENTRY(STATE_FIRMWARE_UPDATE, " FIRMWARE_UPDATE"),
    FENRA_STATE_ENTRY(STATE_OFFLINE, " OFFLINE"),
    FENRA_STATE_ENTRY(STATE_DEVICE_READY, " DEVICE_READY"),
    FENRA_STATE_ENTRY(STATE_STOPPED, " STOPPED"),
    FENRA_STATE_ENTRY(STATE_FIRMWARE_UPDATE_COMPLETE, " FIRMWARE_UPDATE_COMPLETE"),
    FENRA_STATE_ENTRY(STATE_ONLINE, " ONLINE"),
    FENRA_STATE_ENTRY(STATE_SIMPLEX, " SIMPLEX"),
    FENRA_STATE_ENTRY(STATE_DUPLEX, " DUPLEX"),
    FENRA_STATE_ENTRY(STATE_TRIPLEX, " TRIPLEX"),
    FENRA_STATE_ENTRY(STATE_NOT_PRESENT, " NOT_PRESENT"),
};
#undef FENRA_STATE_ENTRY

// Exact match of the whole code; null when the code has no entry.
constexpr const StateEntry* FindState(int32_t code) {
  for (const StateEntry& entry : kStateTable)
    if (entry.code == code) return &entry;
  return nullptr;
}

// By name without the blank ("DUPLEX"); null when there is none.
constexpr const StateEntry* FindStateByName(std::string_view name) {
  for (const StateEntry& entry : kStateTable)
    if (entry.name() == name) return &entry;
  return nullptr;
}

// Texts of a code that has no entry.
inline constexpr const char* kUnknownStateTextA = " <<unknown>>";
inline constexpr const wchar_t* kUnknownStateTextW = L" unknown";

inline constexpr int kPlatformGenerations = 3;
inline constexpr int kEventClassRows = 3;
inline constexpr int kDeviceClassRows = 8;
inline constexpr int kClassNameSize = 128;

// Event subscription target of [group][dwPlatformGen]: an event class name,
// or, in apostrophes (kept in the text), the class whose change events are
// wanted.
inline constexpr char EventClassTable[kEventClassRows][kPlatformGenerations][kClassNameSize] = {
    {"DOD_CPUBoardStateChange", "'VUR_CPUBoard'", "'VUR_CPUBoard'"},
    {"DOD_IOAdapterStateChange", "'VUR_IOBoard'", "'VUR_IOBoard'"},
    {"DOD_SCSISlotStateChange", "DOD_SCSISlotStateChange", "'VUR_EnclosureSlot'"},
};

// Class to query for device class row [row][dwPlatformGen]. Rows 0 and 1 are
// the CPU and PCI modules; each column is its own ordered list, so a row is
// not the same kind of device in every column.
inline constexpr char DeviceClassTable[kDeviceClassRows][kPlatformGenerations][kClassNameSize] = {
    {"DOD_CPUBoard", "VUR_CPUBoard", "VUR_CPUBoard"},
    {"DOD_IOAdapter", "VUR_IOBoard", "VUR_IOBoard"},
    {"DOD_PCISlotInfo", "VUR_PCISlotInfo", "DOD_SCSIDisk"},
    {"DOD_SCSIAdapter", "VUR_PCIAdapter", "VUR_NetworkPort"},
    {"DOD_SCSIBus", "VUR_PCIEmbeddedDevice", "VUR_PCISlotInfo"},
    {"DOD_Ethernet", "DOD_SCSIBus", "VUR_EnclosureSlot"},
    {"DOD_SCSIEnclosure", "DOD_SCSIEnclosure", "VUR_PCIEmbeddedDevice"},
    {"DOD_SCSISlot", "DOD_SCSISlot", "VUR_StorageEnclosure"},
};

// String-resource ID of the display name of DeviceClassTable[row][gen]; one
// class has one ID wherever it stands.
inline constexpr int DeviceNameIdTable[kDeviceClassRows][kPlatformGenerations] = {
    {101, 101, 101}, {102, 102, 102}, {103, 103, 109}, {104, 113, 117},
    {105, 114, 103}, {106, 105, 116}, {107, 107, 114}, {108, 108, 115},
};

// Platform generation from the first character of the platform software
// version, compared as a signed character: '1' or '2' give 0, '3' gives 1,
// anything else (also "unknown") gives 2.
constexpr uint32_t PlatformGenFromVersion(const char* version) {
  signed char first = version ? static_cast<signed char>(version[0]) : 0;
  if (first == '1' || first == '2') return 0;
  if (first == '3') return 1;
  return 2;
}

// Prefixes of the system's WQL queries; each ends in a blank.
inline constexpr const wchar_t* kStatusQueryPrefix = L"select OperationalState,InstanceName from ";
inline constexpr const wchar_t* kEventClassQueryPrefix = L"Select ObjectKey,OperationalState,DevicePathId,Status from ";
inline constexpr const wchar_t* kIsaQueryPrefix = L"SELECT * FROM VUR_ODDeviceStateChangeEvent WHERE Object ISA ";

}  // namespace fenra
