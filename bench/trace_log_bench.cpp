// Cost of one trace line on the simulated machine, beside its floor: the
// bare system calls a line needs (open for append, one write, close) on the
// same bytes, in the same directory, in the same run.
//
// The /iterations:20000 variants run a fixed count, so that
// `strace -c -f` divided by 20000 gives the system calls of one line.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "diagnostics/trace_log.h"
#include "platform/sim/sim_machine.h"

namespace fenra::sim {
namespace {

// A line as the service writes it: a stamp of 24 characters, a message of
// about 60, CR LF.
constexpr const char* kMessage = "[WMIThread]CheckState() : Group=0 Module=1 State=0x180016";
constexpr int kFixedCount = 20000;

class ScratchMachine {
 public:
  ScratchMachine() {
    std::string pattern = (std::filesystem::temp_directory_path() / "fenra-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    machine_ = std::make_unique<SimMachine>(root_ / "machine");
  }
  ~ScratchMachine() {
    machine_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  ScratchMachine(const ScratchMachine&) = delete;
  ScratchMachine& operator=(const ScratchMachine&) = delete;

  SimMachine& machine() { return *machine_; }
  std::filesystem::path TraceDirectory() { return machine_->HostPath(SimMachine::kBaselineTraceDir); }

 private:
  std::filesystem::path root_;
  std::unique_ptr<SimMachine> machine_;
};

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

// The floor: the same bytes appended with open, write and close, to a file
// beside the trace files, rotated at the same size.
class FloorWriter {
 public:
  explicit FloorWriter(ScratchMachine& scratch)
      : path_((scratch.TraceDirectory() / "floor.log").string()),
        line_(std::string("2026/01/01 01:00'00\"000 ") + kMessage + "\r\n") {}

  bool Append() {
    int truncate = size_ > Trace::kMaxFileSize ? O_TRUNC : 0;
    if (truncate) size_ = 0;
    int fd = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | truncate, 0666);
    if (fd < 0) return false;
    bool written = write(fd, line_.data(), line_.size()) == static_cast<ssize_t>(line_.size());
    size_ += line_.size();
    close(fd);
    return written;
  }

 private:
  const std::string path_;
  const std::string line_;
  uint64_t size_ = 0;
};

void BM_TraceLineFloor(benchmark::State& state) {
  ScratchMachine scratch;
  FloorWriter floor(scratch);
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

double ThreadCpuNs() {
  timespec now {};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

double Median(std::vector<double> values) {
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

// The ratio itself, steady on a busy machine: each iteration times a block
// of lines and a block of floor appends on the thread's CPU clock, in turn
// first, so both meet the same conditions; "ratio" is the median of the
// blocks' ratios (line / floor).
void BM_TraceLineOverFloor(benchmark::State& state) {
  constexpr int kBlock = 32;
  ScratchMachine scratch;
  Trace trace(scratch.machine().platform());
  trace.CreateTraceMutex();
  FloorWriter floor(scratch);
  std::vector<double> ratios;
  auto timed = [](auto&& block) {
    double start = ThreadCpuNs();
    for (int i = 0; i < kBlock; ++i) block();
    return ThreadCpuNs() - start;
  };
  for (auto _ : state) {
    bool line_first = ratios.size() % 2 == 0;
    double floor_ns = line_first ? 0 : timed([&] { floor.Append(); });
    double line_ns = timed([&] { trace.TraceLog(kMessage); });
    if (line_first) floor_ns = timed([&] { floor.Append(); });
    ratios.push_back(line_ns / floor_ns);
  }
  trace.CloseTraceMutex();
  if (!ratios.empty()) state.counters["ratio"] = Median(ratios);
}
BENCHMARK(BM_TraceLineOverFloor)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace fenra::sim
