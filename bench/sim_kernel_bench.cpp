// Cost of the simulated kernel's scheduler on virtual time.

#include <benchmark/benchmark.h>

#include <vector>

#include "bench/bench_support.h"
#include "platform/sim/fiber.h"
#include "platform/sim/sim_kernel.h"
#include "runner/scenario.h"
#include "runner/scenario_run.h"

namespace fenra::sim {
namespace {

KernelOptions Virtual() {
  KernelOptions options;
  options.virtual_time = true;
  return options;
}

// A fiber that does nothing but give the processor back: each Resume is
// one switch into it and one back.
class IdleFiber {
 public:
  IdleFiber() : fiber_([this] { Loop(); }, 64 * 1024) {}
  ~IdleFiber() {
    stop_ = true;
    fiber_.Resume(host_);
  }
  void Resume() { fiber_.Resume(host_); }

 private:
  void Loop() {
    while (!stop_) fiber_.Suspend();
  }
  Fiber::Host host_;
  bool stop_ = false;
  Fiber fiber_;
};

// The floor of a wake-up on virtual time: one switch into a simulated
// thread and one back, with nothing else.
void BM_FiberSwitchFloor(benchmark::State& state) {
  IdleFiber fiber;
  for (auto _ : state) fiber.Resume();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FiberSwitchFloor);

// Two threads hand a token back and forth through auto-reset events: the
// cost of one cross-thread wake-up.
void BM_PingPong(benchmark::State& state) {
  SimKernel kernel(Virtual());
  SimKernel::Attachment attachment = kernel.Attach("bench");
  Handle ping = kernel.CreateEvent(false, false);
  Handle pong = kernel.CreateEvent(false, false);
  const auto rounds = static_cast<int>(state.range(0));
  for (auto _ : state) {
    Handle partner = kernel.CreateThread([&] {
      for (int i = 0; i < rounds; ++i) {
        kernel.WaitForSingleObject(ping, win::kInfinite);
        kernel.SetEvent(pong);
      }
      return 0u;
    });
    for (int i = 0; i < rounds; ++i) {
      kernel.SetEvent(ping);
      kernel.WaitForSingleObject(pong, win::kInfinite);
    }
    kernel.WaitForSingleObject(partner, win::kInfinite);
  }
  state.SetItemsProcessed(state.iterations() * rounds * 2);
}
BENCHMARK(BM_PingPong)->Arg(1000)->UseRealTime();

// The ratio of a ping-pong round (a wake-up there and one back) to the
// floor (a switch there and back), blocks of 1000 interleaved on the
// thread's CPU clock (the simulated threads run on it); "ratio" is the
// median of the blocks' ratios.
void BM_PingPongOverFloor(benchmark::State& state) {
  constexpr int kRounds = 1000;
  SimKernel kernel(Virtual());
  SimKernel::Attachment attachment = kernel.Attach("bench");
  Handle ping = kernel.CreateEvent(false, false);
  Handle pong = kernel.CreateEvent(false, false);
  Handle partner = kernel.CreateThread([&] {
    for (;;) {
      kernel.WaitForSingleObject(ping, win::kInfinite);
      kernel.SetEvent(pong);
    }
    return 0u;
  });
  IdleFiber floor;
  std::vector<double> ratios;
  for (auto _ : state)
    ratios.push_back(bench::InterleavedRatio(
        ratios.size(), kRounds,
        [&] {
          kernel.SetEvent(ping);
          kernel.WaitForSingleObject(pong, win::kInfinite);
        },
        [&] { floor.Resume(); }));
  if (!ratios.empty()) state.counters["ratio"] = bench::Median(ratios);
}
BENCHMARK(BM_PingPongOverFloor)->Unit(benchmark::kMicrosecond);

// The service's polling shape: three threads waking every 100 ms and one
// every second, for one simulated hour.
void BM_SimulatedHourOfPolling(benchmark::State& state) {
  for (auto _ : state) {
    SimKernel kernel(Virtual());
    SimKernel::Attachment attachment = kernel.Attach("bench");
    Handle stop = kernel.CreateEvent(true, false);
    std::vector<Handle> pollers;
    for (uint32_t period : {100u, 100u, 100u, 1000u}) {
      pollers.push_back(kernel.CreateThread([&kernel, stop, period] {
        while (kernel.WaitForSingleObject(stop, period) == win::kWaitTimeout) {
        }
        return 0u;
      }));
    }
    kernel.Sleep(3600 * 1000);
    kernel.SetEvent(stop);
    kernel.WaitForMultipleObjects(pollers, true, win::kInfinite);
  }
  constexpr int kWakeUps = 3 * 36000 + 3600;
  state.SetItemsProcessed(state.iterations() * kWakeUps);
  // The floor: as many switches into a thread and back, on the thread's
  // CPU clock ("floor_ms"; the figure's CPU time is the benchmark's own).
  IdleFiber floor;
  double start = bench::ThreadCpuNs();
  for (int i = 0; i < kWakeUps; ++i) floor.Resume();
  state.counters["floor_ms"] = (bench::ThreadCpuNs() - start) / 1e6;
}
BENCHMARK(BM_SimulatedHourOfPolling)->Unit(benchmark::kMillisecond)->UseRealTime();

// A simulated day of the whole service on which nothing happens
// (bench/idle_day.scn through the scenario runner, machine and all) beside
// its floor: as many switches into a simulated thread and back as the day
// had wake-ups, timed in the same iteration on the thread's CPU clock
// (every simulated thread runs on it). "ratio" is the median of the
// iterations' ratios.
void BM_SimulatedIdleDay(benchmark::State& state) {
  const runner::Scenario day = runner::LoadScenario(FENRA_BENCH_DIR "/idle_day.scn");
  IdleFiber floor;
  std::vector<double> day_ms, floor_ms, ratios;
  uint64_t wake_ups = 0;
  for (auto _ : state) {
    double start = bench::ThreadCpuNs();
    runner::RunResult result = runner::RunScenario(day, {.machine = {}, .observe = [](const runner::Observation&) {}});
    double middle = bench::ThreadCpuNs();
    wake_ups = result.wake_ups;
    for (uint64_t i = 0; i < wake_ups; ++i) floor.Resume();
    double end = bench::ThreadCpuNs();
    state.SetIterationTime((middle - start) / 1e9);
    day_ms.push_back((middle - start) / 1e6);
    floor_ms.push_back((end - middle) / 1e6);
    ratios.push_back(day_ms.back() / floor_ms.back());
  }
  state.counters["wake_ups"] = static_cast<double>(wake_ups);
  state.counters["day_cpu_ms"] = bench::Median(day_ms);
  state.counters["floor_cpu_ms"] = bench::Median(floor_ms);
  state.counters["ns_per_wake_up"] = bench::Median(day_ms) * 1e6 / static_cast<double>(wake_ups);
  state.counters["ratio"] = bench::Median(ratios);
}
BENCHMARK(BM_SimulatedIdleDay)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace fenra::sim

BENCHMARK_MAIN();
