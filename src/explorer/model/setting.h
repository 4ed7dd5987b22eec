#pragma once
// What the monitor finds on the machine and sees over a run, read from a
// scenario: its settings, the hardware's states over time, the service's
// processes and the faults the machine shows. The rules work on this alone.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "runner/scenario.h"

namespace fenra::explorer::model {

inline constexpr int32_t kRemoved = 0x20001;
inline constexpr int32_t kSimplex = 0x80015;
inline constexpr int32_t kDuplex = 0x180016;
inline constexpr int32_t kTriplex = 0x180017;

// A provider instance and its state over scenario time.
struct Instance {
  std::string name;
  std::string cls;  // canonical class; a module's is its CPU or PCI class
  bool cpu = false, pci = false;
  struct Change {
    int64_t t;
    std::optional<int32_t> state;  // none: no OperationalState
  };
  std::vector<Change> changes;                      // the first at time 0
  std::optional<int32_t> StateAt(int64_t t) const;  // changes at t included
};

// An event as a WMI thread reads it: `readable` when its text gives the
// state, the device path and the parent name; `pulses` when it gives the
// state (the thread then asks for a pulse and pauses 0.1 s).
struct SeenEvent {
  int64_t t = 0;
  int group = 0;  // 0 CPU thread, 1 PCI thread, 2 disk thread
  bool readable = true;
  int module = 0;
  int32_t state = 0;
  bool pulses = true;
};

// One start of the service: from its start to its stop (or the end).
struct Process {
  int64_t start = 0, stop = 0;
};

// A machine fault in effect from `t` on (until the next of its kind).
struct Switch {
  int64_t t;
  bool refusing;
};

struct Setting {
  LocalTime clock;
  bool japanese = false;
  bool monitor_runs = true;  // settings key and Installdir readable
  std::string version;       // platform software version text
  int generation = 2;
  uint32_t short_min[3] = {}, long_min[3] = {};
  int64_t delay_ms = 0;             // start-up delay as waited (whole minutes)
  std::string bmc;                  // firmware revision text
  int64_t firmware_wait_ms = 0;     // how long a composer waits for it
  std::vector<Instance> instances;  // in declaration order
  std::vector<Process> processes;
  std::vector<SeenEvent> events;               // in delivery order
  std::optional<std::string> simplex_date[3];  // stored before the first start
  bool serial_mismatch[3] = {};                // generation 0: a module of the pair found exchanged at start-up
  std::vector<Switch> event_log, registry_writes;
  std::vector<std::string> no_prediction[3];  // per pair: inputs not modelled
};

Setting ReadSetting(const runner::Scenario& scenario);

// The service's processes; `*early_stop` when a stop comes before its
// process has started.
std::vector<Process> Processes(const runner::Scenario& scenario, bool* early_stop);

// Local time at `t` ms of scenario time.
LocalTime LocalAt(const LocalTime& clock, int64_t t);

}  // namespace fenra::explorer::model
