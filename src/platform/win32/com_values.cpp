#include "platform/win32/com_values.h"

#include <new>

namespace fenra::win32 {

Bstr::Bstr(std::wstring_view text) {
  bstr_ = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (bstr_ == nullptr) throw std::bad_alloc();
}

Bstr::~Bstr() { SysFreeString(bstr_); }

BSTR* Bstr::put() {
  SysFreeString(bstr_);
  bstr_ = nullptr;
  return &bstr_;
}

std::wstring WideFromBstr(BSTR bstr) {
  if (bstr == nullptr) return {};
  return std::wstring(bstr, SysStringLen(bstr));
}

bool WmiValueFromVariant(const VARIANT& variant, WmiValue* value) {
  switch (V_VT(&variant)) {
    case VT_EMPTY:
      *value = std::monostate{};
      return true;
    case VT_NULL:
      *value = WmiNull{};
      return true;
    case VT_BSTR:
      *value = WideFromBstr(V_BSTR(&variant));
      return true;
    case VT_I4:
      *value = static_cast<int32_t>(V_I4(&variant));
      return true;
    case VT_UI4:
      *value = static_cast<int32_t>(V_UI4(&variant));
      return true;
    case VT_I2:
      *value = static_cast<int32_t>(V_I2(&variant));
      return true;
    case VT_UI2:
      *value = static_cast<int32_t>(V_UI2(&variant));
      return true;
    case VT_I1:
      *value = static_cast<int32_t>(static_cast<signed char>(V_I1(&variant)));
      return true;
    case VT_UI1:
      *value = static_cast<int32_t>(V_UI1(&variant));
      return true;
    case VT_BOOL:
      *value = static_cast<int32_t>(V_BOOL(&variant));
      return true;
    case VT_UNKNOWN:
    case VT_DISPATCH: {
      // An IDispatch is an IUnknown; either may carry an embedded object.
      IUnknown* unknown = V_VT(&variant) == VT_UNKNOWN ? V_UNKNOWN(&variant) : V_DISPATCH(&variant);
      ComPtr<IWbemClassObject> object;
      if (unknown != nullptr) unknown->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(object.put()));
      *value = object ? WrapClassObject(std::move(object)) : WbemClassObjectPtr();
      return true;
    }
    default:
      return false;
  }
}

}  // namespace fenra::win32
