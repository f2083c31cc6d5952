// Loads the real receiver file sets (settings collections and receivers' own files of
// several eras) and checks what a user would see: bouquets, channels, names and timers.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "box_fixture.h"
#include "boxfiles/box_reader.h"
#include "boxfiles/text_lines.h"
#include "boxfiles/timer_file.h"
#include "boxfiles/timer_writer.h"
#include "platform/clock.h"
#include "platform/date_time.h"

namespace tapir::boxfiles {
namespace {

using platform::EncodeDateTime;

std::string RealDataDir() {
    if (const char* env = std::getenv("TAPIR_REAL_TESTDATA"); env != nullptr && *env != 0) {
        return std::string(env) + "/";
    }
    return std::string(TAPIR_SOURCE_DIR) + "/../shared/testdata/real/";
}

// A small well-formedness check of the timer lists we write: balanced elements, quoted
// attributes, no raw '<' or stray '&' in values, and valid UTF-8 throughout.
bool WellFormedXml(const std::string& text, std::string* why) {
    std::vector<std::string> open;
    std::size_t i = 0;
    auto fail = [&](const std::string& reason) {
        *why = reason + " at byte " + std::to_string(i);
        return false;
    };
    auto name_at = [&](std::size_t& p) {
        const std::size_t start = p;
        while (p < text.size() &&
               (std::isalnum(static_cast<unsigned char>(text[p])) || text[p] == '_' ||
                text[p] == ':' || text[p] == '-' || text[p] == '.')) {
            ++p;
        }
        return text.substr(start, p - start);
    };
    auto reference_ok = [&](std::size_t p) {
        const std::size_t semi = text.find(';', p);
        if (semi == std::string::npos || semi == p + 1) return false;
        const std::string body = text.substr(p + 1, semi - p - 1);
        if (body[0] == '#') return body.size() > 1;
        for (char c : body) {
            if (!std::isalnum(static_cast<unsigned char>(c))) return false;
        }
        return true;
    };
    if (ConvertServiceName(text).empty() && !text.empty() && text.find('?') == std::string::npos) {
        return fail("not UTF-8");
    }
    if (!text.starts_with("<?xml ")) return fail("no declaration");
    i = text.find("?>") + 2;
    bool root_seen = false;
    while (i < text.size()) {
        if (text[i] != '<') {
            if (text[i] == '&' && !reference_ok(i)) return fail("stray &");
            if (open.empty() && !std::isspace(static_cast<unsigned char>(text[i])))
                return fail("text outside the root");
            ++i;
            continue;
        }
        ++i;
        if (i < text.size() && text[i] == '/') {
            ++i;
            const std::string name = name_at(i);
            if (open.empty() || open.back() != name) return fail("unbalanced </" + name + ">");
            open.pop_back();
            if (i >= text.size() || text[i] != '>') return fail("bad end tag");
            ++i;
            continue;
        }
        const std::string name = name_at(i);
        if (name.empty()) return fail("no element name");
        if (open.empty() && root_seen) return fail("second root");
        root_seen = true;
        std::vector<std::string> attributes;
        while (true) {
            while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
            if (i >= text.size()) return fail("unterminated tag");
            if (text[i] == '>') {
                open.push_back(name);
                ++i;
                break;
            }
            if (text.compare(i, 2, "/>") == 0) {
                i += 2;
                break;
            }
            const std::string attribute = name_at(i);
            if (attribute.empty() || i + 1 >= text.size() || text[i] != '=' || text[i + 1] != '"')
                return fail("bad attribute");
            for (const std::string& seen : attributes) {
                if (seen == attribute) return fail("duplicate attribute " + attribute);
            }
            attributes.push_back(attribute);
            i += 2;
            while (i < text.size() && text[i] != '"') {
                if (text[i] == '<') return fail("< in a value");
                if (text[i] == '&' && !reference_ok(i)) return fail("stray & in a value");
                ++i;
            }
            if (i >= text.size()) return fail("unterminated value");
            ++i;
        }
    }
    if (!open.empty()) return fail("unclosed <" + open.back() + ">");
    return root_seen || fail("no root");
}

struct TimerRow {
    std::string zender, name, description, afterevent, serviceref, eit, repeated, disabled,
        justplay;
    int64_t begin_ms, end_ms;
    bool operator==(const TimerRow&) const = default;
};

class RealFilesTest : public testing::BoxFilesTest {
  protected:
    void SetUp() override {
        BoxFilesTest::SetUp();
        real_ = RealDataDir();
        if (!std::filesystem::is_directory(real_)) {
            // A CI run must not pass by not looking.
            if (const char* ci = std::getenv("CI"); ci != nullptr && *ci != 0) {
                FAIL() << "real receiver files not found at " << real_;
            }
            GTEST_SKIP() << "real receiver files not found at " << real_
                         << " (set TAPIR_REAL_TESTDATA to their folder)";
        }
        conversion_.UTC_Offset = 1;
    }

