// Cost of the simulated kernel's scheduler on virtual time.

#include <benchmark/benchmark.h>

#include <vector>

#include "platform/sim/fiber.h"
#include "platform/sim/sim_kernel.h"

namespace fenra::sim {
namespace {

KernelOptions Virtual() {
  KernelOptions options;
  options.virtual_time = true;
  return options;
}

// The floor of a wake-up on virtual time: one switch into a simulated
// thread and one back, with nothing else.
void BM_FiberSwitchFloor(benchmark::State& state) {
  Fiber::Host host;
  bool stop = false;
  Fiber* self = nullptr;
  Fiber fiber(
      [&] {
        while (!stop) self->Suspend();
      },
      64 * 1024);
  self = &fiber;
  for (auto _ : state) fiber.Resume(host);
  stop = true;
  fiber.Resume(host);
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
  state.SetItemsProcessed(state.iterations() * (3 * 36000 + 3600));
}
BENCHMARK(BM_SimulatedHourOfPolling)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace fenra::sim

BENCHMARK_MAIN();
