#pragma once
// The three parsers of an event's MOF text: plain first-occurrence
// substring searches for fixed tokens, knowing nothing else of MOF.
//
// The Find* functions are the pure scans: they return null on success, or
// the trace line that names the failure, and leave their outputs untouched
// on failure. The Get* functions run them and trace the failure; they
// return 0 when found and -1 when not.

#include <cstdint>
#include <span>

#include "diagnostics/trace_log.h"

namespace fenra {

// Size of the state value buffer: values are read from their first 24
// characters only.
inline constexpr size_t kStateValueSize = 25;

// The number after "State = " up to ";", searched after the marker
// "instance of DOD_OperationalState". A value without a number is still
// found and leaves `state` as it was.
const char* FindOperationalState(const char* text, int32_t* state);
// The value after "DevicePathId = " up to ";", copied unchanged (quotes,
// braces and blanks included). A value that does not fit `out` (out.size()
// - 1 characters) is refused as a size error.
const char* FindDevicePathID(const char* text, std::span<char> out);
// The characters between the first "{" and the first "," after it; the
// same size rule.
const char* FindParentInstanceName(const char* path, std::span<char> out);

int GetOperationalState(Trace& trace, int32_t* state, const char* text);
int GetDevicePathID(Trace& trace, std::span<char> out, const char* text);
int GetParentInstanceName(Trace& trace, std::span<char> out, const char* path);

}  // namespace fenra
