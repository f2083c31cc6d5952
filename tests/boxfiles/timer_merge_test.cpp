// The three-way merge of the timer list read at start, the box's current list and the
// table, done just before an upload.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "box_fixture.h"
#include "boxfiles/box_errors.h"
#include "boxfiles/box_reader.h"
#include "boxfiles/timer_file.h"
#include "boxfiles/timer_writer.h"

namespace tapir::boxfiles {
namespace {

using Strings = std::vector<std::string>;

TimerElement Timer(const std::string& name, int64_t begin, const std::string& eit = "0") {
    return TimerElement{{{"begin", std::to_string(begin)},
                         {"end", std::to_string(begin + 3600)},
                         {"serviceref", "1:0:19:283D:3FB:1:C00000:0:0:0:"},
                         {"name", name},
                         {"eit", eit}},
                        ""};
}

OurTimer Untouched(const std::vector<TimerElement>& base, std::size_t index) {
    return OurTimer{base[index], index, false};
}

OurTimer Edited(const std::vector<TimerElement>& base, std::size_t index,
                const std::string& new_name) {
    OurTimer timer{base[index], index, true};
    timer.element.Set("name", new_name);
    return timer;
}

Strings Names(const std::vector<TimerElement>& timers) {
    Strings names;
    for (const TimerElement& timer : timers) names.push_back(*timer.Find("name"));
    return names;
}

class TimerMergeTest : public ::testing::Test {
  protected:
    const std::vector<TimerElement> base_ = {Timer("A", 1000), Timer("B", 2000, "22"),
                                             Timer("C", 3000), Timer("D", 4000)};
};

TEST_F(TimerMergeTest, UnchangedBoxListMeansNoMergeAndOursAsTheyAre) {
    const std::vector<OurTimer> ours = {Edited(base_, 0, "A2"), Untouched(base_, 2),
                                        OurTimer{Timer("New", 5000), std::nullopt, true}};
    const TimerMergeResult result = MergeTimerLists(base_, base_, ours);
    EXPECT_FALSE(result.report.merged);
    EXPECT_EQ(Names(result.timers), (Strings{"A2", "C", "New"}));
    EXPECT_EQ(result.report.LogText(), "Timer list merge: no merge");
    EXPECT_EQ(result.report.MessageText(), "");
}

TEST_F(TimerMergeTest, EachSideKeepsWhatItDid) {
    std::vector<TimerElement> box = base_;
    // The box: recorded B (a log line, and the event moved it), dropped C, changed D,
    // gained E and F.
    box[1].Set("begin", "2100");
    box[1].children = "\n<log code=\"0\" time=\"1\">Start recording.</log>\n";
    box.erase(box.begin() + 2);
    box[2].Set("end", "9999");
    box.push_back(Timer("E", 6000));
    box.push_back(Timer("F", 7000));
    // Ours: A untouched, B untouched, C untouched, D edited, a new timer; none deleted.
    const std::vector<OurTimer> ours = {Untouched(base_, 0), Untouched(base_, 1),
                                        Untouched(base_, 2), Edited(base_, 3, "D2"),
                                        OurTimer{Timer("New", 5000), std::nullopt, true}};
    const TimerMergeResult result = MergeTimerLists(base_, box, ours);
    const TimerMergeReport& report = result.report;
    EXPECT_TRUE(report.merged);
    EXPECT_EQ(Names(result.timers), (Strings{"A", "B", "D2", "New", "E", "F"}));
    // B comes as the box has it now, with its log line.
    EXPECT_EQ(result.timers[1], box[1]);
    // D: the user's version, with the box's change lost and named.
    EXPECT_EQ(*result.timers[2].Find("end"), "7600");
    EXPECT_EQ(report.kept_from_box, (Strings{"E", "F"}));
    EXPECT_EQ(report.updated_from_box, (Strings{"B"}));
    EXPECT_EQ(report.dropped_by_box, (Strings{"C"}));
    EXPECT_EQ(report.conflicts, (Strings{"D2"}));
    EXPECT_TRUE(report.kept_yours.empty());
    EXPECT_EQ(report.LogText(),
              "Timer list merge: kept from the box \"E\", \"F\"; taken from the box \"B\"; "
              "removed on the box \"C\"; changed on both sides, yours written \"D2\"");
    const std::string message = report.MessageText();
    EXPECT_NE(message.find("Timers added on the box, kept: \"E\", \"F\""), std::string::npos);
    EXPECT_NE(message.find("your version written: \"D2\""), std::string::npos) << message;
}

TEST_F(TimerMergeTest, UserDeletesAndEditsWinOverTheBox) {
    std::vector<TimerElement> box = base_;
    box[0].Set("name", "A on box");  // changed on the box, deleted by the user
    box.erase(box.begin() + 1);      // B removed on the box, edited by the user
    const std::vector<OurTimer> ours = {Edited(base_, 1, "B2"), Untouched(base_, 2),
                                        Untouched(base_, 3)};
    const TimerMergeResult result = MergeTimerLists(base_, box, ours);
    EXPECT_EQ(Names(result.timers), (Strings{"B2", "C", "D"}));
    EXPECT_EQ(result.report.kept_yours, (Strings{"B2"}));
    EXPECT_TRUE(result.report.kept_from_box.empty());
}

TEST_F(TimerMergeTest, TimersAreMatchedOnceAndByTheirOwnKeys) {
    // Two equal timers read; the box still has one of them. The box also moved B in time
    // (same service and event: the same timer) and has an unnamed new one.
    const std::vector<TimerElement> base = {Timer("Twin", 1000), Timer("Twin", 1000),
                                            Timer("B", 2000, "22")};
    std::vector<TimerElement> box = {Timer("Twin", 1000), Timer("B", 2500, "22"),
                                     TimerElement{{{"description", "only a description"}}, ""},
                                     TimerElement{}};
    const std::vector<OurTimer> ours = {Untouched(base, 0), Untouched(base, 1), Untouched(base, 2)};
    const TimerMergeResult result = MergeTimerLists(base, box, ours);
    ASSERT_EQ(result.timers.size(), 4u);
    EXPECT_EQ(result.timers[0], box[0]);
    EXPECT_EQ(result.timers[1], box[1]);
    EXPECT_EQ(result.report.dropped_by_box, (Strings{"Twin"}));
    EXPECT_EQ(result.report.updated_from_box, (Strings{"B"}));
    EXPECT_EQ(result.report.kept_from_box, (Strings{"only a description", "(no name)"}));
}

class TimerMergeFileTest : public testing::BoxFilesTest {};

TEST_F(TimerMergeFileTest, LostUpdateScenarioKeepsEveryTimerWhereItBelongs) {
    platform::ScopedClockPin clock(platform::EncodeDateTime(2027, 1, 1, 12, 0, 0));
    Write("lamedb", "eDVB services /4/\nservices\nend\n");
    Write("bouquets.tv", "");
    Write("bouquets.radio", "");
    const std::string old_copy =
        "<?xml version=\"1.0\" ?>\n<timers>\n"
        "\t<timer begin=\"1800000000\" end=\"1800003600\" "
        "serviceref=\"1:0:19:283D:3FB:1:C00000:0:0:0:\" "
        "repeated=\"0\" name=\"Old\" description=\"\" afterevent=\"auto\" eit=\"1\" disabled=\"0\" "
        "justplay=\"0\" location=\"/media/hdd/movie/\">\n"
        "\t\t<log code=\"0\" time=\"1799441100\">Timer created</log>\n\t</timer>\n</timers>\n";
    Write("timers.xml", old_copy);
    ASSERT_TRUE(ReadBoxFiles(dir_, tables_, conversion_, LogSink()).timers_complete);
    // The user appends a timer.
    tables_.Timers.Append();
    tables_.Timers.FieldByName("Begin").SetAsDateTime(
        platform::EncodeDateTime(2027, 1, 20, 20, 15, 0));
    tables_.Timers.FieldByName("End").SetAsDateTime(
        platform::EncodeDateTime(2027, 1, 20, 21, 45, 0));
    tables_.Timers.FieldByName("Name").SetAsString("Appended");
    tables_.Timers.FieldByName("Serviceref").SetAsString("1:0:19:283D:3FB:1:C00000:0:0:0:");
    tables_.Timers.Post();
    // Meanwhile the box gained two timers.
    const TimerList old_list = ParseTimerList(old_copy);
    std::vector<TimerElement> box = old_list.timers;
    box.push_back(Timer("Gained on the box", 1800100000));
    box.push_back(Timer("Uploaded earlier", 1800200000));
    const std::string box_text = TimerListText(box);

    log_lines_.clear();
    const TimerMergeReport report =
        WriteTimersFile(dir_ + "timers.new", tables_.Timers, conversion_, LogSink(), box_text);
    EXPECT_TRUE(report.merged);
    EXPECT_EQ(report.kept_from_box, (Strings{"Gained on the box", "Uploaded earlier"}));
    const TimerList written = ParseTimerList(Read("timers.new"));
    ASSERT_FALSE(written.error);
    EXPECT_EQ(Names(written.timers),
              (Strings{"Old", "Appended", "Gained on the box", "Uploaded earlier"}));
    EXPECT_EQ(written.timers[0], old_list.timers[0]);
    EXPECT_EQ(Log().back(), report.LogText());

    // Unchanged on the box: no merge.
    EXPECT_FALSE(
        WriteTimersFile(dir_ + "timers.new", tables_.Timers, conversion_, LogSink(), old_copy)
            .merged);
    EXPECT_EQ(Names(ParseTimerList(Read("timers.new")).timers), (Strings{"Old", "Appended"}));

    // A broken list from the box stops the write: nothing is replaced.
    Write("timers.new", "before");
    EXPECT_THROW(WriteTimersFile(dir_ + "timers.new", tables_.Timers, conversion_, LogSink(),
                                 std::string_view("<timers><timer")),
                 ETimerListError);
    EXPECT_EQ(Read("timers.new"), "before");
}

}  // namespace
}  // namespace tapir::boxfiles
