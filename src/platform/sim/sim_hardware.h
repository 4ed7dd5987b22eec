#pragma once
// Stand-ins for the platform's hardware management library (qvmsmsen.dll)
// and the IPMI driver's device (\\.\IPMIDEV), answering as their facts say.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/hardware.h"
#include "platform/sim/hardware_facts.h"

namespace fenra::sim {

// The library answers QVMGetSdrRepositoryStatus from its script, one answer
// per call, and QVMGetDeviceID_V15 with its 18-byte record. Changed facts
// take effect at the next call (a library already loaded keeps the entries
// it exported). Thread-safe.
class SimHardware final : public Hardware {
 public:
  SimHardware(LibraryFacts library, IpmiFacts ipmi);
  ~SimHardware() override;

  LibraryPtr LoadLibrary(const std::string& name, const std::string& vendor_directory) override;
  DevicePtr OpenDevice(const std::string& path) override;
  bool DeviceIoControl(Device& device, uint32_t control_code, const void* input, uint32_t input_size, void* output,
                       uint32_t output_size, uint32_t* returned) override;

  // For tests. Replacing the library facts restarts its status script.
  void SetLibrary(LibraryFacts facts);
  void SetIpmi(IpmiFacts facts);
  // Loaded instances of the library not yet released: a load counts until
  // its last reference and the last of its entries are dropped.
  int LoadedLibraries() const;
  // Calls of QVMGetSdrRepositoryStatus so far.
  int SdrStatusCalls() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace fenra::sim
