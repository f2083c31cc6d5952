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

std::string Document(const std::string& body) {
    return "<?xml version=\"1.0\" ?>\n<timers>\n" + body + "</timers>\n";
}

TEST(TimerLine, RecognisesTimerLines) {
    EXPECT_TRUE(IsTimerLine("<timer begin=\"1\">"));
    EXPECT_TRUE(IsTimerLine("\t <timer begin=\"1\"/>"));
    EXPECT_FALSE(IsTimerLine("<timers>"));
    EXPECT_FALSE(IsTimerLine("</timer>"));
    EXPECT_FALSE(IsTimerLine(""));
}

TEST(TimerLine, ReadsAllTenAttributesAsWholeNames) {
    const TimerLineValues v = ParseTimerLine(kLine);
    EXPECT_EQ(v.begin, 1170000000);
    EXPECT_TRUE(v.begin_valid);
    EXPECT_EQ(v.end, 1170003600);
    EXPECT_EQ(v.serviceref, "1:0:1:6DCA:44D:1:C00000:0:0:0:");
    EXPECT_EQ(v.name, "Tagesschau");
    EXPECT_EQ(v.description, "News & weather");
    EXPECT_EQ(v.afterevent, "nothing");
    EXPECT_EQ(v.eit, 98);
    EXPECT_EQ(v.justplay, 1);
    // Keys inside values and longer names that end like a key are no attributes.
    const TimerLineValues w = ParseTimerLine(
        "\t<timer name=\"Quiz: guess the eit=\" description=\"F1 disabled=\" eventEnd=\"999\" "
        "rename_repeat=\"1\" filename=\"x\" end=\"200\" disabled='1'/>");
    EXPECT_EQ(w.eit, 0);
    EXPECT_EQ(w.disabled, 1);
    EXPECT_EQ(w.end, 200);
    EXPECT_EQ(w.repeated, 0);
    EXPECT_EQ(w.name, "Quiz: guess the eit=");
    // A broken tag keeps what came before the fault.
    EXPECT_EQ(ParseTimerLine("<timer begin=\"5\" name=\"open").begin, 5);
    EXPECT_EQ(ParseTimerLine("<timer begin=\"5\" name=\"open").name, "");
}

