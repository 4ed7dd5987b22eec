#include "monitor/service_thread.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "alerts/version_info.h"
#include "diagnostics/event_ids.h"
#include "diagnostics/event_log_writer.h"
#include "diagnostics/trace_texts.h"
#include "monitor/monitor_start.h"
#include "monitor/timer_threads.h"
#include "monitor/wmi_thread.h"
#include "settings/persistent_state.h"
#include "settings/registry_access.h"
#include "wmi/wmi_tables.h"

namespace fenra {
namespace {

constexpr const char* kModuleName = "FENRA";
constexpr int32_t kDefaultSimplexFilterTimeMs = 1200000;
constexpr int32_t kDefaultTimeoutValueMs = 30000;
constexpr int32_t kDefaultWaitPulseTime = 120;
constexpr uint32_t kWaitSliceMs = 60000;
constexpr size_t kMaxIniPath = 255;
// The monitor's threads are joined for at most this long at its end, which
// leaves a second of the service's grace time for the rest of the stop.
constexpr uint32_t kJoinTimeMs = kStopGraceTimeMs - 1000;

// The INI value of `setting`, or nothing when the key is missing or reads
// as -1; the file is then written anew with its default text (a failure to
// write it goes unnoticed). A path too long for the platform's INI calls
// counts as missing and is not written.
std::optional<int32_t> ReadIniSetting(Runtime& runtime, const IniSetting& setting) {
  Platform& platform = runtime.platform;
  std::string path = platform.system.GetCurrentDirectory() + "\\" + setting.file;
  if (path.size() > kMaxIniPath) return std::nullopt;
  auto value = static_cast<int32_t>(platform.files.GetPrivateProfileInt(setting.section, setting.key, -1, path));
  if (value != -1) return value;
  if (FilePtr file = platform.files.CreateFile(path, win::kGenericWrite, 0, win::kCreateAlways)) {
    std::string text = setting.default_text;
    uint32_t written = 0;
    platform.files.WriteFile(*file, text.data(), static_cast<uint32_t>(text.size()), &written);
  }
  return std::nullopt;
}

// The vendor's installation folder, for the hardware library's search: the
// text as stored (up to its terminator), expanded when it is REG_EXPAND_SZ.
void KeepInstallDir(Runtime& runtime, const uint8_t* data, uint32_t size, uint32_t type) {
  std::string folder(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  if (type == win::kRegExpandSz) folder = runtime.platform.system.ExpandEnvironmentStrings(folder);
  SharedState::HardwareLibrary& library = runtime.shared.library;
  MutexLock lock(library.lock);
  library.install_dir = folder;
}

// Steps before the delay. Returns the thread's result when it must end.
std::optional<uint32_t> ReadSettings(Runtime& runtime, MonitorConfig* config, int32_t* dwSimplexFilterTime) {
  Platform& platform = runtime.platform;
  Registry& registry = platform.registry;

  RegKeyPtr key;
  int32_t result = registry.OpenKey(Hive::kLocalMachine, kSettingsKey, win::kKeyQueryValue, &key);
  if (result != 0) {
    WriteEventLogErrorData(platform, EVSRC_ZUFT, EVID_API_FAILED, win::kEventlogErrorType,
                           static_cast<uint32_t>(result), "RegOpenKeyEx()", kSettingsKey,
                           static_cast<uint32_t>(strlen(kSettingsKey) + 1), kModuleName, __LINE__);
    return 1;
  }
  // Installdir must be there; a value too long for its 256-byte buffer is
  // refused like a missing one. The hardware library is looked for in it.
  static constexpr char kInstallDir[] = "Installdir";
  uint32_t size = 0;
  result = registry.QueryValue(*key, kInstallDir, nullptr, nullptr, &size);
  if (result == 0) {
    uint8_t install_dir[256] = {};
    uint32_t type = 0;
    size = sizeof(install_dir);
    result = registry.QueryValue(*key, kInstallDir, &type, install_dir, &size);
    if (result == 0) KeepInstallDir(runtime, install_dir, size, type);
  }
  if (result != 0) {
    WriteEventLogErrorData(platform, EVSRC_ZUFT, EVID_API_FAILED, win::kEventlogErrorType,
                           static_cast<uint32_t>(result), "RegQueryValueEx()", kInstallDir, sizeof(kInstallDir),
                           kModuleName, __LINE__);
    return 0;
  }
  key.reset();

  // PulseEventWaitCount: 4 bytes of any registry type; a longer value does
  // not fit and counts as missing.
  config->waitPulseTime = kDefaultWaitPulseTime;
  if (registry.OpenKey(Hive::kLocalMachine, kSettingsKey, win::kKeyQueryValue, &key) == 0 &&
      registry.QueryValue(*key, "PulseEventWaitCount", nullptr, nullptr, &size) == 0) {
    int32_t value = 0;
    size = sizeof(value);
    if (registry.QueryValue(*key, "PulseEventWaitCount", nullptr, reinterpret_cast<uint8_t*>(&value), &size) == 0)
      config->waitPulseTime = value;
  }

  // The product is a signed 32-bit number of milliseconds; one that comes
  // out negative (a negative setting, or an overflow) means the default.
  *dwSimplexFilterTime = kDefaultSimplexFilterTimeMs;
  if (std::optional<int32_t> seconds = ReadIniSetting(runtime, kSimplexFilterTimeSetting)) {
    auto product = static_cast<int32_t>(static_cast<uint32_t>(*seconds) * 1000u);
    *dwSimplexFilterTime = product < 0 ? kDefaultSimplexFilterTimeMs : product;
  }
  std::optional<int32_t> timeout = ReadIniSetting(runtime, kTimeoutValueSetting);
  config->Timeout_value = timeout && *timeout >= 0 ? *timeout : kDefaultTimeoutValueMs;
  runtime.trace.TraceLogF("[ServiceThread]Timeout_value %ld ms", static_cast<long>(config->Timeout_value));

  for (auto& request : runtime.monitor.flgPulseRequest) request.store(0);
  key.reset();
  runtime.trace.TraceLogF("[ServiceThread]waitPulseTime = %d sec", config->waitPulseTime);
  runtime.trace.TraceLogF("[ServiceThread]wait %d min", *dwSimplexFilterTime / 60000);
  return std::nullopt;
}

// One wait of up to a minute for the stop request. True on a time-out;
// anything else (the stop, or a failed wait) is traced and false.
bool WaitSliceForStop(Runtime& runtime) {
  Kernel& kernel = runtime.platform.kernel;
  uint32_t dwWake = kernel.WaitForSingleObject(runtime.monitor.hServiceEvent.load(), kWaitSliceMs);
  if (dwWake == win::kWaitFailed)
    runtime.trace.TraceLogF(trace_text::kServiceWaitError, static_cast<int>(kernel.GetLastError()));
  if (dwWake == win::kWaitTimeout) return true;
  runtime.trace.TraceLogF("[ServiceThread]ServiceEvent error// dwWake=%x", dwWake);
  return false;
}

// The start-up delay, tested between one-minute waits: it lasts the
// configured time rounded up to whole minutes of waiting. False when a stop
// request (or a failed wait) cut it short.
bool WaitOutStartupDelay(Runtime& runtime, int32_t delay_ms) {
  Kernel& kernel = runtime.platform.kernel;
  uint32_t start = kernel.TimeGetTime();
  while (static_cast<int32_t>(kernel.TimeGetTime() - start) < delay_ms) {
    if (!WaitSliceForStop(runtime)) return false;
  }
  return true;
}

// Platform generation, thresholds and serial numbers (after the delay).
void ReadPlatformSettings(Runtime& runtime, MonitorConfig* config) {
  CheckSWVersion(runtime);
  std::string version = runtime.monitor.szSWVersion.get();
  config->dwPlatformGen = PlatformGenFromVersion(version.c_str());
  config->nDeviceClass = kMaxDeviceClasses;

  ThresholdDefaults defaults = ThresholdDefaultsFor(version[0]);
  for (size_t k = 0; k < kPairs.size(); ++k) {
    const ModulePair& pair = kPairs[k];
    GetRegisterDWORD(runtime, pair.board_key, kShortThresholdValue, defaults[k].short_minutes,
                     &(config->*pair.short_threshold));
    GetRegisterDWORD(runtime, pair.board_key, kLongThresholdValue, defaults[k].long_minutes,
                     &(config->*pair.long_threshold));
  }

  if (config->dwPlatformGen == 0)
    for (const SerialModule& module : kSerialModules)
      CheckSerialNumber(runtime, module.source_key, module.kept_key, module.value_name);

  if (config->dwPlatformGen == 0 || config->dwPlatformGen == 1) {
    static constexpr LibraryTraceTexts kTexts{
        "[ServiceThread]qvmsmsen.dll load Error = %d",
        "[ServiceThread]GetSDRStatus GetProcAddress Error = %d",
        "[ServiceThread]IPMIFunction GetProcAddress Error = %d",
    };
    LoadHardwareLibrary(runtime, kTexts);
  }
}

// The main wait: index 0 is the stop request, the others are the monitor's
// worker threads. Ends when the service stops or a worker ends.
void MainWait(Runtime& runtime, const std::vector<Handle>& workers) {
  Platform& platform = runtime.platform;
  MonitorState& monitor = runtime.monitor;
  std::vector<Handle> handles{monitor.hServiceEvent.load()};
  handles.insert(handles.end(), workers.begin(), workers.end());
  for (;;) {
    uint32_t result = platform.kernel.WaitForMultipleObjects(handles, false, kWaitSliceMs);
    if (result == win::kWaitTimeout) continue;
    if (result == win::kWaitObject0) {
      runtime.trace.TraceLog(trace_text::kServiceStop);
      monitor.stopflg = 1;
      return;
    }
    if (result > win::kWaitObject0 && result < win::kWaitObject0 + handles.size()) {
      // A worker ended without a stop request: monitoring is over, which is
      // an error whoever raised stopflg. The WMI layer raises it itself when
      // it cannot connect or a call is cancelled; the record is written then
      // too, or the event log would call the end a normal stop.
      WriteEventLog(platform, EVSRC_ZUFT, EVID_MONITOR_ENDED, nullptr, win::kEventlogErrorType, kModuleName,
                    __LINE__);
      if (monitor.stopflg != 1) {
        runtime.trace.TraceLog(trace_text::kServiceStop);
        monitor.stopflg = 1;
      }
      if (Handle shutdown = monitor.hShutdownEvent.load()) platform.kernel.SetEvent(shutdown);
      return;
    }
    uint32_t error = platform.kernel.GetLastError();
    if (result == win::kWaitFailed)
      runtime.trace.TraceLogF(trace_text::kServiceWaitError, static_cast<int>(error));
    WriteEventLogError(platform, EVSRC_ZUFT, EVID_WAIT_FAILED, win::kEventlogErrorType, error,
                       "WaitForMultipleObjects()", kModuleName, __LINE__);
    return;
  }
}

// Waits for `thread` until `deadline` at the latest.
void JoinUntil(Kernel& kernel, const Handle& thread, uint32_t deadline) {
  if (!thread) return;
  int32_t left = TicksUntil(deadline, kernel.TimeGetTime());
  if (left > 0) kernel.WaitForSingleObject(thread, static_cast<uint32_t>(left));
}

// Ends the monitor's threads: the flag they poll, the event the pulse
// threads wait on, and then a join of all of them within the join time,
// creators before what they create. Alert composers are given the
// composer grace time on top (Run waits as long for this thread). A WMI
// thread blocked in its wait for the next hardware event sees the stop only
// at that event and is left to the end of the process.
void EndMonitorThreads(Runtime& runtime, const Handle& manager) {
  Kernel& kernel = runtime.platform.kernel;
  MonitorState& monitor = runtime.monitor;
  monitor.stopflg = 1;
  if (Handle end = monitor.hMonitorEndEvent.load()) kernel.SetEvent(end);
  uint32_t deadline = kernel.TimeGetTime() + kJoinTimeMs;
  JoinUntil(kernel, manager, deadline);
  for (int n = 0; n < kTimerCount; ++n) JoinUntil(kernel, monitor.timers.Get(n).thread, deadline);
  uint32_t composer_deadline = deadline + ComposerGraceMs(monitor.config().Timeout_value);
  for (int slot = 0; slot < kLogOutSlots; ++slot)
    JoinUntil(kernel, monitor.hLogOutThread.Get(slot), composer_deadline);
  for (auto& pulse_manager : monitor.hPulseManagerThread) JoinUntil(kernel, pulse_manager.load(), deadline);
  for (auto& wmi_thread : monitor.hWMIThread) JoinUntil(kernel, wmi_thread.load(), deadline);
}

void CloseSyncEvents(MonitorState& monitor) {
  monitor.hSyncEventCPU.take();
  monitor.hSyncEventPCI.take();
  monitor.hSyncEventMTT.take();
}

// Creates the events the monitor's threads share and starts the timer
// manager and the three WMI threads, a minute apart. False when a thread
// cannot be created or a stop request (or a failed wait) comes first; what
// was started by then is in `manager` and the monitor's state, for
// EndMonitor.
bool StartMonitorThreads(Runtime& runtime, Handle* manager, std::vector<Handle>* workers) {
  Kernel& kernel = runtime.platform.kernel;
  MonitorState& monitor = runtime.monitor;
  monitor.hSyncEventCPU.store(kernel.CreateEvent(true, false));
  monitor.hSyncEventPCI.store(kernel.CreateEvent(true, false));
  monitor.hSyncEventMTT.store(kernel.CreateEvent(true, false));
  monitor.hMonitorEndEvent.store(kernel.CreateEvent(true, false));

  *manager = kernel.CreateThread([&runtime] { return ManageTimerThread(runtime); }, "ManageTimerThread");
  if (!*manager) {
    runtime.trace.TraceLogF("[ServiceThread]Create ManageTimerThread Error = %d",
                            static_cast<int>(kernel.GetLastError()));
    return false;
  }
  for (int group = 0; group < kGroupCount; ++group) {
    if (!WaitSliceForStop(runtime)) return false;
    Handle thread = kernel.CreateThread([&runtime, group] { return WMIThread(runtime, group); },
                                        "WMIThread(" + std::to_string(group) + ")");
    if (!thread) {
      runtime.trace.TraceLogF("[ServiceThread]Create WMIThread[%d] Error = %d", group,
                              static_cast<int>(kernel.GetLastError()));
      return false;
    }
    monitor.hWMIThread[static_cast<size_t>(group)].store(thread);
    workers->push_back(thread);
  }
  workers->push_back(*manager);
  return true;
}

// Every exit after the start-up delay passes here: the monitor's threads
// started so far (none without a timer manager) are stopped and joined
// before the hardware library and the sync events they use go, so that no
// thread is left using what was released.
void EndMonitor(Runtime& runtime, const Handle& manager) {
  if (manager) EndMonitorThreads(runtime, manager);
  ReleaseHardwareLibrary(runtime.monitor);
  CloseSyncEvents(runtime.monitor);
}

}  // namespace

bool LoadAlertTexts(Runtime& runtime, MonitorConfig* config) {
  Resources& resources = runtime.platform.resources;
  Kernel& kernel = runtime.platform.kernel;
  const struct {
    uint32_t id;
    char* target;
    int size;
    const char* fallback;
    const char* error_line;
  } texts[] = {
      {110, config->szIdfSimplex, sizeof(config->szIdfSimplex), "%s changed to SIMPLEX state.\n[Occurrence Time]",
       "[ServiceThread]IDF_SIMPLEX load Error = %d"},
      {111, config->szIdfDuplex, sizeof(config->szIdfDuplex), "%s changed to DUPLEX state.\n[Occurrence Time]",
       "[ServiceThread]IDF_DUPLEX load Error = %d"},
      {112, config->szIdsDetails, sizeof(config->szIdsDetails), "[Details]", "[ServiceThread]IDS_Details load Error = %d"},
  };
  for (const auto& text : texts) {
    if (resources.LoadString(text.id, text.target, text.size) > 0) continue;
    runtime.trace.TraceLogF(text.error_line, static_cast<int>(kernel.GetLastError()));
    CopyText(text.target, static_cast<size_t>(text.size), text.fallback);
  }
  for (uint32_t i = 0; i < config->nDeviceClass && i < kMaxDeviceClasses; ++i) {
    int id = DeviceNameIdTable[i][config->dwPlatformGen];
    if (resources.LoadString(static_cast<uint32_t>(id), config->szDeviceClassName[i],
                             sizeof(config->szDeviceClassName[i])) > 0)
      continue;
    runtime.trace.TraceLogF("[ServiceThread]%d:%d load Error = %d", static_cast<int>(i),
                            static_cast<int>(config->dwPlatformGen), static_cast<int>(kernel.GetLastError()));
    return false;
  }
  return true;
}

uint32_t ServiceThread(Runtime& runtime) {
  Trace& trace = runtime.trace;
  Kernel& kernel = runtime.platform.kernel;
  MonitorState& monitor = runtime.monitor;
  trace.TraceLog(trace_text::kServiceThreadStart);

  MonitorConfig config;
  int32_t dwSimplexFilterTime = kDefaultSimplexFilterTimeMs;
  if (std::optional<uint32_t> result = ReadSettings(runtime, &config, &dwSimplexFilterTime)) return *result;

  if (!WaitOutStartupDelay(runtime, dwSimplexFilterTime)) return 0;
  trace.TraceLogF("[ServiceThread]timiout (%d min)", dwSimplexFilterTime / 60000);

  ReadPlatformSettings(runtime, &config);
  Handle manager;
  if (LoadAlertTexts(runtime, &config)) {
    monitor.PublishConfig(config);
    std::vector<Handle> workers;
    if (StartMonitorThreads(runtime, &manager, &workers)) {
      bool pulsed = kernel.PulseEvent(monitor.m_PulseEvent.load());
      trace.TraceLogF("[ServiceThread]PulseEvent = %d", pulsed ? 1 : 0);
      MainWait(runtime, workers);
      trace.TraceLog("[ServiceThread]End retrun 0");
    }
  }
  EndMonitor(runtime, manager);
  return 0;
}

}  // namespace fenra
