#include "boxfiles/box_reader.h"

#include <string_view>
#include <unordered_map>

#include "boxfiles/bouquet_lines.h"
#include "boxfiles/text_lines.h"
#include "boxfiles/timer_file.h"
#include "engine/table/field.h"
#include "platform/clock.h"
#include "platform/date_time.h"

namespace tapir::boxfiles {

namespace {

using engine::TSQLMemDataSet;
using engine::TSQLMemTable;

constexpr int kBouquetNameWidth = 20;
constexpr int kZenderWidth = 20;
constexpr int kServiceWidth = 40;
constexpr int kTimerTextWidth = 40;
constexpr int kAftereventWidth = 20;

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

void SetText(TSQLMemDataSet& data_set, std::string_view field, std::string_view value,
             std::size_t width) {
    data_set.FieldByName(field).SetAsString(CutToWidth(value, width));
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
            bouquet_name.SetAsString(CutToWidth(*name, kBouquetNameWidth));
        }
        if (const auto reference = ChannelReferenceOfLine(line)) {
            zenders.Append();
            if (zender_id.IsNull()) {
                zender_id.SetAsInteger(bouquet_id.AsInteger());
            }
            zender_service.SetAsString(CutToWidth(AsciiUpper(*reference), kServiceWidth));
            const std::string key = ServiceKeyOf(*reference);
            if (const auto zender = services.ServiceNameOf(key)) {
                zender_name.SetAsString(CutToWidth(*zender, kZenderWidth));
            }
        }
    }
}

void ReadBouquets(const std::string& program_dir, ServiceList& services, BoxTables& tables) {
    struct IndexFile {
        const char* name;
        int type;
    };
    for (const IndexFile index : {IndexFile{"bouquets.tv", 1}, IndexFile{"bouquets.radio", 2}}) {
        const std::vector<std::string> lines = LoadLines(program_dir + index.name);
        for (const std::string& line : lines) {
            if (const auto file = BouquetFileOfIndexLine(line)) {
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

void ReadTimers(const std::string& program_dir, BoxTables& tables,
                const platform::TimeConversionSettings& conversion, const platform::LogSink& log) {
    TSQLMemTable& timers = tables.Timers;
    {
        AfterInsertDetached detached(timers);
        const std::string path = program_dir + "timers.xml";
        if (FileExists(path)) {
            const std::vector<std::string> lines = LoadLines(path);
            const auto names = ChannelNamesByService(tables);
            try {
                for (const std::string& line : lines) {
                    if (!IsTimerLine(line)) {
                        continue;
                    }
                    if (log) {
                        log(line);
                    }
                    const TimerLineValues values = ParseTimerLine(line);
                    timers.Append();
                    timers.FieldByName("Begin").SetAsDateTime(
                        platform::UtcToLocal(UtcOfSeconds(values.begin), conversion, log));
                    timers.FieldByName("End").SetAsDateTime(
                        platform::UtcToLocal(UtcOfSeconds(values.end), conversion, log));
                    SetText(timers, "Serviceref", values.serviceref, kTimerTextWidth);
                    SetText(timers, "Name", values.name, kTimerTextWidth);
                    SetText(timers, "Description", values.description, kTimerTextWidth);
                    SetText(timers, "Afterevent", values.afterevent, kAftereventWidth);
                    timers.FieldByName("Eit").SetAsString(std::to_string(values.eit));
                    timers.FieldByName("RepeatedOrg").SetAsLargeint(values.repeated);
                    timers.FieldByName("Disabled").SetAsLargeint(values.disabled);
                    timers.FieldByName("Justplay").SetAsLargeint(values.justplay);
                    const auto found = names.find(timers.FieldByName("Serviceref").AsString());
                    SetText(timers, "Zender", found == names.end() ? "" : found->second,
                            kZenderWidth);
                    if (values.repeated == 0 &&
                        EndedLongAgo(timers.FieldByName("End").AsDateTime(), platform::Now())) {
                        timers.Cancel();
                    }
                }
                PostIfEditing(timers);
            } catch (...) {
                SettlePending(timers);
                throw;
            }
        }
        timers.First();
    }
    tables.Bouquet.First();
    tables.Zenders.First();
}

}  // namespace

std::string ServiceListPath(const std::string& program_dir) {
    const std::string services = program_dir + "services";
    if (FileExists(services)) {
        return services;
    }
    const std::string lamedb = program_dir + "lamedb";
    return FileExists(lamedb) ? lamedb : services;
}

void ReadBoxFiles(const std::string& program_dir, BoxTables& tables,
                  const platform::TimeConversionSettings& conversion,
                  const platform::LogSink& log) {
    {
        ServiceList services = ServiceList::Load(ServiceListPath(program_dir));
        try {
            ReadBouquets(program_dir, services, tables);
        } catch (...) {
            SettlePending(tables.Bouquet);
            SettlePending(tables.Zenders);
            throw;
        }
    }
    ReadTimers(program_dir, tables, conversion, log);
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
