#include "platform/sim/sim_service_manager.h"

#include <algorithm>
#include <deque>
#include <map>
#include <optional>

#include "platform/sim/last_error.h"
#include "platform/sim/sim_kernel.h"
#include "platform/sim/sim_registry.h"
#include "platform/sim/text.h"
#include "platform/win_values.h"
#include "support/thread_annotations.h"

namespace fenra::sim {

struct SimServiceManager::ControlRequest {
  uint32_t control = 0;
  Handle done;  // manual-reset, set when the answer is in `error`
  uint32_t error = win::kErrorServiceNotActive;
};

struct SimServiceManager::Dispatch {
  std::string name;
  Handle wake;
  // Guarded by State::mutex (the analysis cannot name another object's
  // lock).
  std::deque<std::shared_ptr<ControlRequest>> queue;
  std::vector<std::string> arguments;
};

namespace {

constexpr Hive kHklm = Hive::kLocalMachine;

ServiceStatus StoppedStatus() { return ServiceStatus{win::kServiceWin32OwnProcess, win::kServiceStopped}; }

// What this run knows of one service, installed or not.
struct Service {
  ServiceStatus status = StoppedStatus();
  std::vector<uint32_t> reports;
  std::shared_ptr<SimServiceManager::Dispatch> dispatch;
  std::vector<std::string> start_arguments;
  Handle started;  // set when a process StartService launched connects or ends
  Handle process;  // the process StartService launched, while it runs
  bool starting = false;
  bool marked_for_delete = false;
  int open_handles = 0;
};

class ManagerHandle final : public ScHandle {
 public:
  explicit ManagerHandle(uint32_t granted) : access(granted) {}
  const uint32_t access;
};

std::string KeyPath(const std::string& name) { return SimServiceManager::kServicesKey + name; }

std::vector<uint8_t> TextBytes(const std::string& text) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

std::vector<uint8_t> MultiTextBytes(const std::vector<std::string>& names) {
  std::vector<uint8_t> bytes;
  for (const std::string& name : names) {
    bytes.insert(bytes.end(), name.begin(), name.end());
    bytes.push_back(0);
  }
  bytes.push_back(0);
  return bytes;
}

std::vector<uint8_t> DwordBytes(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}

// The bytes of a value, or nullopt when it is missing.
std::optional<std::vector<uint8_t>> QueryBytes(Registry& registry, RegKey& key, const char* name, uint32_t* type) {
  uint32_t size = 0;
  if (registry.QueryValue(key, name, type, nullptr, &size) != 0) return std::nullopt;
  std::vector<uint8_t> data(size);
  if (registry.QueryValue(key, name, type, data.data(), &size) != 0) return std::nullopt;
  data.resize(size);
  return data;
}

std::optional<uint32_t> QueryDword(Registry& registry, RegKey& key, const char* name) {
  uint32_t type = 0;
  auto data = QueryBytes(registry, key, name, &type);
  if (!data || type != win::kRegDword || data->size() != 4) return std::nullopt;
  return (*data)[0] | ((*data)[1] << 8) | ((*data)[2] << 16) | (static_cast<uint32_t>((*data)[3]) << 24);
}

// The texts of a string or multi-string value, each up to its terminator.
std::vector<std::string> QueryTexts(Registry& registry, RegKey& key, const char* name) {
  uint32_t type = 0;
  std::vector<std::string> texts;
  auto data = QueryBytes(registry, key, name, &type);
  if (!data || !IsStringType(type)) return texts;
  std::string all(data->begin(), data->end());
  for (size_t begin = 0; begin < all.size();) {
    size_t end = std::min(all.find('\0', begin), all.size());
    if (end == begin) break;  // the list's final terminator
    texts.push_back(all.substr(begin, end - begin));
    begin = end + 1;
  }
  return texts;
}

std::string QueryText(Registry& registry, RegKey& key, const char* name) {
  auto texts = QueryTexts(registry, key, name);
  return texts.empty() ? std::string() : texts.front();
}

bool ValidName(const std::string& name) {
  return !name.empty() && name.size() <= 256 && name.find_first_of("\\/") == std::string::npos;
}

bool ValidConfig(const ServiceConfig& config) {
  uint32_t type = config.service_type;
  if (type != win::kServiceWin32OwnProcess && type != win::kServiceWin32ShareProcess) return false;
  // Boot and system start are for drivers.
  if (config.start_type < win::kServiceAutoStart || config.start_type > win::kServiceDisabled) return false;
  return config.error_control <= win::kServiceErrorCritical && !config.binary_path_name.empty();
}

// The access a control needs; 0 for a code that cannot be sent.
uint32_t AccessFor(uint32_t control) {
  switch (control) {
    case win::kServiceControlStop:
      return win::kServiceStop;
    case win::kServiceControlInterrogate:
      return win::kServiceInterrogate;
    case win::kServiceControlPause:
    case win::kServiceControlContinue:
    case win::kServiceControlParamChange:
      return win::kServicePauseContinue;
    default:
      if (control >= win::kServiceControlNetBindAdd && control <= win::kServiceControlNetBindDisable)
        return win::kServicePauseContinue;
      return control >= 128 && control <= 255 ? win::kServiceUserDefinedControl : 0;
  }
}

bool Accepts(uint32_t accepted, uint32_t control) {
  switch (control) {
    case win::kServiceControlInterrogate:
      return true;
    case win::kServiceControlStop:
      return accepted & win::kServiceAcceptStop;
    case win::kServiceControlPause:
    case win::kServiceControlContinue:
      return accepted & win::kServiceAcceptPauseContinue;
    case win::kServiceControlParamChange:
      return accepted & win::kServiceAcceptParamChange;
    default:
      if (control >= win::kServiceControlNetBindAdd && control <= win::kServiceControlNetBindDisable)
        return accepted & win::kServiceAcceptNetBindChange;
      return control >= 128 && control <= 255;
  }
}

}  // namespace

struct SimServiceManager::State : std::enable_shared_from_this<State> {
  State(SimKernel& owner_kernel, SimRegistry& machine_registry) : kernel(owner_kernel), registry(machine_registry) {}

