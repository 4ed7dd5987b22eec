// The ports' contract suites, run against the Win32 adapter: the simulated
// machine and Windows answer the same calls alike. Under Wine, read "Wine"
// for "Windows"; where Wine differs from Windows a suite says so.

#include "platform/win32/win32_kernel.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_service_control.h"
#include "platform/win32/windows_api.h"
#include "unit/platform/kernel_contract.h"
#include "unit/platform/registry_contract.h"
#include "unit/platform/service_control_contract.h"
#include "win32_test_support.h"

namespace fenra::testing {
namespace {

class Win32KernelHarness : public KernelHarness {
 public:
  Kernel& kernel() override { return kernel_; }

 private:
  win32::Win32Kernel kernel_;
};

INSTANTIATE_TEST_SUITE_P(Win32, KernelContractTest,
                         ::testing::Values(KernelContractParam{"Win32",
                                                               [] { return std::make_unique<Win32KernelHarness>(); }}),
                         KernelContractParamName);

class Win32RegistryHarness : public RegistryHarness {
 public:
  Registry& registry() override { return registry_; }

 private:
  win32::Win32Registry registry_;
};

INSTANTIATE_TEST_SUITE_P(Win32, RegistryContractTest,
                         ::testing::Values(RegistryContractParam{
                             "Win32", [] { return std::make_unique<Win32RegistryHarness>(); }}),
                         RegistryContractParamName);

class Win32ServiceControlHarness : public ServiceControlHarness {
 public:
  ServiceControl& service_control() override { return service_control_; }
  Kernel& kernel() override { return kernel_; }
  std::string ContractServiceImage() override { return win32::testing::FixturePath("contract_service.exe"); }

 private:
  win32::Win32Kernel kernel_;
  win32::Win32ServiceControl service_control_;
};

INSTANTIATE_TEST_SUITE_P(Win32, ServiceControlContractTest,
                         ::testing::Values(ServiceControlContractParam{
                             "Win32", [] { return std::make_unique<Win32ServiceControlHarness>(); }}),
                         ServiceControlContractParamName);

}  // namespace
}  // namespace fenra::testing
