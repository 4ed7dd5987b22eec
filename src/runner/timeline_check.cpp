#include "runner/timeline_check.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <string_view>

#include "diagnostics/event_ids.h"
#include "diagnostics/trace_texts.h"
#include "runner/output.h"
#include "runner/timeline.h"
#include "state/pairs.h"
#include "support/fixed_text.h"

namespace fenra::runner {
namespace {

// A trace line's stamp, "2026/12/03 14:00'00\"000 ", before its text.
constexpr size_t kStampLength = 24;
constexpr uint64_t kOpen = UINT64_MAX;

struct Spell {
  std::string state;
  uint64_t from = 0;
  uint64_t to = kOpen;
};

std::string SpellText(const Spell& spell) {
  return spell.state + " from " + ScenarioTimeText(spell.from) + " to " + ScenarioTimeText(spell.to);
}

// The leading decimal number of `text` and what follows it.
std::optional<std::pair<int, std::string_view>> LeadingNumber(std::string_view text) {
  size_t digits = 0;
  while (digits < text.size() && digits < 9 && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0) return std::nullopt;
  return std::pair{std::atoi(std::string(text.substr(0, digits)).c_str()), text.substr(digits)};
}

// Each pair's spells as the monitor's own lines tell them. A WMI thread
// starts its pairs as DUPLEX; the status lines that follow its start-up
// query ("[WMIThread 1]GetStatus nRtn = 7", then "  (PCI) --> SIMPLEX
// DUPLEX") set them: TRIPLEX, DUPLEX when every half is DUPLEX, SIMPLEX
// otherwise; a module's SIMPLEX (or a CPU module's TRIPLEX) event makes its
// pair so; its DUPLEX event makes the pair DUPLEX only when the thread's
// next pair line says both halves are DUPLEX, else SIMPLEX. Modules 12 and
// 13 are the ExPCI pair's. A stop record ends every spell.
std::map<std::string, std::vector<Spell>> MonitorSpells(const std::vector<Observation>& observations) {
  std::map<std::string, std::vector<Spell>> spells;
  auto set = [&](const std::string& pair, const std::string& state, uint64_t t) {
    std::vector<Spell>& list = spells[pair];
    if (!list.empty() && list.back().to == kOpen) {
      if (list.back().state == state) return;
      list.back().to = t;
    }
    // A spell of no length is none; the one before it may go on.
    while (!list.empty() && list.back().from == t) list.pop_back();
    if (!list.empty() && list.back().to == t && list.back().state == state)
      list.back().to = kOpen;
    else
      list.push_back({state, t, kOpen});
  };
  std::optional<int> status_of;                // the thread whose start-up status lines follow
  std::map<int, std::string> duplex_event_of;  // thread -> the pair of its last DUPLEX event
  for (const Observation& o : observations) {
    if (o.kind == Observation::Kind::kEvent && o.event_id == EVID_SERVICE_STOPPED)
      for (auto& [pair, list] : spells)
        if (!list.empty() && list.back().to == kOpen) list.back().to = o.t_ms;
    if (o.kind != Observation::Kind::kTrace || o.text.size() <= kStampLength) continue;
    std::string_view line = std::string_view(o.text).substr(kStampLength);
    bool status_follows = false;
    for (const ModulePair& pair : kPairs) {
      if (line == StringPrintf(trace_text::kWmiStart, pair.group)) set(pair.label, "DUPLEX", o.t_ms);
      std::string head = StringPrintf(trace_text::kWmiStatus, pair.group, 0);
      head.pop_back();
      if (line.starts_with(head)) {
        status_of = pair.group;
        status_follows = true;
      }
    }
    // "  (PCI) --> SIMPLEX DUPLEX", right after its thread's status line.
    if (status_of && !status_follows && line.starts_with("  (")) {
      size_t close = line.find(") --> ");
      std::string name(line.substr(3, close == std::string_view::npos ? 0 : close - 3));
      const ModulePair* pair = nullptr;
      for (const ModulePair& p : kPairs)
        if (p.label == name && p.group == *status_of) pair = &p;
      if (pair != nullptr) {
        std::string_view words = line.substr(close + 6);
        set(pair->label, words == "TRIPLEX" ? "TRIPLEX" : words == "DUPLEX DUPLEX" ? "DUPLEX" : "SIMPLEX", o.t_ms);
        status_follows = true;
      }
    }
    if (!status_follows) status_of.reset();

    // "  (CPU 1) --> SIMPLEX", "  (PCI 12) --> DUPLEX".
    for (int group : {kGroupCpu, kGroupPci}) {
      std::string_view head =
          trace_text::FixedPart(group == kGroupCpu ? trace_text::kCpuModuleState : trace_text::kPciModuleState, 0);
      if (!line.starts_with(head)) continue;
      auto number = LeadingNumber(line.substr(head.size()));
      std::string_view tail =
          trace_text::FixedPart(group == kGroupCpu ? trace_text::kCpuModuleState : trace_text::kPciModuleState, 1);
      if (!number || !number->second.starts_with(tail) || number->second.size() <= tail.size() + 1) continue;
      std::string_view state = number->second.substr(tail.size() + 1);
      int module = number->first;
      std::string pair = group == kGroupCpu ? "CPU" : (module == 12 || module == 13) ? "ExPCI" : "PCI";
      if (state == "SIMPLEX" || (state == "TRIPLEX" && group == kGroupCpu)) set(pair, std::string(state), o.t_ms);
      if (state == "DUPLEX") duplex_event_of[group] = pair;
    }
    for (auto it = duplex_event_of.begin(); it != duplex_event_of.end();) {
      int group = it->first;
      bool both = line == StringPrintf(trace_text::kPairDuplex, group, GroupPair(group).label);
      bool half = false;
      for (int a : {0, 1})
        for (int b : {0, 1}) half = half || line == StringPrintf(trace_text::kPairHalfDuplex, group, a, b);
      if (!both && !half) {
        ++it;
        continue;
      }
      set(it->second, both ? "DUPLEX" : "SIMPLEX", o.t_ms);
      it = duplex_event_of.erase(it);
    }
  }
  return spells;
}

std::string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    size_t semicolon = text.find(';', i);
    std::string_view entity = text.substr(i, semicolon == std::string_view::npos ? 1 : semicolon - i + 1);
    out += entity == "&amp;" ? "&" : entity == "&lt;" ? "<" : entity == "&gt;" ? ">" : entity == "&quot;" ? "\"" : "?";
    i += entity.size() - 1;
  }
  return out;
}

