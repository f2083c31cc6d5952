#include "platform/collation.h"

#include <gtest/gtest.h>

namespace tapir::platform {
namespace {

TEST(Collation, OrdersByLettersBeforeCase) {
    // Byte order would put "B" (0x42) before "a" (0x61); the collation does not.
    EXPECT_LT(CompareText("a", "B", false), 0);
    EXPECT_LT(CompareText("apple", "Banana", false), 0);
    EXPECT_GT(CompareText("b", "a", false), 0);
    EXPECT_EQ(CompareText("same", "same", false), 0);
    // Case still separates two texts when it counts.
    EXPECT_NE(CompareText("abc", "ABC", false), 0);
}

TEST(Collation, IgnoreCaseMakesCaseVariantsEqual) {
    EXPECT_EQ(CompareText("abc", "ABC", true), 0);
    EXPECT_EQ(CompareText("\xC3\xA9t\xC3\xA9", "\xC3\x89T\xC3\x89", true), 0);  // été / ÉTÉ
    // Accents still count at this strength.
    EXPECT_NE(CompareText("ete", "\xC3\xA9t\xC3\xA9", true), 0);
}

TEST(Collation, PunctuationAndBlanksCount) {
    EXPECT_NE(CompareText("a-b", "ab", false), 0);
    EXPECT_NE(CompareText("a b", "ab", true), 0);
    EXPECT_LT(CompareText("", "a", false), 0);
}

TEST(Collation, WideTextComparesLikeUtf8) {
    EXPECT_LT(CompareWideText(u"a", u"B", false), 0);
    EXPECT_EQ(CompareWideText(u"Zender", u"zENDER", true), 0);
    EXPECT_EQ(CompareWideText(u"\u00e9", u"\u00e9", false), 0);
    EXPECT_EQ(CompareText("\xC3\xA9", "e", false) < 0, CompareWideText(u"\u00e9", u"e", false) < 0);
}

}  // namespace
}  // namespace tapir::platform
