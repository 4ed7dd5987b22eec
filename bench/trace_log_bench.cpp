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

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

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

// The floor: the same bytes appended with open, write and close, rotated at
// the same size as the trace files.
void BM_TraceLineFloor(benchmark::State& state) {
  ScratchMachine scratch;
  std::string path = (scratch.TraceDirectory() / "fenratrace1.log").string();
  std::string line = std::string("2026/01/01 01:00'00\"000 ") + kMessage + "\r\n";
  uint64_t size = 0;
  for (auto _ : state) {
    int truncate = size > Trace::kMaxFileSize ? O_TRUNC : 0;
    if (truncate) size = 0;
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | truncate, 0666);
    if (fd < 0 || write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
      state.SkipWithError("append failed");
      break;
    }
    size += line.size();
    close(fd);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TraceLineFloor);
BENCHMARK(BM_TraceLineFloor)->Iterations(kFixedCount);

}  // namespace
}  // namespace fenra::sim
