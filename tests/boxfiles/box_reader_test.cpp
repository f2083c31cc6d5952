#include "boxfiles/box_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "box_fixture.h"
#include "boxfiles/box_errors.h"
#include "boxfiles/text_lines.h"
#include "boxfiles/timer_file.h"
#include "boxfiles/timer_writer.h"
#include "platform/clock.h"
#include "platform/date_time.h"

namespace tapir::boxfiles {
namespace {

using platform::EncodeDateTime;
using Strings = std::vector<std::string>;

// A small service list in the box's layout: a key line, then the name line.
const char kServices[] =
    "eDVB services /4/\n"
    "services\n"
    "283d:00c00000:03fb:0001:25:0\nDas Erste HD\np:ARD\n"
    "2b66:00c00000:03f3:0001:25:0\nZDF HD\np:ZDF\n"
    "6dca:00c00000:044d:0001:1:0\nDas Erste\np:ARD\n"
    "6f1c:00c00000:0437:0001:2:0\nBayern 3\np:ARD\n"
    "0011:00c00000:0453:0001:1:0\n\xC2\x86Sky\xC2\x87 Cinema?\np:Sky\n"
    "0012:00c00000:0453:0001:1:0\nBad \xE9 name\np:Sky\n"
    "0013:00c00000:0453:0001:1:0\nA very long channel name indeed\np:x\n"
    "0014:00c00000:0453:0001:1:0\nFirst name\np:x\n"
    "0014:00C00000:0453:0001:1:0\nSecond name\np:x\n"
    "end\n";

const char kFromBouquetTv[] =
    "#NAME User - bouquets (TV)\r\n"
    "#SERVICE 1:7:1:0:0:0:0:0:0:0:FROM BOUQUET \"userbouquet.hd.tv\" ORDER BY bouquet\r\n"
    "#SERVICE: 1:7:1:0:0:0:0:0:0:0:FROM BOUQUET \"userbouquet.sd.tv\" ORDER BY bouquet\r\n";
const char kHdBouquet[] =
    "#NAME HD\n"
    "#SERVICE 1:0:19:283d:3fb:1:c00000:0:0:0:\n"
    "#SERVICE 1:0:19:2B66:3F3:1:C00000:0:0:0:\n";
const char kSdBouquet[] =
    "#NAME SD\n"
    "#SERVICE: 1:0:1:6DCA:44D:1:C00000:0:0:0:\n"
    "#SERVICE 1:64:0:0:0:0:0:0:0:0::--- Pay ---\n"
    "#SERVICE 1:0:1:11:453:1:C00000:0:0:0:\n"
    "#SERVICE 1:0:1:12:453:1:C00000:0:0:0:\n"
    "#SERVICE 1:0:1:13:453:1:C00000:0:0:0:\n"
    "#SERVICE 1:0:1:14:453:1:C00000:0:0:0:\n";
const char kRadioIndex[] = "#SERVICE 1:7:2:0:0:0:0:0:0:0:userbouquet.radio.radio\n";
const char kRadioBouquet[] = "#NAME Radio\n#SERVICE 1:0:2:6F1C:437:1:C00000:0:0:0:\n";

class BoxReaderTest : public testing::BoxFilesTest {
  protected:
    void WriteStandardSet() {
        Write("services", kServices);
        Write("bouquets.tv", kFromBouquetTv);
        Write("userbouquet.hd.tv", kHdBouquet);
        Write("userbouquet.sd.tv", kSdBouquet);
        Write("bouquets.radio", kRadioIndex);
        Write("userbouquet.radio.radio", kRadioBouquet);
    }

    void ReadAll() { ReadBoxFiles(dir_, tables_, conversion_, LogSink()); }

    // Reads and returns the error met (channels first); fails the test when there is none.
    std::string ReadError() {
        const BoxReadReport report = ReadBoxFiles(dir_, tables_, conversion_, LogSink());
        if (!report.channel_error.empty()) {
            EXPECT_TRUE(report.channel_exception);
            return report.channel_error;
        }
        if (!report.timer_error.empty()) {
            EXPECT_FALSE(report.timers_complete);
            return report.timer_error;
        }
        ADD_FAILURE() << "no error";
        return {};
    }

