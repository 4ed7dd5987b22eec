#include "explorer/generator.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "runner/output.h"

namespace fenra::explorer {

uint64_t Random::Next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint64_t Random::Below(uint64_t n) {
  // Rejection keeps it unbiased, and the same on every platform.
  const uint64_t limit = UINT64_MAX - UINT64_MAX % n;
  uint64_t x = Next();
  while (x >= limit) x = Next();
  return x % n;
}

uint64_t RunSeed(uint64_t seed, uint64_t run) {
  Random mix(seed ^ (run * 0xD1B54A32D192ED03ull));
  mix.Next();
  return mix.Next();
}

namespace {

constexpr uint64_t kSecond = 1000;
constexpr uint64_t kMinute = 60 * kSecond;
// A short threshold whose milliseconds pass 2^31 (35,791.39 minutes).
constexpr int64_t kFirstMinutesBeyond2To31 = 35792;

struct Clock {
  int64_t y = 2026, mo = 12, d = 3, h = 10, mi = 0, s = 0;
  // "YYYYMMDDhhmm" of this clock moved by `offset` minutes.
  std::string Stamp(int64_t offset) const {
    using namespace std::chrono;
    local_time<minutes> at = local_days(year(static_cast<int>(y)) / month(static_cast<unsigned>(mo)) /
                                        day(static_cast<unsigned>(d))) +
                             hours(h) + minutes(mi + offset);
    local_days date = floor<days>(at);
    year_month_day ymd(date);
    hh_mm_ss<minutes> time(at - date);
    char text[96];
    snprintf(text, sizeof text, "%04d%02u%02u%02lld%02lld", static_cast<int>(ymd.year()),
             static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
             static_cast<long long>(time.hours().count()), static_cast<long long>(time.minutes().count()));
    return text;
  }
};

// A module pair of the generated machine and what the generator knows of it.
struct Pair {
  const char* cls;      // scenario class of its modules
  std::string first;    // CPU 0, PCI 10, PCI 12
  std::string second;   // CPU 1, PCI 11, PCI 13
  const char* key;      // settings key of its thresholds
  bool pci_duplex_5_min = false;  // the PCI pair's return is announced after 5 minutes
  int64_t short_minutes = 1;
};

constexpr const char* kLossStates[] = {"REMOVED", "BROKEN", "OFFLINE", "SHOT", "EMPTY", "DIAGNOSTICS", "STOPPED",
                                       "NOT_PRESENT", "DUMPING", "FIRMWARE_UPDATE"};
constexpr const char* kReturnStates[] = {"SYNCING", "INITIALIZING", "DIAGNOSTICS_PASSED", "ONLINE", "DEVICE_READY",
                                         "FIRMWARE_UPDATE_COMPLETE"};
// Codes the service has no name for.
constexpr const char* kUnknownCodes[] = {"131077", "0", "1572888", "-1", "2147483647"};

class Builder {
 public:
  Builder(uint64_t seed, bool long_runs, Choices* choices) : rnd_(seed), choices_(*choices), long_runs_(long_runs) {}

  std::string Build();

 private:
  void Setup();
  void Pairs();
  void History();
  void Episode(Pair& pair, uint64_t* t);
  void TriplexEpisode(uint64_t* t);
  void JoinEpisode(uint64_t* t);
  void SlowWalk(uint64_t* t);
  void Exchange(const Pair& pair, const std::string& module, uint64_t at);
  void Return(const Pair& pair, const std::string& first, const std::string& second, uint64_t* at);
  void Wobble(const Pair& pair, uint64_t when, uint64_t* at);
  uint64_t FlapGap() {
    choices_.flap_gap = true;
    return static_cast<uint64_t>(rnd_.Between(3000, 90000));
  }
  void Fault(uint64_t t);
  void Restart(uint64_t t);
  uint64_t SpellLength(const Pair& pair);
  void At(uint64_t t, const std::string& directive) { steps_.emplace_back(t, directive); }
  void State(uint64_t t, const Pair& pair, const std::string& module, const std::string& state) {
    At(t, std::string("state ") + pair.cls + " " + module + " " + state);
  }
  std::string LossState() {
    if (rnd_.Chance(8)) {
      choices_.unknown_code = true;
      return kUnknownCodes[rnd_.Below(std::size(kUnknownCodes))];
    }
    return rnd_.Chance(60) ? "REMOVED" : kLossStates[rnd_.Below(std::size(kLossStates))];
  }
  void Line(const std::string& line) { setup_ += line + "\n"; }
  std::string SerialBytes() {
    char bytes[40];
    snprintf(bytes, sizeof bytes, "%02x %02x %02x %02x 00 00 00 %02x", static_cast<int>(rnd_.Below(256)),
             static_cast<int>(rnd_.Below(256)), static_cast<int>(rnd_.Below(256)), static_cast<int>(rnd_.Below(256)),
             static_cast<int>(rnd_.Below(4)));
    return bytes;
  }

