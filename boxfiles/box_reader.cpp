#include "boxfiles/box_reader.h"

#include <optional>
#include <string_view>
#include <unordered_map>

#include "boxfiles/bouquet_lines.h"
#include "boxfiles/box_errors.h"
#include "boxfiles/text_lines.h"
#include "boxfiles/timer_file.h"
#include "engine/table/field.h"
#include "platform/clock.h"
#include "platform/date_time.h"

namespace tapir::boxfiles {

namespace {

using engine::TSQLMemDataSet;
using engine::TSQLMemTable;

bool IsEditing(const TSQLMemDataSet& data_set) {
    const auto state = data_set.State();
    return state == engine::dsInsert || state == engine::dsEdit;
}

void PostIfEditing(TSQLMemDataSet& data_set) {
    if (IsEditing(data_set)) {
        data_set.Post();
    }
}

// After an error part-way through a stage: keep what was read, leave browse state.
void SettlePending(TSQLMemDataSet& data_set) noexcept {
    try {
        PostIfEditing(data_set);
    } catch (...) {
        try {
            data_set.Cancel();
        } catch (...) {
        }
    }
}

// Texts go into the fields whole; each field keeps as much as its size holds.
void SetText(TSQLMemDataSet& data_set, std::string_view field, std::string_view value) {
    data_set.FieldByName(field).SetAsString(std::string(value));
}

// Detaches Timers.AfterInsert for the lifetime of the guard.
class AfterInsertDetached {
  public:
    explicit AfterInsertDetached(TSQLMemDataSet& data_set)
        : data_set_(data_set), saved_(std::move(data_set.AfterInsert)) {
        data_set_.AfterInsert = nullptr;
    }
    AfterInsertDetached(const AfterInsertDetached&) = delete;
    AfterInsertDetached& operator=(const AfterInsertDetached&) = delete;
    ~AfterInsertDetached() { data_set_.AfterInsert = std::move(saved_); }

