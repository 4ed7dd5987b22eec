#include "explorer/model/setting.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "platform/sim/hardware_facts.h"
#include "runner/scenario_hardware.h"

namespace fenra::explorer::model {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The registry as the scenario leaves it before the first start: only
// HKEY_LOCAL_MACHINE matters here.
class Registry {
 public:
  struct Value {
    uint32_t type;
    std::vector<uint8_t> data;
  };
  void Set(const std::string& key, const std::string& name, Value value) {
    keys_.insert(Lower(key));
    values_[Lower(key)][Lower(name)] = std::move(value);
  }
  void Apply(const runner::RegistryStep& step) {
    if (step.hive != Hive::kLocalMachine) return;
    std::string key = Lower(step.key);
    std::string name = step.default_value ? "" : step.value.value_or("");
    if (!step.remove) return Set(key, name, {step.type, step.data});
    if (step.value || step.default_value) {
      if (auto found = values_.find(key); found != values_.end()) found->second.erase(Lower(name));
    } else {
      keys_.erase(key);
      values_.erase(key);
    }
  }
  bool HasKey(const std::string& key) const { return keys_.count(Lower(key)) > 0; }
  const Value* Get(const std::string& key, const std::string& name) const {
    auto found = values_.find(Lower(key));
    if (found == values_.end()) return nullptr;
    auto value = found->second.find(Lower(name));
    return value == found->second.end() ? nullptr : &value->second;
  }

