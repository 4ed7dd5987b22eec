// The Files and EventLog contracts, run against the simulated machine on
// real time and on virtual time. Another process of the machine is a second
// SimFiles over the same directory, with its own memory of directories.

#include "platform/sim/sim_files.h"
#include "support/test_machine.h"
#include "unit/platform/event_log_contract.h"
#include "unit/platform/files_contract.h"

namespace fenra::testing {
namespace {

class SimMachineHarness : public FilesHarness, public EventLogHarness {
 public:
  explicit SimMachineHarness(sim::MachineOptions options) : machine_(options) {
    std::filesystem::create_directories(machine_->HostPath(kDirectory));
  }

  Files& files() override { return machine_->files(); }
  Files& other_process() override { return other_files_; }
  Kernel& kernel() override { return machine_->kernel(); }
  std::string directory() override { return kDirectory; }
  EventLog& event_log() override { return machine_->event_log(); }

 private:
  static constexpr const char* kDirectory = "C:\\FenraContract\\";
  TestMachine machine_;
  sim::MachinePaths other_paths_{machine_->directory()};
  sim::SimFiles other_files_{other_paths_, machine_->system()};
};

template <typename Harness>
std::vector<ContractParam<Harness>> OnBothTimes() {
  return {{"RealTime", [] { return std::make_unique<SimMachineHarness>(sim::MachineOptions{}); }},
          {"VirtualTime", [] { return std::make_unique<SimMachineHarness>(VirtualTime()); }}};
}

INSTANTIATE_TEST_SUITE_P(Sim, FilesContractTest, ::testing::ValuesIn(OnBothTimes<FilesHarness>()),
                         ContractParamName<FilesHarness>);
INSTANTIATE_TEST_SUITE_P(Sim, EventLogContractTest, ::testing::ValuesIn(OnBothTimes<EventLogHarness>()),
                         ContractParamName<EventLogHarness>);

}  // namespace
}  // namespace fenra::testing
