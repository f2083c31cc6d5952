#pragma once
// The table stream: a whole in-memory table (definitions, sequences, constraints, index
// pages and rows) as bytes, optionally with its body compressed, and the form that holds
// several tables. Rows keep their slot numbers and the index pages are carried unchanged,
// so a loaded table is usable without rebuilding its indexes.
//
// Table stream (little-endian):
//   OFFSET  SIZE  DESCRIPTION
//   0       4     signature "ACS1"
//   4       8     version (IEEE double 3.06)
//   12      8     record count (int64)
//   20      8     body size before compression (int64; 0 when not compressed)
//   28      8     not used (0)
//   36      4     stored body size when compressed, else the caller's value (int32)
//   40      1     algorithm (TSQLMemCompressionAlgorithm)
//   41      1     level (a requested 0 is stored as 1)
//   42      1     name length n
//   43      n     table name
//   43+n    8     last object identifier of the saving database (int64)
//   51+n    ...   body: sequences, field definitions, constraints, indexes with the page
//                 store, and when the record count is above 0 the record map and rows
//
// A table with BLOB fields writes after each row the values of its non-null BLOB fields
// in field order, each as a descriptor and the value's kept bytes:
//   OFFSET  SIZE  DESCRIPTION
//   0       12    the value's header (BlobValue)
//   12      8     kept size k (int64, above 0)
//   20      k     the kept bytes
// and the row's slot of that field holds the int64 position of the descriptor in the
// stream the body is written to: the target stream for an uncompressed body (so such a
// stream loads only at the offset it was saved at), the uncompressed body for a
// compressed one (which can be moved freely). Loading takes each value at the position
// its slot names, which must be where the record's values follow one another.
//
// Several tables: int32 table count, then one table stream per table.
//
// Loading reads everything into new parts first and touches the database only once all
// of it has been read and checked, so a failed load leaves the database as it was.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/pages/sqlmem_compression.h"
#include "engine/pages/sqlmem_stream.h"
#include "engine/record/record_buffer.h"
#include "engine/table/table_definition.h"

