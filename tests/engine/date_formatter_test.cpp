#include "engine/sql/expr/date_formatter.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/record/db_types.h"
#include "platform/date_time.h"
#include "platform/exception.h"

namespace tapir::engine::sql {
namespace {

using platform::EncodeDate;
using platform::EncodeDateTime;
using platform::EncodeTime;
using platform::TDateTime;

// Tuesday, 5 March 2024, 14:07:09.045: the 65th day of a leap year, in the first quarter.
const TDateTime kMoment = EncodeDateTime(2024, 3, 5, 14, 7, 9, 45);

std::string Format(std::string_view format, TDateTime value, std::string locale = "en_US") {
    return TDateFormater(format, std::move(locale)).ToString(value);
}

DateReading Read(std::string_view text, std::string_view format, std::string locale = "en_US") {
    return TDateFormater(format, std::move(locale)).ReadDate(text);
}

void ExpectSameMoment(TDateTime actual, TDateTime expected) {
    EXPECT_TRUE(platform::SameMillisecond(actual, expected))
        << platform::DateTimeText(actual) << " vs " << platform::DateTimeText(expected);
}

TEST(DateFormatter, EveryWordWritesItsPartOfTheMoment) {
    const struct {
        const char* word;
        const char* text;
    } cases[] = {{"YYYY", "2024"},   {"YY", "24"},   {"YEAR", "2024"}, {"Q", "1"},
                 {"MONTH", "March"}, {"MON", "Mar"}, {"MM", "03"},     {"M", "3"},
                 {"RM", "III"},      {"DDD", "065"}, {"DD", "05"},     {"DAY", "Tuesday"},
                 {"DY", "Tue"},      {"DW", "3"},    {"D", "5"},       {"HH12", "02"},
                 {"HH24", "14"},     {"HH", "02"},   {"H12", "2"},     {"H24", "14"},
                 {"H", "2"},         {"NN", "07"},   {"N", "7"},       {"SS", "09"},
                 {"S", "9"},         {"ZZZ", "045"}, {"Z", "45"},      {"AMPM", "PM"}};
    ASSERT_EQ(std::size(cases), DateFormatReservedWords.size());
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].word);
        EXPECT_EQ(cases[i].word, DateFormatReservedWords[i]);
        const TDateFormater formatter(cases[i].word, "en_US");
        ASSERT_EQ(formatter.Tokens().size(), 1u);
        EXPECT_EQ(formatter.Tokens()[0].type, static_cast<TDateFormatType>(i));
        EXPECT_EQ(formatter.ToString(kMoment), cases[i].text);
    }
    // Morning hours, December and the 366th day.
    const TDateTime morning = EncodeDateTime(2024, 12, 31, 9, 5, 0, 0);
    EXPECT_EQ(Format("HH12 H HH24 H24 AMPM RM DDD DW MON", morning), "09 9 09 9 AM XII 366 3 Dec");
    EXPECT_EQ(Format("HH H AMPM", EncodeTime(12, 0, 0, 0)), "00 0 PM");
    EXPECT_EQ(Format("HH AMPM", EncodeTime(0, 30, 0, 0)), "00 AM");
    EXPECT_EQ(Format("Q/Q/Q", EncodeDate(2023, 4, 1)) + Format("Q", EncodeDate(2023, 12, 1)),
              "2/2/24");
}

TEST(DateFormatter, FormatTextIsCutLongestWordFirstIgnoringCase) {
    const TDateFormater formatter("yyyy-Mm-dd hh24:nn 'Day' \"at\" ddddmonthmon", "en_US");
    std::vector<TDateFormatType> types;
    std::vector<std::string> texts;
    for (const DateFormatToken& token : formatter.Tokens()) {
        types.push_back(token.type);
        texts.push_back(token.type == dfText ? token.text : "");
    }
    const std::vector<TDateFormatType> expected = {dfYYYY, dfText, dfMM,    dfText, dfDD,
                                                   dfText, dfHH24, dfText,  dfNN,   dfText,
                                                   dfDDD,  dfD,    dfMONTH, dfMON};
    EXPECT_EQ(types, expected);
    EXPECT_EQ(texts[1], "-");
    EXPECT_EQ(texts[9], " Day at ");
    EXPECT_EQ(formatter.ToString(kMoment), "2024-03-05 14:07 Day at 0655MarchMar");

    // Letters that start no word, a lone Y among them, stay literal; so does an unclosed quote.
    EXPECT_EQ(Format("Y.YYY-T", kMoment), "Y.24Y-T");
    EXPECT_EQ(Format("DD 'o''clock", kMoment), "05 oclock");
    EXPECT_EQ(Format("DD 'unclosed YYYY", kMoment), "05 unclosed YYYY");
    EXPECT_EQ(Format("", kMoment), "");
    EXPECT_EQ(Format("YYYY\"年\"MM\"月\"DD\"日\"", kMoment), "2024年03月05日");
}