 private:
  std::set<std::string> keys_;
  std::map<std::string, std::map<std::string, Value>> values_;
};

constexpr const char* kFt = "SOFTWARE\\QOR\\QVMAgent\\FT";
constexpr const char* kBoardKeys[3] = {"SOFTWARE\\QOR\\QVMAgent\\FT\\CpuBoard", "SOFTWARE\\QOR\\QVMAgent\\FT\\PciBoard",
                                       "SOFTWARE\\QOR\\QVMAgent\\FT\\ExPciBoard"};

std::string Text(const std::vector<uint8_t>& data) {
  std::string text(data.begin(), data.end());
  return text.substr(0, text.find('\0'));
}

void NoPrediction(Setting& s, const std::string& reason) {
  for (auto& reasons : s.no_prediction) reasons.push_back(reason);
}

// The platform software version: the registry's text, else the driver
// file's version when it is one of the three known ones.
std::string PlatformVersion(const Registry& registry, const sim::HardwareFacts& hardware, Setting& s) {
  const char* key = "SOFTWARE\\QOR\\Trelvane";
  if (registry.HasKey(key)) {
    const Registry::Value* value = registry.Get(key, "TrelvaneVersion");
    if (!value || value->data.size() > 16) return "unknown";
    if (value->data.size() == 16 && value->data.back() != 0) NoPrediction(s, "a 16-byte platform version");
    return Text(value->data);
  }
  if (!hardware.driver.present || !hardware.driver.version || !hardware.driver.version->fixed) return "unknown";
  const FixedFileVersion& v = *hardware.driver.version->fixed;
  char text[64];
  std::snprintf(text, sizeof text, "%d.%d%d%d", v.major, v.minor, v.build, v.revision);
  double number = std::strtod(text, nullptr);
  if (number == 1.1239) return "1.1";
  if (number == 1.019714) return "1.0.2";
  if (number == 1.0182) return "1.0";
  return "unknown";
}

// The firmware revision an alert shows: from the hardware library, or from
// the IPMI device when the library lacks an entry.
std::string FirmwareRevision(const sim::HardwareFacts& hardware, Setting& s) {
  const sim::LibraryFacts& library = hardware.library;
  char text[16];
  if (!library.present) return "unknown";
  if (!library.sdr_status_entry || !library.device_id_entry) {
    const sim::IpmiFacts& ipmi = hardware.ipmi;
    if (!ipmi.present || !ipmi.io_control_result) return "unknown";
    uint8_t b3 = ipmi.answer.size() > 3 ? ipmi.answer[3] : 0, b4 = ipmi.answer.size() > 4 ? ipmi.answer[4] : 0;
    if (ipmi.answer.size() < 5) NoPrediction(s, "an IPMI answer shorter than 5 bytes");
    std::snprintf(text, sizeof text, "%02X.%02X", b3, b4);
    return text;
  }
  // The sensor repository's answers are taken by the composers in turn;
  // only a repository that always answers alike gives each the same.
  const std::vector<sim::SdrAnswer>& answers = library.sdr_status;
  for (const sim::SdrAnswer& answer : answers)
    if (answer.result != answers[0].result || answer.status != answers[0].status)
      NoPrediction(s, "a sensor repository whose answers change");
  if (!answers.empty() && answers[0].status == 0) {  // initialising: 24 waits of 5 s, cut short by a stop
    s.firmware_wait_ms = 24 * 5000;
    return "unknown";
  }
  if (!answers.empty() && (answers[0].result == 0 || answers[0].status == 2)) return "unknown";
  if (library.device_id_result == 0) return "unknown";
  std::snprintf(text, sizeof text, "%02X.%02X", library.device_id[3] & 0x7F, library.device_id[4]);
  return text;
}

// GetPrivateProfileInt's reading of an INI value the service reads as a
// signed number (-1 when missing).
int64_t IniNumber(const runner::Scenario& scenario, const char* file, const char* section, const char* key,
                  Setting& s) {
  std::optional<std::string> text;
  for (const runner::IniEntry& entry : scenario.ini)
    if (Lower(entry.file) == file && Lower(entry.section) == section && Lower(entry.key) == key && !text)
      text = entry.value;
  if (!text) return -1;
  size_t i = text->find_first_not_of(" \t");
  std::string rest = i == std::string::npos ? "" : text->substr(i);
  bool negative = !rest.empty() && rest[0] == '-';
  std::string digits = rest.substr(negative ? 1 : 0);
  digits = digits.substr(0, digits.find_first_not_of("0123456789"));
  if (rest.rfind("0x", 0) == 0 || rest.rfind("+", 0) == 0 || digits.size() > 9)
    NoPrediction(s, std::string("an INI value written as \"") + *text + "\"");
  return digits.empty() ? 0 : std::stoll(digits) * (negative ? -1 : 1);
}

// The start-up delay as the service waits it: whole minutes.
int64_t StartupDelay(const runner::Scenario& scenario, Setting& s) {
  int64_t value = IniNumber(scenario, "fenra.ini", "mode", "simplex_filter_time", s);
  int32_t ms = static_cast<int32_t>(static_cast<uint32_t>(value == -1 ? 1200 : value) * 1000u);
  if (ms < 0) ms = 1200000;
  return ms <= 0 ? 0 : (ms + 59999) / 60000 * int64_t{60000};
}

// How long a status walk's Next waits, in ms.
int64_t WalkTimeout(const runner::Scenario& scenario, Setting& s) {
  int64_t value = IniNumber(scenario, "fenratimeout.ini", "mode2", "timeout_value", s);
  return value == -1 || static_cast<int32_t>(value) < 0 ? 30000 : static_cast<int32_t>(value);
}

void Thresholds(const Registry& registry, Setting& s) {
  signed char first = static_cast<signed char>(s.version.empty() ? 0 : s.version[0]);
  uint32_t defaults[3][2];
  if (first > '5') {
    for (auto& d : defaults) d[0] = 30, d[1] = 1;
  } else if (s.generation == 2) {
    defaults[0][0] = 30, defaults[0][1] = 120;
    for (int p = 1; p < 3; ++p) defaults[p][0] = 30, defaults[p][1] = 60;
  } else {
    defaults[0][0] = 30, defaults[0][1] = 129600;
    for (int p = 1; p < 3; ++p) defaults[p][0] = 5, defaults[p][1] = 60;
  }
  for (int p = 0; p < 3; ++p) {
    uint32_t* targets[2] = {&s.short_min[p], &s.long_min[p]};
    const char* names[2] = {"SimplexShortThreshold", "SimplexLongThreshold"};
    for (int i = 0; i < 2; ++i) {
      *targets[i] = defaults[p][i];
      const Registry::Value* value = registry.Get(kBoardKeys[p], names[i]);
      if (!value) continue;
      if (value->type != 4 || value->data.size() != 4) continue;  // a read failure: the default
      *targets[i] = value->data[0] | value->data[1] << 8 | value->data[2] << 16 | uint32_t{value->data[3]} << 24;
    }
  }
}

// The modules whose serial numbers the service compares, each with the copy
// kept before the first start and the number published at boot.
void SerialNumbers(const Registry& registry, Setting& s) {
  static const struct {
    const char* source;
    const char* copy;
    int pair;
  } kModules[] = {{"CpuBoard0", "SerialNumberCpu0", 0},  {"CpuBoard1", "SerialNumberCpu1", 0},
                  {"CpuBoard2", "SerialNumberCpu2", 0},  {"IoBoard10", "SerialNumberPci10", 1},
                  {"IoBoard11", "SerialNumberPci11", 1}, {"IoBoard12", "SerialNumberPci12", 2},
                  {"IoBoard13", "SerialNumberPci13", 2}};
  for (const auto& module : kModules) {
    SerialTimeline serial{module.pair, std::nullopt, {{0, std::nullopt}}};
    const Registry::Value* source = registry.Get(std::string(sim::kZerodKey) + "\\" + module.source, "SerialNumber");
    if (source && source->data.size() != 8)
      s.no_prediction[module.pair].push_back("a published serial number that is not 8 bytes");
    else if (source)
      serial.published[0].second.emplace(), std::copy_n(source->data.begin(), 8, serial.published[0].second->begin());
    const Registry::Value* copy = registry.Get(kBoardKeys[module.pair], module.copy);
    if (copy && copy->data.size() != 8)
      s.no_prediction[module.pair].push_back("a kept serial number that is not 8 bytes");
    else if (copy)
      serial.kept.emplace(), std::copy_n(copy->data.begin(), 8, serial.kept->begin());
    s.serials.push_back(std::move(serial));
  }
}

// The module number the service reads from an event's text: the leading
// digits of the parent name between "{" and "," of the device path.
struct Parsed {
  bool state_found = false, number = false, path = false, parent = false;
  int32_t state = 0;
  int module = 0;
};
Parsed ParseEventText(const std::string& text) {
  Parsed p;
  size_t marker = text.find("instance of DOD_OperationalState");
  if (marker != std::string::npos && marker + 32 < text.size()) {
    size_t at = text.find("State = ", marker + 32);
    size_t end = at == std::string::npos ? at : text.find(';', at + 8);
    if (end != std::string::npos) {
      p.state_found = true;
      std::string value = text.substr(at + 8, end - at - 8);
      char* stop = nullptr;
      long number = std::strtol(value.c_str(), &stop, 10);
      p.number = stop != value.c_str();
      if (p.number) p.state = static_cast<int32_t>(number);
    }
  }
  size_t at = text.find("DevicePathId = ");
  if (at != std::string::npos && at + 15 < text.size()) {
    size_t end = text.find(';', at + 15);
    if (end != std::string::npos) {
      p.path = true;
      std::string path = text.substr(at + 15, end - at - 15);
      size_t brace = path.find('{');
      size_t comma =
          brace == std::string::npos || brace + 1 >= path.size() ? std::string::npos : path.find(',', brace + 1);
      if (comma != std::string::npos) {
        p.parent = true;
        p.module = std::atoi(path.substr(brace + 1, comma - brace - 1).c_str());
      }
    }
  }
  return p;
}

// Which events' texts cannot be read: a GetObjectText fault (the latest
// replacing what is left of the one before) takes the next calls, made by
// whichever WMI thread reads an event next, when it reads it: a thread
// still busy with earlier events (0.1 s each, up to 2 s more when the timer
// manager does not take its request at once) reads a queued event later
// than it came. Where the threads' order or the fault's moment against a
// read is not certain, there is no telling which event went unread.
void UnreadTexts(Setting& s, std::vector<std::pair<int64_t, int>> faults) {
  if (faults.empty()) return;
  auto subscribed = [&](const SeenEvent& e) {  // 1 yes, 0 no, -1 at the very edge
    for (const Process& p : s.processes) {
      int64_t begins = p.start + s.delay_ms + kThreadGap * (e.group + 1);
      if (!s.monitor_runs || begins >= p.stop) continue;
      if (e.t > begins && e.t < p.stop) return 1;
      if (e.t == begins || e.t == p.stop) return -1;
    }
    return 0;
  };
  struct Read {
    size_t event;
    int64_t lo, hi;  // when its thread reads it
    bool maybe;      // it came at the very moment its thread subscribes or stops
  };
  std::vector<Read> reads;
  int64_t free_lo[3] = {INT64_MIN, INT64_MIN, INT64_MIN}, free_hi[3] = {INT64_MIN, INT64_MIN, INT64_MIN};
  for (size_t i = 0; i < s.events.size(); ++i) {
    const SeenEvent& e = s.events[i];
    int delivered = subscribed(e);
    if (delivered == 0) continue;
    Read read{i, std::max(e.t, free_lo[e.group]), std::max(e.t, free_hi[e.group]), delivered < 0};
    free_lo[e.group] = read.lo;
    free_hi[e.group] = read.hi + kReadEvent + kAckWait;
    reads.push_back(read);
  }
  std::stable_sort(reads.begin(), reads.end(), [](const Read& a, const Read& b) { return a.lo < b.lo; });
  size_t next_fault = 0;
  int64_t budget = 0;
  for (size_t r = 0; r < reads.size(); ++r) {
    const Read& read = reads[r];
    while (next_fault < faults.size() && faults[next_fault].first < read.lo) budget = faults[next_fault++].second;
    bool fault_may_come = next_fault < faults.size() && faults[next_fault].first <= read.hi;
    if (budget == 0 && !fault_may_come) continue;
    int64_t rivals = 1;  // reads of other threads that may come first
    for (size_t o = r + 1; o < reads.size() && reads[o].lo <= read.hi; ++o)
      if (s.events[reads[o].event].group != s.events[read.event].group) ++rivals;
    if (fault_may_come || rivals > budget || read.maybe)
      return NoPrediction(s, "an unreadable event text whose reader is not certain");
    s.events[read.event].readable = s.events[read.event].pulses = false;
    --budget;
  }
}

}  // namespace

