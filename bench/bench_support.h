#pragma once
// What the benchmarks share: a simulated machine in a scratch directory,
// the floor of a line appended to a file (open for append, one write,
// close), the thread's CPU clock and the interleaved ratio of two blocks.

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

#include "platform/sim/sim_machine.h"

namespace fenra::bench {

class ScratchMachine {
 public:
  ScratchMachine() {
    std::string pattern = (std::filesystem::temp_directory_path() / "fenra-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    machine_ = std::make_unique<sim::SimMachine>(root_ / "machine");
  }
  ~ScratchMachine() {
    machine_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  ScratchMachine(const ScratchMachine&) = delete;
  ScratchMachine& operator=(const ScratchMachine&) = delete;

  sim::SimMachine& machine() { return *machine_; }
  std::filesystem::path TraceDirectory() { return machine_->HostPath(sim::SimMachine::kBaselineTraceDir); }

 private:
  std::filesystem::path root_;
  std::unique_ptr<sim::SimMachine> machine_;
};

// The floor of writing `line` into a file: open for append, one write,
// close; the file starts over once it holds `rotate_at` bytes.
class FloorWriter {
 public:
  FloorWriter(std::filesystem::path path, std::string line, uint64_t rotate_at)
      : path_(path.string()), line_(std::move(line)), rotate_at_(rotate_at) {}

  bool Append() {
    int truncate = size_ > rotate_at_ ? O_TRUNC : 0;
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
  const uint64_t rotate_at_;
  uint64_t size_ = 0;
};

inline double ThreadCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

inline double Median(std::vector<double> values) {
  std::nth_element(values.begin(), values.begin() + static_cast<long>(values.size() / 2), values.end());
  return values[values.size() / 2];
}

// One block of `count` calls of `figure` and one of `floor`, each timed on
// the thread's CPU clock, the first of them in turn (by `round`): the
// ratio figure / floor of the round. The median of many rounds is steady
// on a busy machine.
template <typename Figure, typename Floor>
double InterleavedRatio(size_t round, int count, Figure&& figure, Floor&& floor) {
  auto timed = [count](auto&& block) {
    double start = ThreadCpuNs();
    for (int i = 0; i < count; ++i) block();
    return ThreadCpuNs() - start;
  };
  bool figure_first = round % 2 == 0;
  double floor_ns = figure_first ? 0 : timed(floor);
  double figure_ns = timed(figure);
  if (figure_first) floor_ns = timed(floor);
  return figure_ns / floor_ns;
}

}  // namespace fenra::bench
