#pragma once
// The process-wide registry of in-memory databases ("MEMORY" for tables, "TEMP" for the
// temporary tables of the query layer), the connections with their database components
// and engine handles, and each database's list of tables. A table name finds its table
// without regard to case.
// Thread-safe; locks from outermost to innermost: database list (1), connection (2, also
// guarding its database components), database (3), then the table's own lock (4).

#include <atomic>
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

class TSQLMemSession;
class TSQLMemCursor;
class TSQLMemDataSet;

// Database component of a connection: joins one database by name through its engine
// handle, and counts the table components that use it. The first user connects it; when
// the last one goes it disconnects unless KeepConnection is set. The rows never go with
// it: they belong to the database's tables. State is guarded by its connection's lock.
class TSQLMemDatabase {
  public:
    TSQLMemDatabase(TSQLMemSession& session, std::string database_name, bool implicit);
    // Disconnects.
    ~TSQLMemDatabase();
    TSQLMemDatabase(const TSQLMemDatabase&) = delete;
    TSQLMemDatabase& operator=(const TSQLMemDatabase&) = delete;

    TSQLMemSession& Session() const { return session_; }
    const std::string& DatabaseName() const { return database_name_; }
    bool KeepConnection() const;
    void SetKeepConnection(bool keep);
    bool ReadOnly() const;
    void SetReadOnly(bool read_only);
    bool Exclusive() const;
    void SetExclusive(bool exclusive);
    // True when a table component's opening created it rather than the program.
    bool Implicit() const { return implicit_; }

    bool Connected() const;
    // Connects the engine handle (nothing when connected). Throws ESQLMemException 11245
    // "Cannot open database '%s'" when no database has this name.
    void Open();
    // Disconnects the engine handle, dropping this connection's last sequence values.
    // Ignored while users remain, so that an open cursor keeps its handle.
    void Close();
    // The engine handle; nullptr while disconnected.
    TSQLMemLocalSession* Handle() const;

    // Registers a user (an open cursor, with the table component that owns it, if any),
    // connecting first; returns the engine handle. Throws like Open().
    TSQLMemLocalSession& AddUser(const TSQLMemCursor* cursor, TSQLMemDataSet* data_set);
    // Unregisters it; the last one disconnects unless KeepConnection is set.
    void RemoveUser(const TSQLMemCursor* cursor);
    // Number of registered users (open table components and bare cursors).
    int32_t DataSetCount() const;
    // The table components among the users, in the order they opened.
    std::vector<TSQLMemDataSet*> DataSets() const;

    // Every table of the database as one stream, and back (defined beside the stream
    // format). Throws ESQLMemException 11245 for an unknown database name, 10153 while
    // any table is open, and the stream format's errors.
    void SaveAllTablesToStream(TSQLMemStream& stream, TCompressionAlgorithm algorithm = caNone,
                               uint8_t level = 1, int32_t value = 0);
    void SaveAllTablesToFile(const std::string& file_name, TCompressionAlgorithm algorithm = caNone,
                             uint8_t level = 1, int32_t value = 0);
    void LoadAllTablesFromStream(TSQLMemStream& stream);
    void LoadAllTablesFromFile(const std::string& file_name);

  private:
    struct User {
        const TSQLMemCursor* cursor;
        TSQLMemDataSet* data_set;
    };
    // Both with the connection lock held.
    void ConnectLocked(TSQLMemDatabaseData& data);
    void DisconnectLocked();

    TSQLMemSession& session_;
    std::string database_name_;
    bool implicit_;
    bool keep_connection_ = true;
    bool read_only_ = false;
    bool exclusive_ = false;
    std::unique_ptr<TSQLMemLocalSession> handle_;
    std::vector<User> users_;
};

// A connection ("Default" unless named) and its database components.
class TSQLMemSession {
  public:
    explicit TSQLMemSession(std::string name, int32_t connection_id)
        : name_(std::move(name)), connection_id_(connection_id) {}
    const std::string& Name() const { return name_; }
    int32_t ConnectionID() const { return connection_id_; }
    // Copied into each database component created implicitly from then on.
    bool KeepConnections() const;
    void SetKeepConnections(bool keep);
    // The connection lock (rank 2); also guards the state of its database components.
    std::recursive_mutex& Mutex() const { return mutex_; }

