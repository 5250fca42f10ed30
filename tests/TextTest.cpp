#include "foundation/Text.h"

#include <climits>

#include <gtest/gtest.h>

#include "foundation/Error.h"

namespace vespril {
namespace {

TEST(TextTest, TrimRemovesBlanksAndControlBytesButNotHighBytes) {
  EXPECT_EQ(Trim(" \t\r\n\x1B"
                 "PEDIDO \x1B\n\r"),
            "PEDIDO");
  EXPECT_EQ(Trim("\xA0x\xA0"), "\xA0x\xA0");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(Trim(""), "");
}

TEST(TextTest, CaseFoldingCoversLatin1Letters) {
  EXPECT_TRUE(SameText("porta", "Porta"));
  EXPECT_FALSE(SameText("Port", "Porta"));
  EXPECT_TRUE(SameText("ENDERE\xC7O", "endere\xE7o"));  // Ç / ç
  EXPECT_FALSE(SameText("\xF7", "\xD7"));               // division and multiplication signs differ
  EXPECT_TRUE(SameTextAscii("TRUE", "true"));
  EXPECT_FALSE(SameTextAscii("\xC7", "\xE7"));
  EXPECT_EQ(LowerAscii("INSERT \xC7"), "insert \xC7");
}

TEST(TextTest, ReplaceAllDoesNotRescanItsOutput) {
  EXPECT_EQ(ReplaceAll("a\\\\\\b", "\\\\", "\\"), "a\\\\b");
  EXPECT_EQ(ReplaceAll("B&amp;C", "&", "&amp;"), "B&amp;amp;C");
  EXPECT_EQ(ReplaceAll("...", ".", ""), "");
}

TEST(TextTest, StrToIntAcceptsDecimalIntegersOverTheFull32BitRange) {
  EXPECT_EQ(StrToInt("211"), 211);
  EXPECT_EQ(StrToInt("  -17"), -17);
  EXPECT_EQ(StrToInt("+5"), 5);
  EXPECT_EQ(StrToInt("2147483647"), INT32_MAX);
  EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
  for (const char* bad :
       {"", "-", "+", "abc", "1.5", "12 ", "2147483648", "-2147483649", "0x10", "99999999999999999999"}) {
    int32_t value = 0;
    EXPECT_FALSE(TryStrToInt(bad, value)) << bad;
  }
  try {
    StrToInt("abc");
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.Message(), "'abc' is not a valid integer value");
  }
}

}  // namespace
}  // namespace vespril
