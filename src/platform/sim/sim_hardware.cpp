#include "platform/sim/sim_hardware.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/sim/last_error.h"
#include "platform/sim/text.h"

namespace fenra::sim {

// Shared with the loaded libraries and their entries, which may outlive
// the SimHardware.
struct SimHardware::State {
  mutable std::mutex mutex;
  LibraryFacts library;
  IpmiFacts ipmi;
  size_t script_position = 0;  // answer of library.sdr_status given next
  uint32_t script_calls = 0;   // calls answered by it so far
  int loaded = 0;
  int sdr_status_calls = 0;

  SdrAnswer NextSdrAnswer() {
    std::lock_guard lock(mutex);
    ++sdr_status_calls;
    const std::vector<SdrAnswer>& script = library.sdr_status;
    if (script.empty()) return SdrAnswer{};
    SdrAnswer answer = script[script_position];
    if (script_position + 1 < script.size() && ++script_calls >= answer.calls) {
      ++script_position;
      script_calls = 0;
    }
    return answer;
  }
};

namespace {

class SimLibrary final : public Library, public std::enable_shared_from_this<SimLibrary> {
 public:
  SimLibrary(std::shared_ptr<SimHardware::State> state, bool sdr_status_entry, bool device_id_entry)
      : state_(std::move(state)), sdr_status_entry_(sdr_status_entry), device_id_entry_(device_id_entry) {
    std::lock_guard lock(state_->mutex);
    ++state_->loaded;
  }
  ~SimLibrary() override {
    std::lock_guard lock(state_->mutex);
    --state_->loaded;
  }

  LibraryProc GetProcAddress(const char* name) override {
    std::shared_ptr<SimLibrary> self = shared_from_this();
    if (sdr_status_entry_ && strcmp(name, kSdrRepositoryStatusEntry) == 0) {
      return [self](void* record) {
        SdrAnswer answer = self->state_->NextSdrAnswer();
        memcpy(record, &answer.status, sizeof(answer.status));
        return answer.result;
      };
    }
    if (device_id_entry_ && strcmp(name, kDeviceIdEntry) == 0) {
      return [self](void* record) {
        std::lock_guard lock(self->state_->mutex);
        memcpy(record, self->state_->library.device_id.data(), kDeviceIdRecordSize);
        return self->state_->library.device_id_result;
      };
    }
    SetLastError(win::kErrorProcNotFound);
    return nullptr;
  }

 private:
  const std::shared_ptr<SimHardware::State> state_;
  const bool sdr_status_entry_;
  const bool device_id_entry_;
};

class SimDevice final : public Device {
 public:
  explicit SimDevice(const SimHardware::State* state) : owner(state) {}
  const SimHardware::State* const owner;
};

}  // namespace

SimHardware::SimHardware(LibraryFacts library, IpmiFacts ipmi) : state_(std::make_shared<State>()) {
  state_->library = std::move(library);
  state_->ipmi = std::move(ipmi);
}

SimHardware::~SimHardware() = default;

LibraryPtr SimHardware::LoadLibrary(const std::string& name) {
  bool present = false;
  bool sdr_status_entry = false;
  bool device_id_entry = false;
  {
    std::lock_guard lock(state_->mutex);
    present = state_->library.present;
    sdr_status_entry = state_->library.sdr_status_entry;
    device_id_entry = state_->library.device_id_entry;
  }
  // LoadLibraryA adds ".dll" to a name without an extension.
  std::string library = std::string(kHardwareLibraryName);
  if (!present || (!EqualsIgnoreCase(name, library) && !EqualsIgnoreCase(name, library + ".dll"))) {
    SetLastError(win::kErrorModNotFound);
    return nullptr;
  }
  return std::make_shared<SimLibrary>(state_, sdr_status_entry, device_id_entry);
}

DevicePtr SimHardware::OpenDevice(const std::string& path) {
  std::lock_guard lock(state_->mutex);
  if (!state_->ipmi.present || !EqualsIgnoreCase(path, kIpmiDevicePath)) {
    SetLastError(win::kErrorFileNotFound);
    return nullptr;
  }
  return std::make_unique<SimDevice>(state_.get());
}

bool SimHardware::DeviceIoControl(Device& device, uint32_t control_code, const void* /*input*/,
                                  uint32_t /*input_size*/, void* output, uint32_t output_size, uint32_t* returned) {
  std::lock_guard lock(state_->mutex);
  *returned = 0;
  auto* sim_device = dynamic_cast<SimDevice*>(&device);
  if (sim_device == nullptr || sim_device->owner != state_.get()) {
    SetLastError(win::kErrorInvalidHandle);
    return false;
  }
  const IpmiFacts& ipmi = state_->ipmi;
  if (control_code != kIpmiDeviceIdControlCode || !ipmi.io_control_result) {
    SetLastError(win::kErrorInvalidFunction);
    return false;
  }
  if (output_size < ipmi.answer.size()) {
    SetLastError(win::kErrorInsufficientBuffer);
    return false;
  }
  std::copy(ipmi.answer.begin(), ipmi.answer.end(), static_cast<uint8_t*>(output));
  *returned = static_cast<uint32_t>(ipmi.answer.size());
  return true;
}

void SimHardware::SetLibrary(LibraryFacts facts) {
  std::lock_guard lock(state_->mutex);
  state_->library = std::move(facts);
  state_->script_position = 0;
  state_->script_calls = 0;
}

void SimHardware::SetIpmi(IpmiFacts facts) {
  std::lock_guard lock(state_->mutex);
  state_->ipmi = std::move(facts);
}

int SimHardware::LoadedLibraries() const {
  std::lock_guard lock(state_->mutex);
  return state_->loaded;
}

int SimHardware::SdrStatusCalls() const {
  std::lock_guard lock(state_->mutex);
  return state_->sdr_status_calls;
}

}  // namespace fenra::sim
