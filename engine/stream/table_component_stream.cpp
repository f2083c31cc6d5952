// The table stream operations of the table and database components: they find the
// stored database and hand over to the stream format.

#include "engine/stream/table_stream.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table.h"

namespace tapir::engine {

namespace {

constexpr const char* kTableDatabase = "MEMORY";

TSQLMemDatabaseData& RequireDatabaseData(const std::string& name) {
    TSQLMemDatabaseData* data = TSQLMemEngine::Instance().FindDatabase(name);
    if (data == nullptr) {
        throw ESQLMemException::Formatted(11245, "Cannot open database '" + name + "'");
    }
    return *data;
}

TSQLMemCompressionAlgorithm StoredAlgorithm(TCompressionAlgorithm algorithm) {
    return static_cast<TSQLMemCompressionAlgorithm>(algorithm);
}

}  // namespace

void TSQLMemTable::SaveTableToStream(TSQLMemStream& stream, TCompressionAlgorithm algorithm,
                                     uint8_t level, int32_t value) {
    CheckInactive();
    tapir::engine::SaveTableToStream(RequireDatabaseData(kTableDatabase), TableName(), stream,
                                     StoredAlgorithm(algorithm), level, value);
}

void TSQLMemTable::SaveTableToFile(const std::string& file_name, TCompressionAlgorithm algorithm,
                                   uint8_t level, int32_t value) {
    CheckInactive();
    tapir::engine::SaveTableToFile(RequireDatabaseData(kTableDatabase), TableName(), file_name,
                                   StoredAlgorithm(algorithm), level, value);
}

void TSQLMemTable::LoadTableFromStream(TSQLMemStream& stream) {
    CheckInactive();
    SetTableName(
        tapir::engine::LoadTableFromStream(RequireDatabaseData(kTableDatabase), stream).Name());
}

void TSQLMemTable::LoadTableFromFile(const std::string& file_name) {
    CheckInactive();
    SetTableName(
        tapir::engine::LoadTableFromFile(RequireDatabaseData(kTableDatabase), file_name).Name());
}

void TSQLMemDatabase::SaveAllTablesToStream(TSQLMemStream& stream, TCompressionAlgorithm algorithm,
                                            uint8_t level, int32_t value) {
    tapir::engine::SaveAllTablesToStream(RequireDatabaseData(DatabaseName()), stream,
                                         StoredAlgorithm(algorithm), level, value);
}

void TSQLMemDatabase::SaveAllTablesToFile(const std::string& file_name,
                                          TCompressionAlgorithm algorithm, uint8_t level,
                                          int32_t value) {
    tapir::engine::SaveAllTablesToFile(RequireDatabaseData(DatabaseName()), file_name,
                                       StoredAlgorithm(algorithm), level, value);
}

void TSQLMemDatabase::LoadAllTablesFromStream(TSQLMemStream& stream) {
    tapir::engine::LoadAllTablesFromStream(RequireDatabaseData(DatabaseName()), stream);
}

void TSQLMemDatabase::LoadAllTablesFromFile(const std::string& file_name) {
    tapir::engine::LoadAllTablesFromFile(RequireDatabaseData(DatabaseName()), file_name);
}

}  // namespace tapir::engine
