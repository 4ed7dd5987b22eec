// The ports' contract suites, run against the Win32 adapter: the simulated
// machine and Windows answer the same calls alike. Under Wine, read "Wine"
// for "Windows"; where Wine differs from Windows a suite says so.

#include "platform/win32/win32_event_log.h"
#include "platform/win32/win32_files.h"
#include "platform/win32/win32_kernel.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_service_control.h"
#include "platform/win32/windows_api.h"
#include "unit/platform/event_log_contract.h"
#include "unit/platform/files_contract.h"
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
                         ContractParamName<KernelHarness>);

class Win32RegistryHarness : public RegistryHarness {
 public:
  Registry& registry() override { return registry_; }

 private:
  win32::Win32Registry registry_;
};

INSTANTIATE_TEST_SUITE_P(Win32, RegistryContractTest,
                         ::testing::Values(RegistryContractParam{
                             "Win32", [] { return std::make_unique<Win32RegistryHarness>(); }}),
                         ContractParamName<RegistryHarness>);

class Win32ServiceControlHarness : public ServiceControlHarness {
 public:
  ServiceControl& service_control() override { return service_control_; }
  Kernel& kernel() override { return kernel_; }
  std::string ContractServiceImage() override { return win32::testing::FixturePath("contract_service.exe"); }
  bool on_wine() const override { return win32::testing::RunningOnWine(); }

 private:
  win32::Win32Kernel kernel_;
  win32::Win32ServiceControl service_control_;
};

INSTANTIATE_TEST_SUITE_P(Win32, ServiceControlContractTest,
                         ::testing::Values(ServiceControlContractParam{
                             "Win32", [] { return std::make_unique<Win32ServiceControlHarness>(); }}),
                         ContractParamName<ServiceControlHarness>);

// Share modes hold between handles, whichever process holds them: a second
// adapter in this process stands for the other process.
class Win32FilesHarness : public FilesHarness {
 public:
  Files& files() override { return files_; }
  Files& other_process() override { return other_files_; }
  Kernel& kernel() override { return kernel_; }
  std::string directory() override { return scratch_.path(); }
  bool on_wine() const override { return win32::testing::RunningOnWine(); }
  bool MakeHardLink(const std::string& existing, const std::string& link) override {
    return CreateHardLinkA(link.c_str(), existing.c_str(), nullptr) != FALSE;
  }
  // Wine 8 makes a plain file instead, and follows a link the host made:
  // only a link that is a reparse point counts.
  bool MakeSymbolicLink(const std::string& target, const std::string& link) override {
    if (!CreateSymbolicLinkA(link.c_str(), target.c_str(), 0)) return false;
    DWORD attributes = GetFileAttributesA(link.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return true;
    DeleteFileA(link.c_str());
    return false;
  }
  // Takes SeRestorePrivilege on Windows; Wine keeps the owner it has.
  bool GiveToAnotherAccount(const std::string& path) override {
    PSID other = nullptr;
    if (!ConvertStringSidToSidA("S-1-5-21-1004336348-1177238915-682003330-1001", &other)) return false;
    bool given = SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                       other, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    given = given && GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                           nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
            EqualSid(owner, other);
    LocalFree(descriptor);
    LocalFree(other);
    return given;
  }

 private:
  win32::testing::ScratchDirectory scratch_;
  win32::Win32Files files_;
  win32::Win32Files other_files_;
  win32::Win32Kernel kernel_;
};

INSTANTIATE_TEST_SUITE_P(Win32, FilesContractTest,
                         ::testing::Values(FilesContractParam{"Win32",
                                                              [] { return std::make_unique<Win32FilesHarness>(); }}),
                         ContractParamName<FilesHarness>);

class Win32EventLogHarness : public EventLogHarness {
 public:
  EventLog& event_log() override { return event_log_; }
  bool windows_texts() const override { return !win32::testing::RunningOnWine(); }

 private:
  win32::Win32EventLog event_log_;
};

INSTANTIATE_TEST_SUITE_P(Win32, EventLogContractTest,
                         ::testing::Values(EventLogContractParam{
                             "Win32", [] { return std::make_unique<Win32EventLogHarness>(); }}),
                         ContractParamName<EventLogHarness>);

}  // namespace
}  // namespace fenra::testing
