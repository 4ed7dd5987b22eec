#pragma once
// The explorer's generator: from a seed, one scenario file's worth of
// machine, settings and hardware history. Run k of seed S is the same text
// on every machine: the random numbers are our own (no standard
// distribution, whose results differ between libraries), drawn from a seed
// derived from (S, k) alone.

#include <cstdint>
#include <string>

namespace fenra::explorer {

// A small, portable random source (SplitMix64).
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next();
  // 0 .. n-1 (n > 0).
  uint64_t Below(uint64_t n);
  // lo .. hi inclusive.
  int64_t Between(int64_t lo, int64_t hi) { return lo + static_cast<int64_t>(Below(static_cast<uint64_t>(hi - lo) + 1)); }
  // True with probability percent / 100.
  bool Chance(int percent) { return Below(100) < static_cast<uint64_t>(percent); }

 private:
  uint64_t state_;
};

// The seed of run k of an exploration with seed S.
uint64_t RunSeed(uint64_t seed, uint64_t run);

// What the generator chose for a run, for the exploration's summary.
struct Choices {
  int generation = 0;       // platform generation 0, 1 or 2
  bool japanese = false;
  bool restart = false;     // a stop and a later start
  bool restart_busy = false;  // ... while a timer or composer may run
  bool wmi_fault = false;   // wmi-fault or an unreadable event text
  bool machine_fault = false;  // event-log, registry or folder refusal
  bool triplex = false;     // a third CPU module in the run
  bool expci = false;       // modules 12 and 13
  bool beyond_2_31 = false;  // a short threshold of more than 2^31 ms
  bool tick_turn = false;   // the tick counter starts near 2^31 or 2^32
  bool simplex_date = false;  // a SimplexDate left from before
  bool serials = false;     // serial numbers published
  bool unknown_code = false;  // a state code without a name
  // The platform version's first character against the "5" the
  // threshold defaults and the firmware revision turn on: 0 a digit below
  // 5, 1 a 5, 2 above (a digit, or the "u" of unknown), 3 a byte of 0x80
  // or more.
  int version_side = 0;
  bool incoherent = false;    // ONLINE in a DUPLEX spell, a loss whose two modules swap, repeated states
  bool flap_gap = false;      // 3-90 s inside a flap: between the two DUPLEX reports, or before the relapse
  bool triplex_join = false;  // a third CPU module joins and leaves again
  bool slow_walk = false;     // a start-up walk that waits out time-outs, with a change before the subscription
  bool exchange = false;      // a module exchanged (a new serial number) while the service runs
  uint64_t duration_ms = 0;  // scenario time of `end`
};

// How often each choice was made over a number of runs.
struct ChoiceTally {
  uint64_t runs = 0;
  uint64_t generation[3] = {};
  uint64_t japanese = 0, restart = 0, wmi_fault = 0, machine_fault = 0, triplex = 0, expci = 0, beyond = 0,
           tick_turn = 0, simplex_date = 0, serials = 0, unknown_code = 0;
  uint64_t version_side[4] = {};
  uint64_t incoherent = 0, flap_gap = 0, triplex_join = 0, slow_walk = 0, exchange = 0;
  uint64_t virtual_ms = 0;
  void Add(const Choices& c) {
    ++runs;
    ++generation[c.generation];
    japanese += c.japanese;
    restart += c.restart;
    wmi_fault += c.wmi_fault;
    machine_fault += c.machine_fault;
    triplex += c.triplex;
    expci += c.expci;
    beyond += c.beyond_2_31;
    tick_turn += c.tick_turn;
    simplex_date += c.simplex_date;
    serials += c.serials;
    unknown_code += c.unknown_code;
    ++version_side[c.version_side];
    incoherent += c.incoherent;
    flap_gap += c.flap_gap;
    triplex_join += c.triplex_join;
    slow_walk += c.slow_walk;
    exchange += c.exchange;
    virtual_ms += c.duration_ms;
  }
};

struct GeneratedRun {
  uint64_t seed = 0;  // the run's own seed
  std::string text;   // the scenario file
  Choices choices;
};

// `long_runs`: whether runs may last several virtual weeks (a short
// threshold beyond 2^31 ms that runs out); without them the other runs are
// the same.
GeneratedRun Generate(uint64_t seed, uint64_t run, bool long_runs = true);

}  // namespace fenra::explorer