  SimKernel& kernel;
  SimRegistry& registry;
  Mutex mutex;
  std::map<std::string, Service, LessIgnoreCase> services FENRA_GUARDED_BY(mutex);
  ServiceLauncher launcher FENRA_GUARDED_BY(mutex);
  uint32_t open_manager_error FENRA_GUARDED_BY(mutex) = 0;

  // A key under Services with a Type value. `delete_flag` gets whether it
  // is marked for deletion there.
  bool Installed(const std::string& name, bool* delete_flag = nullptr) {
    RegKeyPtr key;
    if (registry.OpenKey(kHklm, KeyPath(name), win::kKeyRead, &key) != 0) return false;
    if (delete_flag) *delete_flag = QueryDword(registry, *key, "DeleteFlag").value_or(0) != 0;
    return QueryDword(registry, *key, "Type").has_value();
  }

  int32_t WriteConfig(const std::string& name, const ServiceConfig& config) {
    int32_t error = 0;
    int32_t batch = registry.Batch([&] {
      RegKeyPtr key;
      error = registry.CreateKey(kHklm, KeyPath(name), win::kKeyAllAccess, &key, nullptr);
      if (error != 0) return;
      auto set = [&](const char* value, uint32_t type, const std::vector<uint8_t>& data) {
        if (error == 0) error = registry.SetValue(*key, value, type, data.data(), static_cast<uint32_t>(data.size()));
      };
      std::vector<std::string> depend_on_services, groups;
      for (const std::string& dependency : config.dependencies) {
        if (dependency.starts_with('+'))
          groups.push_back(dependency.substr(1));
        else
          depend_on_services.push_back(dependency);
      }
      set("Type", win::kRegDword, DwordBytes(config.service_type));
      set("Start", win::kRegDword, DwordBytes(config.start_type));
      set("ErrorControl", win::kRegDword, DwordBytes(config.error_control));
      set("ImagePath", win::kRegExpandSz, TextBytes(config.binary_path_name));
      set("DisplayName", win::kRegSz, TextBytes(config.display_name.empty() ? name : config.display_name));
      if (!config.load_order_group.empty()) set("Group", win::kRegSz, TextBytes(config.load_order_group));
      if (!depend_on_services.empty())
        set("DependOnService", win::kRegMultiSz, MultiTextBytes(depend_on_services));
      if (!groups.empty()) set("DependOnGroup", win::kRegMultiSz, MultiTextBytes(groups));
      std::string account = config.service_start_name.empty() ? "LocalSystem" : config.service_start_name;
      set("ObjectName", win::kRegSz, TextBytes(account));
    });
    return error != 0 ? error : batch;
  }

