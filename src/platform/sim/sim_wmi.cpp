#include "platform/sim/sim_wmi.h"

#include <algorithm>
#include <array>
#include <deque>
#include <iostream>
#include <stdexcept>
#include <system_error>

#include <vector>

#include "platform/sim/mof_text.h"
#include "platform/sim/text.h"
#include "platform/sim/wql.h"
#include "platform/win_values.h"
#include "support/thread_annotations.h"

namespace fenra::sim {
namespace {

constexpr std::string_view kIsaEventClass = "VUR_ODDeviceStateChangeEvent";
constexpr std::string_view kEventClassSuffix = "StateChange";
constexpr std::string_view kIsaProperty = "Object";

const std::vector<std::string> kInstanceProperties = {"InstanceName", "OperationalState", "DevicePathId",
                                                      "ObjectKey"};
const std::vector<std::string> kEventClassProperties = {"ObjectKey", "OperationalState", "DevicePathId", "Status"};
const std::vector<std::string> kIsaEventProperties = {"Object"};

int32_t DefaultResult(WmiFault fault) {
  switch (fault) {
    case WmiFault::kCreateLocator: return win::kRegdbEClassNotReg;
    case WmiFault::kConnectServer: return win::kRpcSServerUnavailableHr;
    case WmiFault::kProxyBlanket: return win::kEFail;
    case WmiFault::kNextCancelled: return win::kWbemECallCancelled;
    case WmiFault::kNextTimeout: return win::kWbemSTimedout;
    default: return win::kWbemEFailed;
  }
}

bool Contains(const std::vector<std::string>& names, std::string_view name) {
  return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return EqualsIgnoreCase(n, name); });
}

MofObjectPtr StateObject(const std::optional<int32_t>& state) {
  if (!state) return nullptr;
  return std::make_shared<const MofObject>(MofObject{"DOD_OperationalState", {{"State", *state}}});
}

MofObjectPtr InstanceObject(const std::string& class_name, const SimWmiInstance& instance) {
  MofValue name = instance.name ? MofValue(*instance.name) : MofValue(WmiNull{});
  MofValue state = instance.state ? MofValue(StateObject(instance.state)) : MofValue(WmiNull{});
  return std::make_shared<const MofObject>(MofObject{
      class_name,
      {{"InstanceName", name}, {"OperationalState", state}, {"DevicePathId", instance.device_path},
       {"ObjectKey", instance.key}}});
}

// Keeps the selected properties (all for an empty selection).
MofObjectPtr Project(MofObjectPtr object, const std::vector<std::string>& selected) {
  if (selected.empty()) return object;
  MofObject projected{object->class_name, {}};
  for (const MofProperty& property : object->properties)
    if (Contains(selected, property.name)) projected.properties.push_back(property);
  return std::make_shared<const MofObject>(std::move(projected));
}

struct Subscription {
  std::string event_class;  // canonical "<Class>StateChange" or the ISA event class
  std::string isa_class;    // canonical, or empty for every class
  std::vector<std::string> properties;
  // Under the owning SimWmi::Shared's mutex, through its Deliver and
  // TakeEvent only: the analysis cannot name another object's lock.
  std::deque<WbemClassObjectPtr> events;
  Handle ready;  // manual-reset; set while events are queued
};

}  // namespace

struct SimWmi::Shared : std::enable_shared_from_this<SimWmi::Shared> {
  Shared(Kernel& k, SimWmiInventory first)
      : kernel(k), inventory(std::move(first)), never(k.CreateEvent(true, false)) {}

  Kernel& kernel;
  Mutex mutex;
  SimWmiInventory inventory FENRA_GUARDED_BY(mutex);
  std::vector<std::shared_ptr<Subscription>> subscriptions FENRA_GUARDED_BY(mutex);
  std::array<int, kWmiFaultCount> fault_times FENRA_GUARDED_BY(mutex){};
  std::array<int32_t, kWmiFaultCount> fault_results FENRA_GUARDED_BY(mutex){};
  Handle never;  // never signalled: scripted time-outs wait on it
  // The address the next enumerator shows: numbered per machine, so that
  // traces are the same on every run.
  uintptr_t next_address FENRA_GUARDED_BY(mutex) = 0x00C4E1A0;

