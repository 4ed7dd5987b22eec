#pragma once
// COM runtime port: apartment membership and process security. The WMI
// port builds on it.

#include <cstdint>

namespace fenra {

// Results are HRESULTs. Thread-safe; apartment membership is per thread.
class Com {
 public:
  virtual ~Com() = default;

  // CoInitializeEx for the calling thread.
  virtual int32_t CoInitializeEx(uint32_t coinit) = 0;
  virtual void CoUninitialize() = 0;
  // CoInitializeSecurity for the process, with a security descriptor that
  // admits every caller, default authentication services, and the given
  // authentication and impersonation levels. A second call gives
  // RPC_E_TOO_LATE.
  virtual int32_t CoInitializeSecurity(uint32_t authn_level, uint32_t imp_level) = 0;
};

}  // namespace fenra
