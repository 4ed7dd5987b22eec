// The Kernel port's contract, run against the simulated kernel on real time
// and on virtual time.

#include <optional>

#include "platform/sim/sim_kernel.h"
#include "unit/platform/kernel_contract.h"

namespace fenra::testing {
namespace {

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

KernelContractParam OnTime(const char* name, bool virtual_time) {
  return {name, [virtual_time] { return std::make_unique<SimKernelHarness>(virtual_time); }};
}

INSTANTIATE_TEST_SUITE_P(Sim, KernelContractTest,
                         ::testing::Values(OnTime("RealTime", false), OnTime("VirtualTime", true)),
                         ContractParamName<KernelHarness>);

}  // namespace
}  // namespace fenra::testing