  uintptr_t TakeAddress() {
    MutexLock lock(mutex);
    uintptr_t address = next_address;
    next_address += 0x40;
    return address;
  }

  bool TakeFault(WmiFault fault, int32_t* hr) FENRA_REQUIRES(mutex) {
    auto index = static_cast<size_t>(fault);
    if (fault_times[index] <= 0) return false;
    --fault_times[index];
    *hr = fault_results[index];
    return true;
  }

  bool TakeFaultLocked(WmiFault fault, int32_t* hr) {
    MutexLock lock(mutex);
    return TakeFault(fault, hr);
  }

  // A scripted fault of Next, if any.
  std::optional<WmiFault> TakeNextFault(int32_t* hr) FENRA_REQUIRES(mutex) {
    for (WmiFault fault : {WmiFault::kNextThrows, WmiFault::kNextCancelled, WmiFault::kNextTimeout})
      if (TakeFault(fault, hr)) return fault;
    return std::nullopt;
  }

  // Carries out a fault of Next outside the mutex.
  int32_t ApplyNextFault(WmiFault fault, int32_t hr, int32_t timeout_ms) {
    if (fault == WmiFault::kNextThrows) throw std::runtime_error("simulated exception from Next");
    if (fault == WmiFault::kNextTimeout && timeout_ms > 0)
      kernel.WaitForSingleObject(never, static_cast<uint32_t>(timeout_ms));
    return hr;
  }

  void Deliver(Subscription& subscription, WbemClassObjectPtr event) FENRA_REQUIRES(mutex) {
    subscription.events.push_back(std::move(event));
    kernel.SetEvent(subscription.ready);
  }

  // The oldest event queued on `subscription`, or null.
  WbemClassObjectPtr TakeEvent(Subscription& subscription) FENRA_REQUIRES(mutex) {
    if (subscription.events.empty()) return nullptr;
    WbemClassObjectPtr event = std::move(subscription.events.front());
    subscription.events.pop_front();
    return event;
  }

  // Queues the change event of `instance` on every subscription it matches.
  void RaiseChange(const SimWmiInstance& instance) FENRA_REQUIRES(mutex);

  void WakeWaiters() FENRA_REQUIRES(mutex) {
    for (const auto& subscription : subscriptions) kernel.SetEvent(subscription->ready);
  }

  void Update(SimWmiInventory next) {
    MutexLock lock(mutex);
    for (const SimWmiInstance& instance : next.instances) {
      auto old = std::find_if(inventory.instances.begin(), inventory.instances.end(),
                              [&](const SimWmiInstance& i) { return i.key == instance.key; });
      if (old == inventory.instances.end() || old->state != instance.state) RaiseChange(instance);
    }
    inventory = std::move(next);
  }
};

namespace {

class SimClassObject final : public WbemClassObject {
 public:
  // `text`, when given, stands in for the rendered MOF text.
  SimClassObject(std::shared_ptr<SimWmi::Shared> shared, MofObjectPtr object,
                 std::shared_ptr<const std::wstring> text = nullptr)
      : shared_(std::move(shared)), object_(std::move(object)), text_(std::move(text)) {}

  int32_t GetObjectText(std::wstring* text) override {
    int32_t hr = 0;
    if (shared_->TakeFaultLocked(WmiFault::kGetObjectText, &hr)) return hr;
    *text = text_ ? *text_ : RenderMof(*object_);
    return win::kSOk;
  }

  int32_t Get(const std::wstring& name, WmiValue* value) override {
    for (const MofProperty& property : object_->properties) {
      if (!EqualsIgnoreCase(property.name, std::string(name.begin(), name.end()))) continue;
      if (const auto* text = std::get_if<std::string>(&property.value)) {
        *value = Utf8ToWide(*text);
      } else if (const auto* number = std::get_if<int32_t>(&property.value)) {
        *value = *number;
      } else if (const auto* object = std::get_if<MofObjectPtr>(&property.value); object && *object) {
        *value = WbemClassObjectPtr(std::make_shared<SimClassObject>(shared_, *object));
      } else {
        *value = WmiNull{};
      }
      return win::kSOk;
    }
    return win::kWbemENotFound;
  }

