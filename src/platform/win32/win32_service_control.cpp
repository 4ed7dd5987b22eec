#include "platform/win32/win32_service_control.h"

#include <atomic>
#include <cstring>

#include "platform/win32/windows_api.h"

namespace fenra::win32 {
namespace {

std::atomic<ServiceControl::ServiceMainFn*> running_service_main{nullptr};
// Whether the dispatcher has called the service's main in this run.
std::atomic<bool> service_main_entered{false};

// Set as the service's main returns. Windows' dispatcher returns as soon as
// the service has reported SERVICE_STOPPED, and the process would end
// under a ServiceMain that still has work after its report; the port waits
// for this event. Made once and kept for the life of the process.
HANDLE ServiceMainReturned() {
  static const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return event;
}

void WINAPI ServiceMainEntry(DWORD argc, LPSTR* argv) {
  service_main_entered = true;
  if (ServiceControl::ServiceMainFn* service_main = running_service_main.load()) (*service_main)(argc, argv);
  SetEvent(ServiceMainReturned());
}

// An SC_HANDLE, closed with CloseServiceHandle.
class Win32ScHandle final : public ScHandle {
 public:
  explicit Win32ScHandle(SC_HANDLE handle) : handle_(handle) {}
  ~Win32ScHandle() override { CloseServiceHandle(handle_); }
  SC_HANDLE get() const { return handle_; }

 private:
  SC_HANDLE handle_;
};

ScHandlePtr Wrap(SC_HANDLE handle) { return handle ? std::make_unique<Win32ScHandle>(handle) : nullptr; }

// The SC_HANDLE of a port handle; null (ERROR_INVALID_HANDLE) for another
// adapter's handle.
SC_HANDLE Native(ScHandle& handle) {
  auto* native = dynamic_cast<Win32ScHandle*>(&handle);
  if (!native) SetLastError(ERROR_INVALID_HANDLE);
  return native ? native->get() : nullptr;
}

ServiceStatus FromNative(const SERVICE_STATUS& native) {
  return ServiceStatus{native.dwServiceType,  native.dwCurrentState,           native.dwControlsAccepted,
                       native.dwWin32ExitCode, native.dwServiceSpecificExitCode, native.dwCheckPoint,
                       native.dwWaitHint};
}

DWORD WINAPI HandlerEntry(DWORD control, DWORD /*event_type*/, void* /*event_data*/, void* context) {
  return (*static_cast<ServiceControl::HandlerFn*>(context))(control);
}

}  // namespace

std::string DependencyList(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) list += name + '\0';
  return list + '\0';
}

Win32ServiceControl::Win32ServiceControl() = default;
Win32ServiceControl::~Win32ServiceControl() = default;

bool Win32ServiceControl::StartServiceCtrlDispatcher(const std::string& service_name, ServiceMainFn service_main) {
  ServiceMainFn* expected = nullptr;
  if (!running_service_main.compare_exchange_strong(expected, &service_main)) {
    // A second dispatcher in the same process, as Windows answers it.
    SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
    return false;
  }
  std::string name = service_name;
  SERVICE_TABLE_ENTRYA table[] = {{name.data(), ServiceMainEntry}, {nullptr, nullptr}};
  ResetEvent(ServiceMainReturned());
  service_main_entered = false;
  BOOL connected = StartServiceCtrlDispatcherA(table);
  DWORD error = GetLastError();
  // A ServiceMain that the dispatcher called uses `service_main` until it
  // returns. One it never called (the manager gave up on the start) is
  // not waited for: that wait would never end.
  if (connected && service_main_entered) WaitForSingleObject(ServiceMainReturned(), INFINITE);
  running_service_main.store(nullptr);
  SetLastError(error);
  return connected != FALSE;
}

ServiceStatusHandle Win32ServiceControl::RegisterServiceCtrlHandler(const std::string& service_name,
                                                                    HandlerFn handler) {
  auto context = std::make_unique<HandlerFn>(std::move(handler));
  SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExA(service_name.c_str(), HandlerEntry, context.get());
  if (handle == nullptr) return 0;
  std::lock_guard lock(handlers_mutex_);
  handlers_.push_back(std::move(context));
  return reinterpret_cast<ServiceStatusHandle>(handle);
}

