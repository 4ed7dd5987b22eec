#pragma once
// The service module: carries the process through its life as a Windows
// service (or as a plain process when the service control manager refuses
// the connection), starts the redundancy monitor and tears it down.

#include <atomic>
#include <cstdint>

#include "diagnostics/trace_log.h"
#include "monitor/monitor_start.h"
#include "monitor/monitor_state.h"
#include "platform/platform.h"
#include "runtime.h"
#include "support/shared_handle.h"
#include "support/thread_annotations.h"

namespace fenra {

class CServiceModule {
 public:
  explicit CServiceModule(Platform& platform);
  CServiceModule(const CServiceModule&) = delete;
  CServiceModule& operator=(const CServiceModule&) = delete;

  // Loads the service name (string 100) and resets the status record.
  void Init();
  // Hands over to the service control manager; falls back to running on the
  // calling thread when that is refused. Returns when the service stopped.
  void Start();
  // The service entry, on the thread the dispatcher creates.
  void ServiceMain(uint32_t argc, char** argv);
  // The control handler, on the dispatcher's thread. Reacts to the stop
  // control only and returns at once: NO_ERROR for the stop and for
  // interrogate, ERROR_CALL_NOT_IMPLEMENTED for any other control.
  uint32_t Handler(uint32_t control);
  // Stores `state` and reports the status to the manager; a plain run, which
  // has no status handle, reports to nobody.
  void SetServiceStatus(uint32_t state);
  void Run();

  // The COM module's lock count. The last Unlock of a plain (non-service)
  // run ends it.
  long Lock();
  long Unlock();

  // Registration (installation.cpp). RegisterServer removes an earlier
  // installation, writes the AppID entries, makes the process a service or
  // not (LocalService), and registers the type library when asked; an
  // HRESULT or, when the AppID key cannot be opened, that Win32 error. An
  // earlier installation that cannot be removed is left as it is and makes
  // it fail before anything is written; a failed installation makes it fail
  // too (HRESULT_FROM_WIN32 of the error).
  int32_t RegisterServer(bool register_type_library, bool as_service);
  // Removes the AppID entries, the service and the type library; 0, or
  // HRESULT_FROM_WIN32 of what kept the service from being removed.
  int32_t UnregisterServer();
  // Whether the service FENRA is installed (also while marked for deletion).
  bool IsInstalled();
  // Installs the service and, when their keys do not exist yet, the two
  // event sources. Does nothing when the service is installed already. 0, or
  // the Win32 error of the failure, which a message box has shown.
  uint32_t Install();
  // Removes the service: asks it to stop, marks it for deletion (a mark left
  // by an earlier removal counts), waits until it has stopped, removes the
  // event sources, and waits until the service is gone, within
  // kRemovalWaitMs in all. Windows removes a deleted service only once it
  // has stopped and every handle to it is closed (the Services console
  // holds one), and an installation that followed too early would find it
  // still there. 0 when it is gone (or was never there); otherwise a
  // message box says what keeps it and the Win32 error is returned:
  // ERROR_SERVICE_REQUEST_TIMEOUT when it did not stop (its event sources
  // stay), ERROR_SERVICE_MARKED_FOR_DELETE when another program still has
  // it open.
  uint32_t Uninstall();
  // As long as a stop may take, and a margin for its process to end.
  static constexpr uint32_t kRemovalWaitMs = kLongestStopMs + 10000;

  // Starts the monitor: the named hot-plug event and ServiceThread. 1 when
  // ServiceThread runs, else 0.
  int StartThread();
  // Closes the hot-plug event.
  void m_PulseEventDel();

  Runtime& runtime() { return runtime_; }
  Trace& trace() { return trace_; }
  MonitorState& monitor() { return monitor_; }
  ServiceStatus status() const;
  bool is_service() const { return m_bService.load(); }
  // Whether Start hands over to the service control manager.
  void set_service(bool service) { m_bService = service; }
  const char* service_name() const { return m_szServiceName; }

  static constexpr const char* kModuleName = "FENRA";

 private:
  // Parts of Uninstall: each polls until the service has stopped, or is
  // gone, or kRemovalWaitMs have passed since `start`.
  bool AwaitStop(ScHandle& service, uint32_t start);
  bool AwaitRemoval(ScHandle& scm, uint32_t start);
  // Shows `text` and returns `error`, or the last error when that is 0.
  uint32_t Refuse(const char* text, uint32_t error = 0);

  Platform& platform_;
  Trace trace_;
  MonitorState monitor_;
  Runtime runtime_;
  std::atomic<long> lock_count_{0};

  SharedHandle m_hServiceThread;
  char m_szServiceName[256] = {};
  std::atomic<ServiceStatusHandle> m_hServiceStatus{0};
  // Shared by the handler's thread and the service thread; held across a
  // report, so that reports reach the manager in the order they are made.
  mutable Mutex status_mutex_;
  ServiceStatus m_status FENRA_GUARDED_BY(status_mutex_);
  std::atomic<bool> m_bService{true};
};

}  // namespace fenra
