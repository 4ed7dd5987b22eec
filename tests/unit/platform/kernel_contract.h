#pragma once
// The contract of the Kernel port, as a value-parameterised suite that every
// adapter instantiates (the simulated kernel on real and on virtual time
// here, the Win32 one under Wine). It uses the port only, and only
// behaviours that do not depend on how fast threads are scheduled.
//

#include <memory>

#include "platform/kernel.h"
#include "unit/platform/contract.h"

namespace fenra::testing {

// Owns one kernel under test, for the life of one test; the test's thread
// may block in it.
class KernelHarness {
 public:
  virtual ~KernelHarness() = default;
  virtual Kernel& kernel() = 0;
};

using KernelContractParam = ContractParam<KernelHarness>;

class KernelContractTest : public ::testing::TestWithParam<KernelContractParam> {
 protected:
  void SetUp() override { harness_ = GetParam().make(); }
  Kernel& k() { return harness_->kernel(); }
  // Waits for a thread's end; fails the test when it does not end.
  void Join(const Handle& thread);

 private:
  std::unique_ptr<KernelHarness> harness_;
};

}  // namespace fenra::testing
