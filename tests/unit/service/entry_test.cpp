// The command-line scan of the process entry.

#include <gtest/gtest.h>

#include "service/entry.h"
#include "unit/platform/sim/test_support.h"

namespace fenra {
namespace {

// A double-byte code page: a byte from 0x81 on leads a two-byte character
// whose second byte may be any value, '-' and '/' included.
class DoubleByteSystem : public sim::testing::FakeSystem {
 public:
  const char* CharNext(const char* text) override {
    if (*text == '\0') return text;
    return static_cast<unsigned char>(*text) >= 0x81 && text[1] != '\0' ? text + 2 : text + 1;
  }
};

TEST(FindCommandTokenTest, StepsOverWholeCharacters) {
  DoubleByteSystem system;
  const char* text = "C:\\\x81-\x82/x\\FENRA.exe /Service";
  const char* token = FindCommandToken(system, text, "-/");
  ASSERT_NE(token, nullptr);
  EXPECT_STREQ(token, "Service");
  EXPECT_EQ(FindCommandToken(system, token, "-/"), nullptr);
  EXPECT_EQ(FindCommandToken(system, nullptr, "-/"), nullptr);
  EXPECT_STREQ(FindCommandToken(system, "a-b/c", "-/"), "b/c");
}

}  // namespace
}  // namespace fenra
