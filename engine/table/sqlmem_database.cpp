#include "engine/table/sqlmem_database.h"

#include <algorithm>

namespace tapir::engine {

namespace {

TSQLMemDatabaseData& RequireDatabase(const std::string& name) {
    TSQLMemDatabaseData* database = TSQLMemEngine::Instance().FindDatabase(name);
    if (database == nullptr) {
        throw ESQLMemException::Formatted(11245, "Cannot open database '" + name + "'");
    }
    return *database;
}

[[noreturn]] void ThrowTableNotFound(const std::string& name) {
    throw ESQLMemException::Formatted(10028, "Table not found, table name = " + name);
}

}  // namespace

// --- TSQLMemLocalSession ---

void TSQLMemLocalSession::SetLastValue(const std::string& sequence_name, int64_t value) {
    std::lock_guard lock(mutex_);
    last_values_[sequence_name] = value;
}

bool TSQLMemLocalSession::LastValue(const std::string& sequence_name, int64_t& value) const {
    std::lock_guard lock(mutex_);
    const auto it = last_values_.find(sequence_name);
    if (it == last_values_.end()) {
        return false;
    }
    value = it->second;
    return true;
}

// --- TSQLMemDatabase ---

TSQLMemDatabase::TSQLMemDatabase(TSQLMemSession& session, std::string database_name, bool implicit)
    : session_(session), database_name_(std::move(database_name)), implicit_(implicit) {}

TSQLMemDatabase::~TSQLMemDatabase() {
    std::lock_guard lock(session_.Mutex());
    DisconnectLocked();
}

bool TSQLMemDatabase::KeepConnection() const {
    std::lock_guard lock(session_.Mutex());
    return keep_connection_;
}

void TSQLMemDatabase::SetKeepConnection(bool keep) {
    std::lock_guard lock(session_.Mutex());
    keep_connection_ = keep;
    if (!keep_connection_ && users_.empty()) {
        DisconnectLocked();
    }
}

bool TSQLMemDatabase::ReadOnly() const {
    std::lock_guard lock(session_.Mutex());
    return read_only_;
}

void TSQLMemDatabase::SetReadOnly(bool read_only) {
    std::lock_guard lock(session_.Mutex());
    read_only_ = read_only;
}

bool TSQLMemDatabase::Exclusive() const {
    std::lock_guard lock(session_.Mutex());
    return exclusive_;
}

void TSQLMemDatabase::SetExclusive(bool exclusive) {
    std::lock_guard lock(session_.Mutex());
    exclusive_ = exclusive;
}

bool TSQLMemDatabase::Connected() const {
    std::lock_guard lock(session_.Mutex());
    return handle_ != nullptr;
}

TSQLMemLocalSession* TSQLMemDatabase::Handle() const {
    std::lock_guard lock(session_.Mutex());
    return handle_.get();
}

void TSQLMemDatabase::Open() {
    // The database list (rank 1) is searched before the connection lock (rank 2) is taken.
    TSQLMemDatabaseData& data = RequireDatabase(database_name_);
    std::lock_guard lock(session_.Mutex());
    ConnectLocked(data);
}

void TSQLMemDatabase::Close() {
    std::lock_guard lock(session_.Mutex());
    if (users_.empty()) {
        DisconnectLocked();
    }
}

TSQLMemLocalSession& TSQLMemDatabase::AddUser(const TSQLMemCursor* cursor,
                                              TSQLMemDataSet* data_set) {
    TSQLMemDatabaseData& data = RequireDatabase(database_name_);
    std::lock_guard lock(session_.Mutex());
    ConnectLocked(data);
    users_.push_back(User{cursor, data_set});
    return *handle_;
}

void TSQLMemDatabase::RemoveUser(const TSQLMemCursor* cursor) {
    std::lock_guard lock(session_.Mutex());
    std::erase_if(users_, [&](const User& user) { return user.cursor == cursor; });
    if (users_.empty() && !keep_connection_) {
        DisconnectLocked();
    }
}

int32_t TSQLMemDatabase::DataSetCount() const {
    std::lock_guard lock(session_.Mutex());
    return static_cast<int32_t>(users_.size());
}

std::vector<TSQLMemDataSet*> TSQLMemDatabase::DataSets() const {
    std::lock_guard lock(session_.Mutex());
    std::vector<TSQLMemDataSet*> data_sets;
    for (const User& user : users_) {
        if (user.data_set != nullptr) {
            data_sets.push_back(user.data_set);
        }
    }
    return data_sets;
}

void TSQLMemDatabase::ConnectLocked(TSQLMemDatabaseData& data) {
    if (handle_ != nullptr) {
        return;
    }
    auto handle = std::make_unique<TSQLMemLocalSession>(session_.ConnectionID(), data);
    data.Connect(handle.get());
    handle_ = std::move(handle);
}

void TSQLMemDatabase::DisconnectLocked() {
    if (handle_ == nullptr) {
        return;
    }
    handle_->Database().Disconnect(handle_.get());
    handle_.reset();
}

// --- TSQLMemSession ---

bool TSQLMemSession::KeepConnections() const {
    std::lock_guard lock(mutex_);
    return keep_connections_;
}

void TSQLMemSession::SetKeepConnections(bool keep) {
    std::lock_guard lock(mutex_);
    keep_connections_ = keep;
}

TSQLMemDatabase* TSQLMemSession::FindDatabase(const std::string& database_name) const {
    std::lock_guard lock(mutex_);
    for (const auto& database : databases_) {
        if (SameName(database->DatabaseName(), database_name)) {
            return database.get();
        }
    }
    return nullptr;
}

TSQLMemDatabase& TSQLMemSession::Database(const std::string& database_name) {
    std::lock_guard lock(mutex_);
    if (TSQLMemDatabase* database = FindDatabase(database_name)) {
        return *database;
    }
    databases_.push_back(std::make_unique<TSQLMemDatabase>(*this, database_name, true));
    databases_.back()->SetKeepConnection(keep_connections_);
    return *databases_.back();
}

std::vector<TSQLMemDatabase*> TSQLMemSession::Databases() const {
    std::lock_guard lock(mutex_);
    std::vector<TSQLMemDatabase*> databases;
    for (const auto& database : databases_) {
        databases.push_back(database.get());
    }
    return databases;
}

void TSQLMemSession::DropIfUnused(TSQLMemDatabase& database) {
    std::lock_guard lock(mutex_);
    if (database.Implicit() && database.DataSetCount() == 0 && !database.Connected()) {
        std::erase_if(databases_, [&](const auto& owned) { return owned.get() == &database; });
    }
}

// --- TSQLMemDatabaseData ---

TSQLMemTableData* TSQLMemDatabaseData::FindTable(const std::string& name) const {
    std::lock_guard lock(mutex_);
    const std::string wanted = UpperName(name);
    for (const auto& table : tables_) {
        if (UpperName(table->Name()) == wanted) {
            return table.get();
        }
    }
    return nullptr;
}

bool TSQLMemDatabaseData::TableExists(const std::string& name) const {
    return FindTable(name) != nullptr;
}

std::vector<std::string> TSQLMemDatabaseData::TableNames() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto& table : tables_) {
        names.push_back(table->Name());
    }
    return names;
}

