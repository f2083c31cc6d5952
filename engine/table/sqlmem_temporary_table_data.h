#pragma once
// TSQLMemTemporaryTableData: the storage of a temporary table, such as a query result.
// Rows are appended and never change; they live in a temporary record store, the indexes
// on a temporary page store of the table's own, and BLOB values in the table's BLOB file
// (a temporary stream). Each part keeps memory up to a budget and spills the rest to a
// temporary file that goes with the table. Every table gets a process-unique name that
// begins with "TEMPORARY_TABLE_". Thread-safe: one recursive mutex (rank 4, as a table's
// lock) guards each operation.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/index/sqlmem_btree_index.h"
#include "engine/pages/sqlmem_temporary_page_manager.h"
#include "engine/pages/sqlmem_temporary_record_manager.h"
#include "engine/record/record_buffer.h"
#include "engine/pages/sqlmem_stream.h"
#include "engine/table/table_definition.h"

namespace tapir::engine {

inline constexpr char kTemporaryTableNamePrefix[] = "TEMPORARY_TABLE_";
// A temporary table with no fields, an autoinc field (a temporary table draws no numbers:
// its producer stores plain integers) or an index column that names no field.
inline constexpr int kInvalidTemporaryTableCode = 10893;

struct TSQLMemTemporaryTableOptions {
    int32_t page_size = SQLMemDefaultTemporaryPageSize;
    // Index pages held in memory; unset: from the free memory.
    std::optional<int32_t> memory_page_limit;
    TSQLMemTemporaryRecordManager::Options records;
    // Bytes of BLOB data held in memory before the BLOB file spills to disk.
    int64_t blob_memory_limit = DefaultTemporaryLimit;
};

// Everything a temporary table is made of, as its stream carries it: loading builds the
// parts first and turns them into a table only when all of them are read and sound.
struct TSQLMemTemporaryTableParts {
    TSQLMemFieldDefs FieldDefs;
    std::vector<TSQLMemIndexDef> IndexDefs;
    std::vector<int32_t> RootPageNos;  // per index definition; -1 without a root
    std::unique_ptr<TSQLMemTemporaryPageManager> Pages;
    std::unique_ptr<TSQLMemTemporaryRecordManager> Records;
    std::unique_ptr<TSQLMemTemporaryStream> BlobFile;
};

class TSQLMemTemporaryTableData {
  public:
    using Options = TSQLMemTemporaryTableOptions;

    // An empty table whose indexes have their (empty) root pages. Throws
    // ESQLMemException kInvalidTemporaryTableCode for no fields, an autoinc field or an
    // index column naming no field, and the stores' creation errors.
    TSQLMemTemporaryTableData(TSQLMemFieldDefs field_defs, std::vector<TSQLMemIndexDef> index_defs,
                              const Options& options = {});
    // Takes over loaded parts as they are, under a new name. Requires: the parts agree
    // with each other (index columns name fields, roots are allocated pages, records have
    // the layout's size); CheckIntegrity tells whether the pages describe the records.
    explicit TSQLMemTemporaryTableData(TSQLMemTemporaryTableParts parts);
    TSQLMemTemporaryTableData(const TSQLMemTemporaryTableData&) = delete;
    TSQLMemTemporaryTableData& operator=(const TSQLMemTemporaryTableData&) = delete;
    ~TSQLMemTemporaryTableData();

    // "TEMPORARY_TABLE_" and a number no other temporary table of this process has had.
    static std::string NewTemporaryTableName();

    std::recursive_mutex& Mutex() const { return mutex_; }
    const std::string& Name() const { return name_; }
    const TSQLMemFieldDefs& FieldDefs() const { return field_defs_; }
    const std::vector<TSQLMemIndexDef>& IndexDefs() const { return index_defs_; }
    // Bytes of one record: the row buffer's null bitmap and field data.
    int32_t RecordSize() const { return field_defs_.DataSize(); }

    // Appends a row (RecordSize() bytes) and files it in every index. Returns its
    // ordinal, which is its identifier. When the record store or an index fails, the
    // row is in none of them and the error propagates.
    uint64_t AddRecord(const std::byte* row);
    uint64_t RecordCount() const;
    // Copies record `ordinal` into `row`. Throws the record store's 10129 for an ordinal
    // not stored.
    void GetRecord(uint64_t ordinal, std::byte* row) const;

    // The identifier an index keeps for a record: the ordinal as a 48-bit number, low
    // 32 bits first.
    static IndexRecordId RecordIdOf(uint64_t ordinal);
    static uint64_t OrdinalOf(IndexRecordId id);

    // Requires: the table lock is held while these are used.
    TSQLMemBTreeIndex& Index(int32_t index_no) const { return *indexes_[index_no]; }
    TSQLMemTemporaryPageManager& Pages() const { return *pages_; }
    TSQLMemTemporaryRecordManager& Records() const { return *records_; }
    TSQLMemTemporaryStream& BlobFile() const { return *blob_file_; }

    // Every fault found: broken tree shapes, entries for no record or under another key,
    // entry counts other than the record count. Empty when sound.
    std::vector<std::string> CheckIntegrity() const;

  private:
    void BuildIndexes(const std::vector<int32_t>& root_page_nos);

    // Guards everything below; rank 4.
    mutable std::recursive_mutex mutex_;
    std::string name_;
    TSQLMemFieldDefs field_defs_;
    std::vector<TSQLMemIndexDef> index_defs_;
    std::unique_ptr<TSQLMemTemporaryRecordManager> records_;
    std::unique_ptr<TSQLMemTemporaryStream> blob_file_;
    std::unique_ptr<TSQLMemTemporaryPageManager> pages_;
    // Over pages_, so declared after it.
    std::vector<std::unique_ptr<TSQLMemBTreeIndex>> indexes_;
};

}  // namespace tapir::engine
