// The scenario runner as a whole: the same scenario leaves the same machine
// files (that it gives the same output, `fenra-sim explore` checks on a
// sample of its runs), and a machine kept with --machine is used again as
// it stands.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "runner/scenario.h"
#include "runner/scenario_run.h"
#include "support/test_machine.h"

namespace fenra::runner {
namespace {

namespace fs = std::filesystem;

// Every file of a machine directory, by its path inside it.
std::map<std::string, std::string> MachineFiles(const fs::path& directory) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(directory))
    if (entry.is_regular_file())
      files[fs::relative(entry.path(), directory).string()] = testing::ReadFile(entry.path());
  return files;
}

const char* const kPulledFor20Minutes =
    "clock 2026-12-03 08:00:00\n"
    "registry HKLM\\SOFTWARE\\QOR\\Trelvane TrelvaneVersion sz 1.1\n"
    "ini FENRA.ini MODE SIMPLEX_FILTER_TIME 0\n"
    "module DOD_CPUBoard 0 DUPLEX\n"
    "module DOD_CPUBoard 1 DUPLEX\n"
    "0:00:00 start\n"
    "0:10:00 state DOD_CPUBoard 1 REMOVED\n"
    "0:10:00 state DOD_CPUBoard 0 SIMPLEX\n"
    "0:30:00 state DOD_CPUBoard 1 DUPLEX\n"
    "0:30:00 state DOD_CPUBoard 0 DUPLEX\n"
    "1:00:00 end\n";

TEST(ScenarioRunnerTest, TheSameScenarioLeavesTheSameMachineFiles) {
  Scenario scenario = ParseScenario(kPulledFor20Minutes, "pulled.scn");
  testing::ScratchDir scratch;
  std::map<std::string, std::string> files[2];
  for (int run = 0; run < 2; ++run) {
    fs::path machine = scratch.path() / ("machine" + std::to_string(run));
    RunScenario(scenario, {.machine = machine});
    files[run] = MachineFiles(machine);
  }
  EXPECT_EQ(files[0], files[1]);
  EXPECT_TRUE(files[0].contains("registry.reg"));
  EXPECT_TRUE(files[0].contains("drive_c/QOR/QVMAlertMan/Temp/fenratrace1.log"));
}

TEST(ScenarioRunnerTest, AKeptMachineIsReusedAsItStands) {
  Scenario scenario = ParseScenario(
      "module DOD_CPUBoard 0 DUPLEX\n"
      "0:00:00 start\n"
      "0:10:00 end\n",
      "twice.scn");
  testing::ScratchDir scratch;
  fs::path machine = scratch.path() / "machine";
  for (int run = 0; run < 2; ++run) {
    std::vector<Observation> seen = RunScenario(scenario, {.machine = machine}).observations;
    // Each run shows its own records only: the start and the stop.
    EXPECT_EQ(std::count_if(seen.begin(), seen.end(),
                            [](const Observation& o) { return o.kind == Observation::Kind::kEvent; }),
              2);
    if (run == 0) fs::remove(machine / "drive_c/Windows/system32/FENRA.ini");
  }
  EXPECT_EQ(sim::ReadEventLog(machine / "eventlog.jsonl").size(), 4u);
  // The service wrote the INI file again at its second start.
  EXPECT_TRUE(fs::exists(machine / "drive_c/Windows/system32/FENRA.ini"));
}

}  // namespace
}  // namespace fenra::runner
