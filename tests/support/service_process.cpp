#include "support/service_process.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "service/entry.h"
#include "service/service_module.h"

namespace fenra::testing {

sim::MachineOptions VirtualTimeAt(LocalTime local_time) {
  sim::MachineOptions options = VirtualTime();
  options.kernel.start_local_time = local_time;
  return options;
}

uint32_t FenraImage(sim::SimProcess& process) {
  CServiceModule& module = process.Make<CServiceModule>(process.platform());
  return static_cast<uint32_t>(ProcessEntry(module, process.platform()));
}

int RunFenra(sim::SimMachine& machine, const std::string& arguments, const std::string& executable,
             sim::SimMachine::ProcessMain image) {
  std::string command_line = executable.empty() ? machine.version_info().GetModuleFileName() : executable;
  if (!arguments.empty()) command_line += " " + arguments;
  sim::ProcessOptions options;
  options.command_line = command_line;
  Handle process = machine.StartProcess(options, std::move(image));
  uint32_t exit_code = 0;
  if (machine.kernel().WaitForSingleObject(process, win::kInfinite) != win::kWaitObject0 ||
      !machine.kernel().GetExitCodeProcess(process, &exit_code))
    throw std::runtime_error("FENRA.exe " + arguments + " did not end");
  return static_cast<int>(exit_code);
}

void ServiceProcess::SetValue(const std::string& key_path, const char* name, uint32_t type,
                              const std::vector<uint8_t>& data) {
  if (machine->registry().SetRaw(Hive::kLocalMachine, key_path, name, type, data) != 0)
    throw std::runtime_error(std::string("cannot set ") + key_path + "\\" + name);
}

std::optional<RegValue> ServiceProcess::Value(const std::string& key_path, const char* name) {
  std::optional<sim::RegValue> value = machine->registry().GetRaw(Hive::kLocalMachine, key_path, name);
  if (!value) return std::nullopt;
  return RegValue{value->type, value->data};
}

void ServiceProcess::DeleteValue(const std::string& key_path, const char* name) {
  RegKeyPtr key;
  if (machine.platform().registry.OpenKey(Hive::kLocalMachine, key_path, win::kKeyAllAccess, &key) != 0 ||
      machine.platform().registry.DeleteValue(*key, name) != 0)
    throw std::runtime_error(std::string("cannot delete ") + name);
}

bool ServiceProcess::Traced(const std::string& message) {
  auto messages = machine.TraceMessages();
  return std::find(messages.begin(), messages.end(), message) != messages.end();
}

std::vector<std::string> ServiceProcess::NewTraces() {
  std::vector<std::string> messages = machine.TraceMessages();
  std::vector<std::string> fresh(messages.begin() + static_cast<std::ptrdiff_t>(std::min(seen_traces_, messages.size())),
                                 messages.end());
  seen_traces_ = messages.size();
  return fresh;
}

}  // namespace fenra::testing
