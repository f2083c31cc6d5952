#include "boxfiles/service_list.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "boxfiles/box_errors.h"
#include "boxfiles/text_lines.h"

namespace tapir::boxfiles {
namespace {

TEST(TextLines, SplitsAtEveryLineEndingAndStopsAtZeroByte) {
    struct Case {
        std::string text;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\nb\nc\rd", {"a", "b", "c", "d"}},
        {"a\r\n", {"a"}},
        {"a\n\nb\n", {"a", "", "b"}},
        {"a\r\rb", {"a", "", "b"}},
        {std::string("a\nb\0c\nd", 7), {"a", "b"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(SplitLines(c.text), c.lines);
    }
}

TEST(TextLines, CutKeepsWholeUtf8Characters) {
    EXPECT_EQ(CutToWidth("abcdef", 4), "abcd");
    EXPECT_EQ(CutToWidth("abc", 20), "abc");
    // "aé" is 3 bytes; a cut at 2 would split the é.
    EXPECT_EQ(CutToWidth("a\xC3\xA9z", 2), "a");
    EXPECT_EQ(CutToWidth("a\xC3\xA9z", 3), "a\xC3\xA9");
    // A four-byte character cut anywhere inside goes as a whole.
    const std::string emoji = "xy\xF0\x9F\x98\x80";
    for (std::size_t width = 2; width < 6; ++width) {
        SCOPED_TRACE(width);
        EXPECT_EQ(CutToWidth(emoji, width), "xy");
    }
    EXPECT_EQ(CutToWidth(emoji, 6), emoji);
}

TEST(TextLines, LoadOfMissingFileNamesThePath) {
    try {
        LoadLines("/nonexistent/dir/services");
        FAIL() << "no error";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file /nonexistent/dir/services");
        EXPECT_EQ(e.KindName(), "EFOpenError");
    }
}

TEST(ServiceKeyOf, FormatsFieldsFourSevenFiveSix) {
    struct Case {
        const char* reference;
        const char* key;
    };
    const Case cases[] = {
        {"1:0:1:6FF:2F:1:C00000:0:0:0:", "06FF:00C00000:002F:0001"},
        {"1:0:1:6ff:2f:1:c00000:0:0:0:", "06FF:00C00000:002F:0001"},
        {" 1 : 0 : 1 : 6FF : 2F : 1 : C00000 :0:0:0:", "06FF:00C00000:002F:0001"},
        // Only ten fields count; an eleventh (not hexadecimal) is not read.
        {"1:0:1:6FF:2F:1:C00000:0:0:0:zz:", "06FF:00C00000:002F:0001"},
        {"1:0:19:2B66:3F3:1:C00000:0:0:0:http%3a//x", "2B66:00C00000:03F3:0001"},
        // Text after the last colon is not read.
        {"1:0:1:6FF:2F:1:C00000:0:0:0", "06FF:00C00000:002F:0001"},
        // Wider values keep all their digits.
        {"1:0:1:12345:2F:1:FFFFFFFF:0:0:0:", "12345:FFFFFFFF:002F:0001"},
        // Fields the reference lacks are 0.
        {"1:0:1:6FF:", "06FF:00000000:0000:0000"},
        {"", "0000:00000000:0000:0000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reference);
        EXPECT_EQ(ServiceKeyOf(c.reference), c.key);
    }
}

TEST(ServiceKeyOf, RejectsFieldsThatAreNotHexadecimal) {
    struct Case {
        const char* reference;
        const char* message;
    };
    const Case cases[] = {
        {"1:0:1:6FG:2F:1:C00000:0:0:0:", "'0x6FG' is not a valid integer value"},
        {"1::1:6FF:2F:1:C00000:0:0:0:", "'0x' is not a valid integer value"},
        {": 1:0:1:6FF:2F:1:C00000:0:0:0:", "'0x' is not a valid integer value"},
        {"1:0:1:100000000:2F:1:C00000:0:0:0:", "'0x100000000' is not a valid integer value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reference);
        try {
            ServiceKeyOf(c.reference);
            ADD_FAILURE() << "no error";
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(), c.message);
        }
    }
}

TEST(ConvertServiceName, KeepsValidTextAndDropsMarkup) {
    struct Case {
        std::string line;
        std::string name;
    };
    const std::vector<Case> cases = {
        {"Das Erste HD ", "Das Erste HD "},
        {"What?No?", "WhatNo"},
        {"\xC3\x96RF1", "\xC3\x96RF1"},                            // ÖRF1 stays
        {"\xC2\x86Sky\xC2\x87 Cinema", "Sky Cinema"},              // C1 markers go
        {"\xD0\xA0\xD0\xA2\xD0\xA0", "\xD0\xA0\xD0\xA2\xD0\xA0"},  // Cyrillic stays
        {"ORF\xE9", ""},                                           // Latin-1 byte: invalid
        {"abc\xC3", ""},                                           // truncated sequence
        {"\xC0\xAF", ""},                                          // overlong
        {"\xED\xA0\x80", ""},                                      // surrogate
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(ConvertServiceName(c.line), c.name);
    }
}

class ServiceListTest : public ::testing::Test {
  protected:
    static ServiceList ListOf(const std::string& text) { return ServiceList(SplitLines(text)); }
};

TEST_F(ServiceListTest, FindsNameOnTheLineAfterTheKey) {
    ServiceList list = ListOf(
        "eDVB services /4/\n"
        "transponders\n"
        "00c00000:044d:0001\n"
        "/\n"
        "services\n"
        "6dca:00c00000:044d:0001:1:0\n"
        "Das Erste\n"
        "p:ARD\n"
        "06FF:00C00000:002F:0001:1:0\n"
        "Sky?Sport\n"
        "p:Sky\n"
        "end\n");
    EXPECT_EQ(list.ServiceNameOf("6DCA:00C00000:044D:0001"), "Das Erste");
    EXPECT_EQ(list.ServiceNameOf("06FF:00C00000:002F:0001"), "SkySport");
    EXPECT_EQ(list.ServiceNameOf("6DCB:00C00000:044D:0001"), std::nullopt);
}

TEST_F(ServiceListTest, LastMatchingLineDecides) {
    ServiceList list = ListOf(
        "06FF:00C00000:002F:0001:1:0\nFirst\n"
        "06ff:00c00000:002f:0001:1:0\nSecond\n"
        "0001:00C00000:002F:0001:1:0\nOther\n");
    EXPECT_EQ(list.ServiceNameOf("06FF:00C00000:002F:0001"), "Second");
}

TEST_F(ServiceListTest, ShortLinesAndOtherShapesDoNotMatch) {
    ServiceList list = ListOf(
        "06FF:00C00000:002F:000\nToo short\n"
        "06FF:00C00000:002F:0001\nExact length\n"
        "12345:00C00000:002F:0001:0:0\nWide\n");
    EXPECT_EQ(list.ServiceNameOf("06FF:00C00000:002F:0001"), "Exact length");
    EXPECT_EQ(list.ServiceNameOf("12345:00C00000:002F:0001"), "Wide");
    EXPECT_EQ(list.ServiceNameOf("2345:00C00000:002F:0001"), std::nullopt);
}

TEST_F(ServiceListTest, MatchOnLastLineIsAnIndexError) {
    ServiceList list = ListOf("06FF:00C00000:002F:0001:1:0\nName\n06FF:00C00000:002F:0001\n");
    try {
        list.ServiceNameOf("06FF:00C00000:002F:0001");
        FAIL() << "no error";
    } catch (const EStringListError& e) {
        EXPECT_EQ(e.Message(), "List index out of bounds (3)");
    }
}

TEST_F(ServiceListTest, AgreesWithALiteralScan) {
    // A list with repeated keys in mixed case, names that look like keys and short lines.
    std::string text;
    for (int i = 0; i < 300; ++i) {
        char line[64];
        std::snprintf(line, sizeof line,
                      (i % 3 == 0) ? "%04x:%08x:%04x:%04x:1:0\n" : "%04X:%08X:%04X:%04X:1:0\n",
                      i % 97, 0xC00000, i % 5, 1);
        text += line;
        text += (i % 7 == 0) ? std::string(line).substr(0, 23) + "\n"
                             : "Name " + std::to_string(i) + "\n";
    }
    text += "tail\n";
    ServiceList list = ListOf(text);
    const std::vector<std::string> lines = SplitLines(text);
    for (int sid = 0; sid < 100; ++sid) {
        for (int tsid = 0; tsid < 6; ++tsid) {
            char key[32];
            std::snprintf(key, sizeof key, "%04X:%08X:%04X:%04X", sid, 0xC00000, tsid, 1);
            std::optional<std::size_t> last;
            for (std::size_t j = 0; j < lines.size(); ++j) {
                if (StartsWithNoCase(lines[j], key)) last = j;
            }
            SCOPED_TRACE(key);
            if (last) {
                EXPECT_EQ(list.ServiceNameOf(key), ConvertServiceName(lines[*last + 1]));
            } else {
                EXPECT_EQ(list.ServiceNameOf(key), std::nullopt);
            }
        }
    }
}

}  // namespace
}  // namespace tapir::boxfiles