std::string Attribute(std::string_view tag, std::string_view name) {
  std::string key = " " + std::string(name) + "=\"";
  size_t at = tag.find(key);
  if (at == std::string_view::npos) return "";
  size_t from = at + key.size();
  return Unescape(tag.substr(from, tag.find('"', from) - from));
}

// Each pair's spells as the picture draws them.
std::map<std::string, std::vector<Spell>> DrawnSpells(const std::string& svg) {
  std::map<std::string, std::vector<Spell>> drawn;
  static constexpr std::string_view kRow = "<g class=\"row\"";
  for (size_t at = svg.find(kRow); at != std::string::npos; at = svg.find(kRow, at + 1)) {
    std::string pair = Attribute(std::string_view(svg).substr(at, svg.find('>', at) - at), "data-pair");
    if (pair.empty()) continue;
    std::vector<Spell>& list = drawn[pair];
    size_t end = svg.find("</g>", at);
    for (size_t rect = svg.find("<rect ", at); rect < end; rect = svg.find("<rect ", rect + 1)) {
      std::string_view tag = std::string_view(svg).substr(rect, svg.find('>', rect) - rect);
      std::string state = Attribute(tag, "data-state");
      if (state.empty()) continue;
      list.push_back({state, std::strtoull(Attribute(tag, "data-from").c_str(), nullptr, 10),
                      std::strtoull(Attribute(tag, "data-to").c_str(), nullptr, 10)});
    }
  }
  return drawn;
}