namespace tapir::engine {

class TSQLMemDatabaseData;
class TSQLMemTableData;

inline constexpr char kTableStreamSignature[4] = {'A', 'C', 'S', '1'};
inline constexpr double kTableStreamVersion = 3.06;
inline constexpr int32_t kTableStreamHeaderSize = 43;

// Codes of the header fields (save / load) and of the whole operation.
inline constexpr int kHeaderWriteCode = 10156;
inline constexpr int kHeaderReadCode = 10160;
inline constexpr int kNameWriteCode = 10157;
inline constexpr int kNameReadCode = 10163;
inline constexpr int kLastObjectIDWriteCode = 10416;
inline constexpr int kLastObjectIDReadCode = 10417;
inline constexpr int kTableOpenCode = 10153;
inline constexpr int kTableNotFoundCode = 10154;
inline constexpr int kHeaderSeekCode = 10155;
inline constexpr int kSignatureCode = 10161;
inline constexpr int kVersionCode = 10162;
inline constexpr int kUnknownConstraintCode = 30316;
// A body that cannot be compressed / decompressed to its stored size.
inline constexpr int kCompressBodyCode = 10890;
inline constexpr int kDecompressBodyCode = 10891;
// A BLOB value's position in a record that the stream cannot be set to.
inline constexpr int kBlobPositionCode = 10202;
// A file save whose last bytes could not be written to the disk.
inline constexpr int kFileWriteCode = 10147;
// A BLOB value's descriptor: its 12-byte header and its int64 kept size.
inline constexpr int64_t kBlobDescriptorSize = 20;
// A loaded stream whose fields contradict each other or the engine's limits.
inline constexpr int kInvalidTableStreamCode = 10899;

// Codes of the body fields on save; the same field's load code is 50 higher.
enum class TableStreamCode : int {
    SequenceCount = 10900,
    SequenceName,
    SequenceObjectID,
    SequenceType,
    SequenceValues,
    SequenceCycled,
    FieldCount,
    FieldName,
    FieldObjectID,
    FieldBaseType,
    FieldAdvancedType,
    FieldSize,
    FieldBlobParameters,
    FieldSequenceObjectID,
    FieldAutoincValues,
    FieldCycled,
    DefaultType,
    DefaultIsNull,
    DefaultSize,
    DefaultBytes,
    ConstraintCount,
    ConstraintType,
    ConstraintName,
    ConstraintObjectID,
    ConstraintReferences,
    ConstraintNames,
    ConstraintActions,
    ConstraintColumnCount,
    ConstraintColumn,
    IndexCount,
    IndexName,
    IndexObjectID,
    IndexKind,
    IndexFlags,
    IndexColumnCount,
    IndexRootPageNo,
    IndexFieldName,
    IndexColumnFlags,
    SlotCount,
    NoDeletedSlots,
    FirstSlot,
    LastSlot,
    DeletedBits,
    Record,
    CompressedBody,
    TableCount,
    BlobDescriptor,
    BlobData,
};
inline constexpr int kTableStreamLoadCodeOffset = 50;

// Writes the table `table_name` of `database` at the stream's position. Throws
// ESQLMemException: 10154 "Table not found, table name = %s", 10153 "Cannot save table
// '%s'. Table is open by another dataset" while a cursor has it open, kCompressBodyCode
// when the body cannot be compressed, and the write codes.
// The header is rewritten with the final sizes also when the body fails (10155 when the
// stream cannot go back to it).
void SaveTableToStream(TSQLMemDatabaseData& database, const std::string& table_name,
                       TSQLMemStream& stream, TSQLMemCompressionAlgorithm algorithm, uint8_t level,
                       int32_t value);
// Reads one table stream at the stream's position into `database`, replacing a table of
// the stored name (refused with 10153 while that one is open), and raises the database's
// object-identifier sequence to the stored value. Returns the loaded table.
TSQLMemTableData& LoadTableFromStream(TSQLMemDatabaseData& database, TSQLMemStream& stream);

// Every table of the database, in list order (refused with 10153 before anything is
// written when any of them is open).
void SaveAllTablesToStream(TSQLMemDatabaseData& database, TSQLMemStream& stream,
                           TSQLMemCompressionAlgorithm algorithm, uint8_t level, int32_t value);
// Reads every table first; the database changes only when all of them loaded.
void LoadAllTablesFromStream(TSQLMemDatabaseData& database, TSQLMemStream& stream);

// The file forms: a save writes a temporary file beside the target and renames it into
// place only when complete; a load reads the file as it is.
void SaveTableToFile(TSQLMemDatabaseData& database, const std::string& table_name,
                     const std::string& file_name, TSQLMemCompressionAlgorithm algorithm,
                     uint8_t level, int32_t value);
TSQLMemTableData& LoadTableFromFile(TSQLMemDatabaseData& database, const std::string& file_name);
void SaveAllTablesToFile(TSQLMemDatabaseData& database, const std::string& file_name,
                         TSQLMemCompressionAlgorithm algorithm, uint8_t level, int32_t value);
void LoadAllTablesFromFile(TSQLMemDatabaseData& database, const std::string& file_name);

// Sections of the body that other stream forms (temporary tables) carry as they stand.
// The field definitions; reading refuses an autoinc field, as there are no sequences to
// bind it to, and raises the load codes and kInvalidTableStreamCode like a table load.
void WriteFieldDefsSection(ByteSink& sink, const TSQLMemFieldDefs& fields);
TSQLMemFieldDefs ReadFieldDefsSection(ByteSource& source);
// The index definitions with one root page number each (-1 without a root); the page
// store that holds the pages follows in the stream and is the caller's to write.
// Requires: root_page_nos has one entry per definition.
void WriteIndexDefsSection(ByteSink& sink, const std::vector<TSQLMemIndexDef>& index_defs,
                           const std::vector<int32_t>& root_page_nos);
// Reading checks every column against `fields` (kInvalidTableStreamCode).
void ReadIndexDefsSection(ByteSource& source, const TSQLMemFieldDefs& fields,
                          std::vector<TSQLMemIndexDef>& index_defs,
                          std::vector<int32_t>& root_page_nos);

}  // namespace tapir::engine
