// libFuzzer target: a receiver folder is built from the input, read, its timer list
// written and read again; every timer read the first time must come back equal, and what
// is written must always be a well-formed timer list. The box's current list for a merge
// is taken from the input too, so the merge sees the same odd material.
//
// Input layout: the parts of the input separated by the line "#FILE\n" are, in order,
// timers.xml, lamedb, bouquets.tv, bouquets.radio and userbouquet.a.tv; missing parts are
// missing files. The first part also serves as the box's current timer list.

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "boxfiles/box_errors.h"
#include "boxfiles/box_reader.h"
#include "boxfiles/box_tables.h"
#include "boxfiles/text_lines.h"
#include "boxfiles/timer_file.h"
#include "boxfiles/timer_writer.h"
#include "engine/table/field.h"
#include "platform/clock.h"
#include "platform/date_time.h"

namespace {

namespace tb = tapir::boxfiles;

const std::string& Folder() {
    static const std::string folder = [] {
        char pattern[] = "/tmp/tapir-fuzz-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            std::abort();
        }
        return std::string(pattern) + "/";
    }();
    return folder;
}

void WriteFile(const std::string& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

std::vector<std::string_view> Parts(std::string_view input) {
    std::vector<std::string_view> parts;
    constexpr std::string_view kSeparator = "#FILE\n";
    while (true) {
        const std::size_t at = input.find(kSeparator);
        parts.push_back(input.substr(0, at));
        if (at == std::string_view::npos) {
            return parts;
        }
        input.remove_prefix(at + kSeparator.size());
    }
}

// One row as the user would see it, with the timer it refers to.
struct RowRead {
    std::vector<tb::TimerFieldValue> values;
    std::string zender;
    tb::TimerElement timer;
    bool operator==(const RowRead&) const = default;
};

std::vector<RowRead> Rows(tb::BoxTables& tables) {
    std::vector<RowRead> rows;
    auto& timers = tables.Timers;
    for (timers.First(); !timers.Eof(); timers.Next()) {
        RowRead row{tb::TimerRowValues(timers), timers.FieldByName("Zender").AsString(), {}};
        const int origin = timers.FieldByName("Origin").AsInteger();
        if (origin < 1 || static_cast<std::size_t>(origin) > tables.TimersRead.timers.size()) {
            std::abort();  // every row read refers to its timer
        }
        row.timer = tables.TimersRead.timers[static_cast<std::size_t>(origin - 1)];
        rows.push_back(std::move(row));
    }
    return rows;
}

// The same rows, allowing timers with equal keys (begin and end) to come in another order:
// the index keeps no order among equal keys.
bool SameRows(const std::vector<RowRead>& first, const std::vector<RowRead>& second) {
    if (first.size() != second.size()) {
        return false;
    }
    std::vector<bool> used(second.size(), false);
    for (const RowRead& row : first) {
        bool found = false;
        for (std::size_t i = 0; i < second.size() && !found; ++i) {
            if (!used[i] && second[i] == row) {
                used[i] = true;
                found = true;
            }
        }
        if (!found) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& folder = Folder();
    static const char* const kNames[] = {"timers.xml", "lamedb", "bouquets.tv", "bouquets.radio",
                                         "userbouquet.a.tv"};
    for (const char* name : kNames) {
        std::filesystem::remove(folder + name);
    }
    const std::vector<std::string_view> parts =
        Parts(std::string_view(reinterpret_cast<const char*>(data), size));
    for (std::size_t i = 0; i < parts.size() && i < std::size(kNames); ++i) {
        WriteFile(folder + kNames[i], parts[i]);
    }

    tapir::platform::ScopedClockPin clock(tapir::platform::EncodeDateTime(2024, 6, 1, 12, 0, 0));
    tapir::platform::TimeConversionSettings conversion;
    conversion.UTC_Auto = false;
    conversion.UTC_Offset = 1;

    tb::BoxTables tables;
    tables.DropAll();
    tables.OpenAll();
    tb::ReadBoxFiles(folder, tables, conversion, {});
    const std::vector<RowRead> first = Rows(tables);

    const std::string written_path = folder + "timers.new";
    tb::WriteTimersFile(written_path, tables.Timers, conversion, {});
    const std::string written = tb::ReadWholeFile(written_path);
    if (tb::ParseTimerList(written).error) {
        std::fprintf(stderr, "written list is not well-formed:\n%s\n", written.c_str());
        std::abort();
    }

    // The merge with the box's list from the input: it may refuse a broken list, never
    // produce one.
    try {
        tb::WriteTimersFile(written_path, tables.Timers, conversion, {}, parts[0]);
        if (tb::ParseTimerList(tb::ReadWholeFile(written_path)).error) {
            std::abort();
        }
    } catch (const tb::ETimerListError&) {
    }

    WriteFile(folder + "timers.xml", written);
    tables.DropAll();
    tables.OpenAll();
    const tb::BoxReadReport again = tb::ReadBoxFiles(folder, tables, conversion, {});
    if (!again.timers_complete) {
        std::fprintf(stderr, "written list not read back: %s\n", again.timer_error.c_str());
        std::abort();
    }
    const std::vector<RowRead> second = Rows(tables);
    if (!SameRows(first, second)) {
        std::fprintf(stderr, "timers changed on the way: %zu rows, then %zu\n", first.size(),
                     second.size());
        std::abort();
    }
    tables.DropAll();
    return 0;
}
