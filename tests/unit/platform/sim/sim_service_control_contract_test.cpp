// The ServiceControl port's contract, run against the simulated service
// control manager on real time and on virtual time.

#include <optional>

#include "platform/sim/sim_machine.h"
#include "support/test_machine.h"
#include "unit/platform/service_control_contract.h"

namespace fenra::testing {
namespace {

class SimServiceControlHarness : public ServiceControlHarness {
 public:
  explicit SimServiceControlHarness(bool virtual_time)
      : machine_(scratch_.path() / "machine", virtual_time ? VirtualTime() : sim::MachineOptions{}) {
    if (virtual_time) attachment_.emplace(machine_.kernel().Attach("test"));
    machine_.SetServiceImage([](sim::SimProcess& process) {
      return ContractServiceProcess(process.platform().service_control, process.platform().kernel);
    });
  }
  ServiceControl& service_control() override { return machine_.service_control(); }
  Kernel& kernel() override { return machine_.kernel(); }
  std::string ContractServiceImage() override { return "C:\\Windows\\system32\\contract_service.exe"; }

 private:
  ScratchDir scratch_;
  sim::SimMachine machine_;
  std::optional<sim::SimKernel::Attachment> attachment_;
};

ServiceControlContractParam OnTime(const char* name, bool virtual_time) {
  return {name, [virtual_time] { return std::make_unique<SimServiceControlHarness>(virtual_time); }};
}

INSTANTIATE_TEST_SUITE_P(Sim, ServiceControlContractTest,
                         ::testing::Values(OnTime("RealTime", false), OnTime("VirtualTime", true)),
                         ContractParamName<ServiceControlHarness>);

}  // namespace
}  // namespace fenra::testing