  bool ReadConfig(const std::string& name, ServiceConfig* config) {
    RegKeyPtr key;
    if (registry.OpenKey(kHklm, KeyPath(name), win::kKeyRead, &key) != 0) return false;
    auto type = QueryDword(registry, *key, "Type");
    if (!type) return false;
    *config = ServiceConfig{};
    config->service_type = *type;
    config->start_type = QueryDword(registry, *key, "Start").value_or(win::kServiceDemandStart);
    config->error_control = QueryDword(registry, *key, "ErrorControl").value_or(win::kServiceErrorNormal);
    config->binary_path_name = QueryText(registry, *key, "ImagePath");
    config->load_order_group = QueryText(registry, *key, "Group");
    config->dependencies = QueryTexts(registry, *key, "DependOnService");
    for (const std::string& group : QueryTexts(registry, *key, "DependOnGroup"))
      config->dependencies.push_back("+" + group);
    config->service_start_name = QueryText(registry, *key, "ObjectName");
    config->display_name = QueryText(registry, *key, "DisplayName");
    return true;
  }

  // Whether a service marked for deletion can go now.
  static bool Removable(const Service& service) {
    return service.marked_for_delete && service.open_handles == 0 && !service.starting &&
           service.status.current_state == win::kServiceStopped;
  }

  // Removes the key of a service marked for deletion once nothing holds it.
  void RemoveIfDone(const std::string& name) {
    {
      MutexLock lock(mutex);
      auto found = services.find(name);
      if (found == services.end() || !Removable(found->second)) return;
      found->second.marked_for_delete = false;
    }
    // A key that gained subkeys by hand stays, as RegDeleteKey leaves it.
    registry.DeleteKey(kHklm, KeyPath(name));
  }

  void Close(const std::string& name) {
    {
      MutexLock lock(mutex);
      --services[name].open_handles;
    }
    RemoveIfDone(name);
  }

  uint32_t SendControl(const std::string& name, uint32_t control, ServiceStatus* status);
  void Disconnect(const std::string& name, const std::shared_ptr<Dispatch>& dispatch);
};

namespace {

class ServiceHandle final : public ScHandle {
 public:
  ServiceHandle(std::shared_ptr<SimServiceManager::State> manager, std::string service_name, uint32_t granted)
      : state(std::move(manager)), name(std::move(service_name)), access(granted) {}
  ~ServiceHandle() override { state->Close(name); }

