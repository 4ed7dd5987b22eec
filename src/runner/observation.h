#pragma once
// What a scenario run saw, in the order it happened: the scenario's own
// inputs, event-log records, pulses of the hot-plug event and trace lines.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "support/thread_annotations.h"

namespace fenra::runner {

struct Observation {
  enum class Kind { kInput, kEvent, kPulse, kTrace };
  uint64_t t_ms = 0;  // virtual milliseconds since scenario time 0
  Kind kind = Kind::kInput;
  // Input: the scenario line and the directive as written.
  int line = 0;
  std::string directive;
  // Event-log record.
  std::string source;
  uint32_t event_id = 0;
  uint16_t type = 0;
  std::vector<std::string> strings;  // the machine's ANSI code page: UTF-8
  std::vector<uint8_t> data;
  // Trace line, stamp included, without CR LF.
  std::string text;
};

// Takes each observation as it happens, in order, from whichever simulated
// thread makes it; it may run under the kernel's lock and must not call the
// kernel.
using ObservationSink = std::function<void(const Observation&)>;

// Collects observations from whichever simulated thread makes them, or, with
// a sink, hands each one on as it comes and keeps none, so that a long run
// takes no memory for what it saw. It never calls the kernel, so it may be
// fed from under the kernel's lock.
class Recorder {
 public:
  explicit Recorder(ObservationSink sink = nullptr) : sink_(std::move(sink)) {}

  void Add(Observation observation) {
    MutexLock lock(mutex_);
    if (sink_)
      sink_(observation);
    else
      observations_.push_back(std::move(observation));
  }
  std::vector<Observation> Take() {
    MutexLock lock(mutex_);
    return std::move(observations_);
  }

 private:
  Mutex mutex_;
  const ObservationSink sink_;
  std::vector<Observation> observations_ FENRA_GUARDED_BY(mutex_);
};

}  // namespace fenra::runner
