#include "platform/win32/win32_wmi.h"

#include "platform/win32/com_values.h"
#include "platform/win32/handles.h"
#include "platform/win32/windows_api.h"

namespace fenra::win32 {
namespace {

class Win32ClassObject final : public WbemClassObject {
 public:
  explicit Win32ClassObject(ComPtr<IWbemClassObject> object) : object_(std::move(object)) {}

  int32_t GetObjectText(std::wstring* text) override {
    Bstr mof;
    HRESULT hr = object_->GetObjectText(0, mof.put());
    if (SUCCEEDED(hr)) {
      // MOF text holds no NUL; Wine's BSTR runs on past the text in NULs.
      *text = WideFromBstr(mof.get());
      text->resize(wcsnlen(text->c_str(), text->size()));
    }
    return hr;
  }

  int32_t Get(const std::wstring& name, WmiValue* value) override {
    Variant variant;
    HRESULT hr = object_->Get(name.c_str(), 0, variant.get(), nullptr, nullptr);
    if (FAILED(hr)) return hr;
    return WmiValueFromVariant(*variant, value) ? hr : static_cast<HRESULT>(WBEM_E_TYPE_MISMATCH);
  }

 private:
  const ComPtr<IWbemClassObject> object_;
};

class Win32Enumerator final : public EnumWbemClassObject {
 public:
  explicit Win32Enumerator(ComPtr<IEnumWbemClassObject> enumerator) : enumerator_(std::move(enumerator)) {}

  int32_t Next(int32_t timeout_ms, WbemClassObjectPtr* object, uint32_t* returned) override {
    ComPtr<IWbemClassObject> next;
    ULONG count = 0;
    HRESULT hr = enumerator_->Next(timeout_ms, 1, next.put(), &count);
    *object = count == 1 && next ? WrapClassObject(std::move(next)) : nullptr;
    *returned = *object ? 1 : 0;
    return hr;
  }

 private:
  const ComPtr<IEnumWbemClassObject> enumerator_;
};

class Win32Services final : public WbemServices {
 public:
  explicit Win32Services(ComPtr<IWbemServices> services) : services_(std::move(services)) {}

  int32_t ExecQuery(const std::wstring& language, const std::wstring& query, int32_t flags,
                    EnumWbemClassObjectPtr* enumerator) override {
    ComPtr<IEnumWbemClassObject> result;
    HRESULT hr = services_->ExecQuery(Bstr(language).get(), Bstr(query).get(), flags, nullptr, result.put());
    *enumerator = Wrap(hr, std::move(result));
    return hr;
  }

  int32_t ExecNotificationQuery(const std::wstring& language, const std::wstring& query, int32_t flags,
                                EnumWbemClassObjectPtr* enumerator) override {
    ComPtr<IEnumWbemClassObject> result;
    HRESULT hr =
        services_->ExecNotificationQuery(Bstr(language).get(), Bstr(query).get(), flags, nullptr, result.put());
    *enumerator = Wrap(hr, std::move(result));
    return hr;
  }

  IWbemServices* get() const { return services_.get(); }

 private:
  static EnumWbemClassObjectPtr Wrap(HRESULT hr, ComPtr<IEnumWbemClassObject> result) {
    if (FAILED(hr) || !result) return nullptr;
    return std::make_unique<Win32Enumerator>(std::move(result));
  }

  const ComPtr<IWbemServices> services_;
};

class Win32Locator final : public WbemLocator {
 public:
  explicit Win32Locator(ComPtr<IWbemLocator> locator) : locator_(std::move(locator)) {}

  int32_t ConnectServer(const std::wstring& network_resource, WbemServicesPtr* services) override {
    ComPtr<IWbemServices> connected;
    HRESULT hr = locator_->ConnectServer(Bstr(network_resource).get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                         connected.put());
    *services = SUCCEEDED(hr) && connected ? std::make_unique<Win32Services>(std::move(connected)) : nullptr;
    return hr;
  }

 private:
  const ComPtr<IWbemLocator> locator_;
};

}  // namespace

WbemClassObjectPtr WrapClassObject(ComPtr<IWbemClassObject> object) {
  return std::make_shared<Win32ClassObject>(std::move(object));
}

int32_t Win32Wmi::CreateLocator(WbemLocatorPtr* locator) {
  ComPtr<IWbemLocator> created;
  HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                reinterpret_cast<void**>(created.put()));
  *locator = SUCCEEDED(hr) && created ? std::make_unique<Win32Locator>(std::move(created)) : nullptr;
  return hr;
}

int32_t Win32Wmi::SetProxyBlanket(WbemServices& services, uint32_t authn_service, uint32_t authz_service,
                                  uint32_t authn_level, uint32_t imp_level) {
  auto* native = dynamic_cast<Win32Services*>(&services);
  if (native == nullptr) return E_INVALIDARG;
  return CoSetProxyBlanket(native->get(), authn_service, authz_service, nullptr, authn_level, imp_level, nullptr,
                           EOAC_NONE);
}

}  // namespace fenra::win32
