#pragma once
// What every part of the core is handed: the platform ports, the trace log
// and the monitor's shared state of one service process.
//
// The monitor state is only named here: the monitor builds on this header,
// so this header must not build on the monitor. Code that reads or sets the
// state includes "monitor/monitor_state.h" itself.

#include "diagnostics/trace_log.h"
#include "platform/platform.h"

namespace fenra {

struct MonitorState;

struct Runtime {
  Platform& platform;
  Trace& trace;
  MonitorState& monitor;
};

}  // namespace fenra
