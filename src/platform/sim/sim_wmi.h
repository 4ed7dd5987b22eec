#pragma once
// The simulated hardware WMI provider behind the WMI port: module and device
// instances of every platform generation (from the hardware description's
// "wmi" section), the WQL the system sends, change events rendered as MOF
// text, and faults a test can script.
//
// Instance queries: "select <properties> from <class>" over every class of
// the device-class table. Event subscriptions: "... from <Class>StateChange"
// (event objects with ObjectKey, OperationalState, DevicePathId and Status)
// and "... from VUR_ODDeviceStateChangeEvent WHERE Object ISA '<Class>'"
// (event objects whose Object property embeds the changed instance). Every
// change of an instance's state queues one event on each subscription it
// matches.
//
// Next waits through the Kernel port, on an event that is set when an event
// is queued, so virtual time sees every wait. Thread-safe. The kernel must
// outlive this object and everything it hands out.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/kernel.h"
#include "platform/sim/wmi_inventory.h"
#include "platform/wmi.h"

namespace fenra::sim {

// Scriptable faults. Each scripted occurrence affects one call.
enum class WmiFault {
  kCreateLocator,      // CreateLocator fails
  kConnectServer,      // ConnectServer fails
  kProxyBlanket,       // SetProxyBlanket fails
  kExecQuery,          // ExecQuery fails
  kNotificationQuery,  // ExecNotificationQuery fails
  kNextTimeout,        // Next waits out its time-out and answers WBEM_S_TIMEDOUT
                       // (at once for an infinite time-out)
  kNextCancelled,      // Next answers WBEM_E_CALL_CANCELLED; also ends a Next
                       // that is waiting when it is scripted
  kNextThrows,         // Next raises an exception
  kGetObjectText,      // GetObjectText fails
};
inline constexpr int kWmiFaultCount = 9;

class SimWmi final : public Wmi {
 public:
  SimWmi(Kernel& kernel, SimWmiInventory inventory);
  ~SimWmi() override;

  int32_t CreateLocator(WbemLocatorPtr* locator) override;
  int32_t SetProxyBlanket(WbemServices& services, uint32_t authn_service, uint32_t authz_service,
                          uint32_t authn_level, uint32_t imp_level) override;

  // The next `times` calls of that kind fail with `hr` (0: the fault's usual
  // result: the server unavailable for ConnectServer, WBEM_E_FAILED and the
  // like for the others).
  void ScriptFault(WmiFault fault, int times, int32_t hr = 0);

  // Replaces the hardware; each instance (by ObjectKey) that is new or whose
  // state differs raises its change event. Instances that are gone raise
  // none.
  void UpdateInventory(SimWmiInventory inventory);
  // Sets one instance's state (none: no OperationalState) and raises its
  // change event. False when there is no instance with that ObjectKey.
  bool SetState(std::string_view key, std::optional<int32_t> state);
  SimWmiInventory inventory() const;

  // Queues `mof_text`, verbatim, as the next event of every subscription to
  // `target`: an event class name, or the class of the ISA form.
  void InjectEventText(std::string_view target, const std::wstring& mof_text);

  // Open notification enumerators.
  int subscriptions() const;

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace fenra::sim
