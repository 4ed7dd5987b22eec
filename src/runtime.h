#pragma once
// What every part of the core is handed: the platform ports, the trace log
// and the monitor's state of one service process.
//
// The monitor state is only named here: the monitor builds on this header,
// so this header must not build on the monitor. The layers below the
// monitor (the WMI layer, the settings, the alert composer) use `shared`,
// the part of that state they may see; the monitor uses `monitor` and
// includes "monitor/monitor_state.h" itself.

#include "diagnostics/trace_log.h"
#include "platform/platform.h"

namespace fenra {

struct MonitorState;
struct SharedState;

struct Runtime {
  Runtime(Platform& platform_ports, Trace& trace_log, MonitorState& monitor_state);

  Platform& platform;
  Trace& trace;
  MonitorState& monitor;
  SharedState& shared;  // the same object as `monitor`
};

}  // namespace fenra
