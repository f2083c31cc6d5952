#pragma once
// Table definitions of the program's three tables and small helpers shared by the engine
// core tests.

#include <cstddef>
#include <string>
#include <vector>

#include "engine/table/sqlmem_cursor.h"
#include "engine/table/sqlmem_database.h"

namespace tapir::engine::testing {

inline TableFieldSpec Field(std::string name, TFieldType type, int32_t size = 0,
                            bool required = false) {
    TableFieldSpec column_spec;
    column_spec.name = std::move(name);
    column_spec.data_type = type;
    column_spec.size = size;
    column_spec.required = required;
    return column_spec;
}

inline TableIndexSpec Index(std::string name, std::string fields, bool primary = false,
                            bool unique = false) {
    TableIndexSpec column_spec;
    column_spec.name = std::move(name);
    column_spec.fields = std::move(fields);
    column_spec.primary = primary;
    column_spec.unique = unique;
    return column_spec;
}

inline TableDefinition TimersDefinition(std::string name = "Table1079105802") {
    TableDefinition def;
    def.name = std::move(name);
    def.fields = {Field("Zender", ftString, 20),      Field("Begin", ftDateTime),
                  Field("End", ftDateTime),           Field("Name", ftString, 40),
                  Field("RepeatedOrg", ftLargeint),   Field("Afterevent", ftString, 20),
                  Field("Justplay", ftLargeint),      Field("Serviceref", ftString, 40),
                  Field("Description", ftString, 40), Field("Eit", ftLargeint),
                  Field("Disabled", ftLargeint)};
    def.indexes = {Index("BeginEnd", "Begin;End"), Index("testje", "Zender")};
    return def;
}

inline TableDefinition ZendersDefinition(std::string name = "Table64929107") {
    TableDefinition def;
    def.name = std::move(name);
    def.fields = {Field("SubId", ftAutoInc), Field("Id", ftInteger), Field("Zender", ftString, 20),
                  Field("Service", ftString, 40)};
    def.indexes = {Index("ZendersIndex", "Id;Subid", true), Index("Service", "Service")};
    return def;
}

inline TableDefinition BouquetDefinition(std::string name = "Table326480888") {
    TableDefinition def;
    def.name = std::move(name);
    def.fields = {Field("Id", ftAutoInc), Field("Bouquet", ftString, 20),
                  Field("Type", ftSmallint)};
    def.indexes = {Index("Id", "Id", true, true)};
    return def;
}

inline std::unique_ptr<TSQLMemCursor> OpenCursor(const TableDefinition& def) {
    TSQLMemCursor::OpenParams params;
    params.definition = def;
    return std::make_unique<TSQLMemCursor>(params);
}

// A dataset buffer sized for a cursor.
inline std::vector<std::byte> Buffer(const TSQLMemCursor& cursor) {
    return std::vector<std::byte>(static_cast<size_t>(cursor.RecordSize()));
}

}  // namespace tapir::engine::testing