std::vector<std::string> CheckPairRows(const Scenario& scenario, const std::vector<Observation>& observations,
                                       const std::string& svg) {
  std::vector<std::string> problems;
  uint64_t end = TimelineEnd(scenario, observations);
  std::map<std::string, std::vector<Spell>> expected = MonitorSpells(observations);
  std::map<std::string, std::vector<Spell>> drawn = DrawnSpells(svg);
  for (auto& [pair, list] : expected)
    for (Spell& spell : list)
      if (spell.to == kOpen) spell.to = end;
  for (const auto& [pair, list] : expected) {
    auto row = drawn.find(pair);
    if (row == drawn.end()) {
      auto lost = std::find_if(list.begin(), list.end(), [](const Spell& s) { return s.state != "DUPLEX"; });
      if (lost != list.end())
        problems.push_back(pair + " pair: no row, though its monitor's lines show it " + SpellText(*lost));
      continue;
    }
    for (size_t i = 0; i < std::max(list.size(), row->second.size()); ++i) {
      std::string want = i < list.size() ? SpellText(list[i]) : "nothing more";
      std::string got = i < row->second.size() ? SpellText(row->second[i]) : "nothing more";
      if (want == got) continue;
      problems.push_back(pair + " pair: the picture shows " + got + ", its monitor's lines " + want);
      break;
    }
  }
  for (const auto& [pair, list] : drawn)
    if (!expected.count(pair) && !list.empty())
      problems.push_back(pair + " pair: the picture shows " + SpellText(list.front()) +
                         ", its monitor's lines nothing");
  return problems;
}

struct TextBox {
  std::string text;
  double x1, x2, y1, y2;
};

// Every text of the picture, as the box it takes: its anchor, its size and
// its estimated width.
std::vector<TextBox> Texts(const std::string& svg) {
  std::vector<TextBox> boxes;
  for (size_t at = svg.find("<text "); at != std::string::npos; at = svg.find("<text ", at + 1)) {
    size_t close = svg.find('>', at);
    size_t end = svg.find("</text>", close);
    if (close == std::string::npos || end == std::string::npos) break;
    std::string_view tag = std::string_view(svg).substr(at, close - at);
    std::string text = Unescape(std::string_view(svg).substr(close + 1, end - close - 1));
    double x = std::atof(Attribute(tag, "x").c_str());
    double y = std::atof(Attribute(tag, "y").c_str());
    std::string size_text = Attribute(tag, "font-size");
    double size = size_text.empty() ? 12 : std::atof(size_text.c_str());
    double width = EstimatedTextWidth(text, size);
    std::string anchor = Attribute(tag, "text-anchor");
    double x1 = anchor == "end" ? x - width : anchor == "middle" ? x - width / 2 : x;
    boxes.push_back({text, x1, x1 + width, y - 0.8 * size, y + 0.2 * size});
  }
  return boxes;
}

std::vector<std::string> CheckTextsApart(const std::string& svg) {
  std::vector<std::string> problems;
  std::vector<TextBox> boxes = Texts(svg);
  std::sort(boxes.begin(), boxes.end(), [](const TextBox& a, const TextBox& b) { return a.y1 < b.y1; });
  for (size_t i = 0; i < boxes.size() && problems.size() < 5; ++i) {
    for (size_t j = i + 1; j < boxes.size() && boxes[j].y1 < boxes[i].y2; ++j) {
      const TextBox& a = boxes[i];
      const TextBox& b = boxes[j];
      if (a.x1 < b.x2 && b.x1 < a.x2)
        problems.push_back(
            StringPrintf("labels overlap: \"%s\" (x %.0f to %.0f, y %.0f) and \"%s\" (x %.0f to %.0f, "
                         "y %.0f)",
                         a.text.c_str(), a.x1, a.x2, a.y2, b.text.c_str(), b.x1, b.x2, b.y2));
    }
  }
  return problems;
}

}  // namespace

std::vector<std::string> CheckTimeline(const Scenario& scenario, const std::vector<Observation>& observations,
                                       const std::string& svg) {
  std::vector<std::string> problems = CheckPairRows(scenario, observations, svg);
  for (std::string& problem : CheckTextsApart(svg)) problems.push_back(std::move(problem));
  return problems;
}

}  // namespace fenra::runner
