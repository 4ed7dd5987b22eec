#include "settings/persistent_state.h"

#include <chrono>
#include <cstring>
#include <optional>

#include "diagnostics/trace_texts.h"
#include "state/shared_state.h"
#include "settings/registry_access.h"

namespace fenra {
namespace {

constexpr char kOpenKeyFailed[] = "[CheckSerialNumber]OpenKey %s faild// ret = %d";
constexpr char kQueryValueFailed[] = "[CheckSerialNumber]QueryValue %s faild // ret = %d";
constexpr char kGetKeyValFailed[] = "[CheckSerialNumber]GetKeyVal %s faild // ret = %d";

constexpr const char* kSerialNumberValue = "SerialNumber";
constexpr uint32_t kSerialSize = 8;

// Minutes since the civil epoch of a stamp of exactly 12 digits
// (year, month, day, hour, minute) that names a real local date-time.
std::optional<int64_t> StampMinutes(const char* stamp) {
  int digits[12];
  for (int i = 0; i < 12; ++i) {
    if (stamp[i] < '0' || stamp[i] > '9') return std::nullopt;
    digits[i] = stamp[i] - '0';
  }
  if (stamp[12] != '\0') return std::nullopt;
  auto number = [&](int from, int count) {
    int value = 0;
    for (int i = from; i < from + count; ++i) value = value * 10 + digits[i];
    return value;
  };
  using namespace std::chrono;
  year_month_day date{year{number(0, 4)}, month{static_cast<unsigned>(number(4, 2))},
                      day{static_cast<unsigned>(number(6, 2))}};
  int hour = number(8, 2);
  int minute = number(10, 2);
  if (!date.ok() || hour > 23 || minute > 59) return std::nullopt;
  int64_t days = sys_days(date).time_since_epoch().count();
  return days * 1440 + hour * 60 + minute;
}

}  // namespace

int CheckSerialNumber(Runtime& runtime, const char* source_key_path, const char* kept_key_path,
                      const char* value_name) {
  Registry& registry = runtime.platform.registry;
  Trace& trace = runtime.trace;

  uint8_t serial[kSerialSize] = {};
  {
    RegKeyPtr source;
    int32_t result = registry.OpenKey(Hive::kLocalMachine, source_key_path, win::kKeyQueryValue, &source);
    if (result != 0) {
      trace.TraceLogF(kOpenKeyFailed, source_key_path, result);
      return 0;
    }
    uint32_t size = 0;
    result = registry.QueryValue(*source, kSerialNumberValue, nullptr, nullptr, &size);
    if (result != 0) {
      trace.TraceLogF(kQueryValueFailed, source_key_path, result);
      return 0;
    }
    result = ReadValueExactly(registry, *source, kSerialNumberValue, win::kRegBinary, serial, kSerialSize);
    if (result != 0) {
      trace.TraceLogF(kGetKeyValFailed, source_key_path, result);
      return 0;
    }
  }
  static constexpr uint8_t kNone[kSerialSize] = {};
  if (memcmp(serial, kNone, kSerialSize) == 0) {
    trace.TraceLogF("[CheckSerialNumber]SerialNumber all zero // %s", value_name);
    return 0;
  }

  RegKeyPtr kept;
  int32_t result = registry.OpenKey(Hive::kLocalMachine, kept_key_path, win::kKeyAllAccess, &kept);
  if (result != 0) {
    trace.TraceLogF(kOpenKeyFailed, kept_key_path, result);
    result = registry.CreateKey(Hive::kLocalMachine, kept_key_path, win::kKeyAllAccess, &kept, nullptr);
    if (result != 0) {
      trace.TraceLogF("[CheckSerialNumber]CreateKey %s faild // ret = %d", kept_key_path, result);
      return 0;
    }
    trace.TraceLogF("[CheckSerialNumber]CreateKey %s", kept_key_path);
  }

  // An unreadable copy counts as none: eight zero bytes, never equal to a
  // published number.
  uint8_t copy[kSerialSize] = {};
  uint32_t size = 0;
  result = registry.QueryValue(*kept, value_name, nullptr, nullptr, &size);
  if (result != 0) {
    trace.TraceLogF(kQueryValueFailed, value_name, result);
  } else if ((result = ReadValueExactly(registry, *kept, value_name, win::kRegBinary, copy, kSerialSize)) != 0) {
    trace.TraceLogF(kGetKeyValFailed, value_name, result);
  }

  if (memcmp(serial, copy, kSerialSize) == 0) {
    trace.TraceLogF("[CheckSerialNumber]SerialNumber agreement // %s", value_name);
    return 1;
  }
  trace.TraceLogF("[CheckSerialNumber]SerialNumber inconsistancy // %s", value_name);
  result = registry.SetValue(*kept, value_name, win::kRegBinary, serial, kSerialSize);
  if (result != 0) {
    trace.TraceLogF("[CheckSerialNumber]SetValue %s faild // ret = %d", value_name, result);
  } else {
    trace.TraceLogF("[CheckSerialNumber]SetKey %s = %02x %02x %02x %02x %02x %02x %02x %02x", value_name, serial[0],
                    serial[1], serial[2], serial[3], serial[4], serial[5], serial[6], serial[7]);
  }
  // The group's next SIMPLEX must not count an earlier one of the old module.
  result = registry.DeleteValue(*kept, kSimplexDateValue);
  if (result != 0)
    trace.TraceLogF("[CheckSerialNumber]Delete SimplexDate faild (%s) // ret = %d", value_name, result);
  else
    trace.TraceLogF(trace_text::kSimplexDateDeleted, value_name);
  return 1;
}

int CheckLongThreshold(Runtime& runtime, int group) {
  if (group < 0 || group >= static_cast<int>(kPairs.size())) return 0;
  const ModulePair& pair = kPairs[static_cast<size_t>(group)];
  LocalTime now = runtime.platform.kernel.GetLocalTime();
  char present[16];
  FormatText(present, "%4d%02d%02d%02d%02d", now.year, now.month, now.day, now.hour, now.minute);
  char previous[16] = {};
  if (GetRegisterSZ(runtime, pair.board_key, kSimplexDateValue, present, previous, sizeof(previous)) == 0)
    return 0;

  std::optional<int64_t> then = StampMinutes(previous);
  std::optional<int64_t> current = StampMinutes(present);
  if (!then || !current) return 0;
  int64_t elapsed = *current - *then;
  if (elapsed < 0) {
    runtime.trace.TraceLog(trace_text::kSimplexDateFuture);
    return -1;
  }
  // The threshold is compared as a signed 32-bit number, as it always was.
  auto threshold = static_cast<int32_t>(runtime.shared.config().*pair.long_threshold);
  return elapsed < threshold ? 1 : 0;
}

}  // namespace fenra
