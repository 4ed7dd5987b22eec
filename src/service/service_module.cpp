#include "service/service_module.h"

#include <algorithm>
#include <cstring>

#include "diagnostics/event_ids.h"
#include "diagnostics/event_log_writer.h"
#include "monitor/monitor_start.h"
#include "monitor/service_thread.h"

namespace fenra {
namespace {
constexpr uint32_t IDS_SERVICENAME = 100;
constexpr uint32_t kMaxNameData = 128;
}  // namespace

CServiceModule::CServiceModule(Platform& platform)
    : platform_(platform), trace_(platform), runtime_{platform, trace_, monitor_} {}

void CServiceModule::Init() {
  m_bService = true;
  platform_.resources.LoadString(IDS_SERVICENAME, m_szServiceName, sizeof(m_szServiceName));
  m_hServiceStatus = 0;
  MutexLock lock(status_mutex_);
  m_status = ServiceStatus{};
  m_status.service_type = win::kServiceWin32OwnProcess;
  m_status.current_state = win::kServiceStopped;
  m_status.controls_accepted = win::kServiceAcceptStop;
}

void CServiceModule::Start() {
  if (m_bService) {
    bool connected = platform_.service_control.StartServiceCtrlDispatcher(
        m_szServiceName, [this](uint32_t argc, char** argv) { ServiceMain(argc, argv); });
    if (!connected) m_bService = false;
  }
  if (!m_bService) Run();
}

void CServiceModule::ServiceMain(uint32_t, char**) {
  {
    MutexLock lock(status_mutex_);
    m_status.current_state = win::kServiceStartPending;
  }
  ServiceStatusHandle handle = platform_.service_control.RegisterServiceCtrlHandler(
      m_szServiceName, [this](uint32_t control) { return Handler(control); });
  if (handle == 0) {
    uint32_t error = platform_.kernel.GetLastError();
    uint32_t size = std::min<uint32_t>(static_cast<uint32_t>(strlen(m_szServiceName)), kMaxNameData);
    WriteEventLogErrorData(platform_, EVSRC_ZUFT, EVID_CTRL_HANDLER_FAILED, win::kEventlogErrorType, error,
                           "RegisterServiceCtrlHandler()", m_szServiceName, size, kModuleName, __LINE__);
    return;
  }
  m_hServiceStatus = handle;
  SetServiceStatus(win::kServiceStartPending);
  trace_.CreateTraceMutex();
  trace_.TraceLog("[ServiceMain]RegisterServiceCtrlHandler");
  {
    MutexLock lock(status_mutex_);
    m_status.win32_exit_code = 0;
    m_status.check_point = 0;
    m_status.wait_hint = 0;
  }
  Run();
  SetServiceStatus(win::kServiceStopped);
  trace_.TraceLog("[ServiceMain]SERVICE_STOPPED");
  trace_.CloseTraceMutex();
}

uint32_t CServiceModule::Handler(uint32_t control) {
  // The manager knows the status already; interrogate needs no report.
  if (control == win::kServiceControlInterrogate) return 0;
  if (control != win::kServiceControlStop) return win::kErrorCallNotImplemented;
  trace_.TraceLog("[Handler]SERVICE_CONTROL_STOP");
  SetServiceStatus(win::kServiceStopPending);
  // The monitor listens on hServiceEvent, Run on hShutdownEvent: the monitor
  // hears of the stop first.
  if (Handle event = monitor_.hServiceEvent.load()) platform_.kernel.SetEvent(event);
  if (Handle event = monitor_.hShutdownEvent.load()) platform_.kernel.SetEvent(event);
  return 0;
}

void CServiceModule::SetServiceStatus(uint32_t state) {
  // A report never blocks on the kernel, so the lock may be held across it.
  MutexLock lock(status_mutex_);
  m_status.current_state = state;
  if (ServiceStatusHandle handle = m_hServiceStatus) platform_.service_control.SetServiceStatus(handle, m_status);
}

ServiceStatus CServiceModule::status() const {
  MutexLock lock(status_mutex_);
  return m_status;
}

void CServiceModule::Run() {
  Kernel& kernel = platform_.kernel;
  // An event already created stays open when the second one fails.
  auto create_event = [&](SharedHandle& slot) {
    Handle event = kernel.CreateEvent(true, false);
    if (!event)
      WriteEventLogError(platform_, EVSRC_ZUFT, EVID_API_FAILED, win::kEventlogErrorType, kernel.GetLastError(),
                         "CreateEvent()", kModuleName, __LINE__);
    slot.store(event);
    return event;
  };
  Handle shutdown = create_event(monitor_.hShutdownEvent);
  if (!shutdown || !create_event(monitor_.hServiceEvent)) return;

  // The module registers no COM classes, so apartment and process security
  // are all that COM needs here; their results do not matter.
  platform_.com.CoInitializeEx(win::kCoinitMultithreaded);
  platform_.com.CoInitializeSecurity(win::kRpcCAuthnLevelPkt, win::kRpcCImpLevelImpersonate);

  SetServiceStatus(win::kServiceRunning);
  trace_.TraceLog("[Run]SERVICE_RUNNING");
  WriteEventLog(platform_, EVSRC_ZUFT, EVID_SERVICE_STARTED, nullptr, win::kEventlogInformationType, kModuleName,
                __LINE__);

  if (StartThread() == 1) {
    trace_.TraceLog("[Run] Wait start");
    kernel.WaitForSingleObject(shutdown, win::kInfinite);
    trace_.TraceLog("[Run] Wait end");
  } else {
    // The monitor never ran: an error, or the records would read as a start
    // and a normal stop.
    WriteEventLog(platform_, EVSRC_ZUFT, EVID_MONITOR_ENDED, nullptr, win::kEventlogErrorType, kModuleName,
                  __LINE__);
  }
  // The grace time in which the monitor's threads see stopflg and end; an
  // alert still being composed then is waited for as long again as its
  // status walk may take (ServiceThread ends once its composers have).
  kernel.Sleep(kStopGraceTimeMs);
  if (Handle thread = m_hServiceThread.load())
    kernel.WaitForSingleObject(thread, ComposerGraceMs(monitor_.config().Timeout_value));
  m_PulseEventDel();
  WriteEventLog(platform_, EVSRC_ZUFT, EVID_SERVICE_STOPPED, nullptr, win::kEventlogInformationType, kModuleName,
                __LINE__);
  m_hServiceThread.take();
  platform_.com.CoUninitialize();
  monitor_.hShutdownEvent.take();
  monitor_.hServiceEvent.take();
}

long CServiceModule::Lock() { return ++lock_count_; }

long CServiceModule::Unlock() {
  long count = --lock_count_;
  if (count == 0 && !m_bService) {
    if (Handle event = monitor_.hShutdownEvent.load()) platform_.kernel.SetEvent(event);
    if (Handle event = monitor_.hServiceEvent.load()) platform_.kernel.SetEvent(event);
  }
  return count;
}

int CServiceModule::StartThread() {
  Kernel& kernel = platform_.kernel;
  const char* name = IsOSVersionAtLeast(runtime_, 5, 0, 0) ? kHotPlugEventGlobalName : kHotPlugEventName;
  Handle pulse_event = kernel.CreateEvent(true, false, name);
  if (!pulse_event) {
    trace_.TraceLogF("[StartThread]CreateEvent(%s) Error = %d", name, static_cast<int>(kernel.GetLastError()));
    return 0;
  }
  monitor_.m_PulseEvent.store(pulse_event);

  Handle thread = kernel.CreateThread([this] { return ServiceThread(runtime_); }, "ServiceThread");
  if (!thread) {
    trace_.TraceLogF("[StartThread]Create ServiceThread Error = %d", static_cast<int>(kernel.GetLastError()));
    return 0;
  }
  m_hServiceThread.store(thread);
  return 1;
}

void CServiceModule::m_PulseEventDel() {
  if (!monitor_.m_PulseEvent) return;
  trace_.TraceLog("[m_PulseEventDel]CloseHandle");
  monitor_.m_PulseEvent.take();
}

}  // namespace fenra