std::optional<int32_t> Instance::StateAt(int64_t t) const {
  std::optional<int32_t> state;
  for (const Change& change : changes)
    if (change.t <= t) state = change.state;
  return state;
}

LocalTime LocalAt(const LocalTime& clock, int64_t t) {
  using namespace std::chrono;
  sys_days day = year_month_day(year(clock.year), month(clock.month), std::chrono::day(clock.day));
  sys_time<milliseconds> at = day + hours(clock.hour) + minutes(clock.minute) + seconds(clock.second) + milliseconds(t);
  sys_days date = floor<days>(at);
  year_month_day ymd(date);
  hh_mm_ss<milliseconds> time(at - date);
  LocalTime out;
  out.year = static_cast<uint16_t>(int(ymd.year()));
  out.month = static_cast<uint16_t>(unsigned(ymd.month()));
  out.day = static_cast<uint16_t>(unsigned(ymd.day()));
  out.day_of_week = static_cast<uint16_t>(weekday(date).c_encoding());
  out.hour = static_cast<uint16_t>(time.hours().count());
  out.minute = static_cast<uint16_t>(time.minutes().count());
  out.second = static_cast<uint16_t>(time.seconds().count());
  out.milliseconds = static_cast<uint16_t>(time.subseconds().count());
  return out;
}

