#pragma once
// One service process on a simulated machine: the runtime the core is
// handed (ports, trace, monitor state), with helpers to read and write raw
// registry values of HKEY_LOCAL_MACHINE.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "monitor/monitor_state.h"
#include "runtime.h"
#include "support/test_machine.h"

namespace fenra::testing {

struct RegValue {
  uint32_t type = 0;
  std::vector<uint8_t> data;
  bool operator==(const RegValue&) const = default;
};

sim::MachineOptions VirtualTimeAt(LocalTime local_time);

// FENRA.exe as the image of a simulated process: a service module of the
// process and the process entry.
uint32_t FenraImage(sim::SimProcess& process);
// Runs FENRA.exe with `arguments` after its path ("-Service") as a process
// of the machine, to its end; its exit code. `image` is the process's
// FENRA.exe (a test's may wrap its ports).
int RunFenra(sim::SimMachine& machine, const std::string& arguments, const std::string& executable = {},
             sim::SimMachine::ProcessMain image = FenraImage);

class ServiceProcess {
 public:
  explicit ServiceProcess(sim::MachineOptions options = VirtualTime(), TestMachine::Prepare prepare = nullptr)
      : machine(options, std::move(prepare)) {}

  // Writes the value (creating its key); a text's terminator is not added.
  void SetValue(const std::string& key_path, const char* name, uint32_t type, const std::vector<uint8_t>& data);
  void SetText(const std::string& key_path, const char* name, const std::string& text_with_or_without_nul) {
    SetValue(key_path, name, win::kRegSz, std::vector<uint8_t>(text_with_or_without_nul.begin(),
                                                               text_with_or_without_nul.end()));
  }
  std::optional<RegValue> Value(const std::string& key_path, const char* name);
  void DeleteValue(const std::string& key_path, const char* name);
  bool Traced(const std::string& message);
  // Trace messages written since the last call.
  std::vector<std::string> NewTraces();

  TestMachine machine;
  Kernel& kernel = machine.platform().kernel;
  Trace trace{machine.platform()};
  MonitorState monitor;
  Runtime runtime{machine.platform(), trace, monitor};

 private:
  size_t seen_traces_ = 0;
};

}  // namespace fenra::testing
