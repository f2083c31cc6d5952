#pragma once
// The stream form of a temporary table (a query result): shorter than a table stream, with
// no header, sequences, constraints or record map, since a temporary table has none of
// them and its records are numbered by their order.
//
// Temporary table stream (little-endian):
//   SIZE         DESCRIPTION
//   ...          field definitions, as in a table stream's body
//   ...          index definitions, as in a table stream's body, then the temporary page
//                store's stream form
//   4            record size (int32): the row layout's null bitmap and field data
//   8            record count (int64)
//   count*size   the records in ordinal order
//   8            BLOB file size (int64)
//   file size    the BLOB file's bytes, copied block-wise
//
// A loaded table gets a fresh "TEMPORARY_TABLE_" name; its temporary files are its own.

#include <memory>

#include "engine/pages/sqlmem_stream.h"
#include "engine/table/sqlmem_temporary_table_data.h"

namespace tapir::engine {

// Codes of the record store's and the BLOB file's fields on save; the same field's load
// code is kTableStreamLoadCodeOffset higher.
enum class TemporaryTableStreamCode : int {
    RecordSize = 10946,
    RecordCount,
    Records,
    BlobFileSize,
};

// Writes the table at the stream's position, under the table's lock. Throws
// ESQLMemException with the field's write code on a short write, 10146 / 10147 when the
// BLOB file cannot be copied.
void SaveTemporaryTableToStream(const TSQLMemTemporaryTableData& table, TSQLMemStream& stream);

// Reads one temporary table from the stream's position into a new table. The record
// store and the BLOB file follow `options`; the page store keeps the layout it was saved
// with and must have the page size of `options`. Throws
// ESQLMemException: the field's read code on a short read, kInvalidTableStreamCode when
// fields contradict each other or claim more bytes than the stream holds, and the page
// store's codes; nothing of a failed load is left behind.
std::unique_ptr<TSQLMemTemporaryTableData> LoadTemporaryTableFromStream(
    TSQLMemStream& stream, const TSQLMemTemporaryTableOptions& options = {});

}  // namespace tapir::engine
