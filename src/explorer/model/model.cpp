#include "explorer/model.h"

#include <algorithm>
#include <cstdio>
#include <functional>

#include "explorer/model/alert_text.h"
#include "explorer/model/rules.h"
#include "explorer/model/setting.h"

namespace fenra::explorer {
namespace {

using model::ExpectedAlert;
using model::Outcome;

constexpr uint32_t kSimplexAlertId = 0x80000802, kDuplexAlertId = 0x40000801;
constexpr size_t kLongestText = 2047;
const char* const kPairNames[3] = {"CPU", "PCI", "ExPCI"};

struct Detail {
  model::Setting setting;
  bool predicted[2] = {false, false};  // per thread: CPU; PCI and ExPCI
  std::vector<Outcome> outcomes[2];
};

std::string Clock(int64_t t) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(t / 3600000),
                static_cast<long long>(t / 60000 % 60), static_cast<long long>(t / 1000 % 60));
  std::string out = text;
  if (t % 1000) {
    std::snprintf(text, sizeof text, ".%03lld", static_cast<long long>(t % 1000));
    out += text;
  }
  return out;
}

std::string Occurrence(const model::Setting& s, int64_t t) { return model::OccurrenceText(s, t).substr(13); }

const char* Kind(bool simplex) { return simplex ? "SIMPLEX" : "DUPLEX"; }

std::string Expected(const model::Setting& s, const ExpectedAlert& a) {
  std::string occurrence = Occurrence(s, a.occurrence.lo);
  if (a.occurrence.hi / 1000 != a.occurrence.lo / 1000) occurrence += " to " + Occurrence(s, a.occurrence.hi);
  return std::string("a ") + Kind(a.simplex) + " alert written between " + Clock(a.written.lo) + " and " +
         Clock(a.written.hi) + ", occurrence " + occurrence +
         (a.process ? ", by start " + std::to_string(a.process + 1) : "");
}

// Instants within [from, to] at which the instances' states may have been
// read: the ends, and just before each change within.
std::vector<int64_t> Reads(const model::Setting& s, int64_t from, int64_t to) {
  std::vector<int64_t> reads = {to};
  for (const model::Instance& instance : s.instances)
    for (const model::Instance::Change& change : instance.changes)
      if (change.t >= from && change.t <= to) reads.push_back(change.t - 1);
  return reads;
}

// The texts the rules allow for `a` written at `t`: its occurrence may be
// any second its timer may have started in, and the details show the
// states of any instant the composer may have read them.
bool TextFits(const model::Setting& s, const ExpectedAlert& a, int64_t t, const std::string& text) {
  const std::vector<int64_t> modules = Reads(s, a.composing.lo, std::min(t, a.composing.hi + 500));
  // After the stop a composer's walks list nothing.
  std::vector<std::optional<int64_t>> devices;
  if (t <= a.stop)
    for (int64_t read : Reads(s, std::max(a.composing.lo, t - 500), t)) devices.push_back(read);
  if (t >= a.stop) devices.push_back(std::nullopt);
  for (int64_t occurrence = a.occurrence.lo; occurrence <= a.occurrence.hi + 999; occurrence += 1000) {
    int64_t at = std::min(occurrence, a.occurrence.hi);
    for (int64_t m : modules)
      for (const std::optional<int64_t>& d : devices) {
        std::string full = model::AlertText(s, a.pair, a.simplex, at, m, d);
        if (full == text) return true;
        if (full.size() > kLongestText && text.size() <= kLongestText && full.compare(0, text.size(), text) == 0)
          return true;
      }
  }
  return false;
}

bool Fits(const model::Setting& s, const ExpectedAlert& a, const ObservedAlert& o) {
  bool simplex = o.kind == AlertKind::kSimplex;
  int64_t t = static_cast<int64_t>(o.t_ms);
  bool pair = a.pair == 0 ? o.pair == PairId::kCpu : o.pair != PairId::kCpu;
  return pair && a.simplex == simplex && a.process == o.process && t >= a.written.lo && t <= a.written.hi &&
         TextFits(s, a, t, o.text);
}

