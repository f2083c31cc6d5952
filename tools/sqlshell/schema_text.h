#pragma once
// The SQL that creates a stored table again: its columns with their types, sizes and
// NOT NULL, the primary key, and one CREATE INDEX per other index. Shown by `.schema`.

#include <string>

namespace tapir::engine {
class TSQLMemTableData;
}

namespace tapir::sqlshell {

// "CREATE TABLE name (...);" and the index statements, each on its own line(s).
std::string SchemaText(const engine::TSQLMemTableData& table);

}  // namespace tapir::sqlshell
