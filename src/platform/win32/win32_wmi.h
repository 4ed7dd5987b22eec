#pragma once
// The Wmi port on WMI's COM interfaces: IWbemLocator, IWbemServices,
// IEnumWbemClassObject and IWbemClassObject. Every object holds one COM
// reference and releases it when destroyed, which must happen on the
// thread that obtained it, before that thread's CoUninitialize.

#include "platform/wmi.h"

namespace fenra::win32 {

class Win32Wmi final : public Wmi {
 public:
  int32_t CreateLocator(WbemLocatorPtr* locator) override;
  int32_t SetProxyBlanket(WbemServices& services, uint32_t authn_service, uint32_t authz_service, uint32_t authn_level,
                          uint32_t imp_level) override;
};

}  // namespace fenra::win32
