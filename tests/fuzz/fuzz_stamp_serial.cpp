// Any stored SimplexDate, published serial number and kept copy (each
// value's presence, type and bytes from the input), on a simulated machine:
// CheckLongThreshold and CheckSerialNumber read them without overrunning
// their fields, answer within their results, and leave the registry as they
// promise.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "monitor/monitor_state.h"
#include "platform/sim/sim_machine.h"
#include "settings/persistent_state.h"

using namespace fenra;

namespace {

using Value = sim::RegValue;

// One machine for every input, on a stopped virtual clock (the present stamp
// is always 202601010000), with an empty registry: no trace, and a small
// file to write at each change.
struct Machine {
  Machine() : directory(MakeDirectory()), machine(directory, Options()), trace(machine.platform()) {}
  ~Machine() { std::filesystem::remove_all(directory); }
  static std::filesystem::path MakeDirectory() {
    std::string path = (std::filesystem::temp_directory_path() / "fenra-fuzz-XXXXXX").string();
    if (!mkdtemp(path.data())) abort();
    std::ofstream(std::filesystem::path(path) / sim::SimMachine::kRegistryFile)
        << "Windows Registry Editor Version 5.00\r\n";
    return path;
  }
  static sim::MachineOptions Options() {
    sim::MachineOptions options;
    options.kernel.virtual_time = true;
    return options;
  }
  std::filesystem::path directory;
  sim::SimMachine machine;
  Trace trace;
};

// Absent, or a value of one of the types that matter (or any type); as
// stored: a text's bytes that are not UTF-8 are replaced.
std::optional<Value> Store(FuzzedDataProvider& input, sim::SimRegistry& registry, const char* path, const char* name) {
  uint8_t kind = input.ConsumeIntegral<uint8_t>();
  if (kind % 8 == 0) {
    RegKeyPtr key;
    if (registry.OpenKey(Hive::kLocalMachine, path, win::kKeyAllAccess, &key) == 0) registry.DeleteValue(*key, name);
    return std::nullopt;
  }
  static constexpr uint32_t kTypes[] = {win::kRegSz, win::kRegBinary, win::kRegDword, win::kRegExpandSz};
  uint32_t type = kind % 8 <= 4 ? kTypes[kind % 8 - 1] : input.ConsumeIntegral<uint32_t>();
  std::vector<uint8_t> data = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 300));
  if (registry.SetRaw(Hive::kLocalMachine, path, name, type, data) != 0) abort();
  return registry.GetRaw(Hive::kLocalMachine, path, name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Machine* machine = new Machine;  // kept to the end: its directory is removed at exit
  static const int removed = atexit([] { delete machine; });
  (void)removed;
  sim::SimRegistry& registry = machine->machine.registry();
  auto read = [&registry](const char* path, const char* name) {
    return registry.GetRaw(Hive::kLocalMachine, path, name);
  };
  const SerialModule& cpu0 = kSerialModules[0];
  FuzzedDataProvider input(data, size);

  MonitorState monitor;
  MonitorConfig config;
  config.dwCpuLongThreshold = input.ConsumeIntegral<uint32_t>();
  monitor.PublishConfig(config);
  Runtime runtime{machine->machine.platform(), machine->trace, monitor};

  std::optional<Value> stamp = Store(input, registry, kCpuBoardKey, kSimplexDateValue);
  int result = CheckLongThreshold(runtime, 0);
  std::optional<Value> after = read(kCpuBoardKey, kSimplexDateValue);
  const Value present{win::kRegSz, {'2', '0', '2', '6', '0', '1', '0', '1', '0', '0', '0', '0'}, std::nullopt};
  bool readable = !stamp || (stamp->type == win::kRegSz && stamp->data.size() <= 256);
  if (result < -1 || result > 1 || (result != 0 && !stamp)) __builtin_trap();
  if (after != (readable ? std::optional(present) : stamp)) __builtin_trap();

  std::optional<Value> serial = Store(input, registry, cpu0.source_key, "SerialNumber");
  std::optional<Value> copy = Store(input, registry, cpu0.kept_key, cpu0.value_name);
  result = CheckSerialNumber(runtime, cpu0.source_key, cpu0.kept_key, cpu0.value_name);
  bool usable = serial && serial->type == win::kRegBinary && serial->data.size() == 8 &&
                serial->data != std::vector<uint8_t>(8, 0);
  if (result != (usable ? 1 : 0)) __builtin_trap();
  if (read(cpu0.kept_key, cpu0.value_name) != (usable ? serial : copy)) __builtin_trap();
  // An exchanged module's group starts without its earlier SIMPLEX.
  bool exchanged = usable && copy != serial;
  if (exchanged == read(kCpuBoardKey, kSimplexDateValue).has_value()) __builtin_trap();
  return 0;
}
