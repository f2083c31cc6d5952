#include "boxfiles/timer_writer.h"

#include <cstdio>
#include <memory>

#include "boxfiles/box_errors.h"
#include "engine/table/field.h"

namespace tapir::boxfiles {

std::vector<TimerFileRow> TimerFileRowsOf(engine::TSQLMemTable& timers,
                                          const platform::TimeConversionSettings& conversion,
                                          const platform::LogSink& log) {
    std::vector<TimerFileRow> rows;
    auto text = [&](const char* field) { return timers.FieldByName(field).AsString(); };
    auto seconds = [&](const char* field) {
        return SecondsOfUtc(
            platform::LocalToUtc(timers.FieldByName(field).AsDateTime(), conversion, log));
    };
    for (timers.First(); !timers.Eof(); timers.Next()) {
        TimerFileRow row;
        row.begin = seconds("Begin");
        row.end = seconds("End");
        row.serviceref = text("Serviceref");
        row.repeated = text("RepeatedOrg");
        row.name = text("Name");
        row.description = text("Description");
        row.afterevent = text("Afterevent");
        row.eit = text("Eit");
        row.disabled = text("Disabled");
        row.justplay = text("Justplay");
        rows.push_back(std::move(row));
    }
    return rows;
}

void WriteTimersFile(const std::string& path, engine::TSQLMemTable& timers,
                     const platform::TimeConversionSettings& conversion,
                     const platform::LogSink& log) {
    const std::string text = TimersFileText(TimerFileRowsOf(timers, conversion, log));
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        throw EFCreateError(path);
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    const bool closed = std::fclose(file.release()) == 0;
    if (!written || !closed) {
        throw EWriteError();
    }
}

}  // namespace tapir::boxfiles
