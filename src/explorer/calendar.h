#pragma once
// Civil dates as day numbers (days since 1970-01-01, proleptic Gregorian),
// for the explorer's stamps and occurrence times, and scenario times.

#include <cstdint>
#include <cstdio>
#include <string>

namespace fenra::explorer {

constexpr int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

constexpr void CivilFromDays(int64_t z, int64_t* y, int64_t* m, int64_t* d) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp + (mp < 10 ? 3 : -9);
  *y = yoe + era * 400 + (*m <= 2);
}

// Seconds since 1970-01-01 00:00:00 of a local date and time.
constexpr int64_t SecondsOf(int64_t y, int64_t mo, int64_t d, int64_t h, int64_t mi, int64_t s) {
  return ((DaysFromCivil(y, mo, d) * 24 + h) * 60 + mi) * 60 + s;
}

// A scenario time as the scenario language writes it: H:MM:SS.mmm.
inline std::string ScenarioTime(uint64_t ms) {
  char text[48];
  snprintf(text, sizeof text, "%llu:%02llu:%02llu.%03llu", static_cast<unsigned long long>(ms / 3600000),
           static_cast<unsigned long long>(ms / 60000 % 60), static_cast<unsigned long long>(ms / 1000 % 60),
           static_cast<unsigned long long>(ms % 1000));
  return text;
}

}  // namespace fenra::explorer
