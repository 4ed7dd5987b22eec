#include "monitor/pulse_threads.h"

#include <algorithm>
#include <array>

#include "monitor/monitor_state.h"
#include "wmi/instance_text.h"

namespace fenra {
namespace {

constexpr uint32_t kManagerPaceMs = 100;
// Pulse threads end at once when the monitor ends; this only bounds the
// manager's wait for them.
constexpr uint32_t kPulseJoinMs = 1000;

// Waits `milliseconds` unless the monitor's end event `end` is set first.
// True when it was. Without the end event (it could not be created) it is a
// plain sleep.
bool WaitUnlessMonitorEnds(Kernel& kernel, const Handle& end, uint32_t milliseconds) {
  if (!end) {
    kernel.Sleep(milliseconds);
    return false;
  }
  return kernel.WaitForSingleObject(end, milliseconds) != win::kWaitTimeout;
}

}  // namespace

void RequestPulse(Runtime& runtime, const char* event_text, int group) {
  if (event_text == nullptr) return;
  int32_t state = 0;
  if (GetOperationalState(runtime.trace, &state, event_text) != 0) return;
  RequestPulse(runtime, group);
}

void RequestPulse(Runtime& runtime, int group) {
  if (!runtime.monitor.m_PulseEvent) return;
  runtime.monitor.flgPulseRequest[static_cast<size_t>(group)].store(1);
  runtime.platform.kernel.Sleep(kManagerPaceMs);
}

uint32_t ManagePulseThread(Runtime& runtime, int group) {
  Kernel& kernel = runtime.platform.kernel;
  // The end event is made before the WMI threads that start the managers,
  // and is set once and never replaced while they run: one read serves the
  // manager's life (it wakes ten times a second).
  const Handle end = runtime.monitor.hMonitorEndEvent.load();
  auto& request = runtime.monitor.flgPulseRequest[static_cast<size_t>(group)];
  std::array<Handle, kPulseSlots> slots;
  for (;;) {
    // Requests that come within one cycle give one pulse. The plain read
    // first spares the idle cycle a locked exchange.
    if (request.load() == 1 && request.exchange(0) == 1) {
      auto free_slot = std::find(slots.begin(), slots.end(), nullptr);
      if (free_slot != slots.end()) {
        *free_slot = kernel.CreateThread([&runtime] { return PulseThread(runtime); }, "PulseThread");
        if (!*free_slot)
          runtime.trace.TraceLogF("[ManagePulseThread]Create PulseThread[%d][%d] Error = %d", group,
                                  static_cast<int>(free_slot - slots.begin()), static_cast<int>(kernel.GetLastError()));
      }
    }
    for (Handle& slot : slots) {
      if (!slot) continue;
      uint32_t code = 0;
      if (kernel.GetExitCodeThread(slot, &code) && code != win::kStillActive) slot.reset();
    }
    if (WaitUnlessMonitorEnds(kernel, end, kManagerPaceMs)) {
      for (const Handle& slot : slots)
        if (slot) kernel.WaitForSingleObject(slot, kPulseJoinMs);
      return 0;
    }
  }
}

uint32_t PulseThread(Runtime& runtime) {
  const MonitorConfig& config = runtime.monitor.config();
  if (WaitUnlessMonitorEnds(runtime.platform.kernel, runtime.monitor.hMonitorEndEvent.load(),
                            static_cast<uint32_t>(config.waitPulseTime) * 1000u))
    return 0;
  // The hot-plug event is closed at the end of the service; it is never
  // pulsed after that.
  if (Handle event = runtime.monitor.m_PulseEvent.load()) runtime.platform.kernel.PulseEvent(event);
  runtime.trace.TraceLog("[PulseThread]PulseEvent");
  return 0;
}

}  // namespace fenra