    void Load(const std::string& set) {
        CopyFrom(real_ + set);
        ReadBoxFiles(dir_, tables_, conversion_, LogSink());
    }

    struct Bouquet {
        std::string name;
        int type;
        std::vector<std::string> channels;
    };

    std::vector<Bouquet> Bouquets() {
        std::vector<Bouquet> result;
        for (tables_.Bouquet.First(); !tables_.Bouquet.Eof(); tables_.Bouquet.Next()) {
            Bouquet b{tables_.Bouquet.FieldByName("Bouquet").AsString(),
                      tables_.Bouquet.FieldByName("Type").AsInteger(),
                      {}};
            for (tables_.Zenders.First(); !tables_.Zenders.Eof(); tables_.Zenders.Next()) {
                b.channels.push_back(tables_.Zenders.FieldByName("Zender").AsString());
            }
            result.push_back(std::move(b));
        }
        return result;
    }

    static std::size_t ChannelCount(const std::vector<Bouquet>& bouquets) {
        std::size_t n = 0;
        for (const Bouquet& b : bouquets) n += b.channels.size();
        return n;
    }

    static int CountOfType(const std::vector<Bouquet>& bouquets, int type) {
        int n = 0;
        for (const Bouquet& b : bouquets) n += b.type == type ? 1 : 0;
        return n;
    }

    std::vector<TimerRow> TimerRows() {
        std::vector<TimerRow> rows;
        engine::TSQLMemTable& t = tables_.Timers;
        for (t.First(); !t.Eof(); t.Next()) {
            rows.push_back(
                {t.FieldByName("Zender").AsString(), t.FieldByName("Name").AsString(),
                 t.FieldByName("Description").AsString(), t.FieldByName("Afterevent").AsString(),
                 t.FieldByName("Serviceref").AsString(), t.FieldByName("Eit").AsString(),
                 t.FieldByName("RepeatedOrg").AsString(), t.FieldByName("Disabled").AsString(),
                 t.FieldByName("Justplay").AsString(),
                 platform::DateTimeToMilliseconds(t.FieldByName("Begin").AsDateTime()),
                 platform::DateTimeToMilliseconds(t.FieldByName("End").AsDateTime())});
        }
        return rows;
    }

    // Writes the timers, checks the file, reads it back into fresh tables (same bouquets)
    // and returns the written text.
    std::string WriteAndReread(const std::vector<TimerRow>& expected) {
        WriteTimersFile(dir_ + "timers.new", tables_.Timers, conversion_, LogSink());
        const std::string written = Read("timers.new");
        std::string why;
        EXPECT_TRUE(WellFormedXml(written, &why)) << why << "\n" << written;
        std::filesystem::copy_file(dir_ + "timers.new", dir_ + "timers.xml",
                                   std::filesystem::copy_options::overwrite_existing);
        tables_.DropAll();
        tables_.OpenAll();
        ReadBoxFiles(dir_, tables_, conversion_, LogSink());
        EXPECT_EQ(TimerRows(), expected);
        return written;
    }

