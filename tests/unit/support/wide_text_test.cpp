#include "support/wide_text.h"

#include <gtest/gtest.h>

#include <climits>

namespace fenra {
namespace {

TEST(WideText, AppendCutsAtTheBufferAndTerminates) {
  wchar_t buffer[8] = {};
  EXPECT_TRUE(AppendWide(buffer, L"\n0"));
  EXPECT_TRUE(AppendWide(buffer, L" ONE"));
  EXPECT_FALSE(AppendWide(buffer, L" DUPLEX"));
  EXPECT_EQ(std::wstring(buffer), L"\n0 ONE ");
  EXPECT_FALSE(AppendWide(buffer, L"x"));
  EXPECT_EQ(buffer[7], L'\0');
  EXPECT_EQ(WideLength(buffer), 7u);
}

TEST(WideText, ConversionsKeepAsciiAndCut) {
  char narrow[4];
  EXPECT_EQ(NarrowText(L"12\u00e9x", narrow), 3u);
  EXPECT_STREQ(narrow, "12?");
  wchar_t wide[5];
  EXPECT_EQ(WidenText("VUR_IOBoard", wide), 4u);
  EXPECT_EQ(std::wstring(wide), L"VUR_");
}

TEST(WideText, DecimalsReadLikeScanfAndSaturate) {
  int32_t value = 5;
  EXPECT_FALSE(ReadDecimal("  abc", &value));
  EXPECT_FALSE(ReadDecimal("-", &value));
  EXPECT_EQ(value, 5);
  EXPECT_TRUE(ReadDecimal(" \t-12x", &value));
  EXPECT_EQ(value, -12);
  EXPECT_TRUE(ReadDecimal("2147483648", &value));
  EXPECT_EQ(value, INT_MAX);
  EXPECT_TRUE(ReadDecimal("-2147483648", &value));
  EXPECT_EQ(value, INT_MIN);
  EXPECT_TRUE(ReadDecimal("-99999999999999999999999", &value));
  EXPECT_EQ(value, INT_MIN);
  EXPECT_EQ(TextToInt("12"), 12);
  EXPECT_EQ(TextToInt("CPU"), 0);
  EXPECT_EQ(TextToInt(""), 0);
}

}  // namespace
}  // namespace fenra
