// Cost of one trace line on the simulated machine, beside its floor: the
// bare system calls a line needs (open for append, one write, close) on the
// same bytes, in the same directory, in the same run.
//
// The /iterations:20000 variants run a fixed count, so that
// `strace -c -f` divided by 20000 gives the system calls of one line.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "diagnostics/trace_log.h"

namespace fenra::sim {
namespace {

using bench::FloorWriter;
using bench::ScratchMachine;

// A line as the service writes it: a stamp of 24 characters, a message of
// about 60, CR LF.
constexpr const char* kMessage = "[WMIThread]CheckState() : Group=0 Module=1 State=0x180016";
constexpr int kFixedCount = 20000;

// The floor: the same bytes appended with open, write and close, to a file
// beside the trace files, rotated at the same size.
FloorWriter TraceFloor(ScratchMachine& scratch) {
  return FloorWriter(scratch.TraceDirectory() / "floor.log", std::string("2026/01/01 01:00'00\"000 ") + kMessage + "\r\n",
                     Trace::kMaxFileSize);
}

// One line through Trace, under the trace mutex as in the service.
void BM_TraceLine(benchmark::State& state) {
  ScratchMachine scratch;
  Trace trace(scratch.machine().platform());
  trace.CreateTraceMutex();
  for (auto _ : state) trace.TraceLog(kMessage);
  trace.CloseTraceMutex();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TraceLine);
BENCHMARK(BM_TraceLine)->Iterations(kFixedCount);

void BM_TraceLineFloor(benchmark::State& state) {
  ScratchMachine scratch;
  FloorWriter floor = TraceFloor(scratch);
  for (auto _ : state) {
    if (!floor.Append()) {
      state.SkipWithError("append failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TraceLineFloor);
BENCHMARK(BM_TraceLineFloor)->Iterations(kFixedCount);

// The ratio itself, steady on a busy machine: each iteration times a block
// of lines and a block of floor appends on the thread's CPU clock, in turn
// first, so both meet the same conditions; "ratio" is the median of the
// blocks' ratios (line / floor).
void BM_TraceLineOverFloor(benchmark::State& state) {
  constexpr int kBlock = 32;
  ScratchMachine scratch;
  Trace trace(scratch.machine().platform());
  trace.CreateTraceMutex();
  FloorWriter floor = TraceFloor(scratch);
  std::vector<double> ratios;
  for (auto _ : state)
    ratios.push_back(bench::InterleavedRatio(
        ratios.size(), kBlock, [&] { trace.TraceLog(kMessage); }, [&] { floor.Append(); }));
  trace.CloseTraceMutex();
  if (!ratios.empty()) state.counters["ratio"] = bench::Median(ratios);
}
BENCHMARK(BM_TraceLineOverFloor)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace fenra::sim