// Whether each observed alert can be given its own expected one.
bool Matches(const model::Setting& s, const Outcome& outcome, const std::vector<ObservedAlert>& observed) {
  if (outcome.alerts.size() != observed.size()) return false;
  std::vector<bool> used(observed.size());
  std::function<bool(size_t)> assign = [&](size_t i) {
    if (i == observed.size()) return true;
    for (size_t e = 0; e < outcome.alerts.size(); ++e) {
      if (used[e] || !Fits(s, outcome.alerts[e], observed[i])) continue;
      used[e] = true;
      if (assign(i + 1)) return true;
      used[e] = false;
    }
    return false;
  };
  return assign(0);
}

std::string FirstDifference(const std::string& want, const std::string& got) {
  size_t at = 0, line_start = 0;
  while (at < want.size() && at < got.size() && want[at] == got[at])
    if (want[at++] == '\n') line_start = at;
  auto line = [&](const std::string& text) {
    size_t end = text.find('\n', line_start);
    return "\"" + text.substr(line_start, end == std::string::npos ? std::string::npos : end - line_start) + "\"";
  };
  return "reads " + line(got) + " where the rules give " + line(want);
}

// The disagreements between one outcome and the run, alert by alert.
std::vector<Disagreement> Differences(const model::Setting& s, const Outcome& outcome,
                                      const std::vector<ObservedAlert>& observed) {
  std::vector<Disagreement> out;
  std::vector<bool> used(outcome.alerts.size());
  auto pair_of = [](int pair) { return static_cast<PairId>(pair); };
  for (const ObservedAlert& o : observed) {
    const int64_t t = static_cast<int64_t>(o.t_ms);
    const bool simplex = o.kind == AlertKind::kSimplex;
    size_t best = outcome.alerts.size();
    for (size_t e = 0; e < outcome.alerts.size(); ++e) {
      const ExpectedAlert& a = outcome.alerts[e];
      bool pair = a.pair == 0 ? o.pair == PairId::kCpu : o.pair != PairId::kCpu;
      if (!used[e] && pair && a.simplex == simplex && a.process == o.process && t >= a.written.lo &&
          t <= a.written.hi) {
        best = e;
        if (TextFits(s, a, t, o.text)) break;
      }
    }
    const std::string head =
        std::string(kPairNames[static_cast<int>(o.pair)]) + ": the " + Kind(simplex) + " alert written at " + Clock(t);
    if (best == outcome.alerts.size()) {
      out.push_back({o.pair, head + " is one the rules do not give"});
      continue;
    }
    used[best] = true;
    const ExpectedAlert& a = outcome.alerts[best];
    if (!TextFits(s, a, t, o.text))
      out.push_back(
          {o.pair,
           head + " " +
               FirstDifference(model::AlertText(s, a.pair, a.simplex, a.occurrence.lo, a.composing.hi, t), o.text)});
  }
  for (size_t e = 0; e < outcome.alerts.size(); ++e)
    if (!used[e])
      out.push_back({pair_of(outcome.alerts[e].pair), std::string(kPairNames[outcome.alerts[e].pair]) + ": expected " +
                                                          Expected(s, outcome.alerts[e]) + "; none was written"});
  return out;
}

const Detail& DetailOf(const Prediction& prediction) { return *static_cast<const Detail*>(prediction.detail.get()); }

}  // namespace

std::vector<ObservedAlert> ReadAlerts(const runner::Scenario& scenario,
                                      const std::vector<runner::Observation>& observations) {
  // A record belongs to the last process started before it: a process
  // writes its last records before the next one starts.
  bool early_stop = false;
  const std::vector<model::Process> processes = model::Processes(scenario, &early_stop);
  std::vector<ObservedAlert> alerts;
  for (const runner::Observation& o : observations) {
    if (o.kind != runner::Observation::Kind::kEvent || o.source != "QVMFTMarvix") continue;
    if (o.event_id != kSimplexAlertId && o.event_id != kDuplexAlertId) continue;
    ObservedAlert alert;
    alert.t_ms = o.t_ms;
    while (alert.process + 1 < static_cast<int>(processes.size()) &&
           processes[alert.process + 1].start <= static_cast<int64_t>(o.t_ms))
      ++alert.process;
    alert.kind = o.event_id == kSimplexAlertId ? AlertKind::kSimplex : AlertKind::kDuplex;
    alert.text = o.strings.empty() ? std::string() : o.strings[0];
    alert.pair = alert.text.rfind("CPU", 0) == 0 ? PairId::kCpu : PairId::kPci;
    alerts.push_back(std::move(alert));
  }
  return alerts;
}

