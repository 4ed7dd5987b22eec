// Cost of the simulated registry: a change written to the file, and the
// read of TempDir that every trace line makes, alone and while another
// thread writes.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>

#include "platform/sim/sim_machine.h"
#include "platform/sim/sim_registry.h"

namespace fenra::sim {
namespace {

// The baseline machine's registry, in a directory of its own.
class BaselineRegistry {
 public:
  explicit BaselineRegistry(bool durable) {
    std::string pattern = (std::filesystem::temp_directory_path() / "fenra-bench-XXXXXX").string();
    directory_ = mkdtemp(pattern.data());
    SimMachine::CreateBaseline(directory_, false);
    registry_ = std::make_unique<SimRegistry>(directory_ / SimMachine::kRegistryFile, RegistryOptions{durable, nullptr});
  }
  ~BaselineRegistry() {
    registry_.reset();
    std::filesystem::remove_all(directory_);
  }
  SimRegistry* operator->() { return registry_.get(); }
  SimRegistry& operator*() { return *registry_; }

 private:
  std::filesystem::path directory_;
  std::unique_ptr<SimRegistry> registry_;
};

void BM_RegistryWrite(benchmark::State& state) {
  BaselineRegistry registry(state.range(0) != 0);
  uint32_t n = 0;
  for (auto _ : state) registry->SetDword(Hive::kLocalMachine, "SOFTWARE\\QOR\\QVMAgent\\FT", "Counter", ++n);
}
BENCHMARK(BM_RegistryWrite)->ArgName("durable")->Arg(0)->Arg(1)->UseRealTime();

// What a trace line reads: the key opened, the size of TempDir, TempDir.
void BM_TraceDirRead(benchmark::State& state) {
  BaselineRegistry registry(true);
  std::atomic<bool> stop{false};
  std::thread writer;
  if (state.range(0) != 0) {
    writer = std::thread([&] {
      for (uint32_t n = 0; !stop.load(); ++n)
        registry->SetDword(Hive::kLocalMachine, "SOFTWARE\\QOR\\QVMAgent\\FT", "Counter", n);
    });
  }
  for (auto _ : state) {
    RegKeyPtr key;
    registry->OpenKey(Hive::kLocalMachine, "SOFTWARE\\QOR\\QVMAlertMan", win::kKeyQueryValue, &key);
    uint8_t buffer[260];
    uint32_t size = 0;
    registry->QueryValue(*key, "TempDir", nullptr, nullptr, &size);
    size = sizeof(buffer);
    registry->QueryValue(*key, "TempDir", nullptr, buffer, &size);
    benchmark::DoNotOptimize(buffer);
  }
  stop = true;
  if (writer.joinable()) writer.join();
}
BENCHMARK(BM_TraceDirRead)->ArgName("writer")->Arg(0)->Arg(1)->UseRealTime();

}  // namespace
}  // namespace fenra::sim
