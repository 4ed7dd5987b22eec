// Runs scenario files in-process and compares their JSON-lines output with
// the expected file beside each (NAME.scn -> NAME.expected). Each run's
// picture (fenra-sim --timeline) is held to the run too: its pair rows to
// the monitor's own trace lines, its labels apart.
//
//   fenra_scenario_check [--update] SCENARIO...
//
// A scenario whose leading comment lines hold "# test: --trace" is compared
// with its trace lines too. --update writes the expected files instead.
// Exit 0 when every output matches, 1 when one differs or has no expected
// file: a scenario without one is a failing test, never a skipped one, so
// that deleting an expected file cannot quietly remove its test.

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "runner/output.h"
#include "runner/scenario.h"
#include "runner/scenario_run.h"
#include "runner/timeline.h"
#include "runner/timeline_check.h"

namespace {

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// "# test: --trace" among the comment lines that open the file.
bool WantsTrace(const std::string& text) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line) && (line.empty() || line[0] == '#');)
    if (line.starts_with("# test:") && line.find("--trace") != std::string::npos) return true;
  return false;
}

std::string Line(const std::string& text, size_t number) {
  std::istringstream in(text);
  std::string line;
  for (size_t i = 0; i <= number; ++i)
    if (!std::getline(in, line)) return "(end of output)";
  return line;
}

// Where the two texts first differ, as a message.
std::string FirstDifference(const std::string& expected, const std::string& actual) {
  size_t line = 0;
  for (size_t i = 0; i < std::min(expected.size(), actual.size()) && expected[i] == actual[i]; ++i)
    if (expected[i] == '\n') ++line;
  return "first difference on line " + std::to_string(line + 1) + ":\n  expected: " + Line(expected, line) +
         "\n  actual:   " + Line(actual, line);
}

}  // namespace

int main(int argc, char** argv) {
  bool update = false;
  int failures = 0;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--update") == 0) {
      update = true;
      continue;
    }
    std::filesystem::path file = argv[i];
    std::filesystem::path expected_file = std::filesystem::path(file).replace_extension(".expected");
    std::string actual;
    std::vector<std::string> picture_problems;
    try {
      fenra::runner::Scenario scenario = fenra::runner::LoadScenario(file.string());
      fenra::runner::RunResult result = fenra::runner::RunScenario(scenario);
      actual =
          fenra::runner::RenderJson(result.observations, {.trace = WantsTrace(ReadAll(file)), .clock = scenario.clock});
      if (!result.failure.empty()) actual += "# run failed: " + result.failure + "\n";
      picture_problems = fenra::runner::CheckTimeline(scenario, result.observations,
                                                      fenra::runner::RenderTimeline(scenario, result.observations));
    } catch (const std::exception& e) {
      actual = std::string("# ") + e.what() + "\n";
    }
    for (const std::string& problem : picture_problems) printf("%s: timeline: %s\n", file.c_str(), problem.c_str());
    if (!picture_problems.empty()) ++failures;
    if (update) {
      std::ofstream(expected_file, std::ios::binary | std::ios::trunc) << actual;
      printf("%s: written\n", expected_file.c_str());
      continue;
    }
    if (!std::filesystem::exists(expected_file)) {
      printf("%s: no expected output: %s is missing; write it with fenra_scenario_check --update %s, read it, and "
             "commit it beside the scenario\n",
             file.c_str(), expected_file.c_str(), file.c_str());
      ++failures;
    } else if (std::string expected = ReadAll(expected_file); expected != actual) {
      printf("%s: the output differs from %s\n%s\n", file.c_str(), expected_file.c_str(),
             FirstDifference(expected, actual).c_str());
      ++failures;
    }
  }
  return failures > 0 ? 1 : 0;
}
