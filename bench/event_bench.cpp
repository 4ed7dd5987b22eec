// Events per second through the whole service on virtual time: the WMI
// thread's parsing of the event text, the transition table with its
// hand-over to the timer manager and the timers it starts and cancels, and
// every trace line and registry write on the way. The 100 ms pause after
// each event (the pulse request) passes on the virtual clock and costs
// nothing here.
//
// The service runs twice per iteration, on the thread's CPU clock: with
// EVENTS state changes (a CPU module flapping SIMPLEX / DUPLEX every 2 s),
// and idle for the same simulated time. The difference is the events' cost;
// its floor is the trace lines they add, appended bare (open, write, close).

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "diagnostics/trace_log.h"
#include "runner/scenario.h"
#include "runner/scenario_run.h"

namespace fenra::sim {
namespace {

constexpr int kFirstEventS = 240;  // all three WMI threads run by then
constexpr int kSpacingS = 2;

std::string Clock(int seconds) {
  char text[16];
  snprintf(text, sizeof(text), "%d:%02d:%02d", seconds / 3600, seconds / 60 % 60, seconds % 60);
  return text;
}

// The service, its CPU module 0 changing state `events` times.
runner::Scenario Flaps(int events, int all_events) {
  std::string text =
      "ini FENRA.ini MODE SIMPLEX_FILTER_TIME 0\n"
      "module DOD_CPUBoard 0 DUPLEX\n"
      "module DOD_CPUBoard 1 DUPLEX\n"
      "0:00:00 start\n";
  for (int i = 0; i < events; ++i)
    text += Clock(kFirstEventS + kSpacingS * i) + " state DOD_CPUBoard 0 " + (i % 2 == 0 ? "SIMPLEX" : "DUPLEX") + "\n";
  text += Clock(kFirstEventS + kSpacingS * all_events + 10) + " end\n";
  return runner::ParseScenario(text, "flaps");
}

size_t TraceLines(const runner::RunResult& result) {
  size_t lines = 0;
  for (const runner::Observation& observation : result.observations)
    lines += observation.kind == runner::Observation::Kind::kTrace ? 1 : 0;
  return lines;
}

void BM_EventsThroughTheService(benchmark::State& state) {
  const int events = static_cast<int>(state.range(0));
  const runner::Scenario busy = Flaps(events, events);
  const runner::Scenario idle = Flaps(0, events);
  bench::ScratchMachine scratch;
  // The floor: the lines the events add, bare.
  bench::FloorWriter floor(scratch.TraceDirectory() / "floor.log",
                           "2026/01/04 01:04'00\"000 [WMIThread 0]wms.getEvent res2 = 0\r\n", Trace::kMaxFileSize);
  std::vector<double> event_ns, floor_ns, ratios;
  double lines_per_event = 0;
  for (auto _ : state) {
    double start = bench::ThreadCpuNs();
    size_t idle_lines = TraceLines(runner::RunScenario(idle));
    double middle = bench::ThreadCpuNs();
    size_t busy_lines = TraceLines(runner::RunScenario(busy));
    double end = bench::ThreadCpuNs();
    for (size_t i = idle_lines; i < busy_lines; ++i) floor.Append();
    double floor_end = bench::ThreadCpuNs();
    double cost_ns = (end - middle) - (middle - start);
    state.SetIterationTime(cost_ns / 1e9);
    event_ns.push_back(cost_ns / events);
    floor_ns.push_back((floor_end - end) / events);
    ratios.push_back(event_ns.back() / floor_ns.back());
    lines_per_event = static_cast<double>(busy_lines - idle_lines) / events;
  }
  state.SetItemsProcessed(state.iterations() * events);
  state.counters["us_per_event"] = bench::Median(event_ns) / 1000;
  state.counters["trace_lines_per_event"] = lines_per_event;
  state.counters["floor_us_per_event"] = bench::Median(floor_ns) / 1000;
  state.counters["ratio"] = bench::Median(ratios);
}
BENCHMARK(BM_EventsThroughTheService)->Arg(1000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace fenra::sim
