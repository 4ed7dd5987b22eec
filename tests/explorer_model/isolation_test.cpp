// The model of the alert rules stands apart from the service it judges: it
// includes the scenario reader, the simulated hardware facts, the
// platform's plain types and its own headers only, and its library links
// the reader and the facts only. (Its build sees no other headers either:
// src/explorer/model/CMakeLists.txt.)

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

TEST(ModelIsolation, IncludesNothingOfTheMonitorTheAlertsTheSettingsOrTheSharedState) {
  const std::vector<std::string> allowed = {"explorer/model.h",        "explorer/model/",
                                            "runner/scenario.h",       "runner/scenario_hardware.h",
                                            "runner/observation.h",    "platform/kernel.h",
                                            "platform/sim/hardware_facts.h"};
  const fs::path src = fs::path(FENRA_SOURCE_DIR) / "src";
  std::vector<fs::path> files = {src / "explorer" / "model.h"};
  for (const auto& entry : fs::directory_iterator(src / "explorer" / "model")) files.push_back(entry.path());
  // Names of the monitor, the pair table, the shared state, the trace texts
  // and the alerts.
  const std::vector<std::string> service = {
      "trace_text",    "CHANGE_CPU",      "CHANGE_PCI",      "CHANGE_EXPCI",   "kSerialModules",  "kCpuBoardKey",
      "kPciBoardKey",  "kExPciBoardKey",  "kGroupCpu",       "kGroupPci",      "kDuplexOffset",   "SharedState",
      "TimerTable",    "TimerSlot",       "ApplyStateEvent", "ClassifyInitialStatus", "EventLogOut"};
  size_t read = 0;
  for (const fs::path& file : files) {
    if (file.extension() != ".h" && file.extension() != ".cpp") continue;
    ++read;
    std::ifstream in(file);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
      ++number;
      const size_t hash = line.find_first_not_of(" \t");
      if (hash != std::string::npos && line.compare(hash, 10, "#include \"") == 0) {
        const std::string header = line.substr(hash + 10, line.find('"', hash + 10) - hash - 10);
        bool ok = std::any_of(allowed.begin(), allowed.end(),
                              [&](const std::string& a) { return header.rfind(a, 0) == 0; });
        EXPECT_TRUE(ok && header.find("..") == std::string::npos)
            << file.filename().string() << ":" << number << " includes \"" << header << "\"";
      }
      for (const std::string& name : service)
        EXPECT_EQ(line.find(name), std::string::npos)
            << file.filename().string() << ":" << number << " names the service's " << name;
    }
  }
  EXPECT_GE(read, 9u);
}

TEST(ModelIsolation, LinksTheScenarioReaderAndTheHardwareFactsOnly) {
  const std::vector<std::string> allowed = {"fenra_scenario_reader", "fenra_sim_facts",
                                            "nlohmann_json::nlohmann_json", "fenra_warnings"};
  std::stringstream links(FENRA_MODEL_LINKS);
  size_t seen = 0;
  for (std::string library; std::getline(links, library, '|');) {
    if (library.empty()) continue;
    ++seen;
    EXPECT_NE(std::find(allowed.begin(), allowed.end(), library), allowed.end())
        << "the model's libraries link " << library;
  }
  EXPECT_GE(seen, 3u);
}

}  // namespace
