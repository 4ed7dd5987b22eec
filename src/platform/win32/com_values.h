#pragma once
// BSTR and VARIANT, converted to and from the plain types of the WMI port.

#include <string>
#include <string_view>

#include "platform/win32/handles.h"
#include "platform/win32/windows_api.h"
#include "platform/wmi.h"

namespace fenra::win32 {

// An owned BSTR (SysAllocStringLen / SysFreeString).
class Bstr {
 public:
  Bstr() = default;
  // Keeps every character of `text`, embedded NULs included. Throws
  // std::bad_alloc when the system has no memory for it.
  explicit Bstr(std::wstring_view text);
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr();

  BSTR get() const { return bstr_; }
  // For an out parameter: frees what is held and hands out the slot.
  BSTR* put();

 private:
  BSTR bstr_ = nullptr;
};

// The text of a BSTR by its length prefix, so embedded NULs survive. A null
// BSTR is the empty text, as COM defines it.
std::wstring WideFromBstr(BSTR bstr);

// A VARIANT cleared (VariantClear) at the end.
class Variant {
 public:
  Variant() { VariantInit(&value_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  ~Variant() { VariantClear(&value_); }

  VARIANT* get() { return &value_; }
  const VARIANT& operator*() const { return value_; }

 private:
  VARIANT value_;
};

// The WMI port's value of a property as IWbemClassObject::Get returns it:
// VT_EMPTY, VT_NULL, VT_BSTR, the integer kinds (CIM's uint32 arrives as
// VT_I4, its bits unchanged; VT_UI4, VT_I2, VT_UI2, VT_I1, VT_UI1 and
// VT_BOOL are widened the same way) and an embedded object (VT_UNKNOWN or
// VT_DISPATCH, queried for IWbemClassObject; a null pointer when that
// fails). False, with `value` untouched, for every other kind (arrays,
// floating point, 64-bit integers, by-reference values): the port has no
// form for them.
bool WmiValueFromVariant(const VARIANT& variant, WmiValue* value);

// The WMI port's class object around `object` (with the WMI adapter).
WbemClassObjectPtr WrapClassObject(ComPtr<IWbemClassObject> object);

}  // namespace fenra::win32
