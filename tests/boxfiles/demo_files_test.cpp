// The project's own receiver files (testdata/), which the demo receiver serves: what the
// program shows after reading them, and that writing the timers back and reading them
// again changes nothing.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "box_fixture.h"
#include "boxfiles/box_reader.h"
#include "boxfiles/text_lines.h"
#include "boxfiles/timer_writer.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/time_zone.h"

namespace tapir::boxfiles {
namespace {

using platform::EncodeDateTime;
using Strings = std::vector<std::string>;

class DemoFilesTest : public testing::BoxFilesTest {
  protected:
    void SetUp() override {
        BoxFilesTest::SetUp();
        CopyFrom(std::string(TAPIR_SOURCE_DIR) + "/testdata");
        // The zone of the demo: Central European time with its daylight saving rules.
        const auto zone = platform::ParsePosixTimeZone("CET-1CEST,M3.5.0,M10.5.0/3");
        ASSERT_TRUE(zone.has_value());
        conversion_.UTC_Auto = true;
        conversion_.TimeZoneInfo = *zone;
    }

    Strings TimerTexts() {
        Strings rows;
        engine::TSQLMemTable& t = tables_.Timers;
        for (t.First(); !t.Eof(); t.Next()) {
            std::string row;
            for (const char* f : {"Zender", "Name", "Description", "Afterevent", "Serviceref",
                                  "Eit", "RepeatedOrg", "Disabled", "Justplay"}) {
                row += t.FieldByName(f).AsString() + "|";
            }
            row +=
                std::to_string(
                    platform::DateTimeToMilliseconds(t.FieldByName("Begin").AsDateTime())) +
                "|" +
                std::to_string(platform::DateTimeToMilliseconds(t.FieldByName("End").AsDateTime()));
            rows.push_back(row);
        }
        return rows;
    }

    platform::ScopedClockPin clock_{EncodeDateTime(2026, 12, 9, 10, 0, 0)};
};

TEST_F(DemoFilesTest, ShowsBouquetsChannelsAndTimers) {
    ReadBoxFiles(dir_, tables_, conversion_, LogSink());
    EXPECT_EQ(Column(tables_.Bouquet, "Bouquet"),
              (Strings{"Favourites (TV)", "Deutschland", "International", "Favourites (Radio)",
                       "Klassik"}));
    EXPECT_EQ(Column(tables_.Bouquet, "Type"), (Strings{"1", "1", "1", "2", "2"}));
    tables_.Bouquet.First();
    tables_.Bouquet.Next();
    EXPECT_EQ(
        Column(tables_.Zenders, "Zender"),
        (Strings{"", "Das Erste", "WDR K\xC3\xB6ln", "Das Erste HD", "ZDF HD", "", "Sky Cinema"}));
    tables_.Bouquet.Next();
    EXPECT_EQ(Column(tables_.Zenders, "Zender"),
              (Strings{"\xD0\x9F\xD0\xB5\xD1\x80\xD0\xB2\xD1\x8B\xD0\xB9 \xD0\xBA\xD0\xB0\xD0\xBD\xD0\xB0\xD0\xBB",
                       "\xCE\x95\xCE\xA1\xCE\xA4 World", "TRT T\xC3\xBCrk",
                       "\xD8\xA7\xD9\x84\xD8\xAC\xD8\xB2\xD9\x8A\xD8\xB1\xD8\xA9", "InfoKanal",
                       "ORF1 HD"}));

    EXPECT_EQ(Column(tables_.Timers, "Name"),
              (Strings{"heute journal", "Tagesschau", "Tatort: Die Ferien des Monsieur Murot",
                       "\xD0\x92\xD1\x80\xD0\xB5\xD0\xBC\xD1\x8F", "Konzert am Samstagabend"}));
    EXPECT_EQ(Column(tables_.Timers, "Zender"),
              (Strings{"ZDF HD", "Das Erste HD", "Das Erste",
                       "\xD0\x9F\xD0\xB5\xD1\x80\xD0\xB2\xD1\x8B\xD0\xB9 \xD0\xBA\xD0\xB0\xD0\xBD\xD0\xB0\xD0\xBB",
                       "BR-KLASSIK"}));
    EXPECT_EQ(Column(tables_.Timers, "RepeatedOrg"), (Strings{"31", "0", "0", "0", "0"}));
    // The first timer: Monday 2027-01-11 21:45 local (winter time, UTC + 1).
    tables_.Timers.First();
    EXPECT_TRUE(platform::SameMillisecond(tables_.Timers.FieldByName("Begin").AsDateTime(),
                                          EncodeDateTime(2027, 1, 11, 21, 45, 0)));
    EXPECT_TRUE(tables_.Timers.FieldByName("d1").AsBoolean());
    EXPECT_TRUE(tables_.Timers.FieldByName("d0").IsNull());
}

TEST_F(DemoFilesTest, WritingBackAndReadingAgainChangesNothing) {
    ReadBoxFiles(dir_, tables_, conversion_, LogSink());
    const Strings first = TimerTexts();
    ASSERT_EQ(first.size(), 5u);
    WriteTimersFile(dir_ + "timers.new", tables_.Timers, conversion_, LogSink());
    const std::string written = Read("timers.new");

    // Every timer goes back as the receiver wrote it: all attributes, values uncut (the
    // long Russian description too), children and order.
    const TimerList original = ParseTimerList(Read("timers.xml"));
    const TimerList back = ParseTimerList(written);
    ASSERT_FALSE(original.error);
    ASSERT_FALSE(back.error);
    EXPECT_EQ(back.timers, original.timers);
    EXPECT_EQ(back.timers.size(), 5u);

    std::filesystem::copy_file(dir_ + "timers.new", dir_ + "timers.xml",
                               std::filesystem::copy_options::overwrite_existing);
    tables_.DropAll();
    tables_.OpenAll();
    ReadBoxFiles(dir_, tables_, conversion_, LogSink());
    EXPECT_EQ(TimerTexts(), first);
    WriteTimersFile(dir_ + "timers.new", tables_.Timers, conversion_, LogSink());
    EXPECT_EQ(Read("timers.new"), written);
}

}  // namespace
}  // namespace tapir::boxfiles
