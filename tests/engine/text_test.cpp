#include <gtest/gtest.h>

#include <string>

#include "engine/record/record_buffer.h"
#include "engine/table/sqlmem_table.h"
#include "engine/record/utf8_text.h"
#include "tests/engine/core_test_tables.h"
#include "tests/engine/table_fixtures.h"

namespace tapir::engine {
namespace {

std::string Repeat(const std::string& character, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) {
        text += character;
    }
    return text;
}

class CharacterText : public ::testing::Test {
  protected:
    void SetUp() override { TSQLMemEngine::Instance().Reset(); }
    void TearDown() override { TSQLMemEngine::Instance().Reset(); }
};

// A channel name of 20 letters in any script fits a 20-character field whole; the 21st
// character is cut, and only whole characters are kept.
TEST_F(CharacterText, TwentyLettersOfEveryScriptAreKeptWhole) {
    TSQLMemTable timers;
    testing::DefineTimers(timers, "Timers");
    timers.Open();
    const struct {
        const char* script;
        std::string letter;
    } scripts[] = {{"Cyrillic", "\xD0\x96"},        // Ж, 2 bytes
                   {"Greek", "\xCE\xA9"},           // Ω, 2 bytes
                   {"Arabic", "\xD8\xB9"},          // ع, 2 bytes
                   {"CJK", "\xE4\xB8\xAD"},         // 中, 3 bytes
                   {"Emoji", "\xF0\x9F\x93\xBA"}};  // 📺, 4 bytes
    for (const auto& script : scripts) {
        SCOPED_TRACE(script.script);
        const std::string twenty = Repeat(script.letter, 20);
        timers.Append();
        timers.FieldByName("Zender").SetAsString(twenty);
        EXPECT_EQ(timers.FieldByName("Zender").AsString(), twenty);
        timers.FieldByName("Name").SetAsString(Repeat(script.letter, 41));
        EXPECT_EQ(timers.FieldByName("Name").AsString(), Repeat(script.letter, 40));
        timers.Post();
        // Read back from the stored row, not from the edit buffer.
        timers.Refresh();
        ASSERT_TRUE(timers.Locate("Zender", {twenty}));
        EXPECT_EQ(timers.FieldByName("Zender").AsString(), twenty);
        EXPECT_EQ(timers.FieldByName("Name").AsString(), Repeat(script.letter, 40));
    }
}

TEST_F(CharacterText, RawFieldAccessCountsCharacters) {
    auto cursor = testing::OpenCursor(testing::TimersDefinition());
    const TSQLMemFieldDefs& defs = cursor->FieldDefs();
    std::vector<std::byte> row = testing::Buffer(*cursor);
    cursor->InitNewRecord(row.data());
    // 19 ASCII letters and one Cyrillic letter: 21 bytes, 20 characters.
    const std::string mixed = Repeat("A", 19) + "\xD0\x96";
    SetText(defs, 0, mixed + "B", row.data());
    EXPECT_EQ(GetText(defs, 0, row.data()), mixed);
    // ASCII keeps exactly the first Size characters.
    SetText(defs, 0, Repeat("x", 25), row.data());
    EXPECT_EQ(GetText(defs, 0, row.data()), Repeat("x", 20));
}

TEST_F(CharacterText, WideFieldsCountCharactersToo) {
    TableDefinition def;
    def.name = "Wide";
    def.fields = {testing::Field("W", ftWideString, 3)};
    auto cursor = testing::OpenCursor(def);
    const TSQLMemFieldDefs& defs = cursor->FieldDefs();
    EXPECT_EQ(defs[0].MemoryDataSize, 14);
    std::vector<std::byte> row = testing::Buffer(*cursor);
    cursor->InitNewRecord(row.data());
    const std::string tv = "\xF0\x9F\x93\xBA";  // outside the 16-bit range: two units
    SetText(defs, 0, Repeat(tv, 4), row.data());
    EXPECT_EQ(GetText(defs, 0, row.data()), Repeat(tv, 3));
    SetText(defs, 0, "a" + tv + "bc", row.data());
    EXPECT_EQ(GetText(defs, 0, row.data()), "a" + tv + "b");
}

// Ill-formed UTF-8 is stored with each broken part replaced by U+FFFD, so text of stray
// bytes never becomes an empty (null) field and what is stored is always valid UTF-8.
TEST_F(CharacterText, InvalidUtf8IsReplacedNotDropped) {
    auto cursor = testing::OpenCursor(testing::TimersDefinition());
    const TSQLMemFieldDefs& defs = cursor->FieldDefs();
    std::vector<std::byte> row = testing::Buffer(*cursor);
    cursor->InitNewRecord(row.data());
    const std::string replacement = "\xEF\xBF\xBD";

    SetText(defs, 0, "\x80\x80", row.data());  // continuation bytes only: one each
    ASSERT_FALSE(IsFieldNull(row.data(), 0));
    EXPECT_EQ(GetText(defs, 0, row.data()), replacement + replacement);

    SetText(defs, 0,
            "A\xFF"
            "B\xC3",
            row.data());  // a byte that is never UTF-8, a cut tail
    EXPECT_EQ(GetText(defs, 0, row.data()), "A" + replacement + "B" + replacement);

    SetText(defs, 0, "\xC0\xAF", row.data());  // overlong "/"
    EXPECT_TRUE(IsValidUtf8(*GetText(defs, 0, row.data())));

    SetText(defs, 0, "\xED\xA0\x80", row.data());  // a surrogate
    EXPECT_EQ(GetText(defs, 0, row.data()), replacement);

    // 25 stray bytes are 25 characters: cut to 20 replacements.
    SetText(defs, 0, std::string(25, '\xFE'), row.data());
    EXPECT_EQ(GetText(defs, 0, row.data()), Repeat(replacement, 20));

    // The field object follows the same rule.
    TSQLMemTable timers;
    testing::DefineTimers(timers, "Timers");
    timers.Open();
    timers.Append();
    timers.FieldByName("Zender").SetAsString("\x80");
    EXPECT_FALSE(timers.FieldByName("Zender").IsNull());
    EXPECT_EQ(timers.FieldByName("Zender").AsString(), replacement);
}

TEST(Utf8Text, LengthsAndPrefixes) {
    EXPECT_TRUE(IsValidUtf8(""));
    EXPECT_TRUE(IsValidUtf8("\xF4\x8F\xBF\xBF"));   // U+10FFFF
    EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));  // past U+10FFFF
    EXPECT_FALSE(IsValidUtf8("\xE2\x82"));          // cut short
    EXPECT_EQ(Utf8Length("a\xD0\x96\xE4\xB8\xAD\xF0\x9F\x93\xBA"), 4u);
    EXPECT_EQ(Utf8PrefixBytes("a\xD0\x96\xE4\xB8\xAD", 2), 3u);
    EXPECT_EQ(Utf8PrefixBytes("a\xD0\x96", 0), 0u);
    EXPECT_EQ(Utf8PrefixBytes("a\xD0\x96", 9), 3u);
    EXPECT_EQ(ToValidUtf8("ok \xD0\x96"), "ok \xD0\x96");
}

}  // namespace
}  // namespace tapir::engine