 private:
  std::shared_ptr<SimWmi::Shared> shared_;
  MofObjectPtr object_;
  std::shared_ptr<const std::wstring> text_;
};

// The result set of an instance query: a snapshot taken at the query.
class InstanceEnum final : public EnumWbemClassObject {
 public:
  InstanceEnum(std::shared_ptr<SimWmi::Shared> shared, std::deque<WbemClassObjectPtr> objects)
      : shared_(std::move(shared)), objects_(std::move(objects)), address_(shared_->TakeAddress()) {}

  uintptr_t Address() const override { return address_; }

  int32_t Next(int32_t timeout_ms, WbemClassObjectPtr* object, uint32_t* returned) override {
    object->reset();
    *returned = 0;
    int32_t hr = 0;
    std::optional<WmiFault> fault;
    {
      MutexLock lock(shared_->mutex);
      fault = shared_->TakeNextFault(&hr);
    }
    if (fault) return shared_->ApplyNextFault(*fault, hr, timeout_ms);
    if (objects_.empty()) return win::kWbemSFalse;
    *object = std::move(objects_.front());
    objects_.pop_front();
    *returned = 1;
    return win::kSOk;
  }

 private:
  std::shared_ptr<SimWmi::Shared> shared_;
  std::deque<WbemClassObjectPtr> objects_;
  const uintptr_t address_;
};

// A subscription; releasing it ends the subscription.
class EventEnum final : public EnumWbemClassObject {
 public:
  EventEnum(std::shared_ptr<SimWmi::Shared> shared, std::shared_ptr<Subscription> subscription)
      : shared_(std::move(shared)), subscription_(std::move(subscription)), address_(shared_->TakeAddress()) {}

  uintptr_t Address() const override { return address_; }

  ~EventEnum() override {
    MutexLock lock(shared_->mutex);
    std::erase(shared_->subscriptions, subscription_);
  }

  int32_t Next(int32_t timeout_ms, WbemClassObjectPtr* object, uint32_t* returned) override {
    object->reset();
    *returned = 0;
    Kernel& kernel = shared_->kernel;
    uint32_t start = kernel.TimeGetTime();
    for (;;) {
      int32_t hr = 0;
      std::optional<WmiFault> fault;
      {
        MutexLock lock(shared_->mutex);
        fault = shared_->TakeNextFault(&hr);
        if (!fault) {
          if (WbemClassObjectPtr event = shared_->TakeEvent(*subscription_)) {
            *object = std::move(event);
            *returned = 1;
            return win::kSOk;
          }
          // Reset under the mutex: an event queued after this sets it again.
          kernel.ResetEvent(subscription_->ready);
        }
      }
      if (fault) return shared_->ApplyNextFault(*fault, hr, timeout_ms);

      uint32_t wait = win::kInfinite;
      if (timeout_ms != win::kWbemInfinite) {
        uint32_t elapsed = kernel.TimeGetTime() - start;
        if (timeout_ms < 0 || elapsed >= static_cast<uint32_t>(timeout_ms)) return win::kWbemSTimedout;
        wait = static_cast<uint32_t>(timeout_ms) - elapsed;
      }
      kernel.WaitForSingleObject(subscription_->ready, wait);
    }
  }

 private:
  std::shared_ptr<SimWmi::Shared> shared_;
  std::shared_ptr<Subscription> subscription_;
  const uintptr_t address_;
};

class SimServices final : public WbemServices {
 public:
  explicit SimServices(std::shared_ptr<SimWmi::Shared> shared) : shared_(std::move(shared)) {}

  int32_t ExecQuery(const std::wstring& language, const std::wstring& query, int32_t /*flags*/,
                    EnumWbemClassObjectPtr* enumerator) override {
    enumerator->reset();
    if (!IsWql(language)) return win::kWbemEInvalidQueryType;
    int32_t hr = 0;
    if (shared_->TakeFaultLocked(WmiFault::kExecQuery, &hr)) return hr;
    WqlQuery parsed;
    if (!ParseWql(query, &parsed) || !parsed.isa_property.empty()) return win::kWbemEInvalidQuery;
    std::string_view class_name = KnownClass(parsed.class_name);
    if (class_name.empty()) return win::kWbemEInvalidClass;
    if (!SelectsKnown(parsed.properties, kInstanceProperties)) return win::kWbemEInvalidQuery;

    std::deque<WbemClassObjectPtr> objects;
    {
      MutexLock lock(shared_->mutex);
      for (const SimWmiInstance& instance : shared_->inventory.instances)
        if (Contains(instance.classes, class_name))
          objects.push_back(std::make_shared<SimClassObject>(
              shared_, Project(InstanceObject(std::string(class_name), instance), parsed.properties)));
    }
    *enumerator = std::make_unique<InstanceEnum>(shared_, std::move(objects));
    return win::kSOk;
  }