Prediction Predict(const runner::Scenario& scenario) {
  auto detail = std::make_shared<Detail>();
  model::Setting& setting = detail->setting;
  setting = model::ReadSetting(scenario);
  Prediction prediction;
  std::string why[2];
  for (int group = 0; group < 2; ++group) {
    for (int pair = group; pair <= group * 2; ++pair)
      if (!setting.no_prediction[pair].empty() && why[group].empty()) why[group] = setting.no_prediction[pair][0];
    model::TableRows rows{};
    if (why[group].empty())
      detail->outcomes[group] = model::ThreadOutcomes(setting, group, &why[group], &rows);
    else
      model::ReplayTable(setting, group, &rows);
    for (size_t row = 0; row < rows.size(); ++row) prediction.table_rows[row] += rows[row];
  }
  // A fault of Next that waits for its taker while an alert composer walks
  // may be the composer's: then who took it is not certain.
  auto composer_may_take = [&] {
    if (setting.fault_windows.empty()) return false;
    if (!why[0].empty() || !why[1].empty()) return true;
    for (const auto& outcomes : detail->outcomes)
      for (const Outcome& outcome : outcomes)
        for (const model::Span& composer : outcome.composers)
          for (const auto& [from, to] : setting.fault_windows)
            if (composer.lo <= to && composer.hi >= from) return true;
    return false;
  };
  if (composer_may_take())
    for (std::string& reason : why)
      if (reason.empty()) reason = "a fault of Next that an alert composer may take";
  for (int group = 0; group < 2; ++group) {
    detail->predicted[group] = why[group].empty();
    for (int pair = group; pair <= group * 2; ++pair) prediction.pairs[pair] = {true, why[group].empty(), why[group], {}};
  }
  prediction.pairs[2].present = std::any_of(setting.instances.begin(), setting.instances.end(), [](const auto& i) {
    return i.pci && (i.name == "12" || i.name == "13");
  });
  prediction.detail = detail;
  return prediction;
}

std::vector<Disagreement> Compare(const Prediction& prediction, const std::vector<ObservedAlert>& alerts) {
  const Detail& detail = DetailOf(prediction);
  std::vector<Disagreement> out;
  for (int group = 0; group < 2; ++group) {
    if (!detail.predicted[group]) continue;
    std::vector<ObservedAlert> observed;
    for (const ObservedAlert& alert : alerts)
      if ((alert.pair == PairId::kCpu) == (group == 0)) observed.push_back(alert);
    std::vector<Disagreement> fewest;
    bool first = true;
    for (const Outcome& outcome : detail.outcomes[group]) {
      if (Matches(detail.setting, outcome, observed)) {
        fewest.clear();
        break;
      }
      std::vector<Disagreement> differences = Differences(detail.setting, outcome, observed);
      if (first || differences.size() < fewest.size()) fewest = std::move(differences);
      first = false;
    }
    out.insert(out.end(), fewest.begin(), fewest.end());
  }
  return out;
}

std::vector<std::string> Describe(const Prediction& prediction) {
  const Detail& detail = DetailOf(prediction);
  std::vector<std::string> lines;
  for (int group = 0; group < 2; ++group) {
    const std::string name = group == 0 ? "CPU" : "PCI and ExPCI";
    if (!detail.predicted[group]) {
      lines.push_back(name + ": no prediction (" + prediction.pairs[group].reason + ")");
      continue;
    }
    const auto& outcomes = detail.outcomes[group];
    constexpr size_t kShown = 6;  // a shrunk file's header stays readable
    if (outcomes.size() > kShown)
      lines.push_back(name + ": " + std::to_string(outcomes.size()) + " outcomes the timing allows; the first " +
                      std::to_string(kShown) + ":");
    for (size_t i = 0; i < std::min(outcomes.size(), kShown); ++i) {
      std::string which = outcomes.size() > 1
                              ? " (outcome " + std::to_string(i + 1) + " of " + std::to_string(outcomes.size()) + ")"
                              : "";
      if (outcomes[i].alerts.empty()) lines.push_back(name + which + ": no alert");
      for (const ExpectedAlert& a : outcomes[i].alerts)
        lines.push_back(kPairNames[a.pair] + which + ": " + Expected(detail.setting, a));
    }
  }
  return lines;
}

}  // namespace fenra::explorer