  const std::shared_ptr<SimServiceManager::State> state;
  const std::string name;
  const uint32_t access;
};

// The handle as a manager handle, or null with ERROR_INVALID_HANDLE.
ManagerHandle* AsManager(ScHandle& handle) {
  auto* manager = dynamic_cast<ManagerHandle*>(&handle);
  if (!manager) SetLastError(win::kErrorInvalidHandle);
  return manager;
}

// The handle as a service handle with `needed` access, or null with the
// error set.
ServiceHandle* AsService(ScHandle& handle, uint32_t needed) {
  auto* service = dynamic_cast<ServiceHandle*>(&handle);
  if (!service) {
    SetLastError(win::kErrorInvalidHandle);
  } else if ((service->access & needed) != needed) {
    SetLastError(win::kErrorAccessDenied);
    service = nullptr;
  }
  return service;
}

bool Fail(uint32_t error) {
  SetLastError(error);
  return false;
}

}  // namespace

SimServiceManager::SimServiceManager(SimKernel& kernel, SimRegistry& registry)
    : state_(std::make_shared<State>(kernel, registry)) {}

SimServiceManager::~SimServiceManager() = default;

ScHandlePtr SimServiceManager::OpenSCManager(uint32_t desired_access) {
  MutexLock lock(state_->mutex);
  if (state_->open_manager_error != 0) {
    SetLastError(state_->open_manager_error);
    return nullptr;
  }
  return std::make_unique<ManagerHandle>(desired_access);
}

ScHandlePtr SimServiceManager::OpenService(ScHandle& manager, const std::string& name, uint32_t desired_access) {
  if (!AsManager(manager)) return nullptr;
  bool delete_flag = false;
  if (!ValidName(name) || !state_->Installed(name, &delete_flag)) {
    SetLastError(win::kErrorServiceDoesNotExist);
    return nullptr;
  }
  {
    MutexLock lock(state_->mutex);
    Service& service = state_->services[name];
    // A mark this run did not make was left by an earlier run of the
    // machine; Windows removes such a service when it starts.
    bool stale_mark = delete_flag && !service.marked_for_delete && !service.dispatch && !service.starting;
    if (!stale_mark) {
      ++service.open_handles;
      return std::make_unique<ServiceHandle>(state_, name, desired_access);
    }
  }
  state_->registry.DeleteKey(kHklm, KeyPath(name));
  SetLastError(win::kErrorServiceDoesNotExist);
  return nullptr;
}

ScHandlePtr SimServiceManager::CreateService(ScHandle& manager, const std::string& name, uint32_t desired_access,
                                             const ServiceConfig& config) {
  ManagerHandle* handle = AsManager(manager);
  if (!handle) return nullptr;
  if ((handle->access & win::kScManagerCreateService) == 0) {
    SetLastError(win::kErrorAccessDenied);
    return nullptr;
  }
  if (!ValidName(name)) {
    SetLastError(win::kErrorInvalidName);
    return nullptr;
  }
  if (!ValidConfig(config)) {
    SetLastError(win::kErrorInvalidParameter);
    return nullptr;
  }
  bool delete_flag = false;
  if (state_->Installed(name, &delete_flag)) {
    SetLastError(delete_flag ? win::kErrorServiceMarkedForDelete : win::kErrorServiceExists);
    return nullptr;
  }
  if (int32_t error = state_->WriteConfig(name, config); error != 0) {
    SetLastError(static_cast<uint32_t>(error));
    return nullptr;
  }
  MutexLock lock(state_->mutex);
  Service& service = state_->services[name];
  service.marked_for_delete = false;
  service.status.service_type = config.service_type;
  ++service.open_handles;
  return std::make_unique<ServiceHandle>(state_, name, desired_access);
}

bool SimServiceManager::StartService(ScHandle& handle, const std::vector<std::string>& arguments) {
  ServiceHandle* service = AsService(handle, win::kServiceStart);
  if (!service) return false;
  ServiceConfig config;
  if (!state_->ReadConfig(service->name, &config)) return Fail(win::kErrorServiceDoesNotExist);
  if (config.start_type == win::kServiceDisabled) return Fail(win::kErrorServiceDisabled);
  Handle started = state_->kernel.CreateEvent(true, false);
  if (!started) return false;
  ServiceLauncher launcher;
  {
    MutexLock lock(state_->mutex);
    Service& record = state_->services[service->name];
    if (record.marked_for_delete) return Fail(win::kErrorServiceMarkedForDelete);
    if (record.starting || record.dispatch || record.status.current_state != win::kServiceStopped)
      return Fail(win::kErrorServiceAlreadyRunning);
    if (!state_->launcher) return Fail(win::kErrorFileNotFound);
    launcher = state_->launcher;
    record.starting = true;
    record.started = started;
    record.start_arguments = arguments;
    record.status = ServiceStatus{config.service_type, win::kServiceStartPending};
  }
  std::string command_line = config.binary_path_name;
  for (const std::string& argument : arguments) command_line += " " + argument;
  Handle process = launcher(service->name, command_line);
  uint32_t error = process ? 0 : GetLastError();
  if (process) Watch(service->name, process);
  if (process && state_->kernel.WaitForSingleObject(started, kRequestTimeoutMs) != win::kWaitObject0)
    error = win::kErrorServiceRequestTimeout;
  bool connected;
  {
    MutexLock lock(state_->mutex);
    Service& record = state_->services[service->name];
    record.starting = false;
    connected = record.dispatch != nullptr;
    if (!process) record.status.current_state = win::kServiceStopped;
  }
  if (error == 0 && !connected) error = win::kErrorServiceRequestTimeout;  // the process ended first
  return error == 0 || Fail(error);
}

void SimServiceManager::State::Disconnect(const std::string& name, const std::shared_ptr<Dispatch>& dispatch) {
  std::deque<std::shared_ptr<ControlRequest>> refused;
  Handle started;
  {
    MutexLock lock(mutex);
    Service& service = services[name];
    if (service.dispatch != dispatch) return;  // another process's, or gone already
    if (dispatch) refused.swap(dispatch->queue);
    service.dispatch = nullptr;
    if (service.status.current_state != win::kServiceStopped) {
      service.status.current_state = win::kServiceStopped;
      service.status.controls_accepted = 0;
      service.status.win32_exit_code = win::kErrorProcessAborted;
    }
    started = service.started;
  }
  for (const auto& request : refused) kernel.SetEvent(request->done);
  if (started) kernel.SetEvent(started);
  RemoveIfDone(name);
}

void SimServiceManager::Watch(const std::string& name, const Handle& process) {
  {
    MutexLock lock(state_->mutex);
    state_->services[name].process = process;
  }
  // A thread of no process waits for the process's end.
  SimKernel& kernel = state_->kernel;
  std::weak_ptr<State> weak = state_;
  kernel.At(
      kernel.ElapsedMs(),
      [&kernel, weak, name, process] {
        if (kernel.WaitForSingleObject(process, win::kInfinite) != win::kWaitObject0) return;
        auto state = weak.lock();
        if (!state) return;
        std::shared_ptr<Dispatch> dispatch;
        {
          MutexLock lock(state->mutex);
          Service& service = state->services[name];
          if (service.process != process) return;
          service.process = nullptr;
          dispatch = service.dispatch;
        }
        state->Disconnect(name, dispatch);
      },
      name + " process watch");
}

uint32_t SimServiceManager::State::SendControl(const std::string& name, uint32_t control, ServiceStatus* status) {
  Handle done = kernel.CreateEvent(true, false);
  if (!done) return kernel.GetLastError();
  auto request = std::make_shared<ControlRequest>(ControlRequest{control, done});
  Handle wake;
  {
    MutexLock lock(mutex);
    Service& service = services[name];
    if (status) *status = service.status;
    uint32_t state = service.status.current_state;
    if (state == win::kServiceStopped) return win::kErrorServiceNotActive;
    if (state == win::kServiceStartPending || state == win::kServiceStopPending || !service.dispatch)
      return win::kErrorServiceCannotAcceptCtrl;
    if (!Accepts(service.status.controls_accepted, control)) return win::kErrorInvalidServiceControl;
    service.dispatch->queue.push_back(request);
    wake = service.dispatch->wake;
  }
  kernel.SetEvent(wake);
  uint32_t wait = kernel.WaitForSingleObject(done, kRequestTimeoutMs);
  MutexLock lock(mutex);
  Service& service = services[name];
  if (status) *status = service.status;
  if (wait == win::kWaitObject0) return request->error;
  if (service.dispatch) std::erase(service.dispatch->queue, request);
  return win::kErrorServiceRequestTimeout;
}

bool SimServiceManager::ControlService(ScHandle& handle, uint32_t control, ServiceStatus* status) {
  uint32_t needed = AccessFor(control);
  if (needed == 0) return Fail(win::kErrorInvalidParameter);
  ServiceHandle* service = AsService(handle, needed);
  if (!service) return false;
  uint32_t error = state_->SendControl(service->name, control, status);
  return error == 0 || Fail(error);
}

bool SimServiceManager::QueryServiceStatus(ScHandle& handle, ServiceStatus* status) {
  ServiceHandle* service = AsService(handle, win::kServiceQueryStatus);
  if (!service) return false;
  MutexLock lock(state_->mutex);
  *status = state_->services[service->name].status;
  return true;
}

bool SimServiceManager::QueryServiceConfig(ScHandle& handle, ServiceConfig* config) {
  ServiceHandle* service = AsService(handle, win::kServiceQueryConfig);
  if (!service) return false;
  return state_->ReadConfig(service->name, config) || Fail(win::kErrorServiceDoesNotExist);
}

bool SimServiceManager::DeleteService(ScHandle& handle) {
  ServiceHandle* service = AsService(handle, win::kDelete);
  if (!service) return false;
  if (!state_->Installed(service->name)) return Fail(win::kErrorServiceDoesNotExist);
  {
    MutexLock lock(state_->mutex);
    Service& record = state_->services[service->name];
    if (record.marked_for_delete) return Fail(win::kErrorServiceMarkedForDelete);
    record.marked_for_delete = true;
  }
  // As on Windows the mark is kept in the service's key too, so that a
  // machine run later removes what this run could not.
  state_->registry.SetDword(kHklm, KeyPath(service->name), "DeleteFlag", 1);
  return true;
}

std::shared_ptr<SimServiceManager::Dispatch> SimServiceManager::Connect(const std::string& name, Handle wake) {
  auto dispatch = std::make_shared<Dispatch>();
  dispatch->name = name;
  dispatch->wake = std::move(wake);
  Handle started;
  {
    MutexLock lock(state_->mutex);
    Service& service = state_->services[name];
    if (service.dispatch) {
      SetLastError(win::kErrorServiceAlreadyRunning);
      return nullptr;
    }
    service.dispatch = dispatch;
    dispatch->arguments = std::move(service.start_arguments);
    dispatch->arguments.insert(dispatch->arguments.begin(), name);
    service.status = ServiceStatus{service.status.service_type, win::kServiceStartPending};
    started = service.started;
  }
  if (started) state_->kernel.SetEvent(started);
  return dispatch;
}

std::shared_ptr<SimServiceManager::ControlRequest> SimServiceManager::NextControl(Dispatch& dispatch) {
  MutexLock lock(state_->mutex);
  if (dispatch.queue.empty()) return nullptr;
  auto request = dispatch.queue.front();
  dispatch.queue.pop_front();
  return request;
}

uint32_t SimServiceManager::ControlCode(const ControlRequest& request) const { return request.control; }

void SimServiceManager::Complete(ControlRequest& request, uint32_t answer) {
  request.error = answer;
  state_->kernel.SetEvent(request.done);
}

bool SimServiceManager::Report(Dispatch& dispatch, const ServiceStatus& status) {
  if (state_->kernel.CurrentProcessEnded()) return Fail(win::kErrorInvalidHandle);
  {
    MutexLock lock(state_->mutex);
    Service& service = state_->services[dispatch.name];
    if (service.dispatch.get() != &dispatch) return Fail(win::kErrorInvalidHandle);
    service.status = status;
    service.reports.push_back(status.current_state);
  }
  state_->RemoveIfDone(dispatch.name);
  return true;
}

std::vector<std::string> SimServiceManager::Arguments(const Dispatch& dispatch) const {
  MutexLock lock(state_->mutex);
  return dispatch.arguments;
}

void SimServiceManager::Disconnect(const std::string& name, const std::shared_ptr<Dispatch>& dispatch) {
  state_->Disconnect(name, dispatch);
}

void SimServiceManager::SetLauncher(ServiceLauncher launcher) {
  MutexLock lock(state_->mutex);
  state_->launcher = std::move(launcher);
}

uint32_t SimServiceManager::SendControl(const std::string& name, uint32_t control, ServiceStatus* status) {
  if (AccessFor(control) == 0) return win::kErrorInvalidParameter;
  return state_->SendControl(name, control, status);
}

std::vector<uint32_t> SimServiceManager::ReportedStates(const std::string& name) const {
  MutexLock lock(state_->mutex);
  auto found = state_->services.find(name);
  return found == state_->services.end() ? std::vector<uint32_t>{} : found->second.reports;
}

void SimServiceManager::FailOpenSCManager(uint32_t error) {
  MutexLock lock(state_->mutex);
  state_->open_manager_error = error;
}

}  // namespace fenra::sim
