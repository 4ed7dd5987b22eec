#pragma once
// WMI port: the locator, a namespace connection, instance and notification
// queries with their enumerators, and class objects, in plain C++ types.
// Results are HRESULTs with the platform's values (win_values.h), so the
// core handles them the same on every adapter. The thread's and process's
// COM set-up is on the Com port.
//
// Objects are released by destroying them. A connection, enumerator or
// class object belongs to the thread that obtained it; the Wmi object
// itself is thread-safe.

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

namespace fenra {

class WbemClassObject;
using WbemClassObjectPtr = std::shared_ptr<WbemClassObject>;

// VT_NULL: a property that exists and holds no value.
struct WmiNull {
  bool operator==(const WmiNull&) const = default;
};

// A property value as IWbemClassObject::Get hands it over, for the kinds the
// system reads: VT_EMPTY (monostate), VT_NULL, VT_BSTR, VT_I4 (also CIM
// uint32, as on the platform) and VT_UNKNOWN holding an embedded object.
// The embedded object is already queried for the class-object interface; a
// null pointer there means that the query failed.
using WmiValue = std::variant<std::monostate, WmiNull, std::wstring, int32_t, WbemClassObjectPtr>;

class WbemClassObject {
 public:
  virtual ~WbemClassObject() = default;

  // GetObjectText(0): the object as MOF text.
  virtual int32_t GetObjectText(std::wstring* text) = 0;
  // Get(name, 0): WBEM_E_NOT_FOUND for a property the object does not have
  // (also one left out of a query's select list).
  virtual int32_t Get(const std::wstring& name, WmiValue* value) = 0;
};

class EnumWbemClassObject {
 public:
  // Destroying the enumerator releases it; a notification query ends with it.
  virtual ~EnumWbemClassObject() = default;

  // Next(timeout, 1, object, returned): S_OK with one object; WBEM_S_FALSE
  // at the end of the set; WBEM_S_TIMEDOUT when nothing came within
  // `timeout_ms` (kWbemInfinite waits without limit); or a failure such as
  // WBEM_E_CALL_CANCELLED. *returned is the number of objects handed back
  // (0 or 1). Blocks through the Kernel port. May throw, as the platform's
  // call may raise: callers catch everything.
  virtual int32_t Next(int32_t timeout_ms, WbemClassObjectPtr* object, uint32_t* returned) = 0;

  // The interface pointer's value, as a trace line prints it. A simulated
  // provider numbers its enumerators instead, so that a run's trace does
  // not depend on where the host's allocator put them.
  virtual uintptr_t Address() const { return reinterpret_cast<uintptr_t>(this); }
};
using EnumWbemClassObjectPtr = std::unique_ptr<EnumWbemClassObject>;

class WbemServices {
 public:
  virtual ~WbemServices() = default;

  // ExecQuery and ExecNotificationQuery with a query language ("WQL"), a
  // query and WBEM_FLAG_* flags, no context. A notification query needs
  // WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY.
  virtual int32_t ExecQuery(const std::wstring& language, const std::wstring& query, int32_t flags,
                            EnumWbemClassObjectPtr* enumerator) = 0;
  virtual int32_t ExecNotificationQuery(const std::wstring& language, const std::wstring& query,
                                        int32_t flags, EnumWbemClassObjectPtr* enumerator) = 0;
};
using WbemServicesPtr = std::unique_ptr<WbemServices>;

class WbemLocator {
 public:
  virtual ~WbemLocator() = default;

  // ConnectServer(network_resource) on the local machine with no user,
  // password, locale or authority, security flags 0 and no context.
  virtual int32_t ConnectServer(const std::wstring& network_resource, WbemServicesPtr* services) = 0;
};
using WbemLocatorPtr = std::unique_ptr<WbemLocator>;

class Wmi {
 public:
  virtual ~Wmi() = default;

  // CoCreateInstance(CLSID_WbemLocator, no outer object, CLSCTX_INPROC_SERVER,
  // IID_IWbemLocator). Needs the calling thread's COM set-up.
  virtual int32_t CreateLocator(WbemLocatorPtr* locator) = 0;
  // CoSetProxyBlanket on the connection's proxy with no server principal
  // name, no authentication identity and EOAC_NONE.
  virtual int32_t SetProxyBlanket(WbemServices& services, uint32_t authn_service, uint32_t authz_service,
                                  uint32_t authn_level, uint32_t imp_level) = 0;
};

}  // namespace fenra
