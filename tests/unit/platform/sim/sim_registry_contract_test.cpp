// The Registry port's contract, run against the simulated registry.

#include "unit/platform/registry_contract.h"
#include "platform/sim/sim_registry.h"
#include "unit/platform/sim/test_support.h"

namespace fenra::testing {
namespace {

class SimRegistryHarness : public RegistryHarness {
 public:
  SimRegistryHarness() : registry_(dir_.path() / "registry.reg") {}
  Registry& registry() override { return registry_; }

 private:
  sim::testing::ScratchDir dir_;
  sim::SimRegistry registry_;
};

INSTANTIATE_TEST_SUITE_P(Sim, RegistryContractTest,
                         ::testing::Values(RegistryContractParam{
                             "Sim", [] { return std::make_unique<SimRegistryHarness>(); }}),
                         RegistryContractParamName);

}  // namespace
}  // namespace fenra::testing
