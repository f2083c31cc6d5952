// Reading a large receiver setup: about 20 000 services, 40 bouquets with 6 000 channel
// entries and 500 timers. Times ReadBoxFiles against a reference reading in the same run
// that scans the whole service list for every channel and walks every channel row for
// every timer, and checks that both give the same tables.

#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "boxfiles/bouquet_lines.h"
#include "boxfiles/box_reader.h"
#include "boxfiles/box_tables.h"
#include "boxfiles/service_list.h"
#include "boxfiles/text_lines.h"
#include "boxfiles/timer_file.h"
#include "engine/table/field.h"
#include "platform/clock.h"
#include "platform/date_time.h"

namespace tb = tapir::boxfiles;
namespace tp = tapir::platform;

namespace {

constexpr int kServices = 20000;
constexpr int kBouquets = 40;
constexpr int kEntriesPerBouquet = 150;
constexpr int kTimers = 500;

struct Service {
    unsigned sid, ns, tsid, onid, type;
};

std::string Reference(const Service& s) {
    char text[96];
    std::snprintf(text, sizeof text, "1:0:%X:%X:%X:%X:%X:0:0:0:", s.type, s.sid, s.tsid, s.onid,
                  s.ns);
    return text;
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Builds the setup in `dir`; returns the services used.
void BuildSetup(const std::string& dir) {
    std::mt19937 random(20261209);
    std::vector<Service> services;
    std::string lamedb = "eDVB services /4/\ntransponders\n";
    for (unsigned t = 0; t < 400; ++t) {
        char line[64];
        std::snprintf(line, sizeof line, "%08x:%04x:%04x\n\ts %u:27500000:0:2:192:2:0\n/\n",
                      0x00c00000u + (t % 4) * 0x10000u, 1000 + t, 1 + t % 3, 10700000 + t * 100);
        lamedb += line;
    }
    lamedb += "end\nservices\n";
    for (int i = 0; i < kServices; ++i) {
        const unsigned t = random() % 400;
        Service s{static_cast<unsigned>(1 + i), 0x00c00000u + (t % 4) * 0x10000u, 1000 + t,
                  1 + t % 3, (i % 5 == 0) ? 2u : 1u};
        services.push_back(s);
        char line[64];
        std::snprintf(line, sizeof line, "%04x:%08x:%04x:%04x:%u:0\n", s.sid, s.ns, s.tsid, s.onid,
                      s.type);
        lamedb += line;
        lamedb += "Channel " + std::to_string(i) + (i % 50 == 0 ? " \xC2\x86HD\xC2\x87" : "") +
                  "\np:Provider " + std::to_string(i % 37) + ",c:000064\n";
    }
    lamedb += "end\nHave a lot of bugs!\n";
    WriteFile(dir + "lamedb", lamedb);

    std::string tv = "#NAME User - bouquets (TV)\n";
    std::string radio = "#NAME User - bouquets (Radio)\n";
    std::vector<std::string> refs;
    for (int b = 0; b < kBouquets; ++b) {
        const bool is_radio = b >= 36;
        const std::string file =
            "userbouquet.b" + std::to_string(b) + (is_radio ? ".radio" : ".tv");
        (is_radio ? radio : tv) +=
            "#SERVICE 1:7:1:0:0:0:0:0:0:0:FROM BOUQUET \"" + file + "\" ORDER BY bouquet\n";
        std::string text = "#NAME Bouquet " + std::to_string(b) + "\n";
        for (int e = 0; e < kEntriesPerBouquet; ++e) {
            if (e % 40 == 0) {
                text +=
                    "#SERVICE 1:64:0:0:0:0:0:0:0:0::--- Group ---\n#DESCRIPTION --- Group ---\n";
                continue;
            }
            Service s = services[random() % services.size()];
            if (e % 97 == 0) s.sid += 0x10000;  // not in the list
            std::string ref = Reference(s);
            if (e % 3 == 0) {
                for (char& c : ref)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
            text += "#SERVICE " + ref + "\n";
            refs.push_back(ref);
        }
        WriteFile(dir + file, text);
    }
    WriteFile(dir + "bouquets.tv", tv);
    WriteFile(dir + "bouquets.radio", radio);

    std::string timers = "<?xml version=\"1.0\" ?>\n<timers>\n";
    const int64_t base = 1800000000;
    for (int i = 0; i < kTimers; ++i) {
        const int64_t begin = base + static_cast<int64_t>(random() % (90 * 86400));
        timers += "\t<timer begin=\"" + std::to_string(begin) + "\" end=\"" +
                  std::to_string(begin + 3600) + "\" serviceref=\"" + refs[random() % refs.size()] +
                  "\" repeated=\"" + std::to_string(i % 25 == 0 ? 31 : 0) + "\" name=\"Timer " +
                  std::to_string(i) + "\" description=\"Recording number " + std::to_string(i) +
                  "\" afterevent=\"auto\" eit=\"" + std::to_string(i) +
                  "\" disabled=\"0\" justplay=\"0\">\n\t</timer>\n";
    }
    timers += "</timers>\n";
    WriteFile(dir + "timers.xml", timers);
}

// The service-name lookup as the reading steps state it: every line is compared and the
// last matching line decides.
std::optional<std::string> LiteralServiceNameOf(const std::vector<std::string>& lines,
                                                const std::string& key) {
    std::optional<std::size_t> match;
    for (std::size_t j = 0; j < lines.size(); ++j) {
        if (tb::StartsWithNoCase(lines[j], key)) match = j;
    }
    if (!match) return std::nullopt;
    return tb::ConvertServiceName(lines.at(*match + 1));
}

void SetText(tapir::engine::TSQLMemTable& t, const char* field, const std::string& value,
             std::size_t width) {
    t.FieldByName(field).SetAsString(tb::CutToWidth(value, width));
}

// The reference reading: the same steps, with a full scan of the service list per channel
// and a walk over all channel rows per timer.
void LiteralReadBoxFiles(const std::string& dir, tb::BoxTables& tables,
                         const tp::TimeConversionSettings& conversion) {
    const std::vector<std::string> service_lines = tb::LoadLines(tb::ServiceListPath(dir));
    int type = 1;
    for (const char* index : {"bouquets.tv", "bouquets.radio"}) {
        for (const std::string& line : tb::LoadLines(dir + index)) {
            const auto file = tb::BouquetFileOfIndexLine(line);
            if (!file) continue;
            tables.Bouquet.Append();
            for (const std::string& entry : tb::LoadLines(dir + *file)) {
                tables.Bouquet.FieldByName("Type").SetAsInteger(type);
                if (const auto name = tb::BouquetNameOfLine(entry)) {
                    SetText(tables.Bouquet, "Bouquet", *name, 20);
                }
                if (const auto ref = tb::ChannelReferenceOfLine(entry)) {
                    tables.Zenders.Append();
                    if (tables.Zenders.FieldByName("Id").IsNull()) {
                        tables.Zenders.FieldByName("Id").SetAsInteger(
                            tables.Bouquet.FieldByName("Id").AsInteger());
                    }
                    SetText(tables.Zenders, "Service", tb::AsciiUpper(*ref), 40);
                    if (const auto zender =
                            LiteralServiceNameOf(service_lines, tb::ServiceKeyOf(*ref))) {
                        SetText(tables.Zenders, "Zender", *zender, 20);
                    }
                }
            }
        }
        ++type;
    }
    if (tables.Bouquet.State() == tapir::engine::dsInsert) tables.Bouquet.Post();
    if (tables.Zenders.State() == tapir::engine::dsInsert) tables.Zenders.Post();
    tables.Bouquet.First();
    while (!tables.Bouquet.Eof()) {
        if (tables.Zenders.RecordCount() == 0) {
            tables.Bouquet.Delete();
        } else {
            tables.Bouquet.Next();
        }
    }
    tables.Bouquet.First();

    auto saved = std::move(tables.Timers.AfterInsert);
    tables.Timers.AfterInsert = nullptr;
    auto& t = tables.Timers;
    for (const std::string& line : tb::LoadLines(dir + "timers.xml")) {
        if (!tb::IsTimerLine(line)) continue;
        const tb::TimerLineValues v = tb::ParseTimerLine(line);
        t.Append();
        t.FieldByName("Begin").SetAsDateTime(
            tp::UtcToLocal(tb::UtcOfSeconds(v.begin), conversion, {}));
        t.FieldByName("End").SetAsDateTime(tp::UtcToLocal(tb::UtcOfSeconds(v.end), conversion, {}));
        SetText(t, "Serviceref", v.serviceref, 40);
        SetText(t, "Name", v.name, 40);
        SetText(t, "Description", v.description, 40);
        SetText(t, "Afterevent", v.afterevent, 20);
        t.FieldByName("Eit").SetAsString(std::to_string(v.eit));
        t.FieldByName("RepeatedOrg").SetAsLargeint(v.repeated);
        t.FieldByName("Disabled").SetAsLargeint(v.disabled);
        t.FieldByName("Justplay").SetAsLargeint(v.justplay);
        const std::string ref = t.FieldByName("Serviceref").AsString();
        SetText(t, "Zender", tb::ZenderOfService(tables, ref), 20);
        if (v.repeated == 0 && tp::CompareDateTime(t.FieldByName("End").AsDateTime(),
                                                   tp::IncHour(tp::Now(), -24)) < 0) {
            t.Cancel();
        }
    }
    if (t.State() == tapir::engine::dsInsert) t.Post();
    t.First();
    tables.Timers.AfterInsert = std::move(saved);
    tables.Bouquet.First();
    tables.Zenders.First();
}

// All visible content of the three tables, for comparing two readings.
std::string Snapshot(tb::BoxTables& tables) {
    std::string text;
    for (tables.Bouquet.First(); !tables.Bouquet.Eof(); tables.Bouquet.Next()) {
        text += "B " + tables.Bouquet.FieldByName("Id").AsString() + " " +
                tables.Bouquet.FieldByName("Bouquet").AsString() + "\n";
        for (tables.Zenders.First(); !tables.Zenders.Eof(); tables.Zenders.Next()) {
            text += " Z " + tables.Zenders.FieldByName("SubId").AsString() + " " +
                    tables.Zenders.FieldByName("Zender").AsString() + " " +
                    tables.Zenders.FieldByName("Service").AsString() + "\n";
        }
    }
    for (tables.Timers.First(); !tables.Timers.Eof(); tables.Timers.Next()) {
        for (const char* f : {"Zender", "Begin", "End", "Name", "Serviceref", "RepeatedOrg"}) {
            text += tables.Timers.FieldByName(f).AsString() + "|";
        }
        text += "\n";
    }
    tables.Bouquet.First();
    tables.Timers.First();
    return text;
}

// Processor time of this process, in milliseconds: the machine is shared, so wall-clock
// figures are printed beside it but the target is judged on processor time.
double CpuMilliseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Wall-clock and processor time of one run of `body`.
struct Timing {
    double wall_ms = 0;
    double cpu_ms = 0;
};

template <typename Body>
Timing Measure(Body&& body) {
    const auto wall_start = std::chrono::steady_clock::now();
    const double cpu_start = CpuMilliseconds();
    body();
    Timing t;
    t.cpu_ms = CpuMilliseconds() - cpu_start;
    t.wall_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wall_start)
            .count();
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    // "--reader-only" runs ReadBoxFiles alone, for profiling.
    const bool reader_only = argc > 1 && std::string(argv[1]) == "--reader-only";
    char pattern[] = "/tmp/tapir-boxbench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = std::string(pattern) + "/";
    BuildSetup(dir);
    tp::ScopedClockPin clock(tp::EncodeDateTime(2027, 1, 1, 12, 0, 0));
    tp::TimeConversionSettings conversion;
    conversion.UTC_Auto = false;
    conversion.UTC_Offset = 1;

    if (reader_only) {
        tb::BoxTables tables;
        tables.DropAll();
        tables.OpenAll();
        const Timing read = Measure([&] { tb::ReadBoxFiles(dir, tables, conversion, {}); });
        std::printf("ReadBoxFiles %.1f ms cpu (%.1f wall)\n", read.cpu_ms, read.wall_ms);
        tables.DropAll();
        std::filesystem::remove_all(dir);
        return 0;
    }

    // Service-name lookups alone: the index against the full scan, over every key used.
    std::vector<std::string> keys;
    for (int b = 0; b < kBouquets; ++b) {
        const std::string file =
            dir + "userbouquet.b" + std::to_string(b) + (b >= 36 ? ".radio" : ".tv");
        for (const std::string& line : tb::LoadLines(file)) {
            if (const auto ref = tb::ChannelReferenceOfLine(line)) {
                keys.push_back(tb::ServiceKeyOf(*ref));
            }
        }
    }
    const std::vector<std::string> lines = tb::LoadLines(tb::ServiceListPath(dir));
    std::vector<std::optional<std::string>> fast;
    const Timing lookup = Measure([&] {
        tb::ServiceList list(lines);
        for (const std::string& key : keys) fast.push_back(list.ServiceNameOf(key));
    });
    std::size_t mismatches = 0;
    const Timing literal_lookup = Measure([&] {
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (LiteralServiceNameOf(lines, keys[i]) != fast[i]) ++mismatches;
        }
    });

    // Whole readings, each on fresh tables.
    std::string fast_tables, literal_tables;
    Timing read, literal_read;
    {
        tb::BoxTables tables;
        tables.DropAll();
        tables.OpenAll();
        read = Measure([&] { tb::ReadBoxFiles(dir, tables, conversion, {}); });
        fast_tables = Snapshot(tables);
        tables.DropAll();
    }
    {
        tb::BoxTables tables;
        tables.DropAll();
        tables.OpenAll();
        literal_read = Measure([&] { LiteralReadBoxFiles(dir, tables, conversion); });
        literal_tables = Snapshot(tables);
        tables.DropAll();
    }
    std::filesystem::remove_all(dir);

    std::printf("boxfiles_bench: %d services, %d bouquets, %zu channel entries, %d timers\n",
                kServices, kBouquets, keys.size(), kTimers);
    std::printf(
        "  service names: index %.1f ms cpu (%.1f wall), full scan %.1f ms cpu (%.1f wall): "
        "%.0fx, %zu differing answers\n",
        lookup.cpu_ms, lookup.wall_ms, literal_lookup.cpu_ms, literal_lookup.wall_ms,
        literal_lookup.cpu_ms / lookup.cpu_ms, mismatches);
    std::printf(
        "  ReadBoxFiles %.1f ms cpu (%.1f wall), reference reading %.1f ms cpu (%.1f wall): "
        "%.1fx faster\n",
        read.cpu_ms, read.wall_ms, literal_read.cpu_ms, literal_read.wall_ms,
        literal_read.cpu_ms / read.cpu_ms);
    const bool same = fast_tables == literal_tables;
    std::printf("  tables identical: %s\n", same ? "yes" : "NO");
    std::printf(
        "  target (< 100 ms and >= 20x faster): %s\n",
        read.cpu_ms < 100.0 && literal_read.cpu_ms / read.cpu_ms >= 20.0 ? "met" : "NOT met");
    return same && mismatches == 0 ? 0 : 1;
}
