#include "platform/sim/sim_hardware.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/last_error.h"
#include "platform/sim/text.h"
#include "support/thread_annotations.h"

namespace fenra::sim {

// Shared with the loaded libraries and their entries, which may outlive
// the SimHardware.
struct SimHardware::State {
  State(LibraryFacts library_facts, IpmiFacts ipmi_facts)
      : library(std::move(library_facts)), ipmi(std::move(ipmi_facts)) {}

  mutable Mutex mutex;
  LibraryFacts library FENRA_GUARDED_BY(mutex);
  IpmiFacts ipmi FENRA_GUARDED_BY(mutex);
  size_t script_position FENRA_GUARDED_BY(mutex) = 0;  // answer of library.sdr_status given next
  uint32_t script_calls FENRA_GUARDED_BY(mutex) = 0;   // calls answered by it so far
  int loaded FENRA_GUARDED_BY(mutex) = 0;
  int sdr_status_calls FENRA_GUARDED_BY(mutex) = 0;

  SdrAnswer NextSdrAnswer() {
    MutexLock lock(mutex);
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
    MutexLock lock(state_->mutex);
    ++state_->loaded;
  }
  ~SimLibrary() override {
    MutexLock lock(state_->mutex);
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
        MutexLock lock(self->state_->mutex);
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

SimHardware::SimHardware(LibraryFacts library, IpmiFacts ipmi)
    : state_(std::make_shared<State>(std::move(library), std::move(ipmi))) {}

SimHardware::~SimHardware() = default;

LibraryPtr SimHardware::LoadLibrary(const std::string& name, const std::string& vendor_directory) {
  bool present = false;
  bool sdr_status_entry = false;
  bool device_id_entry = false;
  {
    MutexLock lock(state_->mutex);
    // One in a folder of its own is found when that folder is searched.
    auto without_separator = [](std::string folder) {
      while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
      return folder;
    };
    const std::string& folder = state_->library.folder;
    present = state_->library.present &&
              (folder.empty() || (!vendor_directory.empty() &&
                                  EqualsIgnoreCase(without_separator(folder), without_separator(vendor_directory))));
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
  MutexLock lock(state_->mutex);
  if (!state_->ipmi.present || !EqualsIgnoreCase(path, kIpmiDevicePath)) {
    SetLastError(win::kErrorFileNotFound);
    return nullptr;
  }
  return std::make_unique<SimDevice>(state_.get());
}

bool SimHardware::DeviceIoControl(Device& device, uint32_t control_code, const void* /*input*/,
                                  uint32_t /*input_size*/, void* output, uint32_t output_size, uint32_t* returned) {
  MutexLock lock(state_->mutex);
  *returned = 0;
  auto* sim_device = dynamic_cast<SimDevice*>(&device);
  if (sim_device == nullptr || sim_device->owner != state_.get()) {
    SetLastError(win::kErrorInvalidHandle);
    return false;
  }
  if (control_code != kIpmiDeviceIdControlCode || !state_->ipmi.io_control_result) {
    SetLastError(win::kErrorInvalidFunction);
    return false;
  }
  if (output_size < state_->ipmi.answer.size()) {
    SetLastError(win::kErrorInsufficientBuffer);
    return false;
  }
  std::copy(state_->ipmi.answer.begin(), state_->ipmi.answer.end(), static_cast<uint8_t*>(output));
  *returned = static_cast<uint32_t>(state_->ipmi.answer.size());
  return true;
}

void SimHardware::SetLibrary(LibraryFacts facts) {
  MutexLock lock(state_->mutex);
  state_->library = std::move(facts);
  state_->script_position = 0;
  state_->script_calls = 0;
}

void SimHardware::SetIpmi(IpmiFacts facts) {
  MutexLock lock(state_->mutex);
  state_->ipmi = std::move(facts);
}

int SimHardware::LoadedLibraries() const {
  MutexLock lock(state_->mutex);
  return state_->loaded;
}

int SimHardware::SdrStatusCalls() const {
  MutexLock lock(state_->mutex);
  return state_->sdr_status_calls;
}

}  // namespace fenra::sim
