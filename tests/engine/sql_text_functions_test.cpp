#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>

#include "engine/record/db_types.h"
#include "engine/sql/expr/text_functions.h"

namespace tapir::engine::sql {
namespace {

// ---- Case mapping ------------------------------------------------------------------------

TEST(SqlTextFunctions, CaseMappingFollowsTheLanguagesRules) {
    EXPECT_EQ(Upper("straße"), "STRASSE");
    EXPECT_EQ(Lower("STRASSE"), "strasse");
    EXPECT_EQ(Upper("Grüße aus Köln"), "GRÜSSE AUS KÖLN");
    // A capital sigma at the end of a word lowers to the final form, elsewhere to σ.
    EXPECT_EQ(Lower("ΟΔΟΣ ΣΟΦΙΑΣ"), "οδος σοφιας");
    EXPECT_EQ(Upper("οδος"), "ΟΔΟΣ");
    EXPECT_EQ(Upper("Москва, ёлка"), "МОСКВА, ЁЛКА");
    EXPECT_EQ(Lower("ПРИВЕТ Мир"), "привет мир");
    EXPECT_EQ(Upper("a😀b"), "A😀B");
    EXPECT_EQ(Upper(""), "");
    // Stray bytes come out as replacement characters, never as a cut character.
    EXPECT_EQ(Upper("a\xFF"
                    "b\xC3"),
              "A\xEF\xBF\xBD"
              "B\xEF\xBF\xBD");

    EXPECT_EQ(Upper(u"straße"), u"STRASSE");
    EXPECT_EQ(Lower(u"ΟΔΟΣ"), u"οδος");
    EXPECT_EQ(Upper(u"ёлка 😀"), u"ЁЛКА 😀");
    EXPECT_EQ(Lower(std::u16string_view()), u"");
}

// ---- Trimming ----------------------------------------------------------------------------

TEST(SqlTextFunctions, TrimDropsEverythingAtOrBelowTheBlank) {
    const std::string padded = "\t\x01 ab c\r\n \x1F";
    EXPECT_EQ(Trim(padded), "ab c");
    EXPECT_EQ(LTrim(padded), "ab c\r\n \x1F");
    EXPECT_EQ(RTrim(padded), "\t\x01 ab c");
    EXPECT_EQ(Trim(" \t\n"), "");
    EXPECT_EQ(Trim(""), "");
    // A no-break space and other letters above the blank stay.
    EXPECT_EQ(Trim("\xC2\xA0 Ж \xC2\xA0"), "\xC2\xA0 Ж \xC2\xA0");
    EXPECT_EQ(Trim("  😀  "), "😀");

    EXPECT_EQ(Trim(u"\t Привет \r"), u"Привет");
    EXPECT_EQ(LTrim(u"  a "), u"a ");
    EXPECT_EQ(RTrim(u"  a "), u"  a");
    EXPECT_EQ(Trim(u"   "), u"");
}

// ---- Length, substring, position ---------------------------------------------------------

TEST(SqlTextFunctions, LengthCountsCharacters) {
    EXPECT_EQ(Length(""), 0);
    EXPECT_EQ(Length("abc"), 3);
    EXPECT_EQ(Length("Grüße"), 5);
    EXPECT_EQ(Length("Привет"), 6);
    EXPECT_EQ(Length("😀a"), 2);
    EXPECT_EQ(Length("a\xC3"), 2);  // the lone lead byte is one replacement character
    // Wide text counts wide characters: the emoji is a surrogate pair.
    EXPECT_EQ(Length(u"Привет"), 6);
    EXPECT_EQ(Length(u"😀a"), 3);
    EXPECT_EQ(Length(std::u16string_view()), 0);
}

TEST(SqlTextFunctions, SubstringCutsWholeCharacters) {
    EXPECT_EQ(Substring("abcdef", 3), "cdef");
    EXPECT_EQ(Substring("abcdef", 2, 3), "bcd");
    EXPECT_EQ(Substring("abcdef", 5, 100), "ef");
    EXPECT_EQ(Substring("abcdef", 6, 1), "f");
    // A start below 1 counts as 1 and keeps its length.
    EXPECT_EQ(Substring("abcdef", 0, 2), "ab");
    EXPECT_EQ(Substring("abcdef", -7, 2), "ab");
    EXPECT_EQ(Substring("abcdef", -7), "abcdef");
    // Past the end, or no length at all, gives empty text.
    EXPECT_EQ(Substring("abcdef", 7), "");
    EXPECT_EQ(Substring("abcdef", 70, 2), "");
    EXPECT_EQ(Substring("abcdef", 2, 0), "");
    EXPECT_EQ(Substring("abcdef", 2, -1), "");
    EXPECT_EQ(Substring("", 1), "");
    EXPECT_EQ(Substring("abc", 1, INT64_MAX), "abc");
    EXPECT_EQ(Substring("abc", INT64_MIN, 1), "a");

    EXPECT_EQ(Substring("Grüße", 3, 2), "üß");
    EXPECT_EQ(Substring("Москва", 4), "ква");
    EXPECT_EQ(Substring("a😀b", 2, 1), "😀");
    EXPECT_EQ(Substring("a😀b", 3), "b");
}

TEST(SqlTextFunctions, WideSubstringCountsUnitsButKeepsSurrogatePairs) {
    EXPECT_EQ(Substring(u"Москва", 4), u"ква");
    EXPECT_EQ(Substring(u"Москва", 0, 2), u"Мо");
    EXPECT_EQ(Substring(u"Москва", 7), u"");
    // u"a😀b": a, lead, trail, b.
    EXPECT_EQ(Substring(u"a😀b", 2, 2), u"😀");
    EXPECT_EQ(Substring(u"a😀b", 2, 1), u"😀");  // the end would split the pair
    EXPECT_EQ(Substring(u"a😀b", 3, 1), u"😀");  // the start would split the pair
    EXPECT_EQ(Substring(u"a😀b", 4), u"b");
}

TEST(SqlTextFunctions, PosGivesTheCharacterPositionOfTheFirstOccurrence) {
    EXPECT_EQ(Pos("c", "abcabc"), 3);
    EXPECT_EQ(Pos("abc", "abcabc"), 1);
    EXPECT_EQ(Pos("x", "abc"), 0);
    EXPECT_EQ(Pos("x", ""), 0);
    EXPECT_EQ(Pos("", "abc"), 0);
    EXPECT_EQ(Pos("C", "abc"), 0);  // exact, not ignoring case
    EXPECT_EQ(Pos("ß", "Straße"), 5);
    EXPECT_EQ(Pos("ва", "Москва"), 5);
    EXPECT_EQ(Pos("b", "a😀b"), 3);
    EXPECT_EQ(Pos("😀", "ü😀"), 2);
    EXPECT_EQ(Pos(u"ва", u"Москва"), 5);
    EXPECT_EQ(Pos(u"b", u"a😀b"), 4);
    EXPECT_EQ(Pos(u"", u"abc"), 0);
}

// ---- LIKE --------------------------------------------------------------------------------

TEST(SqlTextFunctions, LikeMatchesPercentAndUnderscore) {
    EXPECT_TRUE(Like("abc", "a%", false));
    EXPECT_TRUE(Like("abc", "_b_", false));
    EXPECT_TRUE(Like("abc", "%", false));
    EXPECT_TRUE(Like("abc", "abc%", false));
    EXPECT_FALSE(Like("abc", "ab", false));
    EXPECT_TRUE(Like("", "%", false));
    EXPECT_TRUE(Like("", "%%", false));
    EXPECT_TRUE(Like("", "", false));
    EXPECT_FALSE(Like("", "_", false));
    EXPECT_FALSE(Like("a", "", false));
    EXPECT_TRUE(Like("abcbc", "%bc", false));
    EXPECT_TRUE(Like("abcbd", "a%b_", false));
    EXPECT_FALSE(Like("abcbd", "a%c", false));
    EXPECT_FALSE(Like("abc", "ABC", false));
    EXPECT_TRUE(Like("abc", "ABC", true));
    EXPECT_TRUE(Like("ABC", "a_c", true));
}

TEST(SqlTextFunctions, LikeCountsCharactersAndComparesByLocale) {
    EXPECT_TRUE(Like("Grüße", "Gr__e", false));
    EXPECT_FALSE(Like("Grüße", "Gr___e", false));
    EXPECT_TRUE(Like("a😀b", "a_b", false));
    EXPECT_TRUE(Like("😀😀", "%😀", false));
    EXPECT_TRUE(Like("МОСКВА", "моск%", true));
    EXPECT_FALSE(Like("МОСКВА", "моск%", false));
    EXPECT_TRUE(Like("ёлка", "_ЛКА", true));
    EXPECT_TRUE(Like("ΟΔΟΣ", "οδο_", true));
    EXPECT_TRUE(Like("οδος", "ΟΔΟΣ", true));  // final sigma and capital sigma are one letter
    // Per-character comparison: ß is one character and never matches two.
    EXPECT_FALSE(Like("straße", "strasse", true));
    // Ignoring case keeps accents apart.
    EXPECT_FALSE(Like("café", "cafe", true));
    EXPECT_TRUE(Like("CAFÉ", "café", true));
    // Ill-formed bytes are one replacement character each, matched like any other.
    EXPECT_TRUE(
        Like("a\xFF"
             "b",
             "a_b", false));

    EXPECT_TRUE(Like(u"МОСКВА", u"%кВа", true));
    EXPECT_TRUE(Like(u"a😀b", u"a_b", false));
    EXPECT_FALSE(Like(u"a😀b", u"a__b", false));
}

TEST(SqlTextFunctions, LikeTakesAnOptionalEscapeCharacter) {
    EXPECT_TRUE(Like("10%", "10!%", false, U'!'));
    EXPECT_FALSE(Like("100", "10!%", false, U'!'));
    EXPECT_TRUE(Like("a_b", "a!_b", false, U'!'));
    EXPECT_FALSE(Like("axb", "a!_b", false, U'!'));
    EXPECT_TRUE(Like("a!b", "a!!b", false, U'!'));
    EXPECT_TRUE(Like("50% off", "%!%%", false, U'!'));
    EXPECT_TRUE(Like("a!", "a!", false, U'!'));  // a closing escape stands for itself
    EXPECT_TRUE(Like("aЖb", "a\\Жb", false, U'\\'));
    EXPECT_TRUE(Like("x%", "x€%", false, U'€'));
    // Without an escape character the same patterns keep their wildcards.
    EXPECT_TRUE(Like("10!00", "10!%", false));
    EXPECT_TRUE(Like(u"a_b", u"a!_b", false, U'!'));
}

// Plain recursive matcher over ASCII letters: the definition of LIKE, tried from the
// shortest run.
bool SameLetter(char a, char b, bool ignore_case) {
    return a == b || (ignore_case && std::tolower(a) == std::tolower(b));
}

bool ReferenceLike(const std::string& text, size_t t, const std::string& pattern, size_t p,
                   bool ignore_case) {
    if (p == pattern.size()) {
        return t == text.size();
    }
    if (pattern[p] == '%') {
        for (size_t end = t; end <= text.size(); ++end) {
            if (ReferenceLike(text, end, pattern, p + 1, ignore_case)) {
                return true;
            }
        }
        return false;
    }
    if (t == text.size()) {
        return false;
    }
    if (pattern[p] == '_' || SameLetter(pattern[p], text[t], ignore_case)) {
        return ReferenceLike(text, t + 1, pattern, p + 1, ignore_case);
    }
    return false;
}

TEST(SqlTextFunctions, LikeAgreesWithAReferenceMatcherOnRandomInput) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const std::string text_letters = "abA";
    const std::string pattern_letters = "abA%_";
    const auto random_text = [&](const std::string& letters, int max_length) {
        std::string text(std::uniform_int_distribution<int>(0, max_length)(random), ' ');
        for (char& c : text) {
            c = letters[std::uniform_int_distribution<size_t>(0, letters.size() - 1)(random)];
        }
        return text;
    };
    int matches = 0;
    for (int i = 0; i < 4000; ++i) {
        const std::string text = random_text(text_letters, 9);
        const std::string pattern = random_text(pattern_letters, 7);
        const bool ignore_case = i % 2 == 1;
        const bool expected = ReferenceLike(text, 0, pattern, 0, ignore_case);
        ASSERT_EQ(Like(text, pattern, ignore_case), expected)
            << "'" << text << "' LIKE '" << pattern << "'" << (ignore_case ? " ignoring case" : "");
        matches += expected ? 1 : 0;
    }
    // The alphabet is small enough that both outcomes occur often.
    EXPECT_GT(matches, 200);
    EXPECT_LT(matches, 3800);
}

TEST(SqlTextFunctions, LikeStaysPolynomialOnManyPercentSigns) {
    const std::string text(3000, 'a');
    EXPECT_FALSE(Like(text, "%a%a%a%a%a%a%a%a%a%a%b", false));
    EXPECT_TRUE(Like(text + "b", "%a%a%a%a%a%a%a%a%a%a%b", false));
    EXPECT_FALSE(Like(text, "%_%_%_%_%_%_%_%_%_%_c%", true));
}

// ---- BLOB literals -----------------------------------------------------------------------

void ExpectCannotConvert(std::string_view text, BlobTextFormat format, const std::string& message) {
    SCOPED_TRACE(std::string(text));
    try {
        (void)DecodeBlobText(text, format);
        ADD_FAILURE() << "no error";
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), 11344);
        EXPECT_EQ(error.Message(), message);
    }
}