  int32_t ExecNotificationQuery(const std::wstring& language, const std::wstring& query, int32_t flags,
                                EnumWbemClassObjectPtr* enumerator) override {
    enumerator->reset();
    if (!IsWql(language)) return win::kWbemEInvalidQueryType;
    constexpr int32_t kNeeded = win::kWbemFlagReturnImmediately | win::kWbemFlagForwardOnly;
    if ((flags & kNeeded) != kNeeded) return win::kWbemEInvalidParameter;
    int32_t hr = 0;
    if (shared_->TakeFaultLocked(WmiFault::kNotificationQuery, &hr)) return hr;
    WqlQuery parsed;
    if (!ParseWql(query, &parsed)) return win::kWbemEInvalidQuery;

    auto subscription = std::make_shared<Subscription>();
    if (EqualsIgnoreCase(parsed.class_name, kIsaEventClass)) {
      subscription->event_class = kIsaEventClass;
      if (!parsed.isa_property.empty()) {
        if (!EqualsIgnoreCase(parsed.isa_property, kIsaProperty)) return win::kWbemEInvalidQuery;
        subscription->isa_class = KnownClass(parsed.isa_class);
        if (subscription->isa_class.empty()) return win::kWbemEInvalidClass;
      }
      if (!SelectsKnown(parsed.properties, kIsaEventProperties)) return win::kWbemEInvalidQuery;
    } else {
      std::string_view name = parsed.class_name;
      bool suffixed = name.size() > kEventClassSuffix.size() &&
                      EqualsIgnoreCase(name.substr(name.size() - kEventClassSuffix.size()), kEventClassSuffix);
      std::string_view base = suffixed ? KnownClass(name.substr(0, name.size() - kEventClassSuffix.size()))
                                       : std::string_view();
      if (base.empty()) return win::kWbemEInvalidClass;
      if (!parsed.isa_property.empty() || !SelectsKnown(parsed.properties, kEventClassProperties))
        return win::kWbemEInvalidQuery;
      subscription->event_class = std::string(base) + std::string(kEventClassSuffix);
    }
    subscription->properties = parsed.properties;
    subscription->ready = shared_->kernel.CreateEvent(true, false);
    {
      MutexLock lock(shared_->mutex);
      shared_->subscriptions.push_back(subscription);
    }
    *enumerator = std::make_unique<EventEnum>(shared_, std::move(subscription));
    return win::kSOk;
  }

 private:
  static bool IsWql(const std::wstring& language) { return language == L"WQL" || language == L"wql"; }
  static bool SelectsKnown(const std::vector<std::string>& selected, const std::vector<std::string>& known) {
    return std::all_of(selected.begin(), selected.end(), [&](const std::string& p) { return Contains(known, p); });
  }

  std::shared_ptr<SimWmi::Shared> shared_;
};

class SimLocator final : public WbemLocator {
 public:
  explicit SimLocator(std::shared_ptr<SimWmi::Shared> shared) : shared_(std::move(shared)) {}

  int32_t ConnectServer(const std::wstring& network_resource, WbemServicesPtr* services) override {
    services->reset();
    int32_t hr = 0;
    if (shared_->TakeFaultLocked(WmiFault::kConnectServer, &hr)) return hr;
    std::string resource(network_resource.begin(), network_resource.end());
    if (!EqualsIgnoreCase(resource, "ROOT\\cimv2") && !EqualsIgnoreCase(resource, "\\\\.\\ROOT\\cimv2"))
      return win::kWbemEInvalidNamespace;
    *services = std::make_unique<SimServices>(shared_);
    return win::kSOk;
  }