    std::string real_;
};

TEST_F(RealFilesTest, BlackPoleSettings) {
    Load("BlackPole_bp-settings-khavari");
    const auto bouquets = Bouquets();
    ASSERT_EQ(bouquets.size(), 26u);
    EXPECT_EQ(CountOfType(bouquets, 1), 25);
    EXPECT_EQ(CountOfType(bouquets, 2), 1);
    EXPECT_EQ(ChannelCount(bouquets), 2632u);
    EXPECT_EQ(bouquets[0].name, "Persian");
    ASSERT_EQ(bouquets[0].channels.size(), 67u);
    EXPECT_EQ(bouquets[0].channels[1], "Manoto 1");
    EXPECT_EQ(bouquets[1].name, "IRIB Iran");
    EXPECT_EQ(bouquets[1].channels[1], "IRIB-TV1");
    // Names are not trimmed.
    EXPECT_EQ(bouquets[2].name, "Cartoons HD");
    EXPECT_EQ(bouquets[2].channels[1], " Duck TV HD");
    EXPECT_EQ(tables_.Timers.RecordCount(), 0);
}

TEST_F(RealFilesTest, JancecSettingsWithLowerCaseReferences) {
    Load("jancec_icesat-e2settings");
    const auto bouquets = Bouquets();
    ASSERT_EQ(bouquets.size(), 77u);
    EXPECT_EQ(CountOfType(bouquets, 1), 56);
    EXPECT_EQ(CountOfType(bouquets, 2), 21);
    EXPECT_EQ(ChannelCount(bouquets), 15208u);
    EXPECT_EQ(bouquets[0].name, "1. FAVORIETEN (TV)");
    ASSERT_EQ(bouquets[0].channels.size(), 405u);
    EXPECT_EQ(bouquets[0].channels[0], "NED1 HD");
    EXPECT_EQ(bouquets[2].name, "CanalDigitaal");
    EXPECT_EQ(bouquets[2].channels[3], "RTL4");
    std::size_t named = 0;
    for (const auto& b : bouquets)
        for (const auto& c : b.channels) named += c.empty() ? 0 : 1;
    EXPECT_EQ(named, 14491u);
}

TEST_F(RealFilesTest, Raider05ReceiverWithItsTimer) {
    platform::ScopedClockPin clock(EncodeDateTime(2011, 12, 1, 12, 0, 0));
    Load("Raider05_enigma2pc");
    const auto bouquets = Bouquets();
    ASSERT_EQ(bouquets.size(), 6u);  // the empty radio favourites are removed
    EXPECT_EQ(CountOfType(bouquets, 1), 5);
    EXPECT_EQ(CountOfType(bouquets, 2), 1);
    EXPECT_EQ(ChannelCount(bouquets), 1827u);
    EXPECT_EQ(bouquets[0].name, "Favourites (TV)");
    EXPECT_EQ(
        std::vector<std::string>(bouquets[0].channels.begin(), bouquets[0].channels.begin() + 3),
        (std::vector<std::string>{"Das Erste HD", "ZDF HD", "hr-fernsehen"}));

    const auto rows = TimerRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].zender, "arte");
    EXPECT_EQ(rows[0].name, "360\xC2\xB0 - Geo Reportage");
    EXPECT_EQ(rows[0].afterevent, "auto");
    EXPECT_EQ(rows[0].eit, "45465");
    // 1322936820 = 2011-12-03 18:27 UTC, shown one hour later.
    EXPECT_EQ(rows[0].begin_ms,
              platform::DateTimeToMilliseconds(EncodeDateTime(2011, 12, 3, 19, 27, 0)));

    const std::string written = WriteAndReread(rows);
    // Written back as read, the tags attribute the table has no column for included.
    EXPECT_NE(written.find("<timer begin=\"1322936820\" end=\"1322940000\" "
                           "serviceref=\"1:0:1:7034:41B:1:C00000:0:0:0:\" repeated=\"0\" "
                           "name=\"360\xC2\xB0 - Geo Reportage\" description=\"Guano - "
                           "Schatzinseln und Vogeldreck\" afterevent=\"auto\" eit=\"45465\" "
                           "tags=\"\" disabled=\"0\" justplay=\"0\">\n</timer>\r\n"),
              std::string::npos)
        << written;
}

TEST_F(RealFilesTest, Raider05TimerIsDroppedOnceItIsOld) {
    platform::ScopedClockPin clock(EncodeDateTime(2026, 12, 1, 12, 0, 0));
    Load("Raider05_enigma2pc");
    EXPECT_EQ(tables_.Timers.RecordCount(), 0);
}