bool Win32ServiceControl::SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  SERVICE_STATUS native{status.service_type,
                        status.current_state,
                        status.controls_accepted,
                        status.win32_exit_code,
                        status.service_specific_exit_code,
                        status.check_point,
                        status.wait_hint};
  return ::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &native) != FALSE;
}

ScHandlePtr Win32ServiceControl::OpenSCManager(uint32_t desired_access) {
  return Wrap(OpenSCManagerA(nullptr, nullptr, desired_access));
}

ScHandlePtr Win32ServiceControl::OpenService(ScHandle& manager, const std::string& service_name,
                                             uint32_t desired_access) {
  SC_HANDLE native = Native(manager);
  return native ? Wrap(OpenServiceA(native, service_name.c_str(), desired_access)) : nullptr;
}

ScHandlePtr Win32ServiceControl::CreateService(ScHandle& manager, const std::string& service_name,
                                               uint32_t desired_access, const ServiceConfig& config) {
  SC_HANDLE native = Native(manager);
  if (!native) return nullptr;
  std::string dependencies = DependencyList(config.dependencies);
  auto optional = [](const std::string& text) { return text.empty() ? nullptr : text.c_str(); };
  return Wrap(CreateServiceA(native, service_name.c_str(), optional(config.display_name), desired_access,
                             config.service_type, config.start_type, config.error_control,
                             config.binary_path_name.c_str(), optional(config.load_order_group), nullptr,
                             config.dependencies.empty() ? nullptr : dependencies.c_str(),
                             optional(config.service_start_name), optional(config.password)));
}

bool Win32ServiceControl::StartService(ScHandle& service, const std::vector<std::string>& arguments) {
  SC_HANDLE native = Native(service);
  if (!native) return false;
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  return StartServiceA(native, static_cast<DWORD>(argv.size()), argv.empty() ? nullptr : argv.data()) != FALSE;
}

bool Win32ServiceControl::ControlService(ScHandle& service, uint32_t control, ServiceStatus* status) {
  SC_HANDLE native = Native(service);
  if (!native) return false;
  SERVICE_STATUS answer = {};
  BOOL done = ::ControlService(native, control, &answer);
  DWORD error = GetLastError();
  *status = FromNative(answer);
  SetLastError(error);
  return done != FALSE;
}

bool Win32ServiceControl::QueryServiceStatus(ScHandle& service, ServiceStatus* status) {
  SC_HANDLE native = Native(service);
  SERVICE_STATUS answer = {};
  if (!native || !::QueryServiceStatus(native, &answer)) return false;
  *status = FromNative(answer);
  return true;
}

bool Win32ServiceControl::QueryServiceConfig(ScHandle& service, ServiceConfig* config) {
  SC_HANDLE native = Native(service);
  if (!native) return false;
  DWORD needed = 0;
  QueryServiceConfigA(native, nullptr, 0, &needed);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
  std::vector<BYTE> buffer(needed);
  auto* answer = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
  if (!QueryServiceConfigA(native, answer, needed, &needed)) return false;
  auto text = [](const char* value) { return value ? std::string(value) : std::string(); };
  *config = ServiceConfig{};
  config->service_type = answer->dwServiceType;
  config->start_type = answer->dwStartType;
  config->error_control = answer->dwErrorControl;
  config->binary_path_name = text(answer->lpBinaryPathName);
  config->load_order_group = text(answer->lpLoadOrderGroup);
  for (const char* name = answer->lpDependencies; name && *name; name += strlen(name) + 1)
    config->dependencies.emplace_back(name);
  config->service_start_name = text(answer->lpServiceStartName);
  config->display_name = text(answer->lpDisplayName);
  return true;
}

bool Win32ServiceControl::DeleteService(ScHandle& service) {
  SC_HANDLE native = Native(service);
  return native && ::DeleteService(native) != FALSE;
}

}  // namespace fenra::win32
