#include "platform/win32/win32_service_control.h"

#include <atomic>

#include "platform/win32/windows_api.h"

namespace fenra::win32 {
namespace {

std::atomic<ServiceControl::ServiceMainFn*> running_service_main{nullptr};

void WINAPI ServiceMainEntry(DWORD argc, LPSTR* argv) {
  if (ServiceControl::ServiceMainFn* service_main = running_service_main.load()) (*service_main)(argc, argv);
}

DWORD WINAPI HandlerEntry(DWORD control, DWORD /*event_type*/, void* /*event_data*/, void* context) {
  (*static_cast<ServiceControl::HandlerFn*>(context))(control);
  return NO_ERROR;
}

}  // namespace

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
  BOOL connected = StartServiceCtrlDispatcherA(table);
  DWORD error = GetLastError();
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

}  // namespace fenra::win32
