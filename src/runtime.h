#pragma once
// What every part of the core is handed: the platform ports, the trace log
// and the monitor's shared state of one service process.

#include "diagnostics/trace_log.h"
#include "monitor_state.h"
#include "platform/platform.h"

namespace fenra {

struct Runtime {
  Platform& platform;
  Trace& trace;
  MonitorState& monitor;
};

}  // namespace fenra