  Random rnd_;
  Choices& choices_;
  const bool long_runs_;
  Clock clock_;
  std::string setup_;
  std::vector<std::pair<uint64_t, std::string>> steps_;
  std::vector<Pair> pairs_;
  bool triplex_ = false;
  bool triplex_joins_ = false;  // three CPU modules: the third starts out and joins
  bool long_run_ = false;
  uint64_t longest_limit_ms_ = 0;
  int64_t delay_ms_ = 0;          // the start-up delay as the service waits it
  int slow_walk_ = -1;            // the pair whose thread's start-up walk is slow
  bool slow_walk_returns_ = false;  // ... and whose modules come back meanwhile (else one is lost)
  bool exchange_ = false;         // a module is yet to be exchanged while the service runs
};

void Builder::Setup() {
  // Local time: now and then a month's or a year's last minutes, where the
  // SimplexDate arithmetic turns.
  int kind = static_cast<int>(rnd_.Below(100));
  clock_.y = 2026;
  clock_.mo = rnd_.Between(1, 12);
  clock_.d = rnd_.Between(1, 28);
  clock_.h = rnd_.Between(0, 23);
  clock_.mi = rnd_.Between(0, 59);
  clock_.s = rnd_.Between(0, 59);
  if (kind < 8) {
    static constexpr int kLongMonths[] = {1, 3, 5, 7, 8, 10, 12};
    clock_.mo = kLongMonths[rnd_.Below(std::size(kLongMonths))];
    clock_.d = 31;
    clock_.h = 23;
    clock_.mi = rnd_.Between(40, 59);
  } else if (kind < 12) {
    clock_.mo = 12;
    clock_.d = 31;
    clock_.h = 23;
    clock_.mi = rnd_.Between(50, 59);
  }
  char text[128];
  snprintf(text, sizeof text, "clock %04lld-%02lld-%02lld %02lld:%02lld:%02lld", static_cast<long long>(clock_.y),
           static_cast<long long>(clock_.mo), static_cast<long long>(clock_.d), static_cast<long long>(clock_.h),
           static_cast<long long>(clock_.mi), static_cast<long long>(clock_.s));
  Line(text);

  choices_.japanese = rnd_.Chance(20);
  if (choices_.japanese) Line("language ja");

  int tick = static_cast<int>(rnd_.Below(100));
  if (tick < 15) {
    choices_.tick_turn = true;
    Line("tick " + std::to_string((uint64_t{1} << 31) - static_cast<uint64_t>(rnd_.Between(0, 2 * 3600000))));
  } else if (tick < 30) {
    choices_.tick_turn = true;
    Line("tick " + std::to_string((uint64_t{1} << 32) - static_cast<uint64_t>(rnd_.Between(1, 2 * 3600000))));
  }

  // The platform version decides the generation, the threshold defaults
  // (a first character above 5 gives 30 / 1 minutes) and whether alerts
  // carry the firmware revision (a first byte below 5, taken as signed).
  int version = static_cast<int>(rnd_.Below(100));
  const char* text_version = nullptr;
  if (version < 40) {
    choices_.generation = 0;
    text_version = rnd_.Chance(50) ? "1.1" : "2.3";
  } else if (version < 65) {
    choices_.generation = 1;
    text_version = "3.0";
  } else {
    choices_.generation = 2;
    static constexpr struct {
      const char* text;
      int side;
    } kOthers[] = {{nullptr, 2}, {"4.2", 0}, {"5.0", 1}, {"5.9", 1}, {"6.0", 2}, {"\xc3\xa9" "1.0", 3}};
    const auto& other = kOthers[rnd_.Below(std::size(kOthers))];
    text_version = other.text;
    choices_.version_side = other.side;
  }
  if (text_version != nullptr)
    Line(std::string("registry HKLM\\SOFTWARE\\QOR\\Trelvane TrelvaneVersion sz ") + text_version);

  // Start-up delay: mostly none, sometimes a few minutes, now and then the
  // default 20 minutes (no file).
  int delay = static_cast<int>(rnd_.Below(100));
  delay_ms_ = 20 * static_cast<int64_t>(kMinute);
  if (delay < 65) {
    Line("ini FENRA.ini MODE SIMPLEX_FILTER_TIME 0");
    delay_ms_ = 0;
  } else if (delay < 90) {
    int64_t seconds = rnd_.Between(1, 150);
    Line("ini FENRA.ini MODE SIMPLEX_FILTER_TIME " + std::to_string(seconds));
    delay_ms_ = (seconds + 59) / 60 * static_cast<int64_t>(kMinute);  // waited in whole minutes
  }
  if (rnd_.Chance(30))
    Line("registry HKLM\\SOFTWARE\\QOR\\QVMAgent\\FT PulseEventWaitCount dword " +
         std::to_string(rnd_.Between(0, 200)));
}

void Builder::Pairs() {
  pairs_.push_back({"DOD_CPUBoard", "0", "1", "CpuBoard", false, 30});
  pairs_.push_back({"DOD_IOAdapter", "10", "11", "PciBoard", true, 5});
  choices_.expci = rnd_.Chance(40);
  if (choices_.expci) pairs_.push_back({"DOD_IOAdapter", "12", "13", "ExPciBoard", false, 5});
  triplex_ = rnd_.Chance(12);
  choices_.triplex = triplex_;
  long_run_ = rnd_.Chance(2) && long_runs_;

  for (Pair& pair : pairs_) {
    const std::string key = std::string("registry HKLM\\SOFTWARE\\QOR\\QVMAgent\\FT\\") + pair.key + " ";
    int pick = static_cast<int>(rnd_.Below(100));
    int64_t minutes = 0;
    if (pick < 10)
      minutes = 0;
    else if (pick < 45)
      minutes = 1;
    else if (pick < 65)
      minutes = 2;
    else if (pick < 85)
      minutes = rnd_.Between(3, 8);
    else
      minutes = -1;  // the default of the platform row
    if (long_run_ && &pair == &pairs_.front()) minutes = rnd_.Between(kFirstMinutesBeyond2To31, 40000);
    if (minutes >= 0) {
      Line(key + "SimplexShortThreshold dword " + std::to_string(minutes));
      pair.short_minutes = minutes;
    } else {
      // Generation 0 and 1 give 30 / 5 minutes, generation 2 30 / 30, a
      // version above 5 one minute.
      pair.short_minutes = 30;
    }
    if (minutes >= kFirstMinutesBeyond2To31) choices_.beyond_2_31 = true;
    static constexpr int64_t kLong[] = {0, 1, 60, 120, 1440};
    if (rnd_.Chance(70)) Line(key + "SimplexLongThreshold dword " + std::to_string(kLong[rnd_.Below(5)]));
    if (rnd_.Chance(20)) {
      // A SimplexDate left from before: just inside or outside a long
      // threshold, days old, or in the future.
      static constexpr int64_t kAgo[] = {-1, -59, -60, -61, -119, -121, -2880, 5, -1439};
      choices_.simplex_date = true;
      Line(key + "SimplexDate sz " + clock_.Stamp(kAgo[rnd_.Below(std::size(kAgo))]));
    }
    longest_limit_ms_ = std::max<uint64_t>(longest_limit_ms_, static_cast<uint64_t>(pair.short_minutes) * kMinute);
  }

  // A start-up walk that waits out time-outs of Next, with a change of its
  // pair before the thread subscribes: a loss, or a return of modules that
  // were out at the start.
  if (rnd_.Chance(8)) {
    slow_walk_ = triplex_ || rnd_.Chance(50) ? 1 : 0;
    slow_walk_returns_ = rnd_.Chance(50);
  }
  triplex_joins_ = triplex_ && rnd_.Chance(50);

  // The modules, mostly redundant at the start.
  auto initial = [&](const std::string&) -> std::string {
    int pick = static_cast<int>(rnd_.Below(100));
    if (pick < 85) return "DUPLEX";
    if (pick < 93) return "SIMPLEX";
    return LossState();
  };
  auto module = [&](size_t p, const std::string& name, const char* state_if_returning) {
    std::string state = slow_walk_ == static_cast<int>(p) && slow_walk_returns_ ? state_if_returning : initial(name);
    Line(std::string("module ") + pairs_[p].cls + " " + name + " " + state);
  };
  if (triplex_ && !triplex_joins_) {
    for (const char* cpu : {"0", "1", "2"}) Line(std::string("module DOD_CPUBoard ") + cpu + " TRIPLEX");
  } else {
    module(0, "0", "SIMPLEX");
    module(0, "1", "REMOVED");
    if (triplex_) Line("module DOD_CPUBoard 2 " + LossState());
  }
  for (size_t p = 1; p < pairs_.size(); ++p) {
    module(p, pairs_[p].first, "SIMPLEX");
    module(p, pairs_[p].second, "REMOVED");
  }

  // Serial numbers the driver publishes, with kept copies that agree or
  // not; now and then a module is exchanged while the service runs.
  if (rnd_.Chance(35)) {
    choices_.serials = true;
    exchange_ = rnd_.Chance(40);
    static constexpr struct {
      const char* module;
      const char* key;
      const char* value;
    } kModules[] = {{"CpuBoard0", "CpuBoard", "SerialNumberCpu0"},   {"CpuBoard1", "CpuBoard", "SerialNumberCpu1"},
                    {"CpuBoard2", "CpuBoard", "SerialNumberCpu2"},   {"IoBoard10", "PciBoard", "SerialNumberPci10"},
                    {"IoBoard11", "PciBoard", "SerialNumberPci11"},  {"IoBoard12", "ExPciBoard", "SerialNumberPci12"},
                    {"IoBoard13", "ExPciBoard", "SerialNumberPci13"}};
    for (const auto& m : kModules) {
      if (!rnd_.Chance(60)) continue;
      std::string bytes = SerialBytes();
      Line(std::string("serial-number ") + m.module + " " + bytes);
      if (rnd_.Chance(50)) {
        std::string kept = rnd_.Chance(60) ? bytes : "00 11 22 33 44 55 66 77";
        Line(std::string("registry HKLM\\SOFTWARE\\QOR\\QVMAgent\\FT\\") + m.key + " " + m.value + " binary " + kept);
      }
    }
  }
}

// How long a SIMPLEX spell lasts: often just around one of the limits the
// rules name (the short threshold, the 20-second recurrence limit, the
// DUPLEX timers' 1 s, 5 s and 10 s, the 2-s margin, the PCI pair's 5
// minutes), otherwise anything up to past the threshold.
uint64_t Builder::SpellLength(const Pair& pair) {
  static constexpr int64_t kNear[] = {-2500, -2000, -1500, -1001, -1000, -999, -500, 0, 500, 999, 1000, 1001, 1500,
                                      2000, 2500, 5000};
  int64_t near = kNear[rnd_.Below(std::size(kNear))];
  int64_t threshold = std::min<int64_t>(pair.short_minutes, 10) * static_cast<int64_t>(kMinute);
  int pick = static_cast<int>(rnd_.Below(100));
  int64_t length = 0;
  if (pick < 30)
    length = threshold + near;
  else if (pick < 45)
    length = 20000 + near;
  else if (pick < 55 && pair.pci_duplex_5_min)
    length = threshold - 10000 + near;
  else if (pick < 70)
    length = rnd_.Between(50, 6000);
  else
    length = rnd_.Between(1000, threshold + 90000);
  return static_cast<uint64_t>(std::max<int64_t>(length, 1));
}

// A module of the pair is lost and comes back: its partner reports
// SIMPLEX, the lost one a loss state; on return both report DUPLEX, in
// either order. Now and then the DUPLEX spell flaps back to SIMPLEX, near
// the DUPLEX timers' limits and the 2-s margin, or tens of seconds later;
// now and then the reports are incoherent: the two modules swap their
// SIMPLEX and loss states, a state is repeated, a module says ONLINE in
// the middle of a DUPLEX spell.
void Builder::Episode(Pair& pair, uint64_t* t) {
  bool first_lost = rnd_.Chance(50);
  std::string lost = first_lost ? pair.first : pair.second;
  std::string kept = first_lost ? pair.second : pair.first;
  uint64_t at = *t;
  const std::string loss = LossState();
  if (rnd_.Chance(50)) {
    State(at, pair, lost, loss);
    State(at + (rnd_.Chance(70) ? 0 : rnd_.Between(1, 1500)), pair, kept, "SIMPLEX");
  } else {
    State(at, pair, kept, "SIMPLEX");
    State(at + (rnd_.Chance(70) ? 0 : rnd_.Between(1, 1500)), pair, lost, loss);
  }
  if (exchange_) Exchange(pair, lost, at + static_cast<uint64_t>(rnd_.Between(100, 3000)));
  if (rnd_.Chance(8)) {  // the two swap: the lost one says SIMPLEX, its partner leaves
    choices_.incoherent = true;
    at += static_cast<uint64_t>(rnd_.Between(500, 3000));
    State(at, pair, lost, "SIMPLEX");
    State(at, pair, kept, "REMOVED");
    std::swap(lost, kept);
  }
  if (rnd_.Chance(8)) {  // a state said again
    choices_.incoherent = true;
    State(at + static_cast<uint64_t>(rnd_.Between(0, 5000)), pair, rnd_.Chance(50) ? kept : lost,
          rnd_.Chance(50) ? "SIMPLEX" : loss);
  }
  // The PCI pair's DUPLEX timer, started by an early return, runs out 5 s
  // before the SIMPLEX deadline: a relapse within its last 2 s waits for
  // it, and so does a return just after.
  // (The SIMPLEX timer's limit: the short threshold, or 20 s after a
  // recent SIMPLEX.)
  uint64_t spell = at;
  auto near_pci_run_out = [&] {
    int64_t limit = rnd_.Chance(50) ? std::min<int64_t>(pair.short_minutes, 10) * static_cast<int64_t>(kMinute) : 20000;
    return std::max(at + 100, spell + static_cast<uint64_t>(std::max<int64_t>(limit - 5000 - rnd_.Between(0, 2500), 0)));
  };
  at += SpellLength(pair);
  int flaps = rnd_.Chance(25) ? static_cast<int>(rnd_.Between(1, 3)) : 0;
  for (int f = 0;; ++f) {
    Return(pair, lost, kept, &at);
    if (rnd_.Chance(8)) Wobble(pair, pair.pci_duplex_5_min && rnd_.Chance(50) ? near_pci_run_out() : 0, &at);
    if (f >= flaps) break;
    // SIMP->DUP->SIMP: lost again while the DUPLEX timer runs, or just as it
    // runs out, or tens of seconds later.
    static constexpr int64_t kBack[] = {300, 900, 1000, 1100, 2900, 3000, 3100, 4000, 5500, 295000, 298000, 299000, 302000};
    int pick = static_cast<int>(rnd_.Below(100));
    const bool near = pick < 15 && pair.pci_duplex_5_min;
    if (near)
      at = near_pci_run_out();
    else
      at += pick < 60   ? static_cast<uint64_t>(kBack[rnd_.Below(std::size(kBack))])
            : pick < 80 ? FlapGap()
                        : static_cast<uint64_t>(rnd_.Between(1, 400000));
    spell = at;
    State(at, pair, lost, LossState());
    State(at, pair, kept, "SIMPLEX");
    at += near && rnd_.Chance(50) ? static_cast<uint64_t>(rnd_.Between(100, 3000)) : SpellLength(pair);
  }
  // Now and then a module repeats that it is DUPLEX.
  if (rnd_.Chance(30)) {
    at += static_cast<uint64_t>(rnd_.Between(0, 120000));
    State(at, pair, rnd_.Chance(50) ? pair.first : pair.second, "DUPLEX");
  }
  *t = at;
}

// The lost module resynchronises (sometimes), then both say DUPLEX, in
// either order, at once, up to 2.5 s or (now and then) 3-90 s apart.
void Builder::Return(const Pair& pair, const std::string& lost, const std::string& kept, uint64_t* at) {
  if (rnd_.Chance(50)) {
    State(*at, pair, lost, kReturnStates[rnd_.Below(std::size(kReturnStates))]);
    *at += static_cast<uint64_t>(rnd_.Between(0, 3000));
  }
  bool lost_first = rnd_.Chance(60);
  State(*at, pair, lost_first ? lost : kept, "DUPLEX");
  int pick = static_cast<int>(rnd_.Below(100));
  *at += pick < 50 ? 0 : pick < 90 ? static_cast<uint64_t>(rnd_.Between(1, 2500)) : FlapGap();
  State(*at, pair, lost_first ? kept : lost, "DUPLEX");
}

// In a DUPLEX spell a module says ONLINE (3-90 s in, or at `when`), then
// its partner and it say DUPLEX again, a few seconds apart.
void Builder::Wobble(const Pair& pair, uint64_t when, uint64_t* at) {
  choices_.incoherent = true;
  bool first = rnd_.Chance(50);
  *at = when > *at ? when : *at + static_cast<uint64_t>(rnd_.Between(3000, 90000));
  State(*at, pair, first ? pair.first : pair.second, "ONLINE");
  *at += static_cast<uint64_t>(rnd_.Between(0, 3000));
  State(*at, pair, first ? pair.second : pair.first, "DUPLEX");
  *at += static_cast<uint64_t>(rnd_.Between(0, 3000));
  State(*at, pair, first ? pair.first : pair.second, "DUPLEX");
}

// The module is exchanged while it is out: the driver publishes a new
// serial number.
void Builder::Exchange(const Pair& pair, const std::string& module, uint64_t at) {
  exchange_ = false;
  choices_.exchange = true;
  At(at, std::string("serial-number ") + (pair.cls[4] == 'C' ? "CpuBoard" : "IoBoard") + module + " " + SerialBytes());
}

// Three CPU modules: one leaves (announced like a loss) and comes back
// (announced like a return).
void Builder::TriplexEpisode(uint64_t* t) {
  const Pair& cpu = pairs_.front();
  uint64_t at = *t;
  State(at, cpu, "2", LossState());
  State(at, cpu, "0", "DUPLEX");
  State(at, cpu, "1", "DUPLEX");
  at += SpellLength(cpu);
  State(at, cpu, "2", "TRIPLEX");
  State(at, cpu, "0", "TRIPLEX");
  State(at, cpu, "1", "TRIPLEX");
  *t = at;
}

// A third CPU module joins two redundant ones (it says TRIPLEX; the other
// two say so too, or one of them, or neither), stays a while and leaves
// again, and the two left say DUPLEX in either order: when neither had
// said TRIPLEX, the fall from three to two is a DUPLEX report after
// TRIPLEX.
void Builder::JoinEpisode(uint64_t* t) {
  choices_.triplex_join = true;
  const Pair& cpu = pairs_.front();
  uint64_t at = *t;
  State(at, cpu, "2", "TRIPLEX");
  if (!rnd_.Chance(50))
    for (const char* other : {"0", "1"})
      if (rnd_.Chance(50)) State(at + static_cast<uint64_t>(rnd_.Between(0, 1500)), cpu, other, "TRIPLEX");
  at += SpellLength(cpu);
  State(at, cpu, "2", LossState());
  bool one_first = rnd_.Chance(50);
  at += static_cast<uint64_t>(rnd_.Between(0, 2500));
  State(at, cpu, one_first ? "1" : "0", "DUPLEX");
  at += rnd_.Chance(80) ? static_cast<uint64_t>(rnd_.Between(0, 2500)) : FlapGap();
  State(at, cpu, one_first ? "0" : "1", "DUPLEX");
  *t = at;
}

// The slow walk: a time-out of Next scripted before the thread's start-up
// walk (the first thing to call Next then), and its pair's change while
// the walk waits it out, before the subscription.
void Builder::SlowWalk(uint64_t* t) {
  choices_.slow_walk = true;
  const Pair& pair = pairs_[static_cast<size_t>(slow_walk_)];
  const int64_t walk = delay_ms_ + 60000 * (slow_walk_ + 1);
  const int64_t times = rnd_.Between(1, 3);
  At(static_cast<uint64_t>(walk - rnd_.Between(1000, 50000)), "wmi-fault next-timeout " + std::to_string(times));
  uint64_t at = static_cast<uint64_t>(walk + rnd_.Between(1000, times * 30000 - 3500));
  if (slow_walk_returns_) {
    bool first = rnd_.Chance(50);
    State(at, pair, first ? pair.first : pair.second, "DUPLEX");
    State(at + static_cast<uint64_t>(rnd_.Between(0, 2500)), pair, first ? pair.second : pair.first, "DUPLEX");
  } else {
    bool first_lost = rnd_.Chance(50);
    State(at, pair, first_lost ? pair.first : pair.second, LossState());
    State(at, pair, first_lost ? pair.second : pair.first, "SIMPLEX");
  }
  *t = static_cast<uint64_t>(walk + times * 30000 + rnd_.Between(10000, 240000));
}

void Builder::Fault(uint64_t t) {
  choices_.wmi_fault = true;
  int pick = static_cast<int>(rnd_.Below(100));
  bool gen0 = choices_.generation == 0;
  if (pick < 35) {
    // An event text the service cannot read, or that lacks the state, the
    // device path or the parent name.
    static constexpr const char* kTexts[] = {
        "\"\"",
        "\"instance of VUR_ODDeviceStateChangeEvent {};\"",
        "\"instance of DOD_OperationalState { State = 524309; };\"",
        "\"instance of DOD_OperationalState { State = 1572886; }; DevicePathId = \\\"CPU1\\\";\"",
        "\"DevicePathId = \\\"{1,2,3}\\\";\"",
        "garbage"};
    bool cpu = rnd_.Chance(60);
    std::string target = cpu ? (gen0 ? "DOD_CPUBoardStateChange" : "VUR_CPUBoard")
                             : (gen0 ? "DOD_IOAdapterStateChange" : "VUR_IOBoard");
    At(t, "event-text " + target + " " + kTexts[rnd_.Below(std::size(kTexts))]);
    return;
  }
  static constexpr const char* kWmi[] = {"object-text", "object-text", "next-timeout", "query", "subscribe",
                                         "connect", "next-throws", "create-locator", "proxy-blanket", "next-cancelled"};
  const char* fault = kWmi[rnd_.Below(std::size(kWmi))];
  At(t, std::string("wmi-fault ") + fault + " " + std::to_string(rnd_.Between(1, 3)));
}

void Builder::Restart(uint64_t t) {
  choices_.restart = true;
  At(t, "stop");
  At(t + static_cast<uint64_t>(rnd_.Chance(30) ? 0 : rnd_.Between(1000, 180000)), "start");
}

void Builder::History() {
  uint64_t t = 0;
  At(0, "start");
  // The monitor watches from the end of its start-up delay, and its WMI
  // threads come a minute apart.
  t = static_cast<uint64_t>(rnd_.Between(0, 4 * 60000));
  if (slow_walk_ >= 0 && !long_run_) SlowWalk(&t);
  int episodes = static_cast<int>(rnd_.Between(1, 5));
  if (long_run_) episodes = 1;
  std::vector<uint64_t> ends;
  for (int e = 0; e < episodes; ++e) {
    size_t which = rnd_.Below(pairs_.size() + (triplex_ ? 1 : 0));
    uint64_t at = t;
    if (which == pairs_.size() && triplex_joins_) {
      JoinEpisode(&at);
    } else if (which == pairs_.size()) {
      TriplexEpisode(&at);
    } else if (long_run_) {
      // Lost for good, with a threshold beyond 2^31 ms.
      Pair& cpu = pairs_.front();
      State(at, cpu, cpu.second, "REMOVED");
      State(at, cpu, cpu.first, "SIMPLEX");
      at += static_cast<uint64_t>(cpu.short_minutes) * kMinute;
    } else {
      Episode(pairs_[which], &at);
    }
    ends.push_back(at);
    // The next episode starts after this one, or while it runs (another
    // pair, several changes at one moment).
    t = rnd_.Chance(30) ? t + static_cast<uint64_t>(rnd_.Between(0, 5000)) : at + static_cast<uint64_t>(rnd_.Between(0, 600000));
  }
  uint64_t last = std::max(t, *std::max_element(ends.begin(), ends.end()));

  // Faults of the WMI provider and of the machine, at moments of the history.
  if (rnd_.Chance(35)) {
    int faults = static_cast<int>(rnd_.Between(1, 3));
    for (int f = 0; f < faults; ++f) Fault(static_cast<uint64_t>(rnd_.Between(0, static_cast<int64_t>(last))));
  }
  if (rnd_.Chance(15)) {
    choices_.machine_fault = true;
    uint64_t from = static_cast<uint64_t>(rnd_.Between(0, static_cast<int64_t>(last)));
    uint64_t until = from + static_cast<uint64_t>(rnd_.Between(1000, 900000));
    int pick = static_cast<int>(rnd_.Below(3));
    if (pick == 0) {
      At(from, "event-log refuse");
      At(until, "event-log accept");
    } else if (pick == 1) {
      At(from, "registry-writes refuse");
      At(until, "registry-writes accept");
    } else {
      static constexpr const char* kStates[] = {"read-only", "full", "missing"};
      At(from, std::string("folder C:\\QOR\\QVMAlertMan\\Temp ") + kStates[rnd_.Below(3)]);
      At(until, "folder C:\\QOR\\QVMAlertMan\\Temp writable");
    }
  }
  // Restarts, also while timers and composers run.
  if (rnd_.Chance(25)) {
    uint64_t at = static_cast<uint64_t>(rnd_.Between(1000, static_cast<int64_t>(last) + 1000));
    choices_.restart_busy = true;
    Restart(at);
  }
  // Time enough for the longest timer, the PCI pair's 5-minute return and
  // a composer.
  uint64_t tail = std::min<uint64_t>(longest_limit_ms_, 40 * kMinute) + 6 * kMinute;
  if (long_run_) tail = 10 * kMinute;
  uint64_t latest = 0;
  for (const auto& step : steps_) latest = std::max(latest, step.first);
  choices_.duration_ms = std::max(last + tail, latest + kMinute);
  At(choices_.duration_ms, "end");
}

std::string Builder::Build() {
  Setup();
  Pairs();
  History();
  std::stable_sort(steps_.begin(), steps_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  // `end` comes last even when another step shares its moment.
  auto end = std::find_if(steps_.begin(), steps_.end(), [](const auto& s) { return s.second == "end"; });
  std::rotate(end, end + 1, steps_.end());
  std::string text = setup_;
  for (const auto& [at, directive] : steps_) text += runner::ScenarioTimeText(at) + " " + directive + "\n";
  return text;
}

}  // namespace

GeneratedRun Generate(uint64_t seed, uint64_t run, bool long_runs) {
  GeneratedRun generated;
  generated.seed = RunSeed(seed, run);
  Builder builder(generated.seed, long_runs, &generated.choices);
  generated.text = builder.Build();
  return generated;
}

}  // namespace fenra::explorer
