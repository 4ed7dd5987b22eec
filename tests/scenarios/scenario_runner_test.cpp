// The scenario runner as a whole: the same scenario gives the same bytes,
// and a machine kept with --machine is used again as it stands.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

// The first run keeps its observations and renders them at the end; the
// second prints each one as it happens through a Printer and keeps none.
TEST(ScenarioRunnerTest, TheSameScenarioGivesTheSameOutputAndMachineFiles) {
  Scenario scenario = ParseScenario(kPulledFor20Minutes, "pulled.scn");
  const OutputOptions options{.trace = true, .clock = scenario.clock};
  testing::ScratchDir scratch;
  std::string outputs[2];
  std::map<std::string, std::string> files[2];
  uint64_t wake_ups[2] = {};
  for (int run = 0; run < 2; ++run) {
    fs::path machine = scratch.path() / ("machine" + std::to_string(run));
    if (run == 0) {
      RunResult result = RunScenario(scenario, {.machine = machine});
      outputs[run] = RenderJson(result.observations, options);
      wake_ups[run] = result.wake_ups;
    } else {
      char* printed = nullptr;
      size_t size = 0;
      FILE* out = open_memstream(&printed, &size);
      RunResult result = RunScenario(scenario, {.machine = machine, .observe = Printer(out, true, options)});
      fclose(out);
      outputs[run].assign(printed, size);
      free(printed);
      EXPECT_TRUE(result.observations.empty());
      wake_ups[run] = result.wake_ups;
    }
    files[run] = MachineFiles(machine);
  }
  EXPECT_EQ(outputs[0], outputs[1]);
  EXPECT_NE(outputs[0].find("\"kind\": \"trace\""), std::string::npos);
  EXPECT_EQ(wake_ups[0], wake_ups[1]);
  EXPECT_GT(wake_ups[0], 3600u * 30);  // an hour of the service's polling
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
