#pragma once
// Texts of operational state codes, with the trace line each lookup writes
// for a code that has no entry.

#include <cstdint>

#include "diagnostics/trace_log.h"
#include "wmi/wmi_tables.h"

namespace fenra {

// " DUPLEX" and so on; " <<unknown>>" and the trace line
// "[CheckState]unknown State = %d" for a code without an entry.
const char* StateTextA(Trace& trace, int32_t state);
// L" DUPLEX" and so on; L" unknown" and the trace line
// "[GetStatus]unknown State = %d" for a code without an entry.
const wchar_t* StateTextW(Trace& trace, int32_t state);

}  // namespace fenra
