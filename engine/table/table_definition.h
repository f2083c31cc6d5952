#pragma once
// Definitions a table is created from and the engine-level definitions it keeps: columns,
// indexes with their column rules, and constraints. The dataset layer describes a new
// table with TableDefinition; the storage turns it into the stored definitions.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/record/db_types.h"
#include "engine/record/field_types.h"
#include "engine/record/sqlmem_variant.h"

namespace tapir::engine {

// Compression of a saved table stream; the numbers match the stored algorithm byte.
enum class TCompressionAlgorithm : uint8_t { caNone = 0, caZLIB, caBZIP, caPPM };
using enum TCompressionAlgorithm;

// The byte stream the table stream operations write to and read from.
class TSQLMemStream;

// --- What a table is created from ---

struct TableFieldSpec {
    std::string name;
    TFieldType data_type = ftUnknown;
    int32_t size = 0;  // characters for text, 0 otherwise
    bool required = false;
    // Sequence settings of an autoinc column.
    int64_t increment = 1;
    int64_t initial_value = 0;
    int64_t min_value = 0;
    int64_t max_value = INT64_MAX;
    bool cycled = false;
    // Check constraint on a numeric column: a null value passes.
    std::optional<double> check_min;
    std::optional<double> check_max;
    // The declared type when data_type alone does not say it (a wide memo is an ftMemo);
    // aftUnknown: the type table's type for data_type.
    TSQLMemAdvancedFieldType advanced_type = aftUnknown;
    // How a BLOB column keeps its values: algorithm (TSQLMemCompressionAlgorithm number),
    // level 0 ... 9, and uncompressed bytes per block (the default: as the level says).
    int32_t blob_compression_algorithm = 0;
    int32_t blob_compression_mode = 0;
    int32_t blob_block_size = 102400;
    // The value a new row starts with (BLOB columns take none); converted to the
    // column's type when the table is created.
    std::optional<TSQLMemVariant> default_value;
};

// The declared type of a column: advanced_type when set, else data_type's.
TSQLMemAdvancedFieldType SpecAdvancedType(const TableFieldSpec& column);

struct TableIndexSpec {
    std::string name;
    std::string fields;  // field names separated by ";"
    bool primary = false;
    bool unique = false;
    // Descending / case-insensitive: every column when the matching list is empty, else
    // only the columns named in it. A column named in a list is so even without the flag.
    bool descending = false;
    bool case_insensitive = false;
    std::string desc_fields;      // ";"-list
    std::string case_ins_fields;  // ";"-list
};

// How the referencing columns of a foreign key must match the referenced key when some of
// them are null: simple: any null column passes; full: all null passes, some null fails;
// partial: the non-null columns must match some referenced row. The numbers are stored.
enum class TSQLMemMatchRule : uint8_t { Simple = 0, Full = 1, Partial = 2 };
// What a change of a referenced row does to the rows that reference it. Stored numbers.
enum class TSQLMemReferentialAction : uint8_t {
    NoAction = 0,
    Cascade = 1,
    SetNull = 2,
    SetDefault = 3
};

// A foreign key: `fields` of the table reference the primary key of `referenced_table`,
// column by column.
struct TableForeignKeySpec {
    std::string name;    // empty: a generated name
    std::string fields;  // ";"-list
    std::string referenced_table;
    TSQLMemMatchRule match = TSQLMemMatchRule::Simple;
    TSQLMemReferentialAction on_update = TSQLMemReferentialAction::NoAction;
    TSQLMemReferentialAction on_delete = TSQLMemReferentialAction::NoAction;
};

struct TableDefinition {
    std::string name;
    std::vector<TableFieldSpec> fields;
    std::vector<TableIndexSpec> indexes;
    std::vector<TableForeignKeySpec> foreign_keys;
    int32_t alloc_by = 1000;  // slot array growth step; values below 1 count as 1
};

// --- Stored definitions ---

struct TSQLMemIndexColumn {
    std::string FieldName;
    bool Descending = false;
    bool CaseInsensitive = false;
};

struct TSQLMemIndexDef {
    std::string Name;
    int32_t ObjectID = -1;
    bool Unique = false;
    bool Primary = false;
    std::vector<TSQLMemIndexColumn> Columns;
};

enum class ConstraintKind : int { PrimaryKey = 0, Unique, NotNull, Check, ForeignKey };

struct TSQLMemConstraintDef {
    std::string Name;
    int32_t ObjectID = -1;
    ConstraintKind Kind = ConstraintKind::NotNull;
    std::string TableName;
    int32_t FieldNo = -1;            // NotNull, Check
    int32_t IndexNo = -1;            // PrimaryKey, Unique: position in the index definitions
    std::optional<double> MinValue;  // Check
    std::optional<double> MaxValue;  // Check
    // ForeignKey: the referencing columns by name (names stay right when columns move),
    // the referenced table by name (its primary key is the referenced key), the rules.
    std::vector<std::string> Columns;
    std::string ReferencedTable;
    TSQLMemMatchRule Match = TSQLMemMatchRule::Simple;
    TSQLMemReferentialAction OnUpdate = TSQLMemReferentialAction::NoAction;
    TSQLMemReferentialAction OnDelete = TSQLMemReferentialAction::NoAction;
};

// Splits a ";"-separated list of names; blanks around names are dropped, empty names kept
// out.
std::vector<std::string> SplitFieldList(const std::string& list);

}  // namespace tapir::engine
