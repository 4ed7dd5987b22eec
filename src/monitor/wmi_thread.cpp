#include "monitor/wmi_thread.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "diagnostics/event_ids.h"
#include "diagnostics/event_log_writer.h"
#include "diagnostics/trace_texts.h"
#include "monitor/monitor_state.h"
#include "monitor/pulse_threads.h"
#include "monitor/redundancy.h"
#include "settings/persistent_state.h"
#include "support/wide_text.h"
#include "wmi/instance_text.h"
#include "wmi/state_text.h"
#include "wmi/wmiservice.h"

namespace fenra {
namespace {

constexpr int kSubscriptionAttempts = 20;
constexpr uint32_t kSubscriptionRetryPause = 30000;
constexpr uint32_t kAcknowledgementWaitMs = 2000;
constexpr size_t kPathSize = 256;

class GroupWatch {
 public:
  GroupWatch(Runtime& runtime, int group)
      : runtime_(runtime),
        trace_(runtime.trace),
        monitor_(runtime.monitor),
        group_(group),
        text_(kWmiTextSize),
        narrow_(kWmiTextSize) {}

  uint32_t Run();

 private:
  bool StopRequested() { return fenra::StopRequested(monitor_, trace_, "WMIThread", group_); }
  const ModulePair& Pair() const { return GroupPair(group_); }
  SharedHandle& AcknowledgementEvent() { return monitor_.*Pair().acknowledgement; }
  void ClassifyInitialState(Wmiservice& wms);
  void Recheck();
  void ProcessEvent();
  void TakeState(int32_t state, int32_t module, bool readable, const std::function<void()>& pulse = {});
  void CheckSerialNumbers(const StateEvent& event);
  void HandOver();

