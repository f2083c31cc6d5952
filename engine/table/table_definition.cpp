#include "engine/table/table_definition.h"

#include <cctype>

namespace tapir::engine {

std::vector<std::string> SplitFieldList(const std::string& list) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos) {
            end = list.size();
        }
        std::string name = list.substr(start, end - start);
        const size_t first = name.find_first_not_of(" \t");
        const size_t last = name.find_last_not_of(" \t");
        if (first != std::string::npos) {
            names.push_back(name.substr(first, last - first + 1));
        }
        start = end + 1;
    }
    return names;
}

TSQLMemAdvancedFieldType SpecAdvancedType(const TableFieldSpec& column) {
    return column.advanced_type != aftUnknown ? column.advanced_type
                                              : FieldTypeToAdvancedType(column.data_type);
}

}  // namespace tapir::engine
