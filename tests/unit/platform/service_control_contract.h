#pragma once
// The contract of the ServiceControl port's manager side, as a
// value-parameterised suite that every adapter instantiates (the simulated
// one here, the Win32 one under Wine), as the registry contract is. It uses
// the ports only, installs a service of its own (kContractServiceName)
// whose process runs ContractServiceProcess, and removes it again.

#include <memory>
#include <string>

#include "platform/kernel.h"
#include "platform/service_control.h"
#include "unit/platform/contract.h"

namespace fenra::testing {

inline constexpr const char* kContractServiceName = "FenraContractTest";

// The process of the contract's service. Its ServiceMain reports
// START_PENDING (accepting stop) and stays there until the named event
// kContractGoEvent is set, then reports RUNNING; its handler sets
// kContractUserControlEvent for kContractUserControl, answers
// ERROR_CALL_NOT_IMPLEMENTED to every other user control and, for stop,
// reports STOP_PENDING and ends the service, which reports STOPPED and sets
// kContractMainEndEvent 200 ms later, as its ServiceMain returns.
inline constexpr const char* kContractGoEvent = "Global\\FenraContractGo";
inline constexpr const char* kContractUserControlEvent = "Global\\FenraContractUserControl";
inline constexpr const char* kContractMainEndEvent = "Global\\FenraContractMainEnd";
inline constexpr uint32_t kContractUserControl = 128;
uint32_t ContractServiceProcess(ServiceControl& service_control, Kernel& kernel);

// Owns the ports under test, for the life of one test.
class ServiceControlHarness {
 public:
  virtual ~ServiceControlHarness() = default;
  virtual ServiceControl& service_control() = 0;
  virtual Kernel& kernel() = 0;
  // The ImagePath of an executable whose process runs
  // ContractServiceProcess.
  virtual std::string ContractServiceImage() = 0;
  // True on Wine, whose service control manager answers unlike Windows'
  // where a test says so.
  virtual bool on_wine() const { return false; }
};

using ServiceControlContractParam = ContractParam<ServiceControlHarness>;

class ServiceControlContractTest : public ::testing::TestWithParam<ServiceControlContractParam> {
 protected:
  void SetUp() override;
  void TearDown() override;

  ServiceControl& sc() { return harness_->service_control(); }
  Kernel& kernel() { return harness_->kernel(); }
  ScHandle& manager() { return *manager_; }
  bool on_wine() const { return harness_->on_wine(); }
  ServiceConfig Config();
  // Installs the contract's service with all access.
  ScHandlePtr Install();
  ScHandlePtr Open(uint32_t access);
  // The Win32 error of the call just made.
  uint32_t Error() { return kernel().GetLastError(); }
  // The Win32 error of a call that failed; 0 when it succeeded.
  template <typename Result>
  uint32_t Refusal(const Result& result) {
    return result ? 0 : Error();
  }
  // Polls the service's state until it is `state` (false after 30 s).
  bool AwaitState(ScHandle& service, uint32_t state);

  Handle go_;
  Handle user_control_;
  Handle main_end_;

 private:
  std::unique_ptr<ServiceControlHarness> harness_;
  ScHandlePtr manager_;
};

}  // namespace fenra::testing
