#include "engine/sql/statements/sqlmem_statement_util.h"

namespace tapir::engine {

std::string PrimaryIndexName(const std::string& table_name) { return "PK_" + table_name; }

std::string UniqueIndexName(const std::string& column_name) { return "UQ_" + column_name; }

TableIndexSpec KeyIndexSpec(const std::string& name, const std::vector<TSQLKeyColumn>& columns,
                            bool primary, bool unique) {
    TableIndexSpec index;
    index.name = name;
    index.primary = primary;
    index.unique = unique;
    auto append = [](std::string& list, const std::string& item) {
        list += (list.empty() ? "" : ";") + item;
    };
    for (const TSQLKeyColumn& column : columns) {
        append(index.fields, column.Name);
        if (column.Descending) {
            append(index.desc_fields, column.Name);
        }
        if (column.CaseInsensitive) {
            append(index.case_ins_fields, column.Name);
        }
    }
    return index;
}

}  // namespace tapir::engine
