#include "wmi/wmi_tables.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>

namespace fenra {
namespace {

TEST(StateTable, WholeCodesOnlyAndOneTextForBothWidths) {
  EXPECT_EQ(std::size(kStateTable), 19u);
  for (const StateEntry& entry : kStateTable) {
    std::wstring wide(entry.wide_text);
    EXPECT_EQ(std::string(wide.begin(), wide.end()), entry.text);
    EXPECT_EQ(entry.text[0], ' ');
    EXPECT_EQ(FindStateByName(entry.name()), &entry);
  }
  // 0x20005 is no state, and neither is 0 or a part of a code.
  EXPECT_EQ(FindState(0x20005), nullptr);
  EXPECT_EQ(FindState(0), nullptr);
  EXPECT_EQ(FindState(STATE_SIMPLEX & 0xFFFF), nullptr);
}

TEST(ClassTables, GenerationFromTheFirstCharacterOfTheVersion) {
  EXPECT_EQ(PlatformGenFromVersion("unknown"), 2u);
  EXPECT_EQ(PlatformGenFromVersion("1.1.23.9"), 0u);
  EXPECT_EQ(PlatformGenFromVersion("2.0.0.0"), 0u);
  EXPECT_EQ(PlatformGenFromVersion("3.0"), 1u);
  EXPECT_EQ(PlatformGenFromVersion("4.0"), 2u);
  EXPECT_EQ(PlatformGenFromVersion("0.9"), 2u);
  EXPECT_EQ(PlatformGenFromVersion("\xB3"), 2u);  // negative as a signed character
  EXPECT_EQ(PlatformGenFromVersion(""), 2u);
}

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
  std::map<int, const StringEntry*> by_id;
  std::set<std::string> symbols;
  for (const StringEntry& entry : kStrings) {
    EXPECT_TRUE(by_id.emplace(entry.id, &entry).second) << entry.id;
    EXPECT_TRUE(symbols.insert(entry.symbol).second) << entry.symbol;
    EXPECT_GT(strlen(entry.english), 0u);
    EXPECT_GT(strlen(entry.japanese), 0u);
  }
  for (int id = 100; id <= 117; ++id) EXPECT_TRUE(by_id.count(id)) << id;
  EXPECT_STREQ(by_id[110]->english, "%s changed to SIMPLEX state.\n[Occurrence Time]");
  EXPECT_STREQ(by_id[111]->japanese, "%sが冗長状態です。\n[発生時刻]");
  EXPECT_STREQ(by_id[112]->symbol, "IDS_Details");
  EXPECT_STREQ(by_id[106]->japanese, "イーサネットボード");
}

}  // namespace
}  // namespace fenra
