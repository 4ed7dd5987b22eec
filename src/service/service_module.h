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
  // control only and returns at once.
  void Handler(uint32_t control);
  void SetServiceStatus(uint32_t state);
  void Run();

  // The COM module's lock count. The last Unlock of a plain (non-service)
  // run ends it.
  long Lock();
  long Unlock();

  // Registration (installation.cpp). RegisterServer removes an earlier
  // installation, writes the AppID entries, makes the process a service or
  // not (LocalService), and registers the type library when asked; an
  // HRESULT or, when the AppID key cannot be opened, that Win32 error.
  int32_t RegisterServer(bool register_type_library, bool as_service);
  // Removes the AppID entries, the service and the type library; 0.
  int32_t UnregisterServer();
  // Whether the service FENRA is installed.
  bool IsInstalled();
  // Installs the service and, when their keys do not exist yet, the two
  // event sources. Does nothing when the service is installed already.
  bool Install();
  // Removes the event sources and the service, asking it to stop first and
  // waiting (up to kRemovalWaitMs) until a running one has stopped and is
  // gone, so that an installation that follows can create it again: as
  // long as a stop may take, and a margin for its process to end.
  bool Uninstall();
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