TEST(DateFormatter, NamesComeFromTheLocale) {
    EXPECT_EQ(Format("DAY, D. MONTH YYYY", kMoment, "de_DE"), "Dienstag, 5. März 2024");
    EXPECT_EQ(Format("MONTH", kMoment, "ru_RU"), "марта");
    EXPECT_EQ(Format("DAY", kMoment, "ru_RU"), "вторник");
    EXPECT_EQ(Format("DAY MONTH", kMoment, "fr_FR"), "mardi mars");
}

TEST(DateFormatter, WhatIsWrittenReadsBack) {
    const struct {
        const char* format;
        TDateTime expected;
    } cases[] = {
        {"YYYY-MM-DD HH24:NN:SS.ZZZ", kMoment},
        {"YEAR/M/D H24.N.S.Z", kMoment},
        {"DD.MM.YY HH12:NN:SS AMPM", EncodeDateTime(2024, 3, 5, 14, 7, 9)},
        {"AMPM H:N D RM YYYY", EncodeDateTime(2024, 3, 5, 14, 7)},
        {"HH-H12-D-MM-YYYY-NN", EncodeDateTime(2024, 3, 5, 2, 7)},
        {"DAY, D MONTH YYYY", EncodeDate(2024, 3, 5)},
        {"DY D MON YYYY", EncodeDate(2024, 3, 5)},
        {"YYYY DDD DW MM DD Q", EncodeDate(2024, 1, 5)},  // Q, read last, wins
        {"YYYY-\"Q\"Q-DD", EncodeDate(2024, 1, 5)},
        {"YYYY'年'MM'月'DD'日'", EncodeDate(2024, 3, 5)},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.format);
        const std::string text = Format(entry.format, kMoment);
        SCOPED_TRACE(text);
        ExpectSameMoment(Read(text, entry.format).value, entry.expected);
    }
    // Month names read in the locale's own script, letter case ignored.
    ExpectSameMoment(Read("5. MÄRZ 2024", "D. MONTH YYYY", "de_DE").value, EncodeDate(2024, 3, 5));
    ExpectSameMoment(Read("5 марта 2024", "D MONTH YYYY", "ru_RU").value, EncodeDate(2024, 3, 5));
    ExpectSameMoment(Read("5 september 2024", "D MONTH YYYY").value, EncodeDate(2024, 9, 5));
    // A name the locale does not know is skipped by the word's length.
    ExpectSameMoment(Read("xxx 03 05 2024", "MON MM DD YYYY").value, EncodeDate(2024, 3, 5));
}

TEST(DateFormatter, ReadsTheExamplesAsDateOrTime) {
    EXPECT_EQ(Format("YYYY-MM-DD", EncodeDate(2024, 3, 5)), "2024-03-05");

    const DateReading date = Read("05.03.24", "DD.MM.YY");
    ExpectSameMoment(date.value, EncodeDate(2024, 3, 5));
    EXPECT_EQ(date.kind, DateValueKind::Date);

    const DateReading time = Read("13:45", "HH24:NN");
    ExpectSameMoment(time.value, EncodeTime(13, 45, 0, 0));
    EXPECT_EQ(time.kind, DateValueKind::Time);

    const DateReading midnight = Read("00:00", "HH24:NN");
    EXPECT_EQ(midnight.value, 0.0);
    EXPECT_EQ(midnight.kind, DateValueKind::Time);

    const DateReading both = Read("05.03.2024 13:45", "DD.MM.YYYY HH24:NN");
    ExpectSameMoment(both.value, EncodeDateTime(2024, 3, 5, 13, 45));
    EXPECT_EQ(both.kind, DateValueKind::DateTime);
    ExpectSameMoment(TDateFormater("DD.MM.YYYY HH24:NN").ToDate("05.03.2024 13:45"), both.value);
}

TEST(DateFormatter, ZeroDateRuleAndOldDates) {
    // Without a day the date part is the zero date: what is left is the time.
    const DateReading no_day = Read("2024-03 10:30", "YYYY-MM HH24:NN");
    ExpectSameMoment(no_day.value, EncodeTime(10, 30, 0, 0));
    EXPECT_EQ(no_day.kind, DateValueKind::Time);
    EXPECT_EQ(Read("00.03.2024", "DD.MM.YYYY").value, 0.0);
    EXPECT_EQ(Read("", "").value, 0.0);

    // Before 1899-12-30 the day count is negative and the time of day still adds to it.
    const DateReading old = Read("1850-06-01 18:00", "YYYY-MM-DD HH24:NN");
    EXPECT_LT(old.value, 0.0);
    EXPECT_EQ(Format("YYYY-MM-DD HH24:NN", old.value), "1850-06-01 18:00");
}