TSQLMemTableData& TSQLMemDatabaseData::CreateTable(const TableDefinition& definition) {
    std::lock_guard lock(mutex_);
    if (FindTable(definition.name) != nullptr) {
        throw ESQLMemException::Formatted(10027, "Table '" + definition.name + "' already exists");
    }
    tables_.push_back(std::make_unique<TSQLMemTableData>(*this, definition));
    return *tables_.back();
}

TSQLMemTableData& TSQLMemDatabaseData::FindOrCreateTable(const TableDefinition& definition) {
    std::lock_guard lock(mutex_);
    if (TSQLMemTableData* table = FindTable(definition.name)) {
        table->SetName(definition.name);
        return *table;
    }
    if (temporary_) {
        ThrowTableNotFound(definition.name);
    }
    return CreateTable(definition);
}

void TSQLMemDatabaseData::EmptyTable(const std::string& name) {
    std::lock_guard lock(mutex_);
    TSQLMemTableData* table = FindTable(name);
    if (table == nullptr) {
        ThrowTableNotFound(name);
    }
    // The rows go without their delete actions running, so no other table may rely on
    // them. A table's references to its own rows go with the rows.
    for (TSQLMemTableData* other : ReferencingTables(table->Name())) {
        if (other == table) {
            continue;
        }
        for (const TSQLMemConstraintDef& key : other->ForeignKeysTo(table->Name())) {
            if (key.OnDelete != TSQLMemReferentialAction::NoAction ||
                other->HasReferencingRows(key)) {
                throw ESQLMemException::Formatted(
                    11494, "Cannot empty table '" + table->Name() +
                               "' - foreign key(s) with delete action referencing this table "
                               "exists");
            }
        }
    }
    table->Empty();
}

