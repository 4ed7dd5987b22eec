// The process of the service control contract's service, on any adapter.

#include <atomic>

#include "platform/win_values.h"
#include "unit/platform/service_control_contract.h"

namespace fenra::testing {

uint32_t ContractServiceProcess(ServiceControl& service_control, Kernel& kernel) {
  Handle stop = kernel.CreateEvent(true, false);
  Handle go = kernel.CreateEvent(true, false, kContractGoEvent);
  Handle user_control = kernel.CreateEvent(true, false, kContractUserControlEvent);
  Handle main_end = kernel.CreateEvent(true, false, kContractMainEndEvent);
  std::atomic<ServiceStatusHandle> handle{0};
  auto report = [&](uint32_t state) {
    uint32_t accepted = state == win::kServiceStopped ? 0 : win::kServiceAcceptStop;
    service_control.SetServiceStatus(handle, ServiceStatus{win::kServiceWin32OwnProcess, state, accepted});
  };
  bool dispatched = service_control.StartServiceCtrlDispatcher(kContractServiceName, [&](uint32_t, char**) {
    handle = service_control.RegisterServiceCtrlHandler(kContractServiceName, [&](uint32_t control) {
      if (control == kContractUserControl) kernel.SetEvent(user_control);
      if (control == kContractUserControl || control == win::kServiceControlInterrogate) return 0u;
      if (control != win::kServiceControlStop) return win::kErrorCallNotImplemented;
      report(win::kServiceStopPending);
      kernel.SetEvent(stop);
      return 0u;
    });
    if (!handle) return;
    report(win::kServiceStartPending);
    kernel.WaitForSingleObject(go, 60000);
    report(win::kServiceRunning);
    kernel.WaitForSingleObject(stop, win::kInfinite);
    report(win::kServiceStopped);
    kernel.Sleep(200);
    kernel.SetEvent(main_end);
  });
  return dispatched ? 0 : kernel.GetLastError();
}

}  // namespace fenra::testing
