#pragma once
// The process-wide registry of in-memory databases ("MEMORY" for tables, "TEMP" for the
// temporary tables of the query layer), the connections and their engine handles, and
// each database's list of tables. A table name finds its table without regard to case.
// Thread-safe; locks from outermost to innermost: database list (1), connection (2),
// database (3), then the table's own lock (4).

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/table/sqlmem_table_data.h"
#include "engine/table/table_definition.h"

namespace tapir::engine {

class TSQLMemDatabaseData;

// Engine handle of one connection on one database: its ConnectionID and, per sequence
// name, the last value it drew.
class TSQLMemLocalSession {
  public:
    TSQLMemLocalSession(int32_t connection_id, TSQLMemDatabaseData& database)
        : connection_id_(connection_id), database_(database) {}
    int32_t ConnectionID() const { return connection_id_; }
    TSQLMemDatabaseData& Database() const { return database_; }
    void SetLastValue(const std::string& sequence_name, int64_t value);
    // False when this connection drew nothing from the sequence yet.
    bool LastValue(const std::string& sequence_name, int64_t& value) const;

  private:
    // Guards last_values_; taken alone (innermost of its own).
    mutable std::recursive_mutex mutex_;
    int32_t connection_id_;
    TSQLMemDatabaseData& database_;
    std::map<std::string, int64_t> last_values_;
};

// A connection ("Default" unless named): its engine handles, one per database joined.
class TSQLMemSession {
  public:
    explicit TSQLMemSession(std::string name, int32_t connection_id)
        : name_(std::move(name)), connection_id_(connection_id) {}
    const std::string& Name() const { return name_; }
    bool KeepConnections() const { return true; }
    // The handle on `database`, connecting on first use.
    TSQLMemLocalSession& Handle(TSQLMemDatabaseData& database);

  private:
    // Guards handles_; rank 2.
    std::recursive_mutex mutex_;
    std::string name_;
    int32_t connection_id_;
    std::vector<std::unique_ptr<TSQLMemLocalSession>> handles_;
};

class TSQLMemDatabaseData {
  public:
    TSQLMemDatabaseData(std::string name, bool temporary)
        : name_(std::move(name)), temporary_(temporary) {}
    const std::string& Name() const { return name_; }
    bool Temporary() const { return temporary_; }
    // The database lock (rank 3).
    std::recursive_mutex& Mutex() const { return mutex_; }

    // The table of this name (case ignored, first in list order); nullptr when none.
    TSQLMemTableData* FindTable(const std::string& name) const;
    bool TableExists(const std::string& name) const;
    std::vector<std::string> TableNames() const;
    // Creates a table; ESQLMemException 10027 "Table '%s' already exists" when the name
    // is taken, and the creation errors.
    TSQLMemTableData& CreateTable(const TableDefinition& definition);
    // The table of definition.name, created when absent (refused in "TEMP": 10028 "Table
    // not found, table name = %s"). The stored name takes definition.name's letter case.
    TSQLMemTableData& FindOrCreateTable(const TableDefinition& definition);
    // Empties a table (10072 while any cursor has it open; 10028 when absent).
    void EmptyTable(const std::string& name);
    // Deletes a table (20017 "Cannot delete table '%s'. Table is open by another dataset"
    // while any cursor has it open; 10028 when absent).
    void DeleteTable(const std::string& name);
    // Next object identifier: 1, 2, ... up to 4294967295, then 0 again.
    int32_t NextObjectID();

    // Drops every table (tests); refused (20017) while any cursor is open.
    void Clear();

  private:
    // Guards tables_ and the object-identifier sequence; rank 3.
    mutable std::recursive_mutex mutex_;
    std::string name_;
    bool temporary_;
    std::vector<std::unique_ptr<TSQLMemTableData>> tables_;
    uint32_t last_object_id_ = 0;
};

// The process-wide registry.
class TSQLMemEngine {
  public:
    static TSQLMemEngine& Instance();

    // The database of this name (case ignored); nullptr when none.
    TSQLMemDatabaseData* FindDatabase(const std::string& name);
    // The connection of this name ("" = "Default"), created on first use.
    TSQLMemSession& Session(const std::string& name);
    // Drops every table of every database and every non-default connection (tests).
    void Reset();

  private:
    TSQLMemEngine();

    // Guards the lists below; rank 1 (outermost).
    std::recursive_mutex mutex_;
    std::vector<std::unique_ptr<TSQLMemDatabaseData>> databases_;
    std::vector<std::unique_ptr<TSQLMemSession>> sessions_;
    int32_t next_connection_id_ = 1;
};

// Table-level operations for the dataset layer. Each throws ESQLMemException 11245
// "Cannot open database '%s'" for an unknown database.
bool TableExists(const std::string& database_name, const std::string& table_name);
void CreateTable(const std::string& database_name, const TableDefinition& definition);
void EmptyTable(const std::string& database_name, const std::string& table_name);
void DeleteTable(const std::string& database_name, const std::string& table_name);

}  // namespace tapir::engine
