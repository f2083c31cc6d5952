#include "boxfiles/timer_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tapir::boxfiles {
namespace {

const char kLine[] =
    "<timer begin=\"1170000000\" end=\"1170003600\" serviceref=\"1:0:1:6DCA:44D:1:C00000:0:0:0:\" "
    "repeated=\"0\" name=\"Tagesschau\" description=\"News &amp; weather\" afterevent=\"nothing\" "
    "eit=\"98\" disabled=\"0\" justplay=\"1\">";

TEST(TimerLine, RecognisesTimerLines) {
    struct Case {
        const char* line;
        bool timer;
    };
    const std::vector<Case> cases = {
        {"<timer begin=\"1\">", true},
        {"<TIMER begin=\"1\">", true},
        {"  <timer begin=\"1\"/>", true},
        {"\t<timer begin=\"1\"/>", true},
        {"<timer\tbegin=\"1\">", false},
        {"<timers>", false},
        {"</timer>", false},
        {"<?xml version=\"1.0\" ?>", false},
        {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(IsTimerLine(c.line), c.timer);
    }
}

TEST(TimerLine, ReadsAllTenAttributes) {
    const TimerLineValues v = ParseTimerLine(kLine);
    EXPECT_EQ(v.begin, 1170000000);
    EXPECT_EQ(v.end, 1170003600);
    EXPECT_EQ(v.serviceref, "1:0:1:6DCA:44D:1:C00000:0:0:0:");
    EXPECT_EQ(v.name, "Tagesschau");
    EXPECT_EQ(v.description, "News &amp; weather");
    EXPECT_EQ(v.afterevent, "nothing");
    EXPECT_EQ(v.eit, 98);
    EXPECT_EQ(v.repeated, 0);
    EXPECT_EQ(v.disabled, 0);
    EXPECT_EQ(v.justplay, 1);
}

TEST(TimerLine, AttributeOrderDoesNotMatter) {
    const char reordered[] =
        "\t<timer justplay=\"1\" disabled=\"0\" eit=\"98\" afterevent=\"nothing\" "
        "description=\"News &amp; weather\" name=\"Tagesschau\" repeated=\"0\" "
        "serviceref=\"1:0:1:6DCA:44D:1:C00000:0:0:0:\" end=\"1170003600\" begin=\"1170000000\"/>";
    const TimerLineValues a = ParseTimerLine(kLine);
    const TimerLineValues b = ParseTimerLine(reordered);
    EXPECT_EQ(a.begin, b.begin);
    EXPECT_EQ(a.end, b.end);
    EXPECT_EQ(a.serviceref, b.serviceref);
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.description, b.description);
    EXPECT_EQ(a.afterevent, b.afterevent);
    EXPECT_EQ(a.eit, b.eit);
    EXPECT_EQ(a.justplay, b.justplay);
}

TEST(TimerLine, KeysAreFoundOnlyAsWholeAttributeNames) {
    // eventEnd, rename_repeat and a made-up filename must not be taken for end, repeated
    // or name.
    const TimerLineValues v = ParseTimerLine(
        "<timer begin=\"100\" filename=\"x.ts\" eventEnd=\"999\" end=\"200\" "
        "rename_repeat=\"1\" repeated=\"31\" name=\"N\" serviceref=\"1:0:1:1:1:1:1:0:0:0:\">");
    EXPECT_EQ(v.end, 200);
    EXPECT_EQ(v.repeated, 31);
    EXPECT_EQ(v.name, "N");
}

TEST(TimerLine, ValueRules) {
    // serviceref trimmed and upper-cased in full, text after the last colon included.
    EXPECT_EQ(
        ParseTimerLine("<timer serviceref=\" 1:0:1:6dca:44d:1:c00000:0:0:0:abc \">").serviceref,
        "1:0:1:6DCA:44D:1:C00000:0:0:0:ABC");
    // Integers read like atol.
    EXPECT_EQ(ParseTimerLine("<timer begin=\"  -12x\">").begin, -12);
    EXPECT_EQ(ParseTimerLine("<timer begin=\"abc\">").begin, 0);
    EXPECT_EQ(ParseTimerLine("<timer begin=\"\">").begin, 0);
    // Times past 2038 keep their value.
    EXPECT_EQ(ParseTimerLine("<timer begin=\"2200000000\">").begin, 2200000000LL);
    // Missing attributes: 0 and empty.
    const TimerLineValues missing = ParseTimerLine("<timer begin=\"5\"/>");
    EXPECT_EQ(missing.end, 0);
    EXPECT_EQ(missing.name, "");
    EXPECT_EQ(missing.serviceref, "");
    // A long text is read to its closing quote (the table cuts it).
    const std::string long_name(150, 'x');
    EXPECT_EQ(ParseTimerLine("<timer name=\"" + long_name + "\" end=\"1\">").name, long_name);
    // No closing quote: empty.
    EXPECT_EQ(ParseTimerLine("<timer name=\"open").name, "");
}

TEST(TimerSeconds, ConvertBothWays) {
    EXPECT_DOUBLE_EQ(UtcOfSeconds(0), 25569.0);
    EXPECT_DOUBLE_EQ(UtcOfSeconds(86400), 25570.0);
    EXPECT_EQ(SecondsOfUtc(25570.0), 86400);
    // Dates before 1970 come out positive.
    EXPECT_EQ(SecondsOfUtc(25568.0), 86400);
    // A value a hair below a whole second rounds to it.
    EXPECT_EQ(SecondsOfUtc(25570.0 - 1e-11), 86400);
    for (int64_t n : {0LL, 1LL, 1170000000LL, 1798761600LL, 1800000001LL, 2200000000LL}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(SecondsOfUtc(UtcOfSeconds(n)), n);
    }
}

TEST(EscapeAttribute, KeepsFileWellFormed) {
    struct Case {
        const char* value;
        const char* escaped;
    };
    const Case cases[] = {
        {"plain", "plain"},
        {"say \"hi\"", "say &quot;hi&quot;"},
        {"a<b>c", "a&lt;b&gt;c"},
        {"Tom & Jerry", "Tom &amp; Jerry"},
        {"Tom &amp; Jerry", "Tom &amp; Jerry"},
        {"&quot;&apos;&#39;&#x27;", "&quot;&apos;&#39;&#x27;"},
        {"&#;&#x;&;&name", "&amp;#;&amp;#x;&amp;;&amp;name"},
        {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(EscapeAttribute(c.value), c.escaped);
    }
}

TEST(TimersFileText, ExactBytes) {
    EXPECT_EQ(TimersFileText({}), "<?xml version=\"1.0\" ?>\r\n<timers>\r\n</timers>\r\n");
    TimerFileRow row;
    row.begin = 86400;
    row.end = 90000;
    row.serviceref = "1:0:1:6DCA:44D:1:C00000:0:0:0:";
    row.repeated = "0";
    row.name = "Film";
    row.description = "";
    row.afterevent = "nothing";
    row.eit = "98";
    row.disabled = "0";
    row.justplay = "0";
    EXPECT_EQ(TimersFileText({row}),
              "<?xml version=\"1.0\" ?>\r\n<timers>\r\n"
              "<timer begin=\"86400\" end=\"90000\" serviceref=\"1:0:1:6DCA:44D:1:C00000:0:0:0:\" "
              "repeated=\"0\" name=\"Film\" description=\"\" afterevent=\"nothing\" eit=\"98\" "
              "disabled=\"0\" justplay=\"0\">\r\n</timer>\r\n</timers>\r\n");
}

TEST(TimersFileText, WrittenLineReadsBackTheSameValues) {
    TimerFileRow row{1798761600,
                     1798765200,
                     "1:0:19:2B66:3F3:1:C00000:0:0:0:",
                     "31",
                     "Q&A \"live\" <1>",
                     "x &amp; y",
                     "deepstandby",
                     "4711",
                     "1",
                     "0"};
    const TimerLineValues v = ParseTimerLine(TimerLineText(row));
    EXPECT_EQ(v.begin, row.begin);
    EXPECT_EQ(v.end, row.end);
    EXPECT_EQ(v.serviceref, row.serviceref);
    EXPECT_EQ(v.repeated, 31);
    // The reader decodes nothing: the escaped form comes back.
    EXPECT_EQ(v.name, "Q&amp;A &quot;live&quot; &lt;1&gt;");
    EXPECT_EQ(v.description, "x &amp; y");
    EXPECT_EQ(v.afterevent, "deepstandby");
    EXPECT_EQ(v.eit, 4711);
    EXPECT_EQ(v.disabled, 1);
    EXPECT_EQ(v.justplay, 0);
}

}  // namespace
}  // namespace tapir::boxfiles
