// The ports' contracts, run against the simulated machine: on real time and
// on virtual time where time matters. Another process of the machine is a
// second adapter over the same host files: a SimFiles with its own memory of
// directories, a SimRegistry on the same registry file.

#include <optional>

#include "platform/sim/sim_files.h"
#include "platform/sim/sim_kernel.h"
#include "platform/sim/sim_machine.h"
#include "platform/sim/sim_registry.h"
#include "support/test_machine.h"
#include "unit/platform/event_log_contract.h"
#include "unit/platform/files_contract.h"
#include "unit/platform/kernel_contract.h"
#include "unit/platform/registry_contract.h"
#include "unit/platform/service_control_contract.h"

namespace fenra::testing {
namespace {

sim::MachineOptions OnTime(bool virtual_time) { return virtual_time ? VirtualTime() : sim::MachineOptions{}; }

class SimKernelHarness : public KernelHarness {
 public:
  explicit SimKernelHarness(bool virtual_time) : kernel_({.virtual_time = virtual_time}) {
    if (virtual_time) attachment_.emplace(kernel_.Attach("test"));
  }
  Kernel& kernel() override { return kernel_; }

 private:
  sim::SimKernel kernel_;
  std::optional<sim::SimKernel::Attachment> attachment_;
};

class SimRegistryHarness : public RegistryHarness {
 public:
  Registry& registry() override { return registry_; }
  Registry& elsewhere() override { return elsewhere_; }

 private:
  ScratchDir dir_;
  sim::SimRegistry registry_{dir_.path() / "registry.reg", {false, nullptr}};
  sim::SimRegistry elsewhere_{dir_.path() / "registry.reg", {false, nullptr}};
};

class SimServiceControlHarness : public ServiceControlHarness {
 public:
  explicit SimServiceControlHarness(bool virtual_time) : machine_(scratch_.path() / "machine", OnTime(virtual_time)) {
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

class SimMachineHarness : public FilesHarness, public EventLogHarness {
 public:
  explicit SimMachineHarness(bool virtual_time) : machine_(OnTime(virtual_time)) {
    std::filesystem::create_directories(machine_->HostPath(kDirectory));
  }

  Files& files() override { return machine_->files(); }
  Files& other_process() override { return other_files_; }
  Kernel& kernel() override { return machine_->kernel(); }
  std::string directory() override { return kDirectory; }
  bool MakeHardLink(const std::string& existing, const std::string& link) override {
    std::error_code error;
    std::filesystem::create_hard_link(machine_->HostPath(existing), machine_->HostPath(link), error);
    return !error;
  }
  bool MakeSymbolicLink(const std::string& target, const std::string& link) override {
    std::error_code error;
    std::filesystem::create_symlink(machine_->HostPath(target), machine_->HostPath(link), error);
    return !error;
  }
  bool GiveToAnotherAccount(const std::string& path) override {
    return machine_->files().SetOwner(path, "S-1-5-21-1004336348-1177238915-682003330-1001");
  }
  EventLog& event_log() override { return machine_->event_log(); }

 private:
  static constexpr const char* kDirectory = "C:\\FenraContract\\";
  TestMachine machine_;
  sim::MachinePaths other_paths_{machine_->directory()};
  sim::SimFiles other_files_{other_paths_, machine_->system()};
};

template <typename Harness, typename Sim>
std::vector<ContractParam<Harness>> OnBothTimes() {
  return {{"RealTime", [] { return std::make_unique<Sim>(false); }},
          {"VirtualTime", [] { return std::make_unique<Sim>(true); }}};
}

INSTANTIATE_TEST_SUITE_P(Sim, KernelContractTest, ::testing::ValuesIn(OnBothTimes<KernelHarness, SimKernelHarness>()),
                         ContractParamName<KernelHarness>);
INSTANTIATE_TEST_SUITE_P(Sim, RegistryContractTest, ::testing::Values(RegistryContractParam{"Sim", [] {
                           return std::make_unique<SimRegistryHarness>();
                         }}),
                         ContractParamName<RegistryHarness>);
INSTANTIATE_TEST_SUITE_P(Sim, ServiceControlContractTest,
                         ::testing::ValuesIn(OnBothTimes<ServiceControlHarness, SimServiceControlHarness>()),
                         ContractParamName<ServiceControlHarness>);
INSTANTIATE_TEST_SUITE_P(Sim, FilesContractTest, ::testing::ValuesIn(OnBothTimes<FilesHarness, SimMachineHarness>()),
                         ContractParamName<FilesHarness>);
INSTANTIATE_TEST_SUITE_P(Sim, EventLogContractTest,
                         ::testing::ValuesIn(OnBothTimes<EventLogHarness, SimMachineHarness>()),
                         ContractParamName<EventLogHarness>);

}  // namespace
}  // namespace fenra::testing