void TSQLMemDatabaseData::DeleteTable(const std::string& name, bool cascade) {
    std::lock_guard lock(mutex_);
    TSQLMemTableData* table = FindTable(name);
    if (table == nullptr) {
        ThrowTableNotFound(name);
    }
    if (table->OpenCursorCount() > 0) {
        throw ESQLMemException::Formatted(
            20017, "Cannot delete table '" + table->Name() + "'. Table is open by another dataset");
    }
    std::vector<TSQLMemTableData*> referencing = ReferencingTables(table->Name());
    std::erase(referencing, table);
    if (!referencing.empty() && !cascade) {
        throw ESQLMemException::Formatted(11481, "Cannot delete table '" + table->Name() +
                                                     "' - foreign key constraint(s) violated");
    }
    for (TSQLMemTableData* other : referencing) {
        other->RemoveForeignKeysTo(table->Name());
    }
    std::erase_if(tables_, [&](const auto& owned) { return owned.get() == table; });
}

std::vector<TSQLMemTableData*> TSQLMemDatabaseData::ReferencingTables(
    const std::string& name) const {
    std::lock_guard lock(mutex_);
    std::vector<TSQLMemTableData*> tables;
    if (!has_foreign_keys_) {
        return tables;
    }
    for (const auto& table : tables_) {
        if (!table->ForeignKeysTo(name).empty()) {
            tables.push_back(table.get());
        }
    }
    return tables;
}

void TSQLMemDatabaseData::RenameTable(const std::string& name, const std::string& new_name) {
    std::lock_guard lock(mutex_);
    TSQLMemTableData* table = FindTable(name);
    if (table == nullptr) {
        ThrowTableNotFound(name);
    }
    TSQLMemTableData* other = FindTable(new_name);
    if (other != nullptr && other != table) {
        throw ESQLMemException::Formatted(10027, "Table '" + new_name + "' already exists");
    }
    if (table->OpenCursorCount() > 0) {
        throw ESQLMemException::Formatted(
            20018, "Cannot alter table '" + table->Name() + "'. Table is open by another dataset");
    }
    const std::string old_name = table->Name();
    for (TSQLMemTableData* other : ReferencingTables(old_name)) {
        other->RenameReferencedTable(old_name, new_name);
    }
    table->SetName(new_name);
}

int32_t TSQLMemDatabaseData::NextObjectID() {
    std::lock_guard lock(mutex_);
    // Cycles within 0..4294967295; the identifier is stored in a 32-bit field.
    last_object_id_ = last_object_id_ == UINT32_MAX ? 0 : last_object_id_ + 1;
    return static_cast<int32_t>(last_object_id_);
}

int64_t TSQLMemDatabaseData::LastObjectID() const {
    std::lock_guard lock(mutex_);
    return last_object_id_;
}

void TSQLMemDatabaseData::RaiseObjectID(int64_t last) {
    std::lock_guard lock(mutex_);
    if (last > static_cast<int64_t>(last_object_id_) && last <= int64_t{UINT32_MAX}) {
        last_object_id_ = static_cast<uint32_t>(last);
    }
}

TSQLMemTableData& TSQLMemDatabaseData::AdoptTable(std::unique_ptr<TSQLMemTableData> table) {
    std::lock_guard lock(mutex_);
    const std::string name = table->Name();
    TSQLMemTableData* old = FindTable(name);
    if (old != nullptr && old->OpenCursorCount() > 0) {
        throw ESQLMemException::Formatted(
            10153, "Cannot load table '" + old->Name() + "'. Table is open by another dataset");
    }
    if (old != nullptr) {
        for (auto& owned : tables_) {
            if (owned.get() == old) {
                owned = std::move(table);
                return *owned;
            }
        }
    }
    tables_.push_back(std::move(table));
    return *tables_.back();
}

void TSQLMemDatabaseData::Connect(TSQLMemLocalSession* handle) {
    std::lock_guard lock(mutex_);
    connections_.push_back(handle);
}

void TSQLMemDatabaseData::Disconnect(TSQLMemLocalSession* handle) {
    std::lock_guard lock(mutex_);
    std::erase(connections_, handle);
}

