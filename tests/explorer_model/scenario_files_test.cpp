// The model against the service itself: every scenario file's expected
// output (a real run) must be one the model allows, or the model must say
// it has no prediction.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "explorer/model.h"
#include "runner/scenario.h"

namespace fenra::explorer {
namespace {

namespace fs = std::filesystem;

std::vector<runner::Observation> ReadExpected(const fs::path& file) {
  std::vector<runner::Observation> observations;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    nlohmann::json item = nlohmann::json::parse(line);
    runner::Observation o;
    o.t_ms = item["t_ms"];
    const std::string kind = item["kind"];
    if (kind == "input") {
      o.kind = runner::Observation::Kind::kInput;
      o.directive = item["directive"];
    } else if (kind == "event") {
      o.kind = runner::Observation::Kind::kEvent;
      o.source = item["source"];
      o.event_id = item["event_id"];
      o.strings = item["strings"].get<std::vector<std::string>>();
    } else {
      continue;
    }
    observations.push_back(std::move(o));
  }
  return observations;
}

std::vector<std::string> ScenarioFiles() {
  std::vector<std::string> files;
  for (const char* folder : {"scenarios", "tests/scenarios"})
    for (const auto& entry : fs::directory_iterator(fs::path(FENRA_SOURCE_DIR) / folder))
      if (entry.path().extension() == ".scn" && fs::exists(fs::path(entry.path()).replace_extension(".expected")))
        files.push_back(fs::relative(entry.path(), FENRA_SOURCE_DIR).string());
  std::sort(files.begin(), files.end());
  return files;
}

class ScenarioFile : public testing::TestWithParam<std::string> {};

TEST_P(ScenarioFile, RunIsOneTheRulesAllow) {
  fs::path file = fs::path(FENRA_SOURCE_DIR) / GetParam();
  runner::Scenario scenario = runner::LoadScenario(file.string());
  Prediction prediction = Predict(scenario);
  std::vector<ObservedAlert> alerts = ReadAlerts(scenario, ReadExpected(fs::path(file).replace_extension(".expected")));
  std::string description;
  for (const std::string& line : Describe(prediction)) description += "\n  " + line;
  for (const Disagreement& d : Compare(prediction, alerts)) ADD_FAILURE() << d.what << "\nprediction:" << description;
}

INSTANTIATE_TEST_SUITE_P(All, ScenarioFile, testing::ValuesIn(ScenarioFiles()),
                         [](const testing::TestParamInfo<std::string>& param) {
                           std::string name = fs::path(param.param).stem().string();
                           std::replace(name.begin(), name.end(), '-', '_');
                           return (param.param.starts_with("tests") ? "t_" : "") + name;
                         });

}  // namespace
}  // namespace fenra::explorer