    // Every channel row of every bouquet as "bouquet/zender/service".
    Strings AllChannels() {
        Strings rows;
        for (tables_.Bouquet.First(); !tables_.Bouquet.Eof(); tables_.Bouquet.Next()) {
            for (tables_.Zenders.First(); !tables_.Zenders.Eof(); tables_.Zenders.Next()) {
                rows.push_back(tables_.Bouquet.FieldByName("Bouquet").AsString() + "/" +
                               tables_.Zenders.FieldByName("Zender").AsString() + "/" +
                               tables_.Zenders.FieldByName("Service").AsString());
            }
        }
        return rows;
    }

    static std::string TimerLine(int64_t begin, int64_t end, const std::string& rest = {}) {
        return "<timer begin=\"" + std::to_string(begin) + "\" end=\"" + std::to_string(end) +
               "\" serviceref=\"1:0:19:283D:3FB:1:C00000:0:0:0:\" repeated=\"0\" name=\"N\" "
               "description=\"D\" afterevent=\"nothing\" eit=\"1\" disabled=\"0\" justplay=\"0\"" +
               rest + ">\n</timer>\n";
    }

    // Writes timers.xml holding `timers` inside the list element.
    void WriteTimers(const std::string& timers) {
        Write("timers.xml", "<?xml version=\"1.0\" ?>\n<timers>\n" + timers + "</timers>\n");
    }

