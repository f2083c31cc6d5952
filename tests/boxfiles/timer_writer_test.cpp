#include "boxfiles/timer_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "box_fixture.h"
#include "boxfiles/box_errors.h"
#include "boxfiles/box_reader.h"
#include "boxfiles/text_lines.h"
#include "boxfiles/timer_file.h"
#include "platform/date_time.h"

namespace tapir::boxfiles {
namespace {

using platform::EncodeDateTime;

class TimerWriterTest : public testing::BoxFilesTest {
  protected:
    void AppendTimer(double begin, double end, const std::string& name) {
        engine::TSQLMemTable& t = tables_.Timers;
        t.Append();
        t.FieldByName("Zender").SetAsString("Das Erste HD");
        t.FieldByName("Begin").SetAsDateTime(begin);
        t.FieldByName("End").SetAsDateTime(end);
        t.FieldByName("Name").SetAsString(name);
        t.FieldByName("Serviceref").SetAsString("1:0:19:283D:3FB:1:C00000:0:0:0:");
        // The channel dialog's defaults for a new timer.
        t.FieldByName("RepeatedOrg").SetAsLargeint(0);
        t.FieldByName("Afterevent").SetAsString("nothing");
        t.FieldByName("Eit").SetAsLargeint(98);
        t.FieldByName("Disabled").SetAsLargeint(0);
        t.FieldByName("Justplay").SetAsLargeint(0);
        t.Post();
    }

    std::string WriteAndRead() {
        WriteTimersFile(dir_ + "timers.new", tables_.Timers, conversion_, LogSink());
        return Read("timers.new");
    }
};

TEST_F(TimerWriterTest, EmptyTableWritesTheFrame) {
    EXPECT_EQ(WriteAndRead(), "<?xml version=\"1.0\" ?>\r\n<timers>\r\n</timers>\r\n");
}

TEST_F(TimerWriterTest, NewTimerWithDefaultsExactBytes) {
    conversion_.UTC_Offset = 0;
    AppendTimer(EncodeDateTime(1970, 1, 2, 0, 0, 0), EncodeDateTime(1970, 1, 2, 1, 30, 0),
                "Tagesschau");
    EXPECT_EQ(
        WriteAndRead(),
        "<?xml version=\"1.0\" ?>\r\n<timers>\r\n"
        "<timer begin=\"86400\" end=\"91800\" serviceref=\"1:0:19:283D:3FB:1:C00000:0:0:0:\" "
        "repeated=\"0\" name=\"Tagesschau\" description=\"\" afterevent=\"nothing\" eit=\"98\" "
        "disabled=\"0\" justplay=\"0\">\r\n</timer>\r\n</timers>\r\n");
    EXPECT_TRUE(tables_.Timers.Eof());
}

TEST_F(TimerWriterTest, RowsInBeginOrderConvertedToUtc) {
    // Offset +1 hour: local 2027-01-15 10:00 is 09:00 UTC = 1800003600.
    AppendTimer(EncodeDateTime(2027, 1, 15, 12, 0, 0), EncodeDateTime(2027, 1, 15, 13, 0, 0), "B");
    AppendTimer(EncodeDateTime(2027, 1, 15, 10, 0, 0), EncodeDateTime(2027, 1, 15, 11, 0, 0), "A");
    const std::vector<std::string> lines = SplitLines(WriteAndRead());
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_TRUE(lines[2].starts_with("<timer begin=\"1800003600\" end=\"1800007200\" "));
    EXPECT_NE(lines[2].find("name=\"A\""), std::string::npos);
    EXPECT_TRUE(lines[4].starts_with("<timer begin=\"1800010800\" "));
}

TEST_F(TimerWriterTest, ValuesAreEscapedSoTheFileStaysWellFormed) {
    AppendTimer(EncodeDateTime(2027, 1, 15, 10, 0, 0), EncodeDateTime(2027, 1, 15, 11, 0, 0),
                "Tom & Jerry \"live\" <3> &amp;");
    const std::string text = WriteAndRead();
    // Every character is the user's: a typed "&amp;" is written as such, not taken for a
    // reference.
    EXPECT_NE(text.find("name=\"Tom &amp; Jerry &quot;live&quot; &lt;3&gt; &amp;amp;\""),
              std::string::npos);
    const TimerList list = ParseTimerList(text);
    ASSERT_EQ(list.timers.size(), 1u);
    EXPECT_EQ(*list.timers[0].Find("name"), "Tom & Jerry \"live\" <3> &amp;");
}

TEST_F(TimerWriterTest, UncreatableFileIsReported) {
    const std::string path = dir_ + "no-such-dir/timers.new";
    try {
        WriteTimersFile(path, tables_.Timers, conversion_, LogSink());
        FAIL() << "no error";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message(), "Cannot create file " + path);
    }
}

TEST_F(TimerWriterTest, FailedWriteIsReportedNotTakenForSuccess) {
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "/dev/full is not available";
    }
    AppendTimer(EncodeDateTime(2027, 1, 15, 10, 0, 0), EncodeDateTime(2027, 1, 15, 11, 0, 0), "A");
    try {
        WriteTimersFile("/dev/full", tables_.Timers, conversion_, LogSink());
        FAIL() << "no error";
    } catch (const EWriteError& e) {
        EXPECT_EQ(e.Message(), "Stream write error");
    }
}

}  // namespace
}  // namespace tapir::boxfiles
