// BSTR and VARIANT conversions of the WMI adapter.

#include "platform/win32/windows_api.h"

#include <gtest/gtest.h>

#include "platform/win32/com_values.h"

namespace fenra::win32 {
namespace {

TEST(BstrTest, KeepsEveryCharacterAndNullIsEmpty) {
  const std::wstring text(L"a\0b", 3);
  Bstr bstr(text);
  EXPECT_EQ(SysStringLen(bstr.get()), 3u);
  EXPECT_EQ(WideFromBstr(bstr.get()), text);
  EXPECT_EQ(WideFromBstr(nullptr), L"");
  Bstr empty(L"");
  ASSERT_NE(empty.get(), nullptr);
  EXPECT_EQ(WideFromBstr(empty.get()), L"");
}

WmiValue Convert(const VARIANT& variant) {
  WmiValue value = std::wstring(L"untouched");
  EXPECT_TRUE(WmiValueFromVariant(variant, &value)) << V_VT(&variant);
  return value;
}

TEST(WmiValueFromVariantTest, EmptyNullAndText) {
  Variant variant;
  EXPECT_TRUE(std::holds_alternative<std::monostate>(Convert(*variant)));
  V_VT(variant.get()) = VT_NULL;
  EXPECT_EQ(Convert(*variant), WmiValue(WmiNull{}));

  Variant text;
  V_VT(text.get()) = VT_BSTR;
  V_BSTR(text.get()) = SysAllocString(L"CPU 0");
  EXPECT_EQ(Convert(*text), WmiValue(std::wstring(L"CPU 0")));
}

TEST(WmiValueFromVariantTest, IntegersKeepTheirValueAndUint32ItsBits) {
  VARIANT variant;
  VariantInit(&variant);
  V_VT(&variant) = VT_I4;
  V_I4(&variant) = 0x180016;  // STATE_DUPLEX
  EXPECT_EQ(Convert(variant), WmiValue(int32_t{0x180016}));
  V_VT(&variant) = VT_UI4;
  V_UI4(&variant) = 0xFFFFFFFFu;
  EXPECT_EQ(Convert(variant), WmiValue(int32_t{-1}));
  V_VT(&variant) = VT_I2;
  V_I2(&variant) = -2;
  EXPECT_EQ(Convert(variant), WmiValue(int32_t{-2}));
  V_VT(&variant) = VT_UI2;
  V_UI2(&variant) = 0xFFFF;
  EXPECT_EQ(Convert(variant), WmiValue(int32_t{0xFFFF}));
  V_VT(&variant) = VT_I1;
  V_I1(&variant) = static_cast<CHAR>(-3);
  EXPECT_EQ(Convert(variant), WmiValue(int32_t{-3}));
  V_VT(&variant) = VT_UI1;
  V_UI1(&variant) = 0xFF;
  EXPECT_EQ(Convert(variant), WmiValue(int32_t{0xFF}));
  V_VT(&variant) = VT_BOOL;
  V_BOOL(&variant) = VARIANT_TRUE;
  EXPECT_EQ(Convert(variant), WmiValue(int32_t{-1}));
}

TEST(WmiValueFromVariantTest, KindsWithoutAPortFormAreRefused) {
  VARIANT variant;
  VariantInit(&variant);
  WmiValue value = int32_t{7};
  const VARTYPE refused[] = {VT_R8, VT_I8, VT_DATE, VT_ARRAY | VT_BSTR, VT_BYREF | VT_I4};
  for (VARTYPE type : refused) {
    V_VT(&variant) = type;
    EXPECT_FALSE(WmiValueFromVariant(variant, &value)) << type;
  }
  EXPECT_EQ(value, WmiValue(int32_t{7}));
}

// An IUnknown that is no class object, counting its references.
class PlainUnknown final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = IsEqualIID(iid, IID_IUnknown) ? this : nullptr;
    if (*out == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  ULONG references = 1;
};

TEST(WmiValueFromVariantTest, AnUnknownThatIsNoClassObjectGivesANullObject) {
  PlainUnknown unknown;
  VARIANT variant;
  VariantInit(&variant);
  for (VARTYPE type : {VT_UNKNOWN, VT_DISPATCH}) {
    V_VT(&variant) = type;
    V_UNKNOWN(&variant) = &unknown;  // the same slot as V_DISPATCH
    WmiValue value = Convert(variant);
    ASSERT_TRUE(std::holds_alternative<WbemClassObjectPtr>(value));
    EXPECT_EQ(std::get<WbemClassObjectPtr>(value), nullptr);
  }
  V_UNKNOWN(&variant) = nullptr;
  EXPECT_EQ(Convert(variant), WmiValue(WbemClassObjectPtr()));
  EXPECT_EQ(unknown.references, 1u);
}

}  // namespace
}  // namespace fenra::win32
