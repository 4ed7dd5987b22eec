// The scenario runner as a whole: the same scenario gives the same bytes,
// and a machine kept with --machine carries its state into the next run.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "runner/output.h"
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
    if (entry.is_regular_file()) files[fs::relative(entry.path(), directory).string()] = testing::ReadFile(entry.path());
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

TEST(ScenarioRunnerTest, TheSameScenarioGivesTheSameOutputAndMachineFiles) {
  Scenario scenario = ParseScenario(kPulledFor20Minutes, "pulled.scn");
  testing::ScratchDir scratch;
  std::string outputs[2];
  std::map<std::string, std::string> files[2];
  for (int run = 0; run < 2; ++run) {
    fs::path machine = scratch.path() / ("machine" + std::to_string(run));
    outputs[run] = RenderJson(RunScenario(scenario, {.machine = machine}).observations, {.trace = true, .clock = scenario.clock});
    files[run] = MachineFiles(machine);
  }
  EXPECT_EQ(outputs[0], outputs[1]);
  EXPECT_EQ(files[0], files[1]);
  EXPECT_TRUE(files[0].contains("registry.reg"));
  EXPECT_TRUE(files[0].contains("drive_c/QOR/QVMAlertMan/Temp/fenratrace1.log"));
}

TEST(ScenarioRunnerTest, AKeptMachineCarriesTheSimplexStartIntoTheNextRun) {
  Scenario scenario = ParseScenario(kPulledFor20Minutes, "pulled.scn");
  testing::ScratchDir scratch;
  fs::path machine = scratch.path() / "machine";
  auto alert_times = [&] {
    std::vector<uint64_t> times;
    for (const Observation& o : RunScenario(scenario, {.machine = machine}).observations)
      if (o.kind == Observation::Kind::kEvent && o.source == "QVMFTMarvix") times.push_back(o.t_ms);
    return times;
  };
  // The first run's SIMPLEX ends before its 30-minute timer: no alert, but
  // its start is stored; within the long threshold the second run's
  // SIMPLEX is announced after 20 seconds, and its return 1 second later.
  EXPECT_EQ(alert_times(), std::vector<uint64_t>{});
  EXPECT_EQ(alert_times(), (std::vector<uint64_t>{620200, 1801200}));
  EXPECT_EQ(sim::ReadEventLog(machine / "eventlog.jsonl").size(), 6u);
}

}  // namespace
}  // namespace fenra::runner
