#pragma once
// Event sources and the IDs of every record the system writes.

#include <cstdint>

namespace fenra {

// Source selector of the event-log writers: 1 selects QVMZUFT, every other
// value QVMFTMarvix.
inline constexpr int16_t EVSRC_ZUFT = 1;
inline constexpr int16_t EVSRC_FTMARVIX = 2;
inline constexpr const char* kSourceZuft = "QVMZUFT";
inline constexpr const char* kSourceFtMarvix = "QVMFTMarvix";

inline constexpr uint32_t EVID_SERVICE_STARTED = 0x40000001;
inline constexpr uint32_t EVID_SERVICE_STOPPED = 0x40000002;
inline constexpr uint32_t EVID_CTRL_HANDLER_FAILED = 0xC0000409;
inline constexpr uint32_t EVID_API_FAILED = 0xC000040B;
inline constexpr uint32_t EVID_WAIT_FAILED = 0xC000040C;
inline constexpr uint32_t EVID_MONITOR_ENDED = 0xC000040D;
inline constexpr uint32_t EVID_WMI_UNAVAILABLE = 0x80000202;
inline constexpr uint32_t EVID_SIMPLEX_ALERT = 0x80000802;
inline constexpr uint32_t EVID_DUPLEX_ALERT = 0x40000801;
inline constexpr uint32_t EVID_EVENTLOG_ERROR = 0xC0000006;

}  // namespace fenra
