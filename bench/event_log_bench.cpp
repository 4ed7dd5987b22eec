// Cost of one event-log record on the simulated machine (real time), beside
// its floor: the record's own line appended to a file with open, one write
// and close, in the same directory, in the same run.

#include <benchmark/benchmark.h>

#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "diagnostics/event_ids.h"
#include "diagnostics/event_log_writer.h"

namespace fenra::sim {
namespace {

using bench::FloorWriter;
using bench::ScratchMachine;

// An alert as the composer writes it (about 180 bytes).
constexpr const char* kAlert =
    "CPU Module changed to SIMPLEX state.\n[Occurrence Time] 2026.12.03  22:53:04\n"
    " (BMC FW:03.15  Zelm: 1.1)\n[Details]\n0 SIMPLEX\n1 REMOVED";

int16_t WriteAlert(Platform& platform) {
  return WriteEventLog(platform, EVSRC_FTMARVIX, EVID_SIMPLEX_ALERT, kAlert, win::kEventlogWarningType, "StdAfx",
                       __LINE__);
}

// The floor writes the line the machine wrote for the first record.
FloorWriter RecordFloor(ScratchMachine& scratch) {
  WriteAlert(scratch.machine().platform());
  std::ifstream log(scratch.machine().event_log_path());
  std::string line;
  std::getline(log, line);
  return FloorWriter(scratch.machine().directory() / "floor.jsonl", line + "\n", UINT64_MAX);
}

// One alert through WriteEventLog: the source opened, the record appended
// to eventlog.jsonl, the source closed.
void BM_EventLogRecord(benchmark::State& state) {
  ScratchMachine scratch;
  Platform& platform = scratch.machine().platform();
  for (auto _ : state) {
    if (WriteAlert(platform) != 0) {
      state.SkipWithError("the record was not written");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EventLogRecord);

void BM_EventLogRecordFloor(benchmark::State& state) {
  ScratchMachine scratch;
  FloorWriter floor = RecordFloor(scratch);
  for (auto _ : state) {
    if (!floor.Append()) {
      state.SkipWithError("append failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EventLogRecordFloor);

// The ratio record / floor, blocks of 32 interleaved on the thread's CPU
// clock; "ratio" is the median of the blocks' ratios.
void BM_EventLogRecordOverFloor(benchmark::State& state) {
  ScratchMachine scratch;
  Platform& platform = scratch.machine().platform();
  FloorWriter floor = RecordFloor(scratch);
  std::vector<double> ratios;
  for (auto _ : state)
    ratios.push_back(bench::InterleavedRatio(
        ratios.size(), 32, [&] { WriteAlert(platform); }, [&] { floor.Append(); }));
  if (!ratios.empty()) state.counters["ratio"] = bench::Median(ratios);
}
BENCHMARK(BM_EventLogRecordOverFloor)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace fenra::sim
