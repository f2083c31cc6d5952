#pragma once
// Prints result cursors the way command-line SQL shells print their "list" mode: a line
// of column names joined by `|`, then one line per row. A null is an empty field,
// integers are decimal, floating values take `%.15g`, booleans "True"/"False", dates
// YYYY-MM-DD, times HH:MM:SS and date-times YYYY-MM-DD HH:MM:SS (the date alone at
// midnight); text and BLOB content are written as they are.

#include <ostream>
#include <string>

namespace tapir::engine {
class TField;
class TSQLMemDataSet;
}  // namespace tapir::engine

namespace tapir::sqlshell {

// The text of the field's value in the current row.
std::string FormatFieldValue(const engine::TField& field);

// Writes the header and every row from the first; the dataset ends after its last row.
// The header is written also when there is no row.
void PrintResult(engine::TSQLMemDataSet& dataset, std::ostream& out);

}  // namespace tapir::sqlshell
