#include "boxfiles/box_tables.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "engine/table/field.h"

namespace tapir::boxfiles {

namespace {

using engine::TField;
using engine::TFieldDef;
using engine::TFieldKind;
using engine::TFieldType;
using engine::TIndexDef;
using engine::TSQLMemTable;

constexpr int kAllocBy = 1000;

std::mutex registry_mutex;
std::vector<BoxTables*>& Registry() {
    static std::vector<BoxTables*> registry;
    return registry;
}

// Default weekday labels of d0..d6 until the program sets the locale's names.
constexpr std::array<const char*, 7> kDayLabels = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

struct FieldSpec {
    const char* name;
    TFieldType type;
    int size;
};

void AddFieldDefs(TSQLMemTable& table, std::initializer_list<FieldSpec> column_specs) {
    for (const FieldSpec& column_spec : column_specs) {
        table.FieldDefs().push_back(
            TFieldDef{column_spec.name, column_spec.type, column_spec.size, false});
    }
}

TField& Declare(TSQLMemTable& table, const char* name, TFieldType type, int size, int width,
                bool visible, const char* label = nullptr, TFieldKind kind = TFieldKind::fkData) {
    TField& field = table.DeclareField(name, type, size, kind);
    field.SetDisplayWidth(width);
    field.SetVisible(visible);
    if (label != nullptr) {
        field.SetDisplayLabel(label);
    }
    return field;
}

void DefineBouquet(TSQLMemTable& table) {
    table.SetTableName(kBouquetTableName);
    table.SetMemoryTableAllocBy(kAllocBy);
    AddFieldDefs(table, {{"Id", TFieldType::ftAutoInc, 0},
                         {"Bouquet", TFieldType::ftString, 20},
                         {"Type", TFieldType::ftSmallint, 0}});
    table.IndexDefs().push_back(
        TIndexDef{"Id", "Id", engine::ixPrimary | engine::ixUnique, "", ""});
}

void DefineZenders(TSQLMemTable& table, engine::TDataSource& master) {
    table.SetTableName(kZendersTableName);
    table.SetMemoryTableAllocBy(kAllocBy);
    AddFieldDefs(table, {{"SubId", TFieldType::ftAutoInc, 0},
                         {"Id", TFieldType::ftInteger, 0},
                         {"Zender", TFieldType::ftString, 20},
                         {"Service", TFieldType::ftString, 40}});
    table.IndexDefs().push_back(
        TIndexDef{"ZendersIndex", "Id;Subid", static_cast<unsigned>(engine::ixPrimary), "", ""});
    table.IndexDefs().push_back(TIndexDef{"Service", "Service", 0, "", ""});
    Declare(table, "SubId", TFieldType::ftAutoInc, 0, 10, false);
    Declare(table, "Id", TFieldType::ftInteger, 0, 10, false);
    Declare(table, "Zender", TFieldType::ftString, 20, 30, true, "Channel");
    Declare(table, "Service", TFieldType::ftString, 40, 40, false);
    table.SetIndexFieldNames("Id");
    table.SetMasterSource(&master);
    table.SetMasterFields("Id");
}

void DefineTimers(TSQLMemTable& table) {
    table.SetTableName(kTimersTableName);
    table.SetMemoryTableAllocBy(kAllocBy);
    AddFieldDefs(table, {{"Zender", TFieldType::ftString, 20},
                         {"Begin", TFieldType::ftDateTime, 0},
                         {"End", TFieldType::ftDateTime, 0},
                         {"Name", TFieldType::ftString, 40},
                         {"RepeatedOrg", TFieldType::ftLargeint, 0},
                         {"Afterevent", TFieldType::ftString, 20},
                         {"Justplay", TFieldType::ftLargeint, 0},
                         {"Serviceref", TFieldType::ftString, 40},
                         {"Description", TFieldType::ftString, 40},
                         {"Eit", TFieldType::ftLargeint, 0},
                         {"Disabled", TFieldType::ftLargeint, 0},
                         {"Origin", TFieldType::ftInteger, 0}});
    table.IndexDefs().push_back(TIndexDef{"BeginEnd", "Begin;End", 0, "", ""});
    table.IndexDefs().push_back(TIndexDef{"testje", "Zender", 0, "", ""});

    Declare(table, "Zender", TFieldType::ftString, 20, 20, true, "Channel");
    Declare(table, "Begin", TFieldType::ftDateTime, 0, 18, true)
        .SetDisplayFormat(kTimerDateTimeFormat);
    Declare(table, "End", TFieldType::ftDateTime, 0, 18, true)
        .SetDisplayFormat(kTimerDateTimeFormat);
    Declare(table, "Name", TFieldType::ftString, 40, 40, true, "Description");
    Declare(table, "RepeatedOrg", TFieldType::ftLargeint, 0, 15, false);
    Declare(table, "Afterevent", TFieldType::ftString, 20, 10, true);
    Declare(table, "Justplay", TFieldType::ftLargeint, 0, 15, false);
    Declare(table, "Serviceref", TFieldType::ftString, 40, 40, false);
    Declare(table, "Description", TFieldType::ftString, 40, 40, false);
    Declare(table, "Eit", TFieldType::ftLargeint, 0, 15, false);
    Declare(table, "Disabled", TFieldType::ftLargeint, 0, 15, false);
    Declare(table, "Origin", TFieldType::ftInteger, 0, 10, false);
    Declare(table, "Repeated", TFieldType::ftBoolean, 0, 5, true, nullptr,
            TFieldKind::fkCalculated);
    for (int day = 0; day < 7; ++day) {
        const char name[] = {'d', static_cast<char>('0' + day), '\0'};
        Declare(table, name, TFieldType::ftBoolean, 0, 2, true, kDayLabels[day],
                TFieldKind::fkCalculated);
    }
    table.SetIndexFieldNames("Begin;End");
    table.OnCalcFields = TimersCalcFields;
    // AfterScroll is bound to a handler that does nothing; nothing to bind here.
}

}  // namespace

void TimersAsRead::Clear() {
    timers.clear();
    read_values.clear();
    complete = true;
}

const std::vector<TimerFieldAttribute>& TimerFieldNames() {
    static const std::vector<TimerFieldAttribute> names = {
        {"Begin", "begin"},           {"End", "end"},   {"Serviceref", "serviceref"},
        {"RepeatedOrg", "repeated"},  {"Name", "name"}, {"Description", "description"},
        {"Afterevent", "afterevent"}, {"Eit", "eit"},   {"Disabled", "disabled"},
        {"Justplay", "justplay"}};
    return names;
}

std::vector<TimerFieldValue> TimerRowValues(engine::TSQLMemDataSet& timers) {
    std::vector<TimerFieldValue> values;
    values.reserve(TimerFieldNames().size());
    for (const TimerFieldAttribute& name : TimerFieldNames()) {
        TField& field = timers.FieldByName(name.field);
        TimerFieldValue value;
        value.null = field.IsNull();
        if (!value.null) {
            if (field.DataType() == TFieldType::ftDateTime) {
                value.date_time = field.AsDateTime();
            } else {
                value.text = field.AsString();
            }
        }
        values.push_back(std::move(value));
    }
    return values;
}

BoxTables* BoxTablesOfTimers(const engine::TSQLMemTable& timers) {
    std::lock_guard lock(registry_mutex);
    for (BoxTables* tables : Registry()) {
        if (&tables->Timers == &timers) {
            return tables;
        }
    }
    return nullptr;
}

BoxTables::BoxTables() {
    {
        std::lock_guard lock(registry_mutex);
        Registry().push_back(this);
    }
    Ds_Bouquet.SetDataSet(&Bouquet);
    Ds_Zenders.SetDataSet(&Zenders);
    Ds_Timers.SetDataSet(&Timers);
    DefineBouquet(Bouquet);
    DefineZenders(Zenders, Ds_Bouquet);
    DefineTimers(Timers);
}

BoxTables::~BoxTables() {
    {
        std::lock_guard lock(registry_mutex);
        std::erase(Registry(), this);
    }
    // The detail link and the data sources must let go before the tables are destroyed.
    Zenders.SetMasterSource(nullptr);
    Ds_Bouquet.SetDataSet(nullptr);
    Ds_Zenders.SetDataSet(nullptr);
    Ds_Timers.SetDataSet(nullptr);
}

void BoxTables::OpenAll() {
    Bouquet.Open();
    Zenders.Open();
    Timers.Open();
}

void BoxTables::DropAll() {
    TimersRead.Clear();
    for (TSQLMemTable* table : {&Timers, &Zenders, &Bouquet}) {
        table->Close();
        if (table->Exists()) {
            table->DeleteTable();
        }
    }
}

void TimersCalcFields(engine::TSQLMemDataSet& data_set) {
    const auto mask = static_cast<uint32_t>(data_set.FieldByName("RepeatedOrg").AsLargeint());
    data_set.FieldByName("Repeated").SetAsBoolean(mask != 0);
    if (mask == 0) {
        return;
    }
    // Bit 0 is Monday (d1) .. bit 5 Saturday (d6); bit 6 is Sunday (d0).
    for (int bit = 0; bit < 7; ++bit) {
        if ((mask & (1u << bit)) != 0) {
            const int day = (bit + 1) % 7;
            const char name[] = {'d', static_cast<char>('0' + day), '\0'};
            data_set.FieldByName(name).SetAsBoolean(true);
        }
    }
}

}  // namespace tapir::boxfiles
