#include "engine/table/sqlmem_temporary_table_data.h"

#include <atomic>
#include <vector>

#include "engine/record/db_types.h"

namespace tapir::engine {

namespace {

// Temporary tables are private to the statement that made them: one connection serves.
constexpr ConnectionID kConnection = 0;

[[noreturn]] void InvalidTable(const std::string& what) {
    throw ESQLMemException::Formatted(kInvalidTemporaryTableCode,
                                      "Invalid temporary table: " + what);
}

void CheckDefinition(const TSQLMemFieldDefs& fields, const std::vector<TSQLMemIndexDef>& indexes) {
    if (fields.Count() == 0) {
        InvalidTable("no fields");
    }
    for (const TSQLMemFieldDef& field : fields.Defs()) {
        if (IsAutoIncType(field.AdvancedType)) {
            InvalidTable("autoinc field '" + field.Name + "'");
        }
    }
    for (const TSQLMemIndexDef& index : indexes) {
        if (index.Columns.empty()) {
            InvalidTable("index '" + index.Name + "' without columns");
        }
        for (const TSQLMemIndexColumn& column : index.Columns) {
            if (fields.IndexOf(column.FieldName) < 0) {
                InvalidTable("field '" + column.FieldName + "' of index '" + index.Name +
                             "' not found");
            }
        }
    }
}

std::unique_ptr<TSQLMemTemporaryPageManager> MakePages(
    const TSQLMemTemporaryTableOptions& options) {
    if (options.memory_page_limit) {
        return std::make_unique<TSQLMemTemporaryPageManager>(options.page_size,
                                                             *options.memory_page_limit);
    }
    return std::make_unique<TSQLMemTemporaryPageManager>(options.page_size);
}

}  // namespace

std::string TSQLMemTemporaryTableData::NewTemporaryTableName() {
    static std::atomic<uint64_t> last_number{0};
    return kTemporaryTableNamePrefix + std::to_string(++last_number);
}

IndexRecordId TSQLMemTemporaryTableData::RecordIdOf(uint64_t ordinal) {
    return {static_cast<int32_t>(static_cast<uint32_t>(ordinal & 0xFFFFFFFFu)),
            static_cast<uint16_t>((ordinal >> 32) & 0xFFFFu)};
}

uint64_t TSQLMemTemporaryTableData::OrdinalOf(IndexRecordId id) {
    return (static_cast<uint64_t>(id.PageItemNo) << 32) | static_cast<uint32_t>(id.PageNo);
}

TSQLMemTemporaryTableData::TSQLMemTemporaryTableData(TSQLMemFieldDefs field_defs,
                                                     std::vector<TSQLMemIndexDef> index_defs,
                                                     const Options& options)
    : name_(NewTemporaryTableName()),
      field_defs_(std::move(field_defs)),
      index_defs_(std::move(index_defs)) {
    CheckDefinition(field_defs_, index_defs_);
    records_ = std::make_unique<TSQLMemTemporaryRecordManager>(RecordSize(), options.records);
    blob_file_ = std::make_unique<TSQLMemTemporaryStream>(options.blob_memory_limit);
    pages_ = MakePages(options);
    BuildIndexes(std::vector<int32_t>(index_defs_.size(), -1));
    try {
        for (auto& index : indexes_) {
            index->CreateRoot(kConnection);
        }
        pages_->ApplyChanges(kConnection);
    } catch (...) {
        pages_->CancelChanges(kConnection);
        throw;
    }
}

TSQLMemTemporaryTableData::TSQLMemTemporaryTableData(TSQLMemTemporaryTableParts parts)
    : name_(NewTemporaryTableName()),
      field_defs_(std::move(parts.FieldDefs)),
      index_defs_(std::move(parts.IndexDefs)),
      records_(std::move(parts.Records)),
      blob_file_(std::move(parts.BlobFile)),
      pages_(std::move(parts.Pages)) {
    if (!blob_file_) {
        blob_file_ = std::make_unique<TSQLMemTemporaryStream>();
    }
    BuildIndexes(parts.RootPageNos);
}

TSQLMemTemporaryTableData::~TSQLMemTemporaryTableData() = default;

void TSQLMemTemporaryTableData::BuildIndexes(const std::vector<int32_t>& root_page_nos) {
    for (size_t index_no = 0; index_no < index_defs_.size(); ++index_no) {
        const TSQLMemIndexDef& def = index_defs_[index_no];
        BTreeIndexDef tree;
        tree.RootPageNo = root_page_nos[index_no];
        tree.Name = def.Name;
        tree.ObjectID = def.ObjectID;
        tree.Unique = def.Unique;
        tree.Primary = def.Primary;
        for (const TSQLMemIndexColumn& column : def.Columns) {
            const int32_t field_no = field_defs_.IndexOf(column.FieldName);
            const TSQLMemFieldDef& field = field_defs_[field_no];
            KeyColumn key;
            key.type = static_cast<KeyFieldType>(field.BaseType);
            key.size = field.Size;
            key.record_offset = field.MemoryOffset;
            key.field_no = field_no;
            key.descending = column.Descending;
            key.case_insensitive = column.CaseInsensitive;
            tree.Columns.push_back(key);
        }
        indexes_.push_back(std::make_unique<TSQLMemBTreeIndex>(*pages_, std::move(tree)));
    }
}

uint64_t TSQLMemTemporaryTableData::AddRecord(const std::byte* row) {
    std::lock_guard lock(mutex_);
    // The record store only appends, so the row goes into the indexes first: a failure of
    // either side then leaves no trace of it.
    const uint64_t ordinal = records_->RecordCount();
    const IndexRecordId id = RecordIdOf(ordinal);
    size_t filed = 0;
    try {
        for (; filed < indexes_.size(); ++filed) {
            indexes_[filed]->InsertRecord(kConnection, row, id);
        }
        pages_->ApplyChanges(kConnection);
        const uint64_t added = records_->AddRecord(row);
        if (added != ordinal) {
            InvalidTable("record " + std::to_string(added) + " stored as " +
                         std::to_string(ordinal));
        }
    } catch (...) {
        try {
            for (size_t i = 0; i < filed; ++i) {
                indexes_[i]->DeleteRecord(kConnection, row, id);
            }
            pages_->ApplyChanges(kConnection);
        } catch (...) {
            pages_->CancelChanges(kConnection);
        }
        throw;
    }
    return ordinal;
}

uint64_t TSQLMemTemporaryTableData::RecordCount() const {
    std::lock_guard lock(mutex_);
    return records_->RecordCount();
}

void TSQLMemTemporaryTableData::GetRecord(uint64_t ordinal, std::byte* row) const {
    std::lock_guard lock(mutex_);
    records_->GetRecord(ordinal, row);
}

std::vector<std::string> TSQLMemTemporaryTableData::CheckIntegrity() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> problems;
    const uint64_t count = records_->RecordCount();
    std::vector<std::byte> row(static_cast<size_t>(RecordSize()));
    for (size_t i = 0; i < indexes_.size(); ++i) {
        TSQLMemBTreeIndex& index = *indexes_[i];
        const std::string name = "index '" + index.Definition().Name + "': ";
        const std::vector<std::string> shape = index.CheckIntegrity(kConnection);
        for (const std::string& problem : shape) {
            problems.push_back(name + problem);
        }
        if (!shape.empty()) {
            // A damaged tree cannot be walked safely.
            continue;
        }
        uint64_t entries = 0;
        TSQLMemKeyPath path;
        for (bool more = index.GetFirstPosition(kConnection, path); more;
             more = index.GetNextPosition(kConnection, path)) {
            const IndexRecordId entry = index.GetRecordID(kConnection, path);
            const uint64_t ordinal = OrdinalOf(entry);
            ++entries;
            if (entries > count) {
                break;
            }
            if (ordinal >= count) {
                problems.push_back(name + "entry for missing record " + std::to_string(ordinal));
                continue;
            }
            records_->GetRecord(ordinal, row.data());
            TSQLMemKeyPath own;
            if (!index.GetIndexPosition(kConnection, entry, row.data(), own) ||
                own.Compare(path) != 0) {
                problems.push_back(name + "record " + std::to_string(ordinal) +
                                   " is filed under another key");
            }
        }
        if (entries != count) {
            problems.push_back(name + (entries > count ? "more than " : "") +
                               std::to_string(entries) + " entries for " + std::to_string(count) +
                               " records");
        }
    }
    return problems;
}

}  // namespace tapir::engine
