#include "engine/record/record_buffer.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <functional>
#include <string>

#include "tests/engine/core_test_tables.h"

namespace tapir::engine {
namespace {

using testing::OpenCursor;
using testing::TimersDefinition;

class RecordBuffer : public ::testing::Test {
  protected:
    void SetUp() override { TSQLMemEngine::Instance().Reset(); }
    void TearDown() override { TSQLMemEngine::Instance().Reset(); }
};

TEST_F(RecordBuffer, TimersRowLayout) {
    auto cursor = OpenCursor(TimersDefinition());
    const TSQLMemFieldDefs& defs = cursor->FieldDefs();
    ASSERT_EQ(defs.Count(), 11);
    EXPECT_EQ(defs.BitmapSize(), 2);
    const struct {
        const char* name;
        int32_t offset;
        int32_t width;
    } expected[] = {{"Zender", 2, 81},     {"Begin", 83, 8},         {"End", 91, 8},
                    {"Name", 99, 161},     {"RepeatedOrg", 260, 8},  {"Afterevent", 268, 81},
                    {"Justplay", 349, 8},  {"Serviceref", 357, 161}, {"Description", 518, 161},
                    {"Eit", 679, 8},       {"Disabled", 687, 8}};
    for (int32_t i = 0; i < 11; ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(defs[i].Name, expected[i].name);
        EXPECT_EQ(defs[i].MemoryOffset, expected[i].offset);
        EXPECT_EQ(defs[i].MemoryDataSize, expected[i].width);
    }
    EXPECT_EQ(cursor->DataSize(), 695);
    EXPECT_EQ(cursor->RecordSize(), 702);
    EXPECT_EQ(cursor->KeyBufferSize(), 701);

    const std::vector<CalcFieldSpec> calc(8, CalcFieldSpec{ftBoolean, 0});
    const DatasetBufferLayout layout = MakeDatasetBufferLayout(defs, calc);
    EXPECT_EQ(layout.record_id_offset, 695);
    EXPECT_EQ(layout.bookmark_flag_offset, 701);
    EXPECT_EQ(layout.calc_area_offset, 702);
    EXPECT_EQ(layout.calc_offsets.front(), 702);
    EXPECT_EQ(layout.calc_offsets.back(), 702 + 7 * 3);
    EXPECT_EQ(layout.buffer_size, 726);
}

TEST_F(RecordBuffer, NewRowIsAllNullAndSettingOneFieldClearsOnlyItsBit) {
    auto cursor = OpenCursor(TimersDefinition());
    std::vector<std::byte> row = testing::Buffer(*cursor);
    cursor->InitNewRecord(row.data());
    EXPECT_EQ(row[0], std::byte{0xFF});
    EXPECT_EQ(row[1], std::byte{0xFF});
    EXPECT_EQ(GetRecordID(row.data(), 695), (TSQLMemRecordID{-1, -1}));
    EXPECT_EQ(GetBookmarkFlag(row.data(), 695), bfInserted);

    SetText(cursor->FieldDefs(), 0, "BBC One", row.data());
    EXPECT_EQ(row[0], std::byte{0xFE});
    EXPECT_EQ(row[1], std::byte{0xFF});
    SetInteger(cursor->FieldDefs(), 10, 1, row.data());  // Disabled: bit 2 of byte 1
    EXPECT_EQ(row[0], std::byte{0xFE});
    EXPECT_EQ(row[1], std::byte{0xFB});
}

TEST_F(RecordBuffer, BitmapSizeGrowsPerEightFields) {
    EXPECT_EQ(BitmapSize(8), 1);
    EXPECT_EQ(BitmapSize(9), 2);
    EXPECT_EQ(BitmapSize(16), 2);
    EXPECT_EQ(BitmapSize(17), 3);
}

TEST_F(RecordBuffer, TextIsCutToTheFieldAndEmptyTextIsNull) {
    auto cursor = OpenCursor(TimersDefinition());
    const TSQLMemFieldDefs& defs = cursor->FieldDefs();
    std::vector<std::byte> row = testing::Buffer(*cursor);
    cursor->InitNewRecord(row.data());

    SetText(defs, 0, "ABCDEFGHIJKLMNOPQRSTUVWXY", row.data());  // 25 into 20
    EXPECT_EQ(GetText(defs, 0, row.data()), "ABCDEFGHIJKLMNOPQRST");
    char copy[32];
    std::memset(copy, 'x', sizeof copy);
    ASSERT_TRUE(GetFieldData(defs, 0, copy, row.data()));
    EXPECT_STREQ(copy, "ABCDEFGHIJKLMNOPQRST");

    SetText(defs, 0, "", row.data());
    EXPECT_TRUE(IsFieldNull(row.data(), 0));
    EXPECT_FALSE(GetText(defs, 0, row.data()).has_value());
    EXPECT_FALSE(GetFieldData(defs, 0, copy, row.data()));

    // A cut never splits a character and counts characters, not bytes.
    SetText(defs, 0, "ABCDEFGHIJKLMNOPQRS\xC3\xA9X", row.data());
    EXPECT_EQ(GetText(defs, 0, row.data()), "ABCDEFGHIJKLMNOPQRS\xC3\xA9");
    SetText(defs, 0, "Das Erste \xC3\xBC", row.data());
    EXPECT_EQ(GetText(defs, 0, row.data()), "Das Erste \xC3\xBC");

    // Text up to an embedded zero only.
    SetText(defs, 0, std::string_view("AB\0CD", 5), row.data());
    EXPECT_EQ(GetText(defs, 0, row.data()), "AB");
}

TEST_F(RecordBuffer, RawSetWithoutSourceMakesNullAndFieldNumberIsChecked) {
    auto cursor = OpenCursor(TimersDefinition());
    const TSQLMemFieldDefs& defs = cursor->FieldDefs();
    std::vector<std::byte> row = testing::Buffer(*cursor);
    cursor->InitNewRecord(row.data());
    SetInteger(defs, 4, 127, row.data());
    ASSERT_FALSE(IsFieldNull(row.data(), 4));
    SetFieldData(defs, 4, nullptr, row.data());
    EXPECT_TRUE(IsFieldNull(row.data(), 4));

    struct Case {
        int code;
        std::function<void()> action;
    };
    const Case cases[] = {
        {10000, [&] { GetFieldData(defs, 11, nullptr, row.data()); }},
        {10004, [&] { SetFieldData(defs, 11, nullptr, row.data()); }},
        {10005, [&] { cursor->GetFieldData(11, nullptr, row.data()); }},
        {10006, [&] { cursor->SetFieldData(11, nullptr, row.data()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        try {
            c.action();
            ADD_FAILURE() << "no error";
        } catch (const ESQLMemException& error) {
            EXPECT_EQ(error.Code(), c.code);
            EXPECT_EQ(error.Message(),
                      "Invalid field number - FieldNo = 11, FieldCount = 11 - "
                      "Native error: " +
                          std::to_string(c.code));
        }
    }
}

TEST_F(RecordBuffer, DateTimeStoredAsDayNumberAndMilliseconds) {
    const StoredDateTime noon = DateTimeToStored(0.5);
    EXPECT_EQ(noon.date, 693594);
    EXPECT_EQ(noon.time, 43200000);
    EXPECT_EQ(DateTimeToStored(45000.0).time, 0);  // no fraction: time 0, not -1
    EXPECT_DOUBLE_EQ(StoredToDateTime({693594 + 45000, -1}), 45000.0);
    EXPECT_DOUBLE_EQ(StoredToDateTime({kMissingDate, 43200000}), 0.5);
    EXPECT_EQ(DateTimeToStored(1.0 / 86400000 * 0.6).time, 1);  // rounded to the millisecond
    // Before day 0 the fraction still counts forwards within its day.
    const StoredDateTime before = DateTimeToStored(-1.25);
    EXPECT_EQ(before.date, 693593);
    EXPECT_EQ(before.time, 21600000);
    EXPECT_DOUBLE_EQ(StoredToDateTime(before), -1.25);

    auto cursor = OpenCursor(TimersDefinition());
    std::vector<std::byte> row = testing::Buffer(*cursor);
    cursor->InitNewRecord(row.data());
    const double begin = 46000.0 + 20.0 / 24 + 15.0 / 1440;  // 20:15
    SetDateTime(cursor->FieldDefs(), 1, begin, row.data());
    int32_t stored[2];
    std::memcpy(stored, row.data() + 83, 8);
    EXPECT_EQ(stored[0], 46000 + kDateDelta);
    EXPECT_EQ(stored[1], (20 * 60 + 15) * 60000);
    EXPECT_NEAR(*GetDateTime(cursor->FieldDefs(), 1, row.data()), begin, 1e-9);
}

TEST_F(RecordBuffer, KeyBufferLayout) {
    auto cursor = OpenCursor(testing::ZendersDefinition());
    const int32_t data_size = cursor->DataSize();
    ASSERT_EQ(data_size, 1 + 4 + 4 + 81 + 161);
    std::vector<std::byte> key(static_cast<size_t>(cursor->KeyBufferSize()), std::byte{0x55});
    cursor->InitKeyBuffer(key.data());
    EXPECT_EQ(key[0], std::byte{0xFF});  // the whole bitmap byte is set
    for (size_t i = 1; i < key.size(); ++i) {
        ASSERT_EQ(key[i], std::byte{0}) << i;
    }
    SetInteger(cursor->FieldDefs(), 1, 2, key.data());
    SetKeyTrailer(key.data(), data_size, {true, true, 1});
    EXPECT_EQ(key[0], std::byte{0xFD});
    EXPECT_EQ(key[static_cast<size_t>(data_size)], std::byte{1});
    EXPECT_EQ(key[static_cast<size_t>(data_size) + 1], std::byte{1});
    EXPECT_EQ(key[static_cast<size_t>(data_size) + 2], std::byte{1});
    const KeyTrailer trailer = GetKeyTrailer(key.data(), data_size);
    EXPECT_TRUE(trailer.modified);
    EXPECT_TRUE(trailer.exclusive);
    EXPECT_EQ(trailer.field_count, 1);
}

TEST_F(RecordBuffer, KeyFieldsMustBelongToTheCurrentIndex) {
    auto cursor = OpenCursor(testing::ZendersDefinition());
    ASSERT_TRUE(cursor->SetIndexName("ZendersIndex"));
    std::vector<std::byte> key(static_cast<size_t>(cursor->KeyBufferSize()));
    cursor->InitKeyBuffer(key.data());
    const int32_t two = 2;
    cursor->SetKeyFieldData(1, &two, key.data());
    EXPECT_FALSE(IsFieldNull(key.data(), 1));
    EXPECT_TRUE(GetKeyTrailer(key.data(), cursor->DataSize()).modified);
    try {
        cursor->SetKeyFieldData(2, "BBC", key.data());
        FAIL() << "no error";
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), 20019);
        EXPECT_EQ(error.Message(),
                  "Field Zender is not in the current index - Native error: 20019");
    }
    EXPECT_TRUE(IsFieldNull(key.data(), 2));
}

TEST_F(RecordBuffer, SingleColumnsIgnoreTheProcessLocale) {
    // A Qt program runs under the user's locale, where the decimal separator may be a
    // comma; a single column must still store 0.1 as the single nearest to 0.1.
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) {
        GTEST_SKIP() << "de_DE.UTF-8 is not generated (scripts/install-deps.sh does that)";
    }
    TSQLMemFieldDef single;
    single.Name = "S";
    single.SetAdvancedType(aftSingle, 0);
    const TSQLMemFieldDefs defs({single});
    std::vector<std::byte> row(static_cast<size_t>(defs.DataSize()));
    for (const double value : {0.1, -2.5, 1234.5678, 3.4e38, 1e-30}) {
        SetFloat(defs, 0, value, row.data());
        EXPECT_EQ(GetFloat(defs, 0, row.data()), static_cast<double>(static_cast<float>(value)))
            << value;
    }
    std::setlocale(LC_ALL, saved.c_str());
}

TEST_F(RecordBuffer, RecordSizeLimitIsEnforcedByTheDatasetLayout) {
    // Definitions built by hand, past the limit that table creation enforces.
    TSQLMemFieldDef wide;
    wide.Name = "A";
    wide.SetAdvancedType(aftString, 20000);
    const TSQLMemFieldDefs defs({wide});
    try {
        MakeDatasetBufferLayout(defs, {});
        FAIL() << "no error";
    } catch (const tapir::Exception& error) {
        EXPECT_EQ(error.KindName(), "ERangeError");
        EXPECT_EQ(error.Message(), "Range check error");
    }
}

TEST(ValueCompare, OutcomesIncludingNulls) {
    const int32_t one = 1;
    const int32_t two = 2;
    EXPECT_EQ(CompareValues(&one, bftSignedInt32, false, &two, bftSignedInt32, false),
              CompareOutcome::Less);
    EXPECT_EQ(CompareValues(&two, bftSignedInt32, false, &one, bftSignedInt32, false),
              CompareOutcome::Greater);
    EXPECT_EQ(CompareValues(&one, bftSignedInt32, false, &one, bftSignedInt32, false),
              CompareOutcome::Equal);
    EXPECT_EQ(CompareValues(nullptr, bftSignedInt32, true, nullptr, bftSignedInt32, true),
              CompareOutcome::BothNull);
    EXPECT_EQ(CompareValues(nullptr, bftSignedInt32, true, &one, bftSignedInt32, false),
              CompareOutcome::FirstNull);
    EXPECT_EQ(CompareValues(&one, bftSignedInt32, false, nullptr, bftSignedInt32, true),
              CompareOutcome::SecondNull);
    EXPECT_EQ(OutcomeSign(CompareOutcome::FirstNull), -1);
    EXPECT_EQ(OutcomeSign(CompareOutcome::BothNull), 0);
    EXPECT_EQ(OutcomeSign(CompareOutcome::SecondNull), 1);
}

TEST(ValueCompare, TypesAndConversions) {
    const int8_t minus_one = -1;
    const uint32_t big = 4000000000u;
    const int64_t big64 = 4000000000LL;
    EXPECT_EQ(CompareValues(&minus_one, bftSignedInt8, false, &big, bftUnsignedInt32, false),
              CompareOutcome::Less);
    EXPECT_EQ(CompareValues(&big, bftUnsignedInt32, false, &big64, bftSignedInt64, false),
              CompareOutcome::Equal);
    const double half = 0.5;
    const int32_t zero = 0;
    EXPECT_EQ(CompareValues(&half, bftDouble, false, &zero, bftSignedInt32, false),
              CompareOutcome::Greater);
    const int16_t truth = 7;
    const int16_t falsity = 0;
    EXPECT_EQ(CompareValues(&falsity, bftLogical, false, &truth, bftLogical, false),
              CompareOutcome::Less);
    const int32_t earlier[2] = {700000, 5};
    const int32_t later[2] = {700000, 6};
    EXPECT_EQ(CompareValues(earlier, bftDateTime, false, later, bftDateTime, false),
              CompareOutcome::Less);
    EXPECT_EQ(CompareValues("abc", bftVarchar, false, "ABC", bftVarchar, false, true),
              CompareOutcome::Equal);
    EXPECT_NE(CompareValues("abc", bftVarchar, false, "ABC", bftVarchar, false, false),
              CompareOutcome::Equal);
    EXPECT_EQ(CompareValues("a", bftVarchar, false, "b", bftChar, false), CompareOutcome::Less);

    try {
        CompareValues(&zero, bftSignedInt32, false, "x", bftVarchar, false);
        FAIL() << "no error";
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), 30044);
        EXPECT_EQ(error.Message(),
                  "Cannot compare Incompatible DataTypes: 'bftSignedInt32' and 'bftVarchar' - "
                  "Native error: 30044");
    }
    try {
        CompareValues(nullptr, bftSignedInt32, false, &zero, bftSignedInt32, false);
        FAIL() << "no error";
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), 30140);
        EXPECT_EQ(error.Message(), "Value is Null - Native error: 30140");
    }
}

}  // namespace
}  // namespace tapir::engine
