#pragma once
// The contract of the EventLog port, as a value-parameterised suite that
// every adapter instantiates (the simulated machine here, the Win32 adapter
// under Wine): the records the system writes are accepted, and the system's
// error texts read as the service composes them into its records. It uses
// the port only; what a record looks like once stored is each adapter's own
// test.

#include <memory>

#include "platform/event_log.h"
#include "unit/platform/contract.h"

namespace fenra::testing {

// Owns one adapter's event log for the life of one test.
class EventLogHarness {
 public:
  virtual ~EventLogHarness() = default;
  virtual EventLog& event_log() = 0;
  // False where the system's texts are worded otherwise than Windows' own
  // (Wine's are): then only their form is checked, not their words.
  virtual bool windows_texts() const { return true; }
};

using EventLogContractParam = ContractParam<EventLogHarness>;

class EventLogContractTest : public ::testing::TestWithParam<EventLogContractParam> {
 protected:
  void SetUp() override { harness_ = GetParam().make(); }
  EventLog& log() { return harness_->event_log(); }
  bool windows_texts() const { return harness_->windows_texts(); }

 private:
  std::unique_ptr<EventLogHarness> harness_;
};

}  // namespace fenra::testing