TEST_F(RealFilesTest, CurrentImageWithIndentedTimerAndLogLines) {
    platform::ScopedClockPin clock(EncodeDateTime(2024, 11, 7, 12, 0, 0));
    Load("dekoderymailZgemma_enigma2-update");
    const auto bouquets = Bouquets();
    ASSERT_EQ(bouquets.size(), 20u);
    EXPECT_EQ(CountOfType(bouquets, 2), 1);
    EXPECT_EQ(ChannelCount(bouquets), 5727u);
    EXPECT_EQ(bouquets[0].name, "POLSKIE ALL");
    EXPECT_EQ(bouquets[0].channels[0], "TVP 1 HD");
    EXPECT_EQ(bouquets[1].channels[0], "HBO HD");

    const auto rows = TimerRows();
    ASSERT_EQ(rows.size(), 1u);  // the <log> lines and autotimer.xml add nothing
    EXPECT_EQ(rows[0].name, "Ojciec Mateusz 32 (odc. 2)");
    // The service is only in the last TV bouquet; it is named all the same.
    EXPECT_EQ(rows[0].zender, "TVP 1 HD");
    // The field holds the start of the description, without splitting a character; the
    // file gets the whole of it back.
    const std::string full =
        "Policjanci badaj\xC4\x85 spraw\xC4\x99 kradzie\xC5\xBCy laptopa, kt\xC3\xB3ra";
    EXPECT_GE(rows[0].description.size(), 40u);
    EXPECT_EQ(full.rfind(rows[0].description, 0), 0u) << rows[0].description;
    const std::string written = WriteAndReread(rows);
    EXPECT_NE(written.find("description=\"" + full), std::string::npos);
}

TEST_F(RealFilesTest, EarlyDefaultSetWithoutRadioIndexStops) {
    const std::string set = real_ + "OpenPLi_enigma2/2005-10-29_f55ce10a";
    CopyFrom(set);
    const BoxReadReport report = ReadBoxFiles(dir_, tables_, conversion_, LogSink());
    EXPECT_EQ(report.channel_error, "Cannot open file " + dir_ + "bouquets.radio");
    EXPECT_TRUE(report.timers_complete);
    const auto bouquets = Bouquets();
    ASSERT_EQ(bouquets.size(), 4u);
    EXPECT_EQ(ChannelCount(bouquets), 116u);
    EXPECT_EQ(bouquets[0].name, "Favourites (TV)");
    EXPECT_EQ(bouquets[0].channels[0], "Das Erste");
    EXPECT_EQ(bouquets[1].name, "ORF");
    EXPECT_EQ(bouquets[1].channels[1], "ORF1");
}

TEST_F(RealFilesTest, SampleTimersOfTheEarlySoftware) {
    // The sample list: tab-indented, self-closing, attributes in alphabetical order and
    // several missing. Read with the channels of the same era.
    platform::ScopedClockPin clock(EncodeDateTime(2005, 11, 8, 12, 0, 0));
    CopyFrom(real_ + "OpenPLi_enigma2/2005-10-29_f55ce10a");
    CopyFrom(real_ + "OpenPLi_enigma2/2005-11-08_86ea09d8");
    Write("bouquets.radio", "");
    ReadBoxFiles(dir_, tables_, conversion_, LogSink());
    const auto rows = TimerRows();
    ASSERT_EQ(rows.size(), 1u);  // the 1970 one ended long ago
    EXPECT_EQ(rows[0].zender, "Das Erste");
    EXPECT_EQ(rows[0].name, "");
    EXPECT_EQ(rows[0].description, "instant record");
    EXPECT_EQ(rows[0].repeated, "0");
    const std::string written = WriteAndReread(rows);
    EXPECT_NE(written.find("<timer begin=\"1131390236\" description=\"instant record\" "
                           "end=\"1131490236\" serviceref=\"1:0:1:6DCA:44D:1:C00000:0:0:0:\"/>"),
              std::string::npos)
        << written;
}

