#include "wmi/wmi_tables.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>

namespace fenra {
namespace {

TEST(ClassTables, OneClassHasOneDisplayNameWherever) {
  std::map<std::string, int> id_of;
  for (int row = 0; row < kDeviceClassRows; ++row)
    for (int gen = 0; gen < kPlatformGenerations; ++gen) {
      auto [it, inserted] = id_of.emplace(DeviceClassTable[row][gen], DeviceNameIdTable[row][gen]);
      EXPECT_EQ(it->second, DeviceNameIdTable[row][gen]) << DeviceClassTable[row][gen];
      int id = DeviceNameIdTable[row][gen];
      EXPECT_TRUE((id >= 101 && id <= 109) || (id >= 113 && id <= 117)) << id;
    }
}

struct StringEntry {
  int id;
  const char* symbol;
  const char* english;
  const char* japanese;
};
#define FENRA_STRING(id, symbol, english, japanese) {id, #symbol, english, japanese},
constexpr StringEntry kStrings[] = {
#include "resources/string_table.inc"
};
#undef FENRA_STRING

TEST(StringTable, IdsOneToSeventeenInBothLanguages) {
  std::set<int> ids;
  std::set<std::string> symbols;
  for (const StringEntry& entry : kStrings) {
    EXPECT_TRUE(ids.insert(entry.id).second) << entry.id;
    EXPECT_TRUE(symbols.insert(entry.symbol).second) << entry.symbol;
    EXPECT_GT(strlen(entry.english), 0u);
    EXPECT_GT(strlen(entry.japanese), 0u);
  }
  for (int id = 100; id <= 117; ++id) EXPECT_TRUE(ids.count(id)) << id;
}

}  // namespace
}  // namespace fenra