 private:
  std::shared_ptr<SimWmi::Shared> shared_;
};

}  // namespace

void SimWmi::Shared::RaiseChange(const SimWmiInstance& instance) {
  for (const auto& subscription : subscriptions) {
    MofObjectPtr event;
    if (subscription->event_class == kIsaEventClass) {
      if (!subscription->isa_class.empty() && !Contains(instance.classes, subscription->isa_class)) continue;
      const std::string& class_name =
          subscription->isa_class.empty() ? instance.classes.back() : subscription->isa_class;
      event = std::make_shared<const MofObject>(
          MofObject{std::string(kIsaEventClass), {{"Object", InstanceObject(class_name, instance)}}});
    } else {
      std::string_view base = subscription->event_class;
      base.remove_suffix(kEventClassSuffix.size());
      if (!Contains(instance.classes, base)) continue;
      MofValue state = instance.state ? MofValue(StateObject(instance.state)) : MofValue(WmiNull{});
      event = std::make_shared<const MofObject>(MofObject{
          subscription->event_class,
          {{"ObjectKey", instance.key}, {"OperationalState", state}, {"DevicePathId", instance.device_path},
           {"Status", 0}}});
    }
    Deliver(*subscription,
            std::make_shared<SimClassObject>(shared_from_this(), Project(event, subscription->properties)));
  }
}

SimWmi::SimWmi(Kernel& kernel, SimWmiInventory inventory)
    : shared_(std::make_shared<Shared>(kernel, std::move(inventory))) {}

SimWmi::~SimWmi() = default;

int32_t SimWmi::CreateLocator(WbemLocatorPtr* locator) {
  locator->reset();
  int32_t hr = 0;
  if (shared_->TakeFaultLocked(WmiFault::kCreateLocator, &hr)) return hr;
  *locator = std::make_unique<SimLocator>(shared_);
  return win::kSOk;
}

int32_t SimWmi::SetProxyBlanket(WbemServices& /*services*/, uint32_t /*authn_service*/, uint32_t /*authz_service*/,
                                uint32_t /*authn_level*/, uint32_t /*imp_level*/) {
  int32_t hr = 0;
  if (shared_->TakeFaultLocked(WmiFault::kProxyBlanket, &hr)) return hr;
  return win::kSOk;
}

void SimWmi::ScriptFault(WmiFault fault, int times, int32_t hr) {
  MutexLock lock(shared_->mutex);
  auto index = static_cast<size_t>(fault);
  shared_->fault_times[index] = std::max(times, 0);
  shared_->fault_results[index] = hr != 0 ? hr : DefaultResult(fault);
  // A call that is waiting now ends as well.
  if (fault == WmiFault::kNextCancelled || fault == WmiFault::kNextThrows) shared_->WakeWaiters();
}

void SimWmi::UpdateInventory(SimWmiInventory inventory) { shared_->Update(std::move(inventory)); }

bool SimWmi::SetState(std::string_view key, std::optional<int32_t> state) {
  MutexLock lock(shared_->mutex);
  for (SimWmiInstance& instance : shared_->inventory.instances) {
    if (instance.key != key) continue;
    instance.state = state;
    shared_->RaiseChange(instance);
    return true;
  }
  return false;
}

SimWmiInventory SimWmi::inventory() const {
  MutexLock lock(shared_->mutex);
  return shared_->inventory;
}

void SimWmi::InjectEventText(std::string_view target, const std::wstring& mof_text) {
  auto text = std::make_shared<const std::wstring>(mof_text);
  MutexLock lock(shared_->mutex);
  for (const auto& subscription : shared_->subscriptions) {
    bool matches = subscription->isa_class.empty() ? EqualsIgnoreCase(subscription->event_class, target)
                                                   : EqualsIgnoreCase(subscription->isa_class, target);
    if (!matches) continue;
    auto object = std::make_shared<const MofObject>(MofObject{subscription->event_class, {}});
    shared_->Deliver(*subscription, std::make_shared<SimClassObject>(shared_, object, text));
  }
}

int SimWmi::subscriptions() const {
  MutexLock lock(shared_->mutex);
  return static_cast<int>(shared_->subscriptions.size());
}

}  // namespace fenra::sim
