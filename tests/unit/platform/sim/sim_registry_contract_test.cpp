// The Registry port's contract, run against the simulated registry.

#include "unit/platform/registry_contract.h"
#include "platform/sim/sim_registry.h"
#include "unit/platform/sim/test_support.h"

namespace fenra::testing {
namespace {

class SimRegistryHarness : public RegistryHarness {
 public:
  SimRegistryHarness() : registry_(file(), {false, nullptr}), elsewhere_(file(), {false, nullptr}) {}
  Registry& registry() override { return registry_; }
  // Another process of the machine: another registry on the same file.
  Registry& elsewhere() override { return elsewhere_; }

 private:
  std::filesystem::path file() const { return dir_.path() / "registry.reg"; }

  sim::testing::ScratchDir dir_;
  sim::SimRegistry registry_;
  sim::SimRegistry elsewhere_;
};

INSTANTIATE_TEST_SUITE_P(Sim, RegistryContractTest, ::testing::Values(RegistryContractParam{"Sim", [] {
                           return std::make_unique<SimRegistryHarness>();
                         }}),
                         ContractParamName<RegistryHarness>);

}  // namespace
}  // namespace fenra::testing
