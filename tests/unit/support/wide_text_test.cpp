#include "support/wide_text.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "support/test_machine.h"

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

// On the simulated machine the ANSI code page is UTF-8: "モジュール" is five
// characters of three bytes each. A cut falls between whole characters.
TEST(WideText, NarrowingGoesThroughThePlatformAndCutsBetweenCharacters) {
  testing::TestMachine machine;
  System& system = machine.platform().system;
  const std::wstring text = L"0 \u30e2\u30b8\u30e5\u30fc\u30eb";
  const std::string whole = "0 \u30e2\u30b8\u30e5\u30fc\u30eb";
  struct Case {
    size_t buffer;
    size_t kept;  // bytes of `whole`
  };
  for (Case c : {Case{18, 17}, Case{17, 14}, Case{16, 14}, Case{15, 14}, Case{6, 5}, Case{5, 2}, Case{3, 2},
                 Case{2, 1}, Case{1, 0}}) {
    std::string narrow(c.buffer, 'x');
    EXPECT_EQ(NarrowText(system, text, narrow), c.kept) << "buffer " << c.buffer;
    EXPECT_EQ(narrow.substr(0, c.kept + 1), whole.substr(0, c.kept) + '\0') << "buffer " << c.buffer;
  }
  // A surrogate pair is one character: kept whole or not at all.
  std::string narrow(6, 'x');
  EXPECT_EQ(NarrowText(system, L"ab\U0001F600", narrow), 2u);
  EXPECT_EQ(NarrowText(system, L"a\U0001F600", narrow), 5u);
  EXPECT_EQ(narrow.substr(0, 6), std::string("a\xF0\x9F\x98\x80") + '\0');
}

TEST(WideText, WideningKeepsAsciiAndCuts) {
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
