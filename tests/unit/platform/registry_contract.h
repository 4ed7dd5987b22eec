#pragma once
// The contract of the Registry port, as a value-parameterised suite that
// every adapter instantiates (the simulated one here, the Win32 one under
// Wine). It uses the port only, works below a scratch key of its own under
// HKLM\SOFTWARE\FenraContractTest and removes it again, and expects the
// exact Win32 result codes.

#include <memory>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "unit/platform/contract.h"

namespace fenra::testing {

// Owns one registry under test, for the life of one test.
class RegistryHarness {
 public:
  virtual ~RegistryHarness() = default;
  virtual Registry& registry() = 0;
  // The same registry as another process sees it; on Windows, where the
  // system holds the one registry, the same object does.
  virtual Registry& elsewhere() { return registry(); }
};

using RegistryContractParam = ContractParam<RegistryHarness>;

class RegistryContractTest : public ::testing::TestWithParam<RegistryContractParam> {
 protected:
  void SetUp() override;
  void TearDown() override;

  Registry& reg() { return harness_->registry(); }
  Registry& elsewhere() { return harness_->elsewhere(); }
  // The full HKLM path of `sub` below the scratch key.
  std::string Path(const std::string& sub) const;
  // Creates `sub` below the scratch key with all access, remembering it and
  // its parents for the clean-up; fails the test when it cannot.
  RegKeyPtr Create(const std::string& sub, uint32_t* disposition = nullptr);
  RegKeyPtr Open(const std::string& sub, uint32_t sam);

  int32_t SetBytes(RegKey& key, const char* name, uint32_t type, const std::string& bytes, uint32_t size);
  // The stored bytes of a value as QueryValue reports them.
  std::string Stored(RegKey& key, const char* name, uint32_t* type = nullptr);

 private:
  std::unique_ptr<RegistryHarness> harness_;
  std::string scratch_;
  std::vector<std::string> created_;
};

}  // namespace fenra::testing
