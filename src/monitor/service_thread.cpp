#include "monitor/service_thread.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "diagnostics/event_ids.h"
#include "diagnostics/event_log_writer.h"

namespace fenra {
namespace {

constexpr const char* kModuleName = "FENRA";
constexpr int32_t kDefaultSimplexFilterTimeMs = 1200000;
constexpr int32_t kDefaultTimeoutValueMs = 30000;
constexpr int32_t kDefaultWaitPulseTime = 120;
constexpr uint32_t kWaitSliceMs = 60000;
constexpr size_t kMaxIniPath = 255;

// Settings read before the delay; the shared ones go straight into the
// monitor state.
struct StartupSettings {
  int32_t dwSimplexFilterTime = kDefaultSimplexFilterTimeMs;
};

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

// Steps before the delay. Returns the thread's result when it must end.
std::optional<uint32_t> ReadSettings(Runtime& runtime, StartupSettings* settings) {
  Platform& platform = runtime.platform;
  MonitorState& monitor = runtime.monitor;
  Registry& registry = platform.registry;

  RegKeyPtr key;
  int32_t result = registry.OpenKey(Hive::kLocalMachine, kSettingsKey, win::kKeyQueryValue, &key);
  if (result != 0) {
    WriteEventLogErrorData(platform, EVSRC_ZUFT, EVID_API_FAILED, win::kEventlogErrorType,
                           static_cast<uint32_t>(result), "RegOpenKeyEx()", kSettingsKey,
                           static_cast<uint32_t>(strlen(kSettingsKey) + 1), kModuleName, __LINE__);
    return 1;
  }
  // Only the presence of Installdir matters; a value too long for its
  // 256-byte buffer is refused like a missing one.
  static constexpr char kInstallDir[] = "Installdir";
  uint32_t size = 0;
  result = registry.QueryValue(*key, kInstallDir, nullptr, nullptr, &size);
  if (result == 0) {
    uint8_t install_dir[256] = {};
    size = sizeof(install_dir);
    result = registry.QueryValue(*key, kInstallDir, nullptr, install_dir, &size);
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
  monitor.waitPulseTime = kDefaultWaitPulseTime;
  if (registry.OpenKey(Hive::kLocalMachine, kSettingsKey, win::kKeyQueryValue, &key) == 0 &&
      registry.QueryValue(*key, "PulseEventWaitCount", nullptr, nullptr, &size) == 0) {
    int32_t value = 0;
    size = sizeof(value);
    if (registry.QueryValue(*key, "PulseEventWaitCount", nullptr, reinterpret_cast<uint8_t*>(&value), &size) == 0)
      monitor.waitPulseTime = value;
  }

  // The product is a signed 32-bit number of milliseconds; one that comes
  // out negative (a negative setting, or an overflow) means the default.
  if (std::optional<int32_t> seconds = ReadIniSetting(runtime, kSimplexFilterTimeSetting)) {
    auto product = static_cast<int32_t>(static_cast<uint32_t>(*seconds) * 1000u);
    settings->dwSimplexFilterTime = product < 0 ? kDefaultSimplexFilterTimeMs : product;
  }
  std::optional<int32_t> timeout = ReadIniSetting(runtime, kTimeoutValueSetting);
  monitor.Timeout_value = timeout && *timeout >= 0 ? *timeout : kDefaultTimeoutValueMs;
  runtime.trace.TraceLogF("[ServiceThread]Timeout_value %ld ms", static_cast<long>(monitor.Timeout_value));

  for (auto& request : monitor.flgPulseRequest) request.store(0);
  key.reset();
  runtime.trace.TraceLogF("[ServiceThread]waitPulseTime = %d sec", monitor.waitPulseTime);
  runtime.trace.TraceLogF("[ServiceThread]wait %d min", settings->dwSimplexFilterTime / 60000);
  return std::nullopt;
}

// One wait of up to a minute for the stop request. True on a time-out;
// anything else (the stop, or a failed wait) is traced and false.
bool WaitSliceForStop(Runtime& runtime) {
  Kernel& kernel = runtime.platform.kernel;
  uint32_t dwWake = kernel.WaitForSingleObject(runtime.monitor.hServiceEvent.load(), kWaitSliceMs);
  if (dwWake == win::kWaitFailed)
    runtime.trace.TraceLogF("[ServiceThread]WaitForSingleObject Error = %d", static_cast<int>(kernel.GetLastError()));
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
      runtime.trace.TraceLog("[ServiceThread]stopflg = TRUE");
      monitor.stopflg = 1;
      return;
    }
    if (result > win::kWaitObject0 && result < win::kWaitObject0 + handles.size()) {
      if (monitor.stopflg != 1) {
        WriteEventLog(platform, EVSRC_ZUFT, EVID_MONITOR_ENDED, nullptr, win::kEventlogErrorType, kModuleName,
                      __LINE__);
        runtime.trace.TraceLog("[ServiceThread]stopflg = TRUE");
        monitor.stopflg = 1;
      }
      if (Handle shutdown = monitor.hShutdownEvent.load()) platform.kernel.SetEvent(shutdown);
      return;
    }
    uint32_t error = platform.kernel.GetLastError();
    if (result == win::kWaitFailed)
      runtime.trace.TraceLogF("[ServiceThread]WaitForSingleObject Error = %d", static_cast<int>(error));
    WriteEventLogError(platform, EVSRC_ZUFT, EVID_WAIT_FAILED, win::kEventlogErrorType, error,
                       "WaitForMultipleObjects()", kModuleName, __LINE__);
    return;
  }
}

}  // namespace

uint32_t ServiceThread(Runtime& runtime) {
  Trace& trace = runtime.trace;
  trace.TraceLog("[ServiceThread]start thread");

  StartupSettings settings;
  if (std::optional<uint32_t> result = ReadSettings(runtime, &settings)) return *result;

  if (!WaitOutStartupDelay(runtime, settings.dwSimplexFilterTime)) return 0;
  trace.TraceLogF("[ServiceThread]timiout (%d min)", settings.dwSimplexFilterTime / 60000);

  MainWait(runtime, {});
  trace.TraceLog("[ServiceThread]End retrun 0");
  return 0;
}

}  // namespace fenra