TEST(SqlTextFunctions, Base64TextDecodesToBytes) {
    EXPECT_EQ(DecodeBlobText("SGVsbG8=", BlobTextFormat::Base64), "Hello");
    EXPECT_EQ(DecodeBlobText("SGVsbG8", BlobTextFormat::Base64), "Hello");
    EXPECT_EQ(DecodeBlobText("SGVs\r\nbG8g\tV29y bGQ=", BlobTextFormat::Base64), "Hello World");
    EXPECT_EQ(DecodeBlobText("AP8A/w==", BlobTextFormat::Base64),
              std::string("\x00\xFF\x00\xFF", 4));
    EXPECT_EQ(DecodeBlobText("+/+/", BlobTextFormat::Base64), "\xFB\xFF\xBF");
    EXPECT_EQ(DecodeBlobText("", BlobTextFormat::Base64), "");

    ExpectCannotConvert(
        "SGV*", BlobTextFormat::Base64,
        "Error - cannot convert BLOB value \"SGV*\", format = 0 - Native error: 11344");
    for (const char* bad :
         {"S", "SGVsb", "SG=x", "SGVsbG8===", "SGVsbG8=\r\nAA", "=", "SGVs-bG8", "SGVsbG8=\tx"}) {
        ExpectCannotConvert(bad, BlobTextFormat::Base64,
                            std::string("Error - cannot convert BLOB value \"") + bad +
                                "\", format = 0 - Native error: 11344");
    }
}

TEST(SqlTextFunctions, HexTextDecodesToBytes) {
    EXPECT_EQ(DecodeBlobText("48656c6C6F", BlobTextFormat::Hex), "Hello");
    EXPECT_EQ(DecodeBlobText("00ff7F", BlobTextFormat::Hex), std::string("\x00\xFF\x7F", 3));
    EXPECT_EQ(DecodeBlobText("", BlobTextFormat::Hex), "");
    for (const char* bad : {"ABC", "zz", "0x41", "41 42", "4G"}) {
        ExpectCannotConvert(bad, BlobTextFormat::Hex,
                            std::string("Error - cannot convert BLOB value \"") + bad +
                                "\", format = 1 - Native error: 11344");
    }
}

}  // namespace
}  // namespace tapir::engine::sql