  private:
    TSQLMemDataSet& data_set_;
    TSQLMemDataSet::TDataSetNotifyEvent saved_;
};

void ReadBouquetFile(const std::string& path, int type, ServiceList& services, BoxTables& tables) {
    const std::string text = ReadWholeFile(path);
    TSQLMemTable& bouquet = tables.Bouquet;
    TSQLMemTable& zenders = tables.Zenders;
    engine::TField& bouquet_type = bouquet.FieldByName("Type");
    engine::TField& bouquet_name = bouquet.FieldByName("Bouquet");
    engine::TField& bouquet_id = bouquet.FieldByName("Id");
    engine::TField& zender_id = zenders.FieldByName("Id");
    engine::TField& zender_service = zenders.FieldByName("Service");
    engine::TField& zender_name = zenders.FieldByName("Zender");
    bool type_set = false;
    for (const std::string_view line : SplitLineViews(text)) {
        // Every line of the file stamps the kind; nothing else writes it meanwhile, so
        // once is the same as on every line.
        if (!type_set) {
            bouquet_type.SetAsInteger(type);
            type_set = true;
        }
        if (const auto name = BouquetNameOfLine(line)) {
            bouquet_name.SetAsString(*name);
        }
        if (const auto reference = ChannelReferenceOfLine(line)) {
            zenders.Append();
            if (zender_id.IsNull()) {
                zender_id.SetAsInteger(bouquet_id.AsInteger());
            }
            zender_service.SetAsString(AsciiUpper(*reference));
            const std::string key = ServiceKeyOf(*reference);
            if (const auto zender = services.ServiceNameOf(key)) {
                zender_name.SetAsString(*zender);
            }
        }
    }
}

void ReadBouquets(const std::string& program_dir, ServiceList& services, BoxTables& tables,
                  BoxReadReport& report, const platform::LogSink& log) {
    struct IndexFile {
        const char* name;
        int type;
    };
    for (const IndexFile index : {IndexFile{"bouquets.tv", 1}, IndexFile{"bouquets.radio", 2}}) {
        const std::vector<std::string> lines = LoadLines(program_dir + index.name);
        for (const std::string& line : lines) {
            if (const auto file = BouquetFileOfIndexLine(line)) {
                if (!IsPlainFileName(*file)) {
                    report.refused_bouquet_files.push_back(*file);
                    if (log) {
                        log("Not read: bouquet file \"" + *file + "\" is not a plain file name");
                    }
                    continue;
                }
                tables.Bouquet.Append();
                ReadBouquetFile(program_dir + *file, index.type, services, tables);
            }
        }
    }
    PostIfEditing(tables.Bouquet);
    PostIfEditing(tables.Zenders);

    tables.Bouquet.First();
    while (!tables.Bouquet.Eof()) {
        if (tables.Zenders.RecordCount() == 0) {
            tables.Bouquet.Delete();
        } else {
            tables.Bouquet.Next();
        }
    }
    tables.Bouquet.First();
}

// Walks every channel in bouquet order, then SubId order; `visit` returns true to stop.
template <typename Visit>
void WalkChannels(BoxTables& tables, Visit&& visit) {
    for (tables.Bouquet.First(); !tables.Bouquet.Eof(); tables.Bouquet.Next()) {
        for (tables.Zenders.First(); !tables.Zenders.Eof(); tables.Zenders.Next()) {
            if (visit()) {
                return;
            }
        }
    }
}

// Service -> channel name of the first channel with that service, in the order in which
// ZenderOfService walks; built once so that each timer is looked up in constant time.
std::unordered_map<std::string, std::string> ChannelNamesByService(BoxTables& tables) {
    std::unordered_map<std::string, std::string> names;
    engine::TField& service = tables.Zenders.FieldByName("Service");
    engine::TField& zender = tables.Zenders.FieldByName("Zender");
    WalkChannels(tables, [&] {
        names.try_emplace(service.AsString(), zender.AsString());
        return false;
    });
    return names;
}

bool EndedLongAgo(platform::TDateTime end, platform::TDateTime now) {
    const platform::TDateTime limit = platform::IncHour(now, -24);
    return platform::CompareDateTime(end, limit) < 0;
}

// The local date-time of a timer's seconds, or nullopt when no date-time field can hold
// it once converted.
std::optional<platform::TDateTime> LocalOfSeconds(
    bool valid, int64_t seconds, const platform::TimeConversionSettings& conversion,
    const platform::LogSink& log) {
    if (!valid) {
        return std::nullopt;
    }
    static const platform::TDateTime kFirst = platform::EncodeDateTime(1899, 12, 30, 0, 0, 0);
    static const platform::TDateTime kLast = platform::EncodeDateTime(9999, 12, 31, 23, 59, 59);
    const platform::TDateTime local = platform::UtcToLocal(UtcOfSeconds(seconds), conversion, log);
    if (!(local >= kFirst && local <= kLast)) {
        return std::nullopt;
    }
    return local;
}

void ReadTimers(const std::string& program_dir, BoxTables& tables,
                const platform::TimeConversionSettings& conversion, const platform::LogSink& log) {
    TSQLMemTable& timers = tables.Timers;
    TimersAsRead& as_read = tables.TimersRead;
    AfterInsertDetached detached(timers);
    const std::string path = program_dir + "timers.xml";
    if (!FileExists(path)) {
        return;
    }
    TimerList list;
    try {
        list = ParseTimerList(ReadWholeFile(path));
    } catch (...) {
        as_read.complete = false;
        throw;
    }
    as_read.complete = !list.error.has_value();
    as_read.timers = std::move(list.timers);
    as_read.read_values.assign(as_read.timers.size(), {});
    const auto names = ChannelNamesByService(tables);
    const platform::TDateTime now = platform::Now();
    try {
        for (std::size_t i = 0; i < as_read.timers.size(); ++i) {
            const TimerElement& timer = as_read.timers[i];
            if (log) {
                log(TimerStartTag(timer));
            }
            const TimerLineValues values = ValuesOfTimer(timer);
            const auto begin = LocalOfSeconds(values.begin_valid, values.begin, conversion, log);
            const auto end = LocalOfSeconds(values.end_valid, values.end, conversion, log);
            timers.Append();
            if (begin) {
                timers.FieldByName("Begin").SetAsDateTime(*begin);
            }
            if (end) {
                timers.FieldByName("End").SetAsDateTime(*end);
            }
            SetText(timers, "Serviceref", values.serviceref);
            SetText(timers, "Name", values.name);
            SetText(timers, "Description", values.description);
            SetText(timers, "Afterevent", values.afterevent);
            timers.FieldByName("Eit").SetAsString(std::to_string(values.eit));
            timers.FieldByName("RepeatedOrg").SetAsLargeint(values.repeated);
            timers.FieldByName("Disabled").SetAsLargeint(values.disabled);
            timers.FieldByName("Justplay").SetAsLargeint(values.justplay);
            timers.FieldByName("Origin").SetAsInteger(static_cast<int32_t>(i + 1));
            const auto found = names.find(timers.FieldByName("Serviceref").AsString());
            SetText(timers, "Zender", found == names.end() ? "" : found->second);
            if (values.repeated == 0 && end && EndedLongAgo(*end, now)) {
                timers.Cancel();
                continue;
            }
            timers.Post();
            as_read.read_values[i] = TimerRowValues(timers);
        }
    } catch (...) {
        as_read.complete = false;
        SettlePending(timers);
        throw;
    }
    if (list.error) {
        throw ETimerListError(path, list.error->reason, list.error->line);
    }
}

}  // namespace

std::string ServiceListPath(const std::string& program_dir) {
    const std::string services = program_dir + "services";
    return FileExists(services) ? services : program_dir + "lamedb";
}

BoxReadReport ReadBoxFiles(const std::string& program_dir, BoxTables& tables,
                           const platform::TimeConversionSettings& conversion,
                           const platform::LogSink& log) {
    BoxReadReport report;
    tables.TimersRead.Clear();
    const auto record = [](std::string& text, std::exception_ptr& error) {
        error = std::current_exception();
        try {
            throw;
        } catch (const tapir::Exception& e) {
            text = e.Message();
        } catch (const std::exception& e) {
            text = e.what();
        }
    };
    try {
        ServiceList services = ServiceList::Load(ServiceListPath(program_dir));
        try {
            ReadBouquets(program_dir, services, tables, report, log);
        } catch (...) {
            SettlePending(tables.Bouquet);
            SettlePending(tables.Zenders);
            throw;
        }
    } catch (...) {
        record(report.channel_error, report.channel_exception);
    }
    try {
        ReadTimers(program_dir, tables, conversion, log);
    } catch (...) {
        report.timers_complete = false;
        record(report.timer_error, report.timer_exception);
    }
    tables.TimersRead.complete = report.timers_complete;
    tables.Timers.First();
    tables.Bouquet.First();
    tables.Zenders.First();
    return report;
}

std::string ZenderOfService(BoxTables& tables, const std::string& service_ref) {
    std::string result;
    engine::TField& service = tables.Zenders.FieldByName("Service");
    WalkChannels(tables, [&] {
        if (service.AsString() == service_ref) {
            result = tables.Zenders.FieldByName("Zender").AsString();
            return true;
        }
        return false;
    });
    return result;
}

}  // namespace tapir::boxfiles
