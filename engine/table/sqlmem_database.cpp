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

// --- TSQLMemSession ---

TSQLMemLocalSession& TSQLMemSession::Handle(TSQLMemDatabaseData& database) {
    std::lock_guard lock(mutex_);
    for (const auto& handle : handles_) {
        if (&handle->Database() == &database) {
            return *handle;
        }
    }
    handles_.push_back(std::make_unique<TSQLMemLocalSession>(connection_id_, database));
    return *handles_.back();
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
    table->Empty();
}

void TSQLMemDatabaseData::DeleteTable(const std::string& name) {
    std::lock_guard lock(mutex_);
    TSQLMemTableData* table = FindTable(name);
    if (table == nullptr) {
        ThrowTableNotFound(name);
    }
    if (table->OpenCursorCount() > 0) {
        throw ESQLMemException::Formatted(
            20017, "Cannot delete table '" + table->Name() + "'. Table is open by another dataset");
    }
    std::erase_if(tables_, [&](const auto& owned) { return owned.get() == table; });
}

int32_t TSQLMemDatabaseData::NextObjectID() {
    std::lock_guard lock(mutex_);
    // Cycles within 0..4294967295; the identifier is stored in a 32-bit field.
    last_object_id_ = last_object_id_ == UINT32_MAX ? 0 : last_object_id_ + 1;
    return static_cast<int32_t>(last_object_id_);
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

void DeleteTable(const std::string& database_name, const std::string& table_name) {
    RequireDatabase(database_name).DeleteTable(table_name);
}

}  // namespace tapir::engine