TEST(TimerSeconds, OnlyTimesADateTimeCanShow) {
    EXPECT_EQ(TimerSecondsOf("0"), 0);
    EXPECT_EQ(TimerSecondsOf(" 2200000000 "), 2200000000LL);
    EXPECT_EQ(TimerSecondsOf("253402300799"), kLastTimerSecond);
    for (const char* bad :
         {"253402300800", "99999999999999999999999", "-1", "", "12x", "1e9", "0x10"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(TimerSecondsOf(bad).has_value());
    }
    EXPECT_EQ(AtolValue("  -12x"), -12);
    EXPECT_EQ(AtolValue("abc"), 0);
    EXPECT_EQ(AtolValue("99999999999999999999999"), INT64_MAX);
}

TEST(TimerSeconds, ConvertBothWays) {
    EXPECT_DOUBLE_EQ(UtcOfSeconds(0), 25569.0);
    EXPECT_EQ(SecondsOfUtc(25570.0), 86400);
    EXPECT_EQ(SecondsOfUtc(25570.0 - 1e-11), 86400);
    for (int64_t n : {0LL, 1LL, 1170000000LL, 1800000001LL, 2200000000LL}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(SecondsOfUtc(UtcOfSeconds(n)), n);
    }
}

TEST(TimerList, KeepsEveryAttributeInOrderAndTheChildren) {
    const std::string text = Document(
        "\t<timer begin=\"1731009720\" end=\"1731013800\" marginBefore=\"180\" "
        "hasEndTime=\"True\" name=\"A&amp;B &quot;x&quot; &#x263A;&#8364;\" tags=\"\">\n"
        "\t\t<log code=\"500\" time=\"1731006891\">[AutoTimer] Try &lt;1&gt; &amp; more</log>\n"
        "\t\t<!-- note --><?pi data?><![CDATA[<raw> & text]]>\n"
        "\t</timer>\n"
        "\t<timer begin=\"2\" end=\"3\"/>\n"
        "\t<other><timer begin=\"9\"/></other>\n");
    const TimerList list = ParseTimerList(text);
    ASSERT_FALSE(list.error) << list.error->reason;
    ASSERT_EQ(list.timers.size(), 2u);
    const TimerElement& first = list.timers[0];
    std::vector<std::string> names;
    for (const TimerAttribute& attribute : first.attributes) names.push_back(attribute.name);
    EXPECT_EQ(names, (std::vector<std::string>{"begin", "end", "marginBefore", "hasEndTime", "name",
                                               "tags"}));
    EXPECT_EQ(*first.Find("name"), "A&B \"x\" \xE2\x98\xBA\xE2\x82\xAC");
    EXPECT_EQ(*first.Find("tags"), "");
    EXPECT_EQ(first.Find("eit"), nullptr);
    EXPECT_EQ(first.children,
              "\n\t\t<log code=\"500\" time=\"1731006891\">[AutoTimer] Try &lt;1&gt; &amp; "
              "more</log>\n\t\t<!-- note --><?pi data?>&lt;raw&gt; &amp; text\n\t");
    EXPECT_TRUE(list.timers[1].children.empty());

    // Written and read again: the same timers.
    const std::string written = TimerListText(list.timers);
    const TimerList again = ParseTimerList(written);
    ASSERT_FALSE(again.error);
    EXPECT_EQ(again.timers, list.timers);
    EXPECT_NE(written.find("<timer begin=\"2\" end=\"3\"/>\r\n"), std::string::npos) << written;
    EXPECT_NE(written.find("name=\"A&amp;B &quot;x&quot; \xE2\x98\xBA\xE2\x82\xAC\""),
              std::string::npos);
}

TEST(TimerList, ReadsWhatAnyXmlReaderReads) {
    // CR LF line ends, single quotes, blanks around '=', a byte-order mark, a declaration
    // with an encoding, a document type, and line breaks inside values.
    const TimerList list = ParseTimerList(
        "\xEF\xBB\xBF<?xml version='1.0' encoding='UTF-8'?>\r\n<!DOCTYPE timers>\r\n"
        "<timers><timer name = 'a\"b' description=\"x\r\ny\ttab&#9;\"/></timers>");
    ASSERT_FALSE(list.error) << list.error->reason;
    ASSERT_EQ(list.timers.size(), 1u);
    EXPECT_EQ(*list.timers[0].Find("name"), "a\"b");
    EXPECT_EQ(*list.timers[0].Find("description"), "x y tab\t");
    EXPECT_EQ(EncodeAttribute("x y tab\t"), "x y tab&#9;");
    EXPECT_TRUE(ParseTimerList("").timers.empty());
    EXPECT_FALSE(ParseTimerList(" \n").error);
}

TEST(TimerList, OddTextIsKeptWritable) {
    // Bytes that are no UTF-8 read as Latin-1; controls XML cannot carry are dropped, also
    // from character references; an '&' that starts no reference is kept.
    const TimerList list = ParseTimerList(
        Document("<timer name=\"caf\xE9\x01 &#1;&#0;&#xD800;&#99999999; R&D &foo; &#;\"/>\n"));
    ASSERT_FALSE(list.error);
    ASSERT_EQ(list.timers.size(), 1u);
    EXPECT_EQ(*list.timers[0].Find("name"), "caf\xC3\xA9  R&D &foo; &#;");
    EXPECT_EQ(ParseTimerList(TimerListText(list.timers)).timers, list.timers);
    EXPECT_EQ(EncodeAttribute("A&B \"x\" <1>\x02\xFF"), "A&amp;B &quot;x&quot; &lt;1&gt;\xC3\xBF");
}

TEST(TimerList, FaultsAreReportedWithTheTimersBeforeThem) {
    struct Case {
        const char* body;
        std::size_t timers_before;
    };
    const Case cases[] = {
        {"<timer begin=\"1\"/><timer begin=\"2\" name=\"open/>\n", 1},
        {"<timer begin=\"1\"/><timer a=\"<\"/>", 1},
        {"<timer begin=\"1\"><log></timer>", 0},
        {"<timer begin=\"1\" begin2/>", 0},
        {"<timer begin=\"1\"/><timer b=\"1\"c=\"2\"/>", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        const TimerList list = ParseTimerList(Document(c.body));
        ASSERT_TRUE(list.error.has_value());
        EXPECT_EQ(list.error->line, 3);
        EXPECT_EQ(list.timers.size(), c.timers_before);
    }
    EXPECT_TRUE(ParseTimerList("<timers>").error);
    EXPECT_TRUE(ParseTimerList("<timers/><more/>").error);
    EXPECT_TRUE(ParseTimerList("text").error);
    // A repeated attribute is not carried twice: the first counts.
    const TimerList repeated = ParseTimerList("<timers><timer a=\"1\" a=\"2\"/></timers>");
    ASSERT_EQ(repeated.timers.size(), 1u);
    EXPECT_EQ(repeated.timers[0].attributes.size(), 1u);
}

TEST(TimerList, DeepNestingNeedsNoDeepStack) {
    std::string body = "<timer>";
    for (int i = 0; i < 200000; ++i) body += "<a>";
    for (int i = 0; i < 200000; ++i) body += "</a>";
    body += "</timer>";
    const TimerList list = ParseTimerList(Document(body));
    ASSERT_FALSE(list.error);
    ASSERT_EQ(list.timers.size(), 1u);
    EXPECT_EQ(ParseTimerList(TimerListText(list.timers)).timers, list.timers);
}

TEST(TimerElement, SetReplacesInPlaceOrAppends) {
    TimerElement timer{{{"begin", "1"}, {"name", "x"}}, ""};
    timer.Set("name", "y");
    timer.Set("eit", "5");
    EXPECT_EQ(TimerStartTag(timer), "<timer begin=\"1\" name=\"y\" eit=\"5\">");
    EXPECT_EQ(TimerListText({}), "<?xml version=\"1.0\" ?>\r\n<timers>\r\n</timers>\r\n");
}

}  // namespace
}  // namespace tapir::boxfiles