int32_t TSQLMemDatabaseData::ConnectionCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<int32_t>(connections_.size());
}

void TSQLMemDatabaseData::Clear() {
    std::lock_guard lock(mutex_);
    for (const auto& table : tables_) {
        if (table->OpenCursorCount() > 0) {
            throw ESQLMemException::Formatted(20017, "Cannot delete table '" + table->Name() +
                                                         "'. Table is open by another dataset");
        }
    }
    tables_.clear();
    last_object_id_ = 0;
    has_foreign_keys_ = false;
}

// --- TSQLMemEngine ---

TSQLMemEngine::TSQLMemEngine() {
    databases_.push_back(std::make_unique<TSQLMemDatabaseData>("MEMORY", false));
    databases_.push_back(std::make_unique<TSQLMemDatabaseData>("TEMP", true));
    sessions_.push_back(std::make_unique<TSQLMemSession>("Default", next_connection_id_++));
}

TSQLMemEngine& TSQLMemEngine::Instance() {
    static TSQLMemEngine engine;
    return engine;
}

TSQLMemDatabaseData* TSQLMemEngine::FindDatabase(const std::string& name) {
    std::lock_guard lock(mutex_);
    for (const auto& database : databases_) {
        if (SameName(database->Name(), name)) {
            return database.get();
        }
    }
    return nullptr;
}

TSQLMemSession& TSQLMemEngine::Session(const std::string& name) {
    std::lock_guard lock(mutex_);
    const std::string wanted = name.empty() ? "Default" : name;
    for (const auto& session : sessions_) {
        if (SameName(session->Name(), wanted)) {
            return *session;
        }
    }
    sessions_.push_back(std::make_unique<TSQLMemSession>(wanted, next_connection_id_++));
    return *sessions_.back();
}

void TSQLMemEngine::Reset() {
    std::lock_guard lock(mutex_);
    for (const auto& database : databases_) {
        database->Clear();
    }
    sessions_.clear();
    next_connection_id_ = 1;
    sessions_.push_back(std::make_unique<TSQLMemSession>("Default", next_connection_id_++));
}

// --- Table-level operations ---

bool TableExists(const std::string& database_name, const std::string& table_name) {
    return RequireDatabase(database_name).TableExists(table_name);
}

void CreateTable(const std::string& database_name, const TableDefinition& definition) {
    RequireDatabase(database_name).CreateTable(definition);
}

void EmptyTable(const std::string& database_name, const std::string& table_name) {
    RequireDatabase(database_name).EmptyTable(table_name);
}

void DeleteTable(const std::string& database_name, const std::string& table_name, bool cascade) {
    RequireDatabase(database_name).DeleteTable(table_name, cascade);
}

void RenameTable(const std::string& database_name, const std::string& table_name,
                 const std::string& new_name) {
    RequireDatabase(database_name).RenameTable(table_name, new_name);
}

namespace {

TSQLMemTableData& RequireTable(const std::string& database_name, const std::string& table_name) {
    TSQLMemDatabaseData& database = RequireDatabase(database_name);
    TSQLMemTableData* table = database.FindTable(table_name);
    if (table == nullptr) {
        // Raises the database's own not-found error.
        database.EmptyTable(table_name);
    }
    return *database.FindTable(table_name);
}

}  // namespace

void AddIndex(const std::string& database_name, const std::string& table_name,
              const TableIndexSpec& index) {
    RequireTable(database_name, table_name).AddIndex(index);
}

void DropIndex(const std::string& database_name, const std::string& table_name,
               const std::string& index_name) {
    RequireTable(database_name, table_name).DropIndex(index_name);
}

void DropConstraint(const std::string& database_name, const std::string& table_name,
                    const std::string& constraint_name) {
    RequireTable(database_name, table_name).DropConstraint(constraint_name);
}

void AddForeignKey(const std::string& database_name, const std::string& table_name,
                   const TableForeignKeySpec& key) {
    TSQLMemDatabaseData& database = RequireDatabase(database_name);
    std::lock_guard lock(database.Mutex());
    RequireTable(database_name, table_name).AddForeignKey(key);
}

bool IndexExists(const std::string& database_name, const std::string& table_name,
                 const std::string& index_name) {
    return RequireTable(database_name, table_name).IndexNoByName(index_name) >= 0;
}

}  // namespace tapir::engine
