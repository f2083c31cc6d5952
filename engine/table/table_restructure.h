#pragma once
// Restructuring a stored table: a new column list (columns kept, renamed, changed, added
// or dropped) becomes a new table of the same name that holds every row of the old one.
// The new table is built aside and takes the old one's place only when every row has
// been copied; on any error the old table stays as it was.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/table/table_definition.h"

namespace tapir::engine {

class TSQLMemDatabaseData;
class TSQLMemTableData;

// Refusals of the restructure itself (the row copy passes on the engine's own errors).
inline constexpr int kRestructureColumnCode = 30348;

// One column of the new table: its definition, and the stored column it takes its values
// from (by its name in the old table; empty for a new column).
struct RestructureColumn {
    TableFieldSpec field;
    std::string source;
};

struct RestructurePlan {
    std::vector<RestructureColumn> columns;
    // Indexes to add besides the old ones that survive. A primary index here takes the
    // place of the old primary index.
    std::vector<TableIndexSpec> added_indexes;
};

// The definition of stored column `field_no` as a table would be created with it: type,
// size, not-null and check constraints, default value, sequence and BLOB settings.
TableFieldSpec StoredColumnSpec(const TSQLMemTableData& table, int32_t field_no);

// The plan that keeps every column of the table as it is.
RestructurePlan CurrentColumns(const TSQLMemTableData& table);

// Rebuilds the table by the plan:
// - rows are copied in storage order, each value converted to its new column's type
//   (text longer than the column is cut); a new column takes its default (or null, or
//   the next number of its sequence for an autoinc column); a null met by a NOT NULL
//   column with a default takes the default;
// - a value that does not convert, or a row that breaks a constraint of the new table,
//   fails the whole restructure;
// - an autoinc column that was one before keeps its sequence's last value; a column that
//   becomes autoinc continues after the highest value it holds;
// - an old index survives when every column it names survives (under the new names);
//   otherwise it goes with its constraint; an indexed column cannot become a BLOB column
//   (kRestructureColumnCode);
// - not-null and check constraints are the new column list's; any other constraint is
//   carried over with its column names renamed, and a constraint that names a dropped
//   column refuses the restructure (kRestructureColumnCode).
// ESQLMemException: 10028 for an unknown table, 20018 while a cursor has the table open,
// kRestructureColumnCode for a source column the table does not have, the creation
// errors of the new definition (duplicate names, sizes, indexes) and the conversion,
// constraint and BLOB errors of the copy. Nothing changes on an error.
void RestructureTable(TSQLMemDatabaseData& database, const std::string& table_name,
                      const RestructurePlan& plan);

}  // namespace tapir::engine
