// The ServiceControl port's contract, run against the simulated service
// control manager on virtual time.

#include "platform/sim/sim_machine.h"
#include "support/test_machine.h"
#include "unit/platform/service_control_contract.h"

namespace fenra::testing {
namespace {

class SimServiceControlHarness : public ServiceControlHarness {
 public:
  SimServiceControlHarness() {
    machine_->SetServiceImage([](sim::SimProcess& process) {
      return ContractServiceProcess(process.platform().service_control, process.platform().kernel);
    });
  }
  ServiceControl& service_control() override { return machine_.platform().service_control; }
  Kernel& kernel() override { return machine_.platform().kernel; }
  std::string ContractServiceImage() override { return "C:\\Windows\\system32\\contract_service.exe"; }

 private:
  TestMachine machine_;
};

INSTANTIATE_TEST_SUITE_P(Sim, ServiceControlContractTest,
                         ::testing::Values(ServiceControlContractParam{
                             "Sim", [] { return std::make_unique<SimServiceControlHarness>(); }}),
                         ServiceControlContractParamName);

}  // namespace
}  // namespace fenra::testing
