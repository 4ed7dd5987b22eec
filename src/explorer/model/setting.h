#pragma once
// What the monitor finds on the machine and sees over a run, read from a
// scenario: its settings, the hardware's states over time, the service's
// processes and the faults the machine shows. The rules work on this alone.

#include <array>
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

// A WMI thread's pace: its pause after an event whose state it read, and
// how long it waits for the timer manager to take its request. The CPU
// thread starts a minute after the timer manager, the PCI thread a minute
// later.
inline constexpr int64_t kReadEvent = 100;
inline constexpr int64_t kAckWait = 2000;
inline constexpr int64_t kThreadGap = 60000;

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

// What faults of the provider's Next do to one WMI thread (CPU or PCI) in
// one start of the service.
struct ThreadFaults {
  int64_t walk_delay = 0;           // its start-up walk waits out time-outs
  bool walk_fails = false;          // its start-up walk raises: no states
  bool first_reread_fails = false;  // so does the re-read after its first subscription
  // Its wait for the next event raises: it subscribes again (events not
  // yet read are lost) and reads the states anew.
  struct Resubscription {
    int64_t t = 0;       // when the fault comes; the thread takes it at its next Next call
    bool maybe = false;  // another thread may take it instead
    int reread = 1;      // the re-read that follows: 1 reads, 0 raises, -1 either
  };
  std::vector<Resubscription> resubscriptions;
};

// One start of the service: from its start to its stop (or the end).
struct Process {
  int64_t start = 0, stop = 0;
  int64_t asked = 0;  // when the scenario starts it (a start waits for the last stop)
  std::optional<int64_t> monitor_end;  // a cancelled call of Next ends the monitor
  ThreadFaults threads[2];             // the CPU and PCI threads
};

// A module's serial number as the driver publishes it over time, and the
// copy kept before the first start (generation 0).
using Serial = std::array<uint8_t, 8>;
struct SerialTimeline {
  int pair = 0;
  std::optional<Serial> kept;
  std::vector<std::pair<int64_t, std::optional<Serial>>> published;  // the first at time 0
};

// A fault of the provider's Next, scripted at `t` (-1: before the clock).
struct NextFault {
  enum Kind { kTimeout, kCancelled, kThrows } kind = kTimeout;
  int64_t t = 0;
  int times = 1;
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
  int64_t timeout_ms = 30000;                  // how long a status walk's Next waits
  std::optional<std::string> simplex_date[3];  // stored before the first start
  std::vector<SerialTimeline> serials;           // generation 0: the modules whose serial numbers are compared
  // From when to when a fault of Next waits for its taker: an alert
  // composer whose walks fall in such a window may take it instead.
  std::vector<std::pair<int64_t, int64_t>> fault_windows;
  std::vector<Switch> event_log, registry_writes;
  std::vector<std::string> no_prediction[3];  // per pair: inputs not modelled
};

Setting ReadSetting(const runner::Scenario& scenario);

// The service's processes; `*early_stop` when a stop comes before its
// process has started.
std::vector<Process> Processes(const runner::Scenario& scenario, bool* early_stop);

// Who takes each fault of Next and what it does to the WMI threads (in
// `s.processes`), or a reason for no prediction.
void TakeNextFaults(Setting& s, const std::vector<NextFault>& faults);

// Local time at `t` ms of scenario time.
LocalTime LocalAt(const LocalTime& clock, int64_t t);

}  // namespace fenra::explorer::model