// Every set that holds a timer list, with the list's text (the pasted fragment wrapped in
// its list element).
std::vector<std::pair<std::string, std::string>> RealTimerLists(const std::string& real) {
    std::vector<std::pair<std::string, std::string>> lists;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(real)) {
        const std::string name = entry.path().filename().string();
        if (name != "timers.xml" && name != "timers.xml.fragment") continue;
        std::string text = ReadWholeFile(entry.path().string());
        if (name != "timers.xml") {
            text = "<?xml version=\"1.0\" ?>\n<timers>\n" + text + "</timers>\n";
        }
        lists.emplace_back(entry.path().parent_path().string(), std::move(text));
    }
    std::sort(lists.begin(), lists.end());
    return lists;
}

TEST_F(RealFilesTest, EveryRealTimerListGoesBackAsItCame) {
    // Early enough that no timer counts as ended long ago.
    platform::ScopedClockPin clock(EncodeDateTime(1970, 1, 1, 12, 0, 0));
    const auto lists = RealTimerLists(real_);
    ASSERT_GE(lists.size(), 4u);
    for (const auto& [set, text] : lists) {
        SCOPED_TRACE(set);
        tables_.DropAll();
        tables_.OpenAll();
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directory(dir_);
        CopyFrom(set);
        Write("timers.xml", text);
        const BoxReadReport report = ReadBoxFiles(dir_, tables_, conversion_, LogSink());
        ASSERT_TRUE(report.timers_complete) << report.timer_error;
        const TimerList original = ParseTimerList(text);
        ASSERT_FALSE(original.error);
        ASSERT_EQ(tables_.Timers.RecordCount(), static_cast<int>(original.timers.size()));

        WriteTimersFile(dir_ + "timers.new", tables_.Timers, conversion_, LogSink());
        const std::string written = Read("timers.new");
        std::string why;
        EXPECT_TRUE(WellFormedXml(written, &why)) << why;
        const TimerList back = ParseTimerList(written);
        ASSERT_FALSE(back.error);
        EXPECT_EQ(back.timers, original.timers);
        // The files are byte-exact copies of the boxes' own: each of their element lines
        // is found as it stands in what we write.
        if (!set.ends_with("issue2853")) {
            for (const std::string& line : SplitLines(text)) {
                const std::string_view element = TrimControl(line);
                if (element.empty() || element.starts_with("<?xml")) continue;
                EXPECT_NE(written.find(element), std::string::npos) << element;
            }
        }

        // One name edited through the table: only that attribute changes.
        tables_.Timers.First();
        const int origin = tables_.Timers.FieldByName("Origin").AsInteger();
        tables_.Timers.Edit();
        tables_.Timers.FieldByName("Name").SetAsString("Edited & \"quoted\"");
        tables_.Timers.Post();
        WriteTimersFile(dir_ + "timers.new", tables_.Timers, conversion_, LogSink());
        const TimerList edited = ParseTimerList(Read("timers.new"));
        ASSERT_EQ(edited.timers.size(), original.timers.size());
        for (std::size_t i = 0; i < original.timers.size(); ++i) {
            TimerElement expected = original.timers[i];
            if (static_cast<int>(i) + 1 == origin) {
                expected.Set("name", "Edited & \"quoted\"");
            }
            EXPECT_EQ(edited.timers[i], expected) << i;
        }
    }
}

TEST_F(RealFilesTest, ReceiverDefaultFavouritesWithColonEntries) {
    CopyFrom(real_ + "OpenPLi_enigma2/2005-10-29_f55ce10a");
    CopyFrom(real_ + "OpenPLi_enigma2/2007-04-20_3e051134");
    Write("bouquets.tv", "#SERVICE: 1:7:1:0:0:0:0:0:0:0:userbouquet.favourites.tv\n");
    Write("bouquets.radio", "");
    ReadBoxFiles(dir_, tables_, conversion_, LogSink());
    const auto bouquets = Bouquets();
    ASSERT_EQ(bouquets.size(), 1u);
    EXPECT_EQ(bouquets[0].name, "Favourites (TV)");
    EXPECT_EQ(bouquets[0].channels[0], "Das Erste");
    EXPECT_GT(bouquets[0].channels.size(), 10u);
}

}  // namespace
}  // namespace tapir::boxfiles