    // The component for this database name (case ignored); nullptr when none.
    TSQLMemDatabase* FindDatabase(const std::string& database_name) const;
    // The component for this database name, created (implicitly, not connected) when
    // absent; its KeepConnection copies KeepConnections.
    TSQLMemDatabase& Database(const std::string& database_name);
    // The components, in the order they were created.
    std::vector<TSQLMemDatabase*> Databases() const;
    // Frees a component created implicitly that has no users and is not connected (an
    // opening that failed leaves none behind).
    void DropIfUnused(TSQLMemDatabase& database);

  private:
    // Guards databases_, keep_connections_ and the components' state; rank 2.
    mutable std::recursive_mutex mutex_;
    std::string name_;
    int32_t connection_id_;
    bool keep_connections_ = true;
    std::vector<std::unique_ptr<TSQLMemDatabase>> databases_;
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
    // Empties a table (10072 while any cursor has it open; 10028 when absent; 11494
    // "Cannot empty table '%s' - foreign key(s) with delete action referencing this table
    // exists" when another table's foreign key would have to act on the removed rows: a
    // CASCADE, SET NULL or SET DEFAULT delete action, or NO ACTION while rows reference it).
    void EmptyTable(const std::string& name);
    // Deletes a table (20017 "Cannot delete table '%s'. Table is open by another dataset"
    // while any cursor has it open; 10028 when absent; 11481 "Cannot delete table '%s' -
    // foreign key constraint(s) violated" while another table's foreign key references it,
    // unless `cascade`, which removes those foreign keys).
    void DeleteTable(const std::string& name, bool cascade = false);
    // Gives a table another name; foreign keys that reference it follow. 10028 for an
    // unknown table (as EmptyTable), 10027 when the new name is taken by another table,
    // 20018 while a cursor has the table open.
    void RenameTable(const std::string& name, const std::string& new_name);
    // The tables (this one included) with a foreign key that references `name`.
    std::vector<TSQLMemTableData*> ReferencingTables(const std::string& name) const;
    // Set once any table of the database has had a foreign key: until then deletes and
    // updates need not look for referencing rows.
    void NoteForeignKeys() { has_foreign_keys_ = true; }
    bool HasForeignKeys() const { return has_foreign_keys_; }
    // Next object identifier: 1, 2, ... up to 4294967295, then 0 again.
    int32_t NextObjectID();
    // The last object identifier handed out (0 … 4294967295).
    int64_t LastObjectID() const;
    // Raises the last identifier to `last` when it is lower, so that new objects never
    // take an identifier a loaded table already uses.
    void RaiseObjectID(int64_t last);
    // Puts a loaded table into the list, in place of a table of the same name (case
    // ignored), which goes. Throws ESQLMemException 10153 "Cannot load table '%s'. Table
    // is open by another dataset" while a cursor has that table open; nothing changes then.
    TSQLMemTableData& AdoptTable(std::unique_ptr<TSQLMemTableData> table);
    // The engine handles connected to this database.
    void Connect(TSQLMemLocalSession* handle);
    void Disconnect(TSQLMemLocalSession* handle);
    int32_t ConnectionCount() const;

    // Drops every table (tests); refused (20017) while any cursor is open.
    void Clear();

  private:
    // Guards tables_, connections_ and the object-identifier sequence; rank 3.
    mutable std::recursive_mutex mutex_;
    std::string name_;
    bool temporary_;
    std::vector<std::unique_ptr<TSQLMemTableData>> tables_;
    std::vector<TSQLMemLocalSession*> connections_;
    uint32_t last_object_id_ = 0;
    std::atomic<bool> has_foreign_keys_ = false;
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
void DeleteTable(const std::string& database_name, const std::string& table_name,
                 bool cascade = false);
void RenameTable(const std::string& database_name, const std::string& table_name,
                 const std::string& new_name);
// Index operations on a stored table (TSQLMemTableData::AddIndex / DropIndex); an unknown
// table raises as EmptyTable does.
void AddIndex(const std::string& database_name, const std::string& table_name,
              const TableIndexSpec& index);
void DropIndex(const std::string& database_name, const std::string& table_name,
               const std::string& index_name);
void DropConstraint(const std::string& database_name, const std::string& table_name,
                    const std::string& constraint_name);
void AddForeignKey(const std::string& database_name, const std::string& table_name,
                   const TableForeignKeySpec& key);
bool IndexExists(const std::string& database_name, const std::string& table_name,
                 const std::string& index_name);

}  // namespace tapir::engine
