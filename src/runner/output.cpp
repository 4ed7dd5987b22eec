#include "runner/output.h"

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "app/console.h"
#include "platform/sim/text.h"

namespace fenra::runner {
namespace {

// A JSON string; bytes that are not UTF-8 become U+FFFD.
std::string Quote(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string Hex(const std::vector<uint8_t>& data) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : data) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xF];
  }
  return text;
}

}  // namespace

std::string ScenarioTimeText(uint64_t t_ms) {
  char text[48];
  snprintf(text, sizeof(text), "%llu:%02llu:%02llu.%03llu", static_cast<unsigned long long>(t_ms / 3600000),
           static_cast<unsigned long long>(t_ms / 60000 % 60), static_cast<unsigned long long>(t_ms / 1000 % 60),
           static_cast<unsigned long long>(t_ms % 1000));
  return text;
}

std::string LocalTimeText(const LocalTime& clock, uint64_t t_ms) {
  using namespace std::chrono;
  local_days day = local_days(year(clock.year) / month(clock.month) / std::chrono::day(clock.day));
  local_time<milliseconds> start =
      day + hours(clock.hour) + minutes(clock.minute) + seconds(clock.second) + milliseconds(clock.milliseconds);
  local_time<milliseconds> now = start + milliseconds(t_ms);
  local_days date = floor<days>(now);
  year_month_day ymd(date);
  hh_mm_ss<milliseconds> time(now - date);
  char text[48];
  snprintf(text, sizeof(text), "%04d-%02u-%02u %02lld:%02lld:%02lld", static_cast<int>(ymd.year()),
           static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
           static_cast<long long>(time.hours().count()), static_cast<long long>(time.minutes().count()),
           static_cast<long long>(time.seconds().count()));
  return text;
}

std::string EventTypeName(uint16_t type) {
  switch (type) {
    case 0:
      return "success";
    case 1:
      return "error";
    case 2:
      return "warning";
    case 4:
      return "information";
    case 8:
      return "audit success";
    case 16:
      return "audit failure";
    default:
      return "unknown(" + std::to_string(type) + ")";
  }
}

std::string RenderJsonEntry(const Observation& o, const OutputOptions& options) {
  std::string head = "{\"t_ms\": " + std::to_string(o.t_ms) + ", \"kind\": ";
  switch (o.kind) {
    case Observation::Kind::kInput:
      return head + "\"input\", \"scenario_line\": " + std::to_string(o.line) + ", \"directive\": " +
             Quote(o.directive) + "}\n";
    case Observation::Kind::kEvent: {
      std::string strings;
      for (const std::string& s : o.strings) strings += (strings.empty() ? "" : ", ") + Quote(s);
      return head + "\"event\", \"source\": " + Quote(o.source) + ", \"event_id\": " + std::to_string(o.event_id) +
             ", \"type\": " + Quote(EventTypeName(o.type)) + ", \"strings\": [" + strings + "], \"data\": \"" +
             Hex(o.data) + "\"}\n";
    }
    case Observation::Kind::kPulse:
      return head + "\"pulse\"}\n";
    case Observation::Kind::kTrace:
      if (options.trace) return head + "\"trace\", \"line\": " + Quote(o.text) + "}\n";
      break;
  }
  return {};
}

std::string RenderTextEntry(const Observation& o, const OutputOptions& options) {
  if (o.kind == Observation::Kind::kTrace && !options.trace) return {};
  std::string out = ScenarioTimeText(o.t_ms) + "  " + LocalTimeText(options.clock, o.t_ms) + "  ";
  switch (o.kind) {
    case Observation::Kind::kInput:
      out += "> " + o.directive + "  (line " + std::to_string(o.line) + ")\n";
      break;
    case Observation::Kind::kEvent: {
      char id[64];
      snprintf(id, sizeof(id), "event %u (0x%08X)", o.event_id & 0xFFFF, o.event_id);
      out += o.source + " " + EventTypeName(o.type) + " " + id + "\n";
      // The record's text as the event viewer (and fenra's console) shows it.
      out += app::IndentedText(sim::ToValidUtf8(app::MessageText(o.event_id, o.strings, options.language)));
      if (!o.data.empty()) out += "    data: " + Hex(o.data) + "\n";
      break;
    }
    case Observation::Kind::kPulse:
      out += "pulse of the hot-plug event\n";
      break;
    case Observation::Kind::kTrace:
      out += "trace  " + sim::ToValidUtf8(o.text) + "\n";
      break;
  }
  return out;
}

std::string RenderJson(const std::vector<Observation>& observations, const OutputOptions& options) {
  std::string out;
  for (const Observation& o : observations) out += RenderJsonEntry(o, options);
  return out;
}

std::string RenderText(const std::vector<Observation>& observations, const OutputOptions& options) {
  std::string out;
  for (const Observation& o : observations) out += RenderTextEntry(o, options);
  return out;
}

ObservationSink Printer(FILE* out, bool json, const OutputOptions& options) {
  return [out, json, options](const Observation& o) {
    std::string text = json ? RenderJsonEntry(o, options) : RenderTextEntry(o, options);
    fwrite(text.data(), 1, text.size(), out);
  };
}

}  // namespace fenra::runner
