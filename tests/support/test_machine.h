#pragma once
// A simulated machine in a fresh temporary directory, on virtual time by
// default, with readers for what the service leaves behind.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/sim_event_log.h"
#include "platform/sim/sim_machine.h"

namespace fenra::testing {

sim::MachineOptions VirtualTime(bool started_by_scm = false);

// A fresh temporary directory, removed with everything in it at the end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

class TestMachine {
 public:
  // Edits the baseline machine's directory before the machine loads it.
  using Prepare = std::function<void(const std::filesystem::path& directory)>;
  // The directory is removed at the end; threads of the service must have ended.
  explicit TestMachine(sim::MachineOptions options = VirtualTime(), Prepare prepare = nullptr);

  sim::SimMachine& operator*() { return *machine_; }
  sim::SimMachine* operator->() { return machine_.get(); }
  Platform& platform() { return machine_->platform(); }

  // The host path of a file in the trace folder.
  std::filesystem::path TracePath(const std::string& file_name);
  // The messages of the trace log (time stamps and CR LF removed), oldest
  // first, across both trace files.
  std::vector<std::string> TraceMessages();
  // The records of the event log.
  std::vector<sim::EventLogRecord> Events();
  // Their event IDs.
  std::vector<uint32_t> EventIds();

 private:
  ScratchDir scratch_;
  std::unique_ptr<sim::SimMachine> machine_;
  // The test's thread drives the machine's kernel on virtual time.
  std::optional<sim::SimKernel::Attachment> attachment_;
};

// Reads a whole host file.
std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& content);

}  // namespace fenra::testing