  Runtime& runtime_;
  Trace& trace_;
  MonitorState& monitor_;
  const int group_;
  PairState pair_;
  // Each module's state as this thread last learnt it (start-up walk,
  // events), to find what changed while no subscription listened.
  ModuleStates known_;
  std::vector<wchar_t> text_;
  std::vector<char> narrow_;
};

uint32_t GroupWatch::Run() {
  Kernel& kernel = runtime_.platform.kernel;
  trace_.TraceLogF(trace_text::kWmiStart, group_);
  Wmiservice wms(runtime_);

  Handle pulse_manager = kernel.CreateThread([&runtime = runtime_, group = group_] {
    return ManagePulseThread(runtime, group);
  }, "ManagePulseThread(" + std::to_string(group_) + ")");
  if (!pulse_manager) {
    trace_.TraceLogF("[WMIThread %d]Create ManagePulseThread Error = %d", group_,
                     static_cast<int>(kernel.GetLastError()));
    return 0;
  }
  monitor_.hPulseManagerThread[static_cast<size_t>(group_)].store(pulse_manager);
  if (StopRequested()) return 0;

  if (group_ == kGroupCpu || group_ == kGroupPci) ClassifyInitialState(wms);

  const uint32_t generation = monitor_.config().dwPlatformGen;
  wchar_t target[kClassNameSize];
  WidenText(EventClassTable[group_][generation], target);
  int nEventRetry = 0;
  for (;;) {
    int res1 = wms.getEvent(target);
    trace_.TraceLogF(trace_text::kWmiSubscribed, group_, res1);
    if (res1 != 0) {
      if (++nEventRetry >= kSubscriptionAttempts) {
        WriteEventLog(runtime_.platform, EVSRC_ZUFT, EVID_WMI_UNAVAILABLE, nullptr, win::kEventlogWarningType,
                      "StdAfx", __LINE__);
        trace_.TraceLogF("[WMIThread %d]End thread", group_);
        return 0;
      }
      // A monitor that ends meanwhile is not kept waiting for the retries.
      if (StopRequested()) return 0;
      kernel.Sleep(kSubscriptionRetryPause);
      continue;
    }
    nEventRetry = 0;
    if (StopRequested()) return 0;
    Recheck();
    if (StopRequested()) return 0;

    // Each text is read into an emptied buffer: an event whose text could
    // not be read must not replay the previous one.
    text_[0] = L'\0';
    int res2 = wms.getText(text_);
    trace_.TraceLogF(trace_text::kWmiFirstEvent, group_, res2);
    while (res2 == 0) {
      if (StopRequested()) return 0;
      ProcessEvent();
      text_[0] = L'\0';
      res2 = wms.getText(text_);
      trace_.TraceLogF(trace_text::kWmiNextEvent, group_, res2);
    }
  }
}

void GroupWatch::ClassifyInitialState(Wmiservice& wms) {
  const uint32_t generation = monitor_.config().dwPlatformGen;
  int32_t code = QueryClassStatus(wms, DeviceClassTable[group_][generation], nullptr, &known_);
  trace_.TraceLogF(trace_text::kWmiStatus, group_, code);
  InitialClassification classification = ClassifyInitialStatus(group_, code, &pair_);
  for (const char* line : classification.lines)
    if (line != nullptr) trace_.TraceLog(line);
  // Picked up by the timer manager's next cycle, without the event path's
  // pulse and acknowledgement.
  for (int index : classification.raised)
    if (index >= 0) monitor_.timers.RaiseChange(index);
}

// A change that comes before the subscription listens (during the start-up
// walk, or while the thread subscribes again after a failed read) is no
// event of it. Once subscribed, a second connection reads the modules again,
// and each module whose state differs from what the thread knew goes
// through the event path, in module order.
void GroupWatch::Recheck() {
  if (group_ != kGroupCpu && group_ != kGroupPci) return;
  ModuleStates now;
  int32_t code = 0;
  {
    Wmiservice second(runtime_);
    if (!second.connected()) return;
    code = QueryClassStatus(second, DeviceClassTable[group_][monitor_.config().dwPlatformGen], nullptr, &now);
  }
  int changed = 0;
  for (const auto& [module, state] : now) {
    auto known = known_.find(module);
    if (known != known_.end() && known->second == state) continue;
    if (changed++ == 0) trace_.TraceLogF(trace_text::kWmiRecheck, group_, code);
    TakeState(state, module, true);
  }
  if (changed > 0) RequestPulse(runtime_, group_);
}

void GroupWatch::ProcessEvent() {
  NarrowText(runtime_.platform.system, std::wstring_view(text_.data(), WideLength(text_)), narrow_);
  const char* text = narrow_.data();

  int32_t state = 0;
  bool readable = GetOperationalState(trace_, &state, text) == 0;
  char path[kPathSize] = {};
  char parent[kPathSize] = {};
  readable &= GetDevicePathID(trace_, path, text) == 0;
  readable &= GetParentInstanceName(trace_, parent, path) == 0;
  int32_t module = TextToInt(parent);
  TakeState(state, module, readable, [&] { RequestPulse(runtime_, text, group_); });
}

// One module's state, from an event or a recheck. An event whose text was
// not read (the buffer stays empty), or lacks the state, the device path or
// the parent name, says nothing of any module: it is traced and pulsed, but
// changes no pair flag and no state.
void GroupWatch::TakeState(int32_t state, int32_t module, bool readable, const std::function<void()>& pulse) {
  CheckState(trace_, state, group_, module);
  StateEvent event;
  if (readable) {
    known_[module] = state;
    event = ApplyStateEvent(group_, state, module, &pair_);
  } else {
    event.state = state;
    event.bExPci = module == 12 || module == 13;
  }
  if (!event.pair_line.empty()) trace_.TraceLog(event.pair_line.c_str());
  CheckSerialNumbers(event);

  Kernel& kernel = runtime_.platform.kernel;
  if (event.raised >= 0) {
    // The acknowledgement is reset before the request goes up, so that only
    // the manager's answer to this request can set it.
    if (Handle acknowledgement = AcknowledgementEvent().load()) kernel.ResetEvent(acknowledgement);
    monitor_.timers.RaiseChange(event.raised);
  }
  if (pulse) pulse();
  if (event.bStateChanged) HandOver();
}

void GroupWatch::CheckSerialNumbers(const StateEvent& event) {
  if (monitor_.config().dwPlatformGen != 0) return;
  if (event.state != STATE_SIMPLEX && event.state != STATE_REMOVED && event.state != STATE_DUPLEX &&
      event.state != STATE_TRIPLEX)
    return;
  if (group_ != kGroupCpu && group_ != kGroupPci) return;
  const ModulePair& pair = event.bExPci && group_ == kGroupPci ? PairOfTimer(CHANGE_EXPCI_SIMPLEX) : Pair();
  for (size_t i = pair.first_serial; i < pair.first_serial + pair.serial_count; ++i)
    CheckSerialNumber(runtime_, kSerialModules[i].source_key, kSerialModules[i].kept_key, kSerialModules[i].value_name);
}

// Wakes the timer manager and waits briefly for it to take the request.
void GroupWatch::HandOver() {
  Kernel& kernel = runtime_.platform.kernel;
  if (Handle wake = monitor_.hSyncEventMTT.load()) kernel.PulseEvent(wake);
  // These two lines name the disk thread as thread 1, as they always have.
  const int named_group = group_ == kGroupCpu ? kGroupCpu : kGroupPci;
  trace_.TraceLogF(trace_text::kWmiHandOver, named_group);
  uint32_t dwWake = kernel.WaitForSingleObject(AcknowledgementEvent().load(), kAcknowledgementWaitMs);
  if (dwWake == win::kWaitFailed)
    trace_.TraceLogF("[WMIThread %d]WaitForSingleObject Error = %d", group_, static_cast<int>(kernel.GetLastError()));
  if (dwWake != win::kWaitTimeout) {
    trace_.TraceLogF(trace_text::kWmiAcknowledged, group_, Pair().acknowledgement_name, dwWake);
  } else {
    trace_.TraceLogF(trace_text::kWmiNotAcknowledged, named_group);
  }
}

}  // namespace

uint32_t WMIThread(Runtime& runtime, int group) {
  GroupWatch watch(runtime, group);
  return watch.Run();
}

int CheckState(Trace& trace, int32_t state, int group, int32_t module) {
  char cWkArea[256] = {};
  if (group == kGroupCpu)
    FormatText(cWkArea, trace_text::kCpuModuleState, module);
  else if (group == kGroupPci)
    FormatText(cWkArea, trace_text::kPciModuleState, module);
  else if (group == kGroupDisk)
    FormatText(cWkArea, trace_text::kDiskModuleState, module);
  const char* text = StateTextA(trace, state);
  strncat(cWkArea, text, sizeof(cWkArea) - strlen(cWkArea) - 1);
  trace.TraceLog(cWkArea);
  return 1;
}

}  // namespace fenra
