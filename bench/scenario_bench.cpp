// A whole simulated day through the scenario runner: the service on virtual
// time with a PCI module pulled and re-inserted (day_module_pulled.scn).

#include <benchmark/benchmark.h>

#include "runner/output.h"
#include "runner/scenario.h"
#include "runner/scenario_run.h"

namespace {

void BM_SimulatedDayWithAModulePulled(benchmark::State& state) {
  fenra::runner::Scenario scenario = fenra::runner::LoadScenario(FENRA_BENCH_DIR "/day_module_pulled.scn");
  size_t lines = 0;
  for (auto _ : state) {
    fenra::runner::RunResult result = fenra::runner::RunScenario(scenario);
    std::string json = fenra::runner::RenderJson(result.observations, {.trace = true, .clock = scenario.clock});
    lines = result.observations.size();
    benchmark::DoNotOptimize(json);
  }
  state.counters["observations"] = static_cast<double>(lines);
}
BENCHMARK(BM_SimulatedDayWithAModulePulled)->Unit(benchmark::kSecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
