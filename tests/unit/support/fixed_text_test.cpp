#include "support/fixed_text.h"

#include <gtest/gtest.h>

namespace fenra {
namespace {

TEST(FixedText, CopyTextTruncatesAndTerminates) {
  char buffer[6];
  memset(buffer, 'x', sizeof(buffer));
  CopyText(buffer, "abcdefgh");
  EXPECT_STREQ(buffer, "abcde");
  CopyText(buffer, nullptr);
  EXPECT_STREQ(buffer, "");
}

TEST(FixedText, FormatTextCutsAtTheBufferAndZeroFills) {
  char buffer[8];
  memset(buffer, 'x', sizeof(buffer));
  FormatText(buffer, "%d-%s", 42, "abcdefgh");
  EXPECT_STREQ(buffer, "42-abcd");
  FormatText(buffer, "%s", "a");
  for (size_t i = 1; i < sizeof(buffer); ++i) EXPECT_EQ(buffer[i], '\0') << i;
}

}  // namespace
}  // namespace fenra
