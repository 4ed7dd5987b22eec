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

struct Value {
  uint32_t type = 0;
  std::vector<uint8_t> data;
  bool operator==(const Value&) const = default;
};

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

std::optional<Value> Read(Registry& registry, const char* path, const char* name) {
  RegKeyPtr key;
  if (registry.OpenKey(Hive::kLocalMachine, path, win::kKeyQueryValue, &key) != 0) return std::nullopt;
  Value value;
  uint32_t size = 0;
  if (registry.QueryValue(*key, name, &value.type, nullptr, &size) != 0) return std::nullopt;
  value.data.resize(size);
  if (registry.QueryValue(*key, name, &value.type, value.data.data(), &size) != 0) abort();
  return value;
}

// Absent, or a value of one of the types that matter (or any type).
std::optional<Value> Store(FuzzedDataProvider& input, Registry& registry, const char* path, const char* name) {
  RegKeyPtr key;
  if (registry.CreateKey(Hive::kLocalMachine, path, win::kKeyAllAccess, &key, nullptr) != 0) abort();
  uint8_t kind = input.ConsumeIntegral<uint8_t>();
  if (kind % 8 == 0) {
    registry.DeleteValue(*key, name);
    return std::nullopt;
  }
  static constexpr uint32_t kTypes[] = {win::kRegSz, win::kRegBinary, win::kRegDword, win::kRegExpandSz};
  Value value{kind % 8 <= 4 ? kTypes[kind % 8 - 1] : input.ConsumeIntegral<uint32_t>(), {}};
  value.data = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 300));
  // RegSetValueExA reads the byte behind a text (a NUL there is stored too):
  // one that is not a NUL keeps the data as given.
  std::vector<uint8_t> buffer = value.data;
  buffer.push_back('x');
  if (registry.SetValue(*key, name, value.type, buffer.data(), static_cast<uint32_t>(value.data.size())) != 0)
    abort();
  return Read(registry, path, name);  // as stored: a text's bytes that are not UTF-8 are replaced
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Machine* machine = new Machine;  // kept to the end: its directory is removed at exit
  static const int removed = atexit([] { delete machine; });
  (void)removed;
  Registry& registry = machine->machine.registry();
  const SerialModule& cpu0 = kSerialModules[0];
  FuzzedDataProvider input(data, size);

  MonitorState monitor;
  MonitorConfig config;
  config.dwCpuLongThreshold = input.ConsumeIntegral<uint32_t>();
  monitor.PublishConfig(config);
  Runtime runtime{machine->machine.platform(), machine->trace, monitor};

  std::optional<Value> stamp = Store(input, registry, kCpuBoardKey, kSimplexDateValue);
  int result = CheckLongThreshold(runtime, 0);
  std::optional<Value> after = Read(registry, kCpuBoardKey, kSimplexDateValue);
  const Value present{win::kRegSz, {'2', '0', '2', '6', '0', '1', '0', '1', '0', '0', '0', '0'}};
  bool readable = !stamp || (stamp->type == win::kRegSz && stamp->data.size() <= 256);
  if (result < -1 || result > 1 || (result != 0 && !stamp)) __builtin_trap();
  if (after != (readable ? std::optional(present) : stamp)) __builtin_trap();

  std::optional<Value> serial = Store(input, registry, cpu0.source_key, "SerialNumber");
  std::optional<Value> copy = Store(input, registry, cpu0.kept_key, cpu0.value_name);
  result = CheckSerialNumber(runtime, cpu0.source_key, cpu0.kept_key, cpu0.value_name);
  bool usable = serial && serial->type == win::kRegBinary && serial->data.size() == 8 &&
                serial->data != std::vector<uint8_t>(8, 0);
  if (result != (usable ? 1 : 0)) __builtin_trap();
  if (Read(registry, cpu0.kept_key, cpu0.value_name) != (usable ? serial : copy)) __builtin_trap();
  // An exchanged module's group starts without its earlier SIMPLEX.
  bool exchanged = usable && copy != serial;
  if (exchanged == Read(registry, kCpuBoardKey, kSimplexDateValue).has_value()) __builtin_trap();
  return 0;
}