std::vector<Process> Processes(const runner::Scenario& scenario, bool* early_stop) {
  std::vector<Process> processes;
  bool running = false;
  for (const runner::TimedStep& step : scenario.steps) {
    const int64_t t = static_cast<int64_t>(step.at_ms);
    if (std::holds_alternative<runner::StartService>(step.action)) {
      // A start while the last process is still stopping (its 5-s pause)
      // waits for that process to end.
      const int64_t starts = processes.empty() ? t : std::max(t, processes.back().stop + 5000);
      processes.push_back({starts, starts, t, std::nullopt, {}});
      running = true;
    } else if (running && (std::holds_alternative<runner::StopService>(step.action) ||
                           std::holds_alternative<runner::EndRun>(step.action))) {
      *early_stop |= t < processes.back().start;
      processes.back().stop = std::max(t, processes.back().start);
      running = false;
    }
  }
  return processes;
}

Setting ReadSetting(const runner::Scenario& scenario) {
  Setting s;
  s.clock = scenario.clock;
  s.japanese = scenario.japanese;

  nlohmann::json document = runner::BaselineHardware();
  for (const runner::HardwareEdit& edit : scenario.hardware) edit(document);
  sim::HardwareFacts hardware = sim::ParseHardwareFacts(document, "hardware.json");

  Registry registry;
  registry.Set(kFt, "Installdir", {1, {'C', ':', '\\', 0}});
  for (const auto& [module, serial] : hardware.driver.serial_numbers)
    registry.Set(std::string(sim::kZerodKey) + "\\" + module, "SerialNumber", {3, {serial.begin(), serial.end()}});
  for (const runner::RegistryStep& step : scenario.registry) registry.Apply(step);

  const Registry::Value* installdir = registry.Get(kFt, "Installdir");
  s.monitor_runs = registry.HasKey(kFt) && installdir;
  if (installdir && installdir->data.size() > 256) NoPrediction(s, "an Installdir longer than its buffer");

  s.version = PlatformVersion(registry, hardware, s);
  signed char first = static_cast<signed char>(s.version.empty() ? 0 : s.version[0]);
  s.generation = first == '1' || first == '2' ? 0 : first == '3' ? 1 : 2;
  Thresholds(registry, s);
  s.delay_ms = StartupDelay(scenario, s);
  s.timeout_ms = WalkTimeout(scenario, s);
  s.bmc = FirmwareRevision(hardware, s);
  if (first >= '5') s.firmware_wait_ms = 0;  // no firmware revision asked for
  if (s.generation == 0) SerialNumbers(registry, s);
  for (int p = 0; p < 3; ++p) {
    const Registry::Value* date = registry.Get(kBoardKeys[p], "SimplexDate");
    if (!date) continue;
    s.simplex_date[p] = Text(date->data);
    if (s.simplex_date[p]->size() != 12 || (date->type != 1 && date->type != 2))
      s.no_prediction[p].push_back("a stored SimplexDate that is not a 12-character string");
  }

  std::map<std::string, size_t> by_key;
  for (const runner::ModuleEntry& entry : scenario.modules) {
    Instance instance{entry.name, entry.instance_class, entry.type == "cpu", entry.type == "pci", {{0, entry.state}}};
    by_key[runner::ObjectKey(entry)] = s.instances.size();
    s.instances.push_back(std::move(instance));
  }

  auto refusal = [](const runner::MachineFault& fault, std::vector<Switch>& log, std::vector<Switch>& writes,
                    int64_t t) {
    if (auto* e = std::get_if<runner::EventLogRefusal>(&fault)) log.push_back({t, e->error != 0});
    if (auto* r = std::get_if<runner::RegistryRefusal>(&fault)) writes.push_back({t, r->error != 0});
  };
  for (const runner::MachineFault& fault : scenario.machine_faults) refusal(fault, s.event_log, s.registry_writes, 0);

  // The event targets of the CPU, PCI and disk threads per generation.
  const char* kEventTargets[3][3] = {{"DOD_CPUBoardStateChange", "DOD_IOAdapterStateChange", "DOD_SCSISlotStateChange"},
                                     {"VUR_CPUBoard", "VUR_IOBoard", "DOD_SCSISlotStateChange"},
                                     {"VUR_CPUBoard", "VUR_IOBoard", "VUR_EnclosureSlot"}};
  const std::string disk_class = s.generation == 2 ? "vur_enclosureslot" : "dod_scsislot";
  std::vector<std::pair<int64_t, int>> unread_texts;  // (from, calls) of GetObjectText faults
  std::vector<NextFault> next_faults;
  auto wmi_fault = [&](const runner::ScriptWmiFault& fault, int64_t at) {
    if (fault.fault == sim::WmiFault::kGetObjectText) return unread_texts.push_back({at, fault.times});
    if (fault.hr != 0) return NoPrediction(s, "a WMI fault with a result of its own");
    if (fault.fault == sim::WmiFault::kNextTimeout) return next_faults.push_back({NextFault::kTimeout, at, fault.times});
    if (fault.fault == sim::WmiFault::kNextThrows) return next_faults.push_back({NextFault::kThrows, at, fault.times});
    if (fault.fault == sim::WmiFault::kNextCancelled)
      return next_faults.push_back({NextFault::kCancelled, at, fault.times});
    NoPrediction(s, "WMI faults of the connection, the queries or the subscription");
  };
  for (const runner::ScriptWmiFault& fault : scenario.wmi_faults) wmi_fault(fault, -1);

  bool early_stop = false;
  s.processes = Processes(scenario, &early_stop);
  if (early_stop) NoPrediction(s, "a stop before the service has started");
  for (size_t i = 0; i < scenario.steps.size(); ++i) {
    const runner::TimedStep& step = scenario.steps[i];
    const int64_t t = static_cast<int64_t>(step.at_ms);
    if (auto* change = std::get_if<runner::ChangeState>(&step.action)) {
      auto found = by_key.find(change->key);
      if (found == by_key.end()) continue;
      Instance& instance = s.instances[found->second];
      instance.changes.push_back({t, change->state});
      int group = instance.cpu ? 0 : instance.pci ? 1 : Lower(instance.cls) == disk_class ? 2 : -1;
      if (group < 0) continue;
      const bool state = change->state.has_value();
      s.events.push_back({t, group, state, std::atoi(instance.name.c_str()), change->state.value_or(0), state});
    } else if (auto* text = std::get_if<runner::DeliverEventText>(&step.action)) {
      Parsed parsed = ParseEventText(text->text);
      if (parsed.state_found && !parsed.number && parsed.path && parsed.parent)
        NoPrediction(s, "an event text whose state holds no number");
      for (int group = 0; group < 3; ++group) {
        if (Lower(text->target) != Lower(kEventTargets[s.generation][group])) continue;
        s.events.push_back({t, group, parsed.state_found && parsed.number && parsed.parent, parsed.module, parsed.state,
                            parsed.state_found});
      }
    } else if (auto* fault = std::get_if<runner::ScriptWmiFault>(&step.action)) {
      wmi_fault(*fault, t);
    } else if (auto* machine = std::get_if<runner::MachineFault>(&step.action)) {
      refusal(*machine, s.event_log, s.registry_writes, t);
    } else if (auto* serial = std::get_if<runner::PublishSerial>(&step.action)) {
      const auto* found = std::find(sim::kZerodModuleKeys.begin(), sim::kZerodModuleKeys.end(), serial->module);
      if (s.generation == 0) s.serials[static_cast<size_t>(found - sim::kZerodModuleKeys.begin())].published.push_back({t, serial->bytes});
    }
  }
  if (!unread_texts.empty() && !next_faults.empty())
    NoPrediction(s, "unreadable event texts and faults of Next in one run");
  UnreadTexts(s, unread_texts);
  if (!next_faults.empty()) TakeNextFaults(s, next_faults);
  return s;
}

}  // namespace fenra::explorer::model