    platform::ScopedClockPin clock_{EncodeDateTime(2027, 1, 1, 12, 0, 0)};
};

TEST_F(BoxReaderTest, ReadsBouquetsAndChannelsWithNames) {
    WriteStandardSet();
    ReadAll();
    EXPECT_EQ(Column(tables_.Bouquet, "Id"), (Strings{"1", "2", "3"}));
    EXPECT_EQ(Column(tables_.Bouquet, "Bouquet"), (Strings{"HD", "SD", "Radio"}));
    EXPECT_EQ(Column(tables_.Bouquet, "Type"), (Strings{"1", "1", "2"}));
    EXPECT_EQ(AllChannels(),
              (Strings{
                  "HD/Das Erste HD/1:0:19:283D:3FB:1:C00000:0:0:0:",
                  "HD/ZDF HD/1:0:19:2B66:3F3:1:C00000:0:0:0:",
                  "SD/Das Erste/1:0:1:6DCA:44D:1:C00000:0:0:0:",
                  "SD//1:64:0:0:0:0:0:0:0:0::--- PAY ---",
                  "SD/Sky Cinema/1:0:1:11:453:1:C00000:0:0:0:",            // markup and ? removed
                  "SD//1:0:1:12:453:1:C00000:0:0:0:",                      // not UTF-8: no name
                  "SD/A very long channel /1:0:1:13:453:1:C00000:0:0:0:",  // cut to 20
                  "SD/Second name/1:0:1:14:453:1:C00000:0:0:0:",           // last key line wins
                  "Radio/Bayern 3/1:0:2:6F1C:437:1:C00000:0:0:0:",
              }));
    // SubId numbers channels across all bouquets; Id links them to their bouquet.
    tables_.Bouquet.First();
    tables_.Bouquet.Next();
    EXPECT_EQ(Column(tables_.Zenders, "SubId"), (Strings{"3", "4", "5", "6", "7", "8"}));
    EXPECT_EQ(Column(tables_.Zenders, "Id"), (Strings(6, "2")));
    // The reader leaves the first bouquet current.
    tables_.Bouquet.First();
    EXPECT_EQ(tables_.Bouquet.FieldByName("Id").AsInteger(), 1);
}

TEST_F(BoxReaderTest, ThreeTvAndTwoRadioBouquetsAreNumberedAndTyped) {
    Write("services", kServices);
    std::string tv, radio;
    for (const char* name : {"a", "b", "c"}) {
        tv += std::string("#SERVICE 1:7:1:0:0:0:0:0:0:0:userbouquet.") + name + ".tv\n";
        Write(std::string("userbouquet.") + name + ".tv",
              std::string("#NAME TV ") + name + "\n#SERVICE 1:0:1:6DCA:44D:1:C00000:0:0:0:\n");
    }
    for (const char* name : {"d", "e"}) {
        radio += std::string("#service 1:7:2:0:0:0:0:0:0:0:userbouquet.") + name + ".radio\n";
        Write(std::string("userbouquet.") + name + ".radio",
              std::string("#NAME Radio ") + name + "\n#SERVICE 1:0:2:6F1C:437:1:C00000:0:0:0:\n");
    }
    Write("bouquets.tv", tv);
    Write("bouquets.radio", radio);
    ReadAll();
    EXPECT_EQ(Column(tables_.Bouquet, "Id"), (Strings{"1", "2", "3", "4", "5"}));
    EXPECT_EQ(Column(tables_.Bouquet, "Type"), (Strings{"1", "1", "1", "2", "2"}));
    EXPECT_EQ(Column(tables_.Bouquet, "Bouquet"),
              (Strings{"TV a", "TV b", "TV c", "Radio d", "Radio e"}));
}

TEST_F(BoxReaderTest, BouquetFileLinesAndNames) {
    Write("services", kServices);
    Write("bouquets.tv",
          "#SERVICE 1:7:1:0:0:0:0:0:0:0:userbouquet.x.tv\n"
          "#SERVICE 1:7:1:0:0:0:0:0:0:0:userbouquet.empty.tv\n"
          "#SERVICE 1:7:1:0:0:0:0:0:0:0:\"userbouquet.quoted.tv\"\n"
          "#SERVICE 1:7:1:0:0:0:0:0:0:0:userbouquet.x.tv\n");
    Write("bouquets.radio", "");
    Write("userbouquet.x.tv",
          "#NAME First\n"
          "#service 1:0:19:2B66:3F3:1:C00000:0:0:0:\n"  // lower-case key word: no channel
          "#SERVICE 1:0:19:283d:3fb:1:c00000:0:0:0:ff:ee:dd:\n"
          "#NAME A bouquet name of 25 ch\n");
    Write("userbouquet.empty.tv", "#NAME Nothing here\n#DESCRIPTION x\n");
    ReadAll();
    // The bouquet without channels is gone; the same file twice gives two bouquets.
    EXPECT_EQ(Column(tables_.Bouquet, "Id"), (Strings{"1", "3"}));
    EXPECT_EQ(Column(tables_.Bouquet, "Bouquet"),
              (Strings{"A bouquet name of 25", "A bouquet name of 25"}));
    EXPECT_EQ(
        AllChannels(),
        (Strings{"A bouquet name of 25/Das Erste HD/1:0:19:283D:3FB:1:C00000:0:0:0:FF:EE:DD:",
                 "A bouquet name of 25/Das Erste HD/1:0:19:283D:3FB:1:C00000:0:0:0:FF:EE:DD:"}));
}

TEST_F(BoxReaderTest, LamedbServesWhenThereIsNoServicesFile) {
    WriteStandardSet();
    std::filesystem::rename(dir_ + "services", dir_ + "lamedb");
    ReadAll();
    EXPECT_EQ(AllChannels().front(), "HD/Das Erste HD/1:0:19:283D:3FB:1:C00000:0:0:0:");
}

TEST_F(BoxReaderTest, ServicesIsPreferredOverLamedb) {
    WriteStandardSet();
    Write("lamedb", "283d:00c00000:03fb:0001:25:0\nFrom lamedb\n");
    ReadAll();
    EXPECT_EQ(AllChannels().front(), "HD/Das Erste HD/1:0:19:283D:3FB:1:C00000:0:0:0:");
}

TEST_F(BoxReaderTest, MissingServiceListStopsBeforeAnyTable) {
    WriteStandardSet();
    std::filesystem::remove(dir_ + "services");
    // Current boxes keep the list in lamedb; the alert names that file.
    EXPECT_EQ(ReadError(), "Cannot open file " + dir_ + "lamedb");
    EXPECT_EQ(tables_.Bouquet.RecordCount(), 0);
    EXPECT_EQ(tables_.Timers.RecordCount(), 0);
}

TEST_F(BoxReaderTest, MissingBouquetFileKeepsTheRowsReadSoFar) {
    WriteStandardSet();
    std::filesystem::remove(dir_ + "userbouquet.sd.tv");
    WriteTimers(TimerLine(1800000000, 1800003600));
    EXPECT_EQ(ReadError(), "Cannot open file " + dir_ + "userbouquet.sd.tv");
    EXPECT_EQ(tables_.Bouquet.State(), engine::dsBrowse);
    EXPECT_EQ(tables_.Zenders.State(), engine::dsBrowse);
    EXPECT_EQ(AllChannels(), (Strings{"HD/Das Erste HD/1:0:19:283D:3FB:1:C00000:0:0:0:",
                                      "HD/ZDF HD/1:0:19:2B66:3F3:1:C00000:0:0:0:"}));
    // The timers are read all the same; the channel of this one is known.
    EXPECT_EQ(Column(tables_.Timers, "Zender"), (Strings{"Das Erste HD"}));
}

TEST_F(BoxReaderTest, MissingRadioIndexIsAnError) {
    WriteStandardSet();
    std::filesystem::remove(dir_ + "bouquets.radio");
    EXPECT_EQ(ReadError(), "Cannot open file " + dir_ + "bouquets.radio");
    EXPECT_EQ(Column(tables_.Bouquet, "Bouquet"), (Strings{"HD", "SD"}));
}

TEST_F(BoxReaderTest, BadReferenceFieldStopsTheReading) {
    WriteStandardSet();
    Write("userbouquet.sd.tv",
          "#NAME SD\n#SERVICE 1:0:1:6DCA:44D:1:C00000:0:0:0:\n"
          "#SERVICE 1:0:1:XYZ:44D:1:C00000:0:0:0:\n");
    EXPECT_EQ(ReadError(), "'0xXYZ' is not a valid integer value");
    EXPECT_EQ(AllChannels().size(), 4u);  // two HD channels, one SD and the bad one
}

TEST_F(BoxReaderTest, KeyOnTheLastLineOfTheServiceListIsAnIndexError) {
    WriteStandardSet();
    Write("services", std::string(kServices) + "283d:00c00000:03fb:0001:25:0");
    const std::size_t lines = SplitLines(std::string(kServices)).size() + 1;
    EXPECT_EQ(ReadError(), "List index out of bounds (" + std::to_string(lines) + ")");
}

TEST_F(BoxReaderTest, ReadsTimersInBeginEndOrderWithChannelsAndLocalTimes) {
    WriteStandardSet();
    const int64_t t0 = 1800000000;  // 2027-01-15 08:00:00 UTC
    Write("timers.xml",
          "<?xml version=\"1.0\" ?>\n<timers>\n" + TimerLine(t0 + 7200, t0 + 9000) +
              TimerLine(t0, t0 + 3600) + TimerLine(t0, t0 + 1800) + "\t<timer begin=\"" +
              std::to_string(t0) + "\" end=\"" + std::to_string(t0 + 60) +
              "\" serviceref=\"1:0:2:6f1c:437:1:c00000:0:0:0:\" name=\"Radio\"/>\n</timers>\n");
    ReadAll();
    // Local time is UTC + 1 hour; rows follow Begin, then End.
    std::vector<std::pair<double, double>> times;
    for (tables_.Timers.First(); !tables_.Timers.Eof(); tables_.Timers.Next()) {
        times.emplace_back(tables_.Timers.FieldByName("Begin").AsDateTime(),
                           tables_.Timers.FieldByName("End").AsDateTime());
    }
    const auto at = [](int hour, int minute) {
        return EncodeDateTime(2027, 1, 15, hour, minute, 0);
    };
    const std::vector<std::pair<double, double>> expected = {{at(9, 0), at(9, 1)},
                                                             {at(9, 0), at(9, 30)},
                                                             {at(9, 0), at(10, 0)},
                                                             {at(11, 0), at(11, 30)}};
    ASSERT_EQ(times.size(), expected.size());
    for (std::size_t i = 0; i < times.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(platform::SameMillisecond(times[i].first, expected[i].first));
        EXPECT_TRUE(platform::SameMillisecond(times[i].second, expected[i].second));
    }
    tables_.Timers.First();
    // The radio channel is in the third bouquet; it is still named.
    EXPECT_EQ(tables_.Timers.FieldByName("Zender").AsString(), "Bayern 3");
    EXPECT_EQ(tables_.Timers.FieldByName("Serviceref").AsString(),
              "1:0:2:6F1C:437:1:C00000:0:0:0:");
    EXPECT_EQ(Column(tables_.Timers, "Zender"),
              (Strings{"Bayern 3", "Das Erste HD", "Das Erste HD", "Das Erste HD"}));
    EXPECT_EQ(Column(tables_.Timers, "Name"), (Strings{"Radio", "N", "N", "N"}));
    // Each timer line is logged as read, besides the conversions' own lines.
    int timer_lines = 0;
    for (const std::string& line : Log()) {
        if (IsTimerLine(line)) ++timer_lines;
    }
    EXPECT_EQ(timer_lines, 4);
    // Reading ends on the first timer and the first bouquet.
    EXPECT_EQ(tables_.Bouquet.FieldByName("Id").AsInteger(), 1);
}

TEST_F(BoxReaderTest, ManualOffsetConvertsBoxTimes) {
    WriteStandardSet();
    platform::ScopedClockPin past(EncodeDateTime(2007, 1, 20, 12, 0, 0));
    const int64_t begin = 1170000000;  // 2007-01-28 16:00:00 UTC
    WriteTimers(TimerLine(begin, begin + 3600));
    ReadAll();
    tables_.Timers.First();
    EXPECT_TRUE(platform::SameMillisecond(tables_.Timers.FieldByName("Begin").AsDateTime(),
                                          EncodeDateTime(2007, 1, 28, 17, 0, 0)));
}

TEST_F(BoxReaderTest, TimerValueRulesAndCuts) {
    WriteStandardSet();
    const std::string name41(41, 'n');
    const std::string name150(150, 'm');
    WriteTimers(
        "<timer begin=\"1800000000\" end=\"1800003600\" serviceref=\" "
        "1:0:19:283d:3fb:1:c00000:0:0:0:x \" name=\"" +
        name41 +
        "\" description=\"Tom &amp; Jerry &#x263A;&#233;\" "
        "afterevent=\"a-very-long-after-event-text\" "
        "eit=\"-5\" repeated=\"0\" disabled=\"1\" justplay=\"1\">\n</timer>\n"
        "<timer begin=\"1800000001\" end=\"1800003600\" name=\"" +
        name150 + "\"/>\n");
    ReadAll();
    ASSERT_EQ(tables_.Timers.RecordCount(), 2);
    tables_.Timers.First();
    EXPECT_EQ(tables_.Timers.FieldByName("Name").AsString(), std::string(40, 'n'));
    // References are decoded.
    EXPECT_EQ(tables_.Timers.FieldByName("Description").AsString(),
              "Tom & Jerry \xE2\x98\xBA\xC3\xA9");
    EXPECT_EQ(tables_.Timers.FieldByName("Afterevent").AsString(), "a-very-long-after-ev");
    EXPECT_EQ(tables_.Timers.FieldByName("Serviceref").AsString(),
              "1:0:19:283D:3FB:1:C00000:0:0:0:X");
    EXPECT_EQ(tables_.Timers.FieldByName("Zender").AsString(), "");
    EXPECT_EQ(tables_.Timers.FieldByName("Eit").AsString(), "-5");
    EXPECT_EQ(tables_.Timers.FieldByName("Disabled").AsString(), "1");
    EXPECT_EQ(tables_.Timers.FieldByName("Justplay").AsString(), "1");
    EXPECT_EQ(tables_.Timers.FieldByName("Origin").AsInteger(), 1);
    tables_.Timers.Next();
    EXPECT_EQ(tables_.Timers.FieldByName("Name").AsString(), std::string(40, 'm'));
    EXPECT_EQ(tables_.Timers.FieldByName("Serviceref").AsString(), "");
    EXPECT_EQ(tables_.Timers.FieldByName("RepeatedOrg").AsLargeint(), 0);
    EXPECT_EQ(tables_.Timers.FieldByName("Origin").AsInteger(), 2);
    EXPECT_TRUE(tables_.TimersRead.complete);
    ASSERT_EQ(tables_.TimersRead.timers.size(), 2u);
    EXPECT_EQ(*tables_.TimersRead.timers[1].Find("name"), name150);
}

TEST_F(BoxReaderTest, AttributesAreReadOnlyAsWholeNamesOutsideValues) {
    WriteStandardSet();
    WriteTimers(
        "<timer begin=\"1800000000\" end=\"1800003600\" "
        "name=\"Quiz: guess the eit=\" description=\"Formula 1 disabled=\" "
        "serviceref=\"1:0:19:283D:3FB:1:C00000:0:0:0:\" disabled=\"1\" eit=\"7\" "
        "filename=\"x.ts\" eventEnd=\"999\" rename_repeat=\"1\"/>\n");
    ReadAll();
    tables_.Timers.First();
    EXPECT_EQ(tables_.Timers.FieldByName("Disabled").AsLargeint(), 1);
    EXPECT_EQ(tables_.Timers.FieldByName("Eit").AsLargeint(), 7);
    EXPECT_EQ(tables_.Timers.FieldByName("Name").AsString(), "Quiz: guess the eit=");
    EXPECT_EQ(tables_.Timers.FieldByName("RepeatedOrg").AsLargeint(), 0);
}

TEST_F(BoxReaderTest, TimesNoDateTimeCanShowStayNullAndKeepTheirText) {
    WriteStandardSet();
    WriteTimers(
        "<timer begin=\"99999999999999\" end=\"-5\" name=\"Far\" repeated=\"0\"/>\n"
        "<timer begin=\"1800000000\" end=\"1e9\" name=\"Odd\"/>\n"
        "<timer name=\"None\"/>\n");
    ReadAll();
    ASSERT_EQ(tables_.Timers.RecordCount(), 3);
    for (tables_.Timers.First(); !tables_.Timers.Eof(); tables_.Timers.Next()) {
        SCOPED_TRACE(tables_.Timers.FieldByName("Name").AsString());
        EXPECT_TRUE(tables_.Timers.FieldByName("End").IsNull());
    }
    Column(tables_.Timers, "Name");
    WriteTimersFile(dir_ + "timers.new", tables_.Timers, conversion_, LogSink());
    const std::string written = Read("timers.new");
    EXPECT_NE(written.find("<timer begin=\"99999999999999\" end=\"-5\" name=\"Far\""),
              std::string::npos)
        << written;
    EXPECT_NE(written.find("<timer begin=\"1800000000\" end=\"1e9\" name=\"Odd\"/>"),
              std::string::npos)
        << written;
    EXPECT_NE(written.find("<timer name=\"None\"/>"), std::string::npos) << written;
}

TEST_F(BoxReaderTest, TimersAreReadAfterChannelErrorsAndFaultsAreReported) {
    WriteStandardSet();
    std::filesystem::remove(dir_ + "bouquets.radio");
    WriteTimers(TimerLine(1800000000, 1800003600));
    BoxReadReport report = ReadBoxFiles(dir_, tables_, conversion_, LogSink());
    EXPECT_EQ(report.channel_error, "Cannot open file " + dir_ + "bouquets.radio");
    EXPECT_TRUE(report.timer_error.empty());
    EXPECT_TRUE(report.timers_complete);
    EXPECT_EQ(tables_.Timers.RecordCount(), 1);

    tables_.DropAll();
    tables_.OpenAll();
    Write("timers.xml", "<timers>\n" + TimerLine(1800000000, 1800003600) +
                            "<timer begin=\"1800000000\" name=\"open>\n</timers>\n");
    report = ReadBoxFiles(dir_, tables_, conversion_, LogSink());
    EXPECT_FALSE(report.timers_complete);
    EXPECT_FALSE(tables_.TimersRead.complete);
    EXPECT_EQ(report.timer_error.rfind("Timer list " + dir_ + "timers.xml is not valid XML: ", 0),
              0u)
        << report.timer_error;
    EXPECT_TRUE(report.timer_exception);
    // The timer before the fault is read.
    EXPECT_EQ(tables_.Timers.RecordCount(), 1);

    tables_.DropAll();
    tables_.OpenAll();
    std::filesystem::remove(dir_ + "timers.xml");
    std::filesystem::create_directory(dir_ + "timers.xml");
    report = ReadBoxFiles(dir_, tables_, conversion_, LogSink());
    EXPECT_TRUE(report.timers_complete) << "a folder is no timer list";
}

TEST_F(BoxReaderTest, BouquetIndexLinesNamingPathsAreRefused) {
    WriteStandardSet();
    Write("bouquets.tv",
          "#SERVICE 1:7:1:0:0:0:0:0:0:0:FROM BOUQUET \"../../dev/zero\" ORDER BY bouquet\n"
          "#SERVICE 1:7:1:0:0:0:0:0:0:0:FROM BOUQUET \"/etc/passwd\" ORDER BY bouquet\n"
          "#SERVICE 1:7:1:0:0:0:0:0:0:0:userbouquet/../x\n"
          "#SERVICE 1:7:1:0:0:0:0:0:0:0:FROM BOUQUET \"userbouquet.hd.tv\" ORDER BY bouquet\n");
    const BoxReadReport report = ReadBoxFiles(dir_, tables_, conversion_, LogSink());
    EXPECT_TRUE(report.channel_error.empty()) << report.channel_error;
    EXPECT_EQ(report.refused_bouquet_files,
              (Strings{"../../dev/zero", "/etc/passwd", "userbouquet/../x"}));
    EXPECT_EQ(Column(tables_.Bouquet, "Bouquet"), (Strings{"HD", "Radio"}));
}

TEST_F(BoxReaderTest, FilesLargerThan64MiBAreRefused) {
    WriteStandardSet();
    {
        std::ofstream out(dir_ + "timers.xml", std::ios::binary);
        out.seekp(static_cast<std::streamoff>(kMaxBoxFileSize));
        out.put('x');
    }
    EXPECT_EQ(ReadError(), "File " + dir_ + "timers.xml is larger than 64 MiB and is not read");
    EXPECT_THROW(ReadWholeFile(dir_ + "timers.xml"), EFileTooLargeError);
    if (std::filesystem::exists("/dev/zero")) {
        EXPECT_THROW(ReadWholeFile("/dev/zero"), EFileTooLargeError);
    }
}

TEST_F(BoxReaderTest, TimersThatEndedADayAgoAreDroppedUnlessRepeated) {
    WriteStandardSet();
    // Now is 2027-01-01 12:00 local = 11:00 UTC; the limit is 2026-12-31 11:00 UTC.
    const int64_t limit = platform::DateTimeToUnix(EncodeDateTime(2026, 12, 31, 11, 0, 0));
    WriteTimers(TimerLine(limit - 7200, limit) + TimerLine(limit - 7200, limit - 1) +
                TimerLine(limit - 9000, limit - 3600, " repeated=\"0\"") + "<timer begin=\"" +
                std::to_string(limit - 90000) + "\" end=\"" + std::to_string(limit - 86400) +
                "\" repeated=\"64\" name=\"Weekly\"/>\n");
    ReadAll();
    EXPECT_EQ(Column(tables_.Timers, "Name"), (Strings{"Weekly", "N"}));
}

TEST_F(BoxReaderTest, IdenticalLinesGiveTwoRows) {
    WriteStandardSet();
    WriteTimers(TimerLine(1800000000, 1800003600) + TimerLine(1800000000, 1800003600));
    ReadAll();
    EXPECT_EQ(tables_.Timers.RecordCount(), 2);
}

TEST_F(BoxReaderTest, NoTimersAndTheAfterInsertHandlerStaysBound) {
    WriteStandardSet();
    int calls = 0;
    tables_.Timers.AfterInsert = [&](engine::TSQLMemDataSet&) { ++calls; };
    {
        SCOPED_TRACE("no timer file");
        ReadAll();
        EXPECT_EQ(tables_.Timers.RecordCount(), 0);
    }
    tables_.DropAll();
    tables_.OpenAll();
    {
        SCOPED_TRACE("only the list element");
        Write("timers.xml", "<timers>\n</timers>\n");
        ReadAll();
        EXPECT_EQ(tables_.Timers.RecordCount(), 0);
    }
    tables_.DropAll();
    tables_.OpenAll();
    {
        SCOPED_TRACE("timers appended without the handler");
        WriteTimers(TimerLine(1800000000, 1800003600));
        ReadAll();
        EXPECT_EQ(tables_.Timers.RecordCount(), 1);
    }
    EXPECT_EQ(calls, 0);
    ASSERT_TRUE(static_cast<bool>(tables_.Timers.AfterInsert));
    tables_.Timers.Append();
    EXPECT_EQ(calls, 1);
    tables_.Timers.Cancel();
}

TEST_F(BoxReaderTest, ZenderOfServiceSearchesEveryBouquetInOrder) {
    WriteStandardSet();
    Write("userbouquet.radio.radio",
          "#NAME Radio\n#SERVICE 1:0:2:6F1C:437:1:C00000:0:0:0:\n"
          "#SERVICE 1:0:19:283D:3FB:1:C00000:0:0:0:\n");
    Write("services", std::string(kServices));
    ReadAll();
    EXPECT_EQ(ZenderOfService(tables_, "1:0:2:6F1C:437:1:C00000:0:0:0:"), "Bayern 3");
    EXPECT_EQ(tables_.Bouquet.FieldByName("Bouquet").AsString(), "Radio");
    EXPECT_EQ(ZenderOfService(tables_, "1:0:19:283D:3FB:1:C00000:0:0:0:"), "Das Erste HD");
    EXPECT_EQ(tables_.Bouquet.FieldByName("Bouquet").AsString(), "HD");
    EXPECT_EQ(ZenderOfService(tables_, "1:0:19:283d:3fb:1:c00000:0:0:0:"), "");
    EXPECT_TRUE(tables_.Bouquet.Eof());
}

}  // namespace
}  // namespace tapir::boxfiles