TEST(DateFormatter, TwoDigitYearsPivotAtThirty) {
    EXPECT_EQ(Format("YYYY", Read("01.01.29", "DD.MM.YY").value), "2029");
    EXPECT_EQ(Format("YYYY", Read("01.01.30", "DD.MM.YY").value), "1930");
    EXPECT_EQ(Format("YYYY", Read("01.01.00", "DD.MM.YY").value), "2000");
    EXPECT_EQ(Format("YYYY", Read("01.01.99", "DD.MM.YY").value), "1999");
    EXPECT_EQ(Format("YYYY", Read("01.01.7", "DD.MM.YY").value), "2007");
}

TEST(DateFormatter, NumbersTakeTheirFirstCharacterThenDigits) {
    // Fewer digits than the word's count end at the first non-digit.
    ExpectSameMoment(Read("2024-3-5 7:8", "YYYY-MM-DD HH:NN").value,
                     EncodeDateTime(2024, 3, 5, 7, 8));
    // Digits run into the next field only up to the count.
    ExpectSameMoment(Read("20240305", "YYYYMMDD").value, EncodeDate(2024, 3, 5));
    ExpectSameMoment(Read("1234", "HH24NN").value, EncodeTime(12, 34, 0, 0));
    // A literal is skipped by its length whatever the text holds there.
    ExpectSameMoment(Read("2024x03y05", "YYYY-MM-DD").value, EncodeDate(2024, 3, 5));
    ExpectSameMoment(Read("05 März 2024", "DD Month YYYY", "de_DE").value, EncodeDate(2024, 3, 5));
}

TEST(DateFormatter, AmPmAndItsError) {
    ExpectSameMoment(Read("03:15 pm", "HH:NN AMPM").value, EncodeTime(15, 15, 0, 0));
    ExpectSameMoment(Read("03:15 AM", "HH:NN AMPM").value, EncodeTime(3, 15, 0, 0));
    ExpectSameMoment(Read("00:30 PM", "HH:NN AMPM").value, EncodeTime(12, 30, 0, 0));
    ExpectSameMoment(Read("12:30 PM", "HH:NN AMPM").value, EncodeTime(12, 30, 0, 0));
    ExpectSameMoment(Read("12:30 AM", "HH:NN AMPM").value, EncodeTime(0, 30, 0, 0));
    ExpectSameMoment(Read("PM 7", "AMPM H").value, EncodeTime(19, 0, 0, 0));

    for (const auto& [text, found] : {std::pair{"03:15 XM", "XM"}, std::pair{"03:15 A", "A"},
                                      std::pair{"03:15 ", ""}, std::pair{"03:15 ÄM", "ÄM"}}) {
        SCOPED_TRACE(text);
        try {
            (void)Read(text, "HH:NN AMPM");
            ADD_FAILURE() << "no error";
        } catch (const ESQLMemException& error) {
            EXPECT_EQ(error.Code(), 30129);
            EXPECT_EQ(error.Message(), std::string("AM/PM word expected, but '") + found +
                                           "' found - Native error: 30129");
        }
    }
}

TEST(DateFormatter, TextThatIsNoDateIsAConversionError) {
    const struct {
        const char* text;
        const char* format;
        const char* message;
    } cases[] = {
        {"ab.03.2024", "DD.MM.YYYY", "'a' is not a valid integer value"},
        {"5", "DD.MM.YYYY", "'' is not a valid integer value"},
        {"32.01.2024", "DD.MM.YYYY", "Invalid argument to date encode"},
        {"29.02.2023", "DD.MM.YYYY", "Invalid argument to date encode"},
        {"25:00", "HH24:NN", "Invalid argument to time encode"},
        {"05 XIII 2024", "DD RM YYYY", "'XIII' is not a valid Roman month"},
        {"05 MM 2024", "DD RM YYYY", "'' is not a valid Roman month"},
        {"5 2024 01", "Q YYYY DD", "Invalid argument to date encode"},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.text);
        try {
            (void)Read(entry.text, entry.format);
            ADD_FAILURE() << "no error";
        } catch (const tapir::Exception& error) {
            EXPECT_EQ(error.KindName(), "EConvertError");
            EXPECT_EQ(error.Message(), entry.message);
        }
    }
}

TEST(DateFormatter, RomanMonthsReadBothWays) {
    for (int month = 1; month <= 12; ++month) {
        SCOPED_TRACE(month);
        const TDateTime date = EncodeDate(2024, month, 9);
        const std::string text = Format("DD-RM-YYYY", date);
        ExpectSameMoment(Read(text, "DD-RM-YYYY").value, date);
    }
    ExpectSameMoment(Read("09-viii-2024", "DD-RM-YYYY").value, EncodeDate(2024, 8, 9));
}

}  // namespace
}  // namespace tapir::engine::sql
