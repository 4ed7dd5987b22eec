// The scenario reader: what a good file becomes, and the line and message
// of each bad one.

#include "runner/scenario.h"

#include <gtest/gtest.h>

#include "wmi/wmi_tables.h"

namespace fenra::runner {
namespace {

TEST(ScenarioTest, ReadsSetupAndTimedDirectives) {
  Scenario s = ParseScenario(
      "\xEF\xBB\xBF# comment\n"
      "clock 2026-12-03 22:50:00\n"
      "language ja\n"
      "registry HKLM\\SOFTWARE\\QOR\\Trelvane TrelvaneVersion sz 1.1  # rest of line, comment cut\n"
      "registry HKEY_LOCAL_MACHINE\\SOFTWARE\\X \"A name\" sz \"C:\\Temp\\\\ # not a comment\"\n"
      "registry HKLM\\SOFTWARE\\X Wait dword 0x78\n"
      "registry-delete HKLM\\SOFTWARE\\X @\n"
      "module vur_cpuboard 0 duplex\n"
      "module DOD_SCSISlot 10/1 ONLINE\n"
      "\n"
      "0:00:00 start\n"
      "0:10:00.250 state DOD_CPUBoard 0 524309   # a decimal code of the same module\n"
      "25:00:00 end\n",
      "s.scn");
  EXPECT_EQ(s.clock.day_of_week, 4);  // a Thursday
  EXPECT_TRUE(s.japanese);
  ASSERT_EQ(s.registry.size(), 4u);
  EXPECT_EQ(s.registry[0].data, (std::vector<uint8_t>{'1', '.', '1', 0}));
  EXPECT_EQ(s.registry[1].value, "A name");
  EXPECT_EQ(std::string(s.registry[1].data.begin(), s.registry[1].data.end()),
            std::string("C:\\Temp\\ # not a comment\0", 25));
  EXPECT_EQ(s.registry[2].data, (std::vector<uint8_t>{0x78, 0, 0, 0}));
  EXPECT_TRUE(s.registry[3].remove && s.registry[3].default_value);
  ASSERT_EQ(s.modules.size(), 2u);
  EXPECT_EQ(s.modules[0].instance_class, "VUR_CPUBoard");
  EXPECT_EQ(s.modules[1].parent, "10");

  ASSERT_EQ(s.steps.size(), 3u);
  EXPECT_EQ(s.steps[1].at_ms, 600250u);
  EXPECT_EQ(s.steps[1].line, 12);
  EXPECT_EQ(s.steps[1].text, "state DOD_CPUBoard 0 524309");
  const auto& change = std::get<ChangeState>(s.steps[1].action);
  EXPECT_EQ(change.state, STATE_SIMPLEX);
  EXPECT_EQ(s.steps[2].at_ms, 25u * 3600 * 1000);
}

TEST(ScenarioTest, EveryBadLineIsReportedWithItsFileAndLine) {
  const std::string cpu0 = "module DOD_CPUBoard 0 DUPLEX\n";
  const std::pair<std::string, std::string> cases[] = {
      {"frobnicate\n0:00:00 end\n", "s.scn:1: unknown directive \"frobnicate\""},
      {"0:00:00 start\n0:00:10 fly\n0:01:00 end\n", "s.scn:2: unknown timed directive \"fly\""},
      {"0:10:00 start\n0:05:00 end\n", "s.scn:2: time goes backwards"},
      {"0:00:00 start\nlanguage en\n0:01:00 end\n", "s.scn:2: \"language\" is not timed"},
      {"0:00:00 start\n0:00:01 state DOD_Nothing 0 SIMPLEX\n0:01:00 end\n", "s.scn:2: unknown class \"DOD_Nothing\""},
      {cpu0 + "0:00:01 state DOD_CPUBoard 1 SIMPLEX\n0:01:00 end\n", "s.scn:2: no instance \"1\" of DOD_CPUBoard"},
      {cpu0 + "0:00:01 state VUR_CPUBoard 0 HALFPLEX\n0:01:00 end\n", "s.scn:2: unknown state \"HALFPLEX\""},
      {cpu0 + "module DOD_CPUBoard 0 DUPLEX\n0:00:00 end\n",
       "s.scn:2: instance \"0\" of DOD_CPUBoard is declared twice"},
      // Only the modules a server can have: the service would count any
      // other in a pair.
      {"module DOD_CPUBoard 7 DUPLEX\n0:00:00 end\n",
       "s.scn:1: no CPU module \"7\" on these servers; the CPU modules are 0, 1, 2"},
      {"module VUR_IOBoard 1 DUPLEX\n0:00:00 end\n",
       "s.scn:1: no PCI module \"1\" on these servers; the PCI modules are 10, 11, 12, 13"},
      {cpu0 + "0:00:01 state DOD_CPUBoard 07 REMOVED\n0:01:00 end\n", "s.scn:2: no CPU module \"07\""},
      {"registry HKLM\\SOFTWARE\\X V qword 1\n0:00:00 end\n", "s.scn:1: unknown registry type \"qword\""},
      {"registry HKLM\\SOFTWARE\\X V dword 4294967296\n0:00:00 end\n",
       "s.scn:1: \"4294967296\" is not a 32-bit number"},
      {"registry HKLM\\SOFTWARE\\X V binary 0g\n0:00:00 end\n", "s.scn:1: \"0g\" is not a byte"},
      {"registry HKCU\\SOFTWARE\\X V sz a\n0:00:00 end\n", "s.scn:1: \"HKCU\\SOFTWARE\\X\" is not a key"},
      {"registry HKLM\\X V sz \"open\n0:00:00 end\n", "s.scn:1: a quoted text is not closed"},
      {"clock 2026-02-30 10:00:00\n0:00:00 end\n", "s.scn:1: \"2026-02-30 10:00:00\" is not a date"},
      {"device-id 00 01\n0:00:00 end\n", "s.scn:1: hardware.json: library.device_id: must be exactly 18 bytes"},
      {"serial-number CpuBoard7 00 00 00 00 00 00 00 00\n0:00:00 end\n",
       "s.scn:1: hardware.json: driver.serial_numbers.CpuBoard7"},
      {"wmi-fault melt\n0:00:00 end\n", "s.scn:1: unknown WMI fault \"melt\""},
      {"event-log refuse 0\n0:00:00 end\n", "s.scn:1: ERROR must be a Win32 error code other than 0"},
      {"0:00:00 registry-writes accept 5\n0:00:01 end\n",
       "s.scn:1: usage: TIME registry-writes accept|refuse [ERROR]"},
      // Each directive's count of words and its choices, from the usage line.
      {"clock 2026-12-03\n0:00:00 end\n", "s.scn:1: usage: clock YYYY-MM-DD HH:MM:SS"},
      {"tick 1 2\n0:00:00 end\n", "s.scn:1: usage: tick N (the first reading of the millisecond tick counter)"},
      {"ipmi broken\n0:00:00 end\n", "s.scn:1: usage: ipmi present|absent|fails"},
      {"folder C:\\QOR gone\n0:00:00 end\n", "s.scn:1: usage: folder PATH writable|read-only|full|missing"},
      {"0:00:00 start now\n0:00:01 end\n", "s.scn:1: usage: TIME start"},
      {"0:00:00 clock 2026-12-03 22:50:00\n0:00:01 end\n", "s.scn:1: unknown timed directive \"clock\""},
      {"end\n", "s.scn:1: unknown directive \"end\""},
      {"folder Temp full\n0:00:00 end\n", "s.scn:1: \"Temp\" is not a folder such as C:\\QOR"},
      {"0:00:00 start\n0:00:01 start\n0:01:00 end\n", "s.scn:2: start: the service already runs (started on line 1)"},
      {"0:00:00 stop\n0:01:00 end\n", "s.scn:1: stop: the service is not started"},
      {"0:00:00 end\n0:01:00 start\n", "s.scn:2: nothing may follow \"end\""},
      {"0:00:00 start\n", "s.scn:1: the scenario has no \"end\""},
      {"0:60:00 end\n", "s.scn:1: \"0:60:00\" is not a time"},
      // Bytes that are not printable are escaped; a file that is not UTF-8
      // text is refused at its first such line.
      {"clock 2026-12-03 22:50:00\n\x1b[31mred\n0:00:00 end\n", "s.scn:2: unknown directive \"\\x1b[31mred\""},
      {std::string("0:00:00 start\n\0\n", 16), "s.scn:2: not a text file"},
      {"0:00:00 end # caf\xe9\n", "s.scn:1: not a text file"},
  };
  for (const auto& [text, message] : cases) {
    try {
      ParseScenario(text, "s.scn");
      ADD_FAILURE() << "accepted: " << text;
    } catch (const ScenarioError& e) {
      EXPECT_TRUE(std::string(e.what()).starts_with(message)) << e.what() << "\n  expected: " << message;
    }
  }
}

}  // namespace
}  // namespace fenra::runner
