// BSTR and VARIANT conversions of the WMI adapter.

#include "platform/win32/com_values.h"

#include <gtest/gtest.h>

#include "platform/win32/windows_api.h"

namespace fenra::win32 {
namespace {

TEST(BstrTest, KeepsEveryCharacterAndNullIsEmpty) {
  const std::wstring text(L"a\0b", 3);
  Bstr bstr(text);
  EXPECT_EQ(SysStringLen(bstr.get()), 3u);
  EXPECT_EQ(WideFromBstr(bstr.get()), text);
  EXPECT_EQ(WideFromBstr(nullptr), L"");
}

WmiValue Convert(const VARIANT& variant) {
  WmiValue value = std::wstring(L"untouched");
  EXPECT_TRUE(WmiValueFromVariant(variant, &value)) << V_VT(&variant);
  return value;
}

// A number of `type` whose low bytes are those of `bits`.
VARIANT Number(VARTYPE type, LONGLONG bits) {
  VARIANT variant;
  VariantInit(&variant);
  V_I8(&variant) = bits;
  V_VT(&variant) = type;
  return variant;
}

TEST(WmiValueFromVariantTest, EmptyNullTextAndIntegers) {
  Variant variant;
  EXPECT_TRUE(std::holds_alternative<std::monostate>(Convert(*variant)));
  V_VT(variant.get()) = VT_NULL;
  EXPECT_EQ(Convert(*variant), WmiValue(WmiNull{}));
  V_VT(variant.get()) = VT_BSTR;
  V_BSTR(variant.get()) = SysAllocString(L"CPU 0");
  EXPECT_EQ(Convert(*variant), WmiValue(std::wstring(L"CPU 0")));

  // Each integer kind keeps its value; CIM's uint32 keeps its bits.
  EXPECT_EQ(Convert(Number(VT_I4, 0x180016)), WmiValue(int32_t{0x180016}));
  EXPECT_EQ(Convert(Number(VT_UI4, 0xFFFFFFFF)), WmiValue(int32_t{-1}));
  EXPECT_EQ(Convert(Number(VT_I2, -2)), WmiValue(int32_t{-2}));
  EXPECT_EQ(Convert(Number(VT_UI2, 0xFFFF)), WmiValue(int32_t{0xFFFF}));
  EXPECT_EQ(Convert(Number(VT_I1, -3)), WmiValue(int32_t{-3}));
  EXPECT_EQ(Convert(Number(VT_UI1, 0xFF)), WmiValue(int32_t{0xFF}));
  EXPECT_EQ(Convert(Number(VT_BOOL, VARIANT_TRUE)), WmiValue(int32_t{-1}));
}

TEST(WmiValueFromVariantTest, KindsWithoutAPortFormAreRefused) {
  WmiValue value = int32_t{7};
  const VARTYPE refused[] = {VT_R8, VT_I8, VT_DATE, VT_ARRAY | VT_BSTR, VT_BYREF | VT_I4};
  for (VARTYPE type : refused) EXPECT_FALSE(WmiValueFromVariant(Number(type, 0), &value)) << type;
  EXPECT_EQ(value, WmiValue(int32_t{7}));
}

TEST(WmiValueFromVariantTest, AnObjectThatIsNoClassObjectGivesANullObject) {
  IStream* stream = nullptr;
  ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
  ComPtr<IStream> owned(stream);
  VARIANT variant;
  VariantInit(&variant);
  for (VARTYPE type : {VT_UNKNOWN, VT_DISPATCH}) {
    V_VT(&variant) = type;
    V_UNKNOWN(&variant) = stream;  // the same slot as V_DISPATCH
    EXPECT_EQ(Convert(variant), WmiValue(WbemClassObjectPtr()));
  }
  V_UNKNOWN(&variant) = nullptr;
  EXPECT_EQ(Convert(variant), WmiValue(WbemClassObjectPtr()));
}

}  // namespace
}  // namespace fenra::win32
