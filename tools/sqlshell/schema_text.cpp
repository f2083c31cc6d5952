#include "tools/sqlshell/schema_text.h"

#include <algorithm>
#include <cctype>

#include "engine/record/field_types.h"
#include "engine/sql/lexer/reserved_words.h"
#include "engine/table/sqlmem_table_data.h"

namespace tapir::sqlshell {

namespace {

using namespace tapir::engine;

// A name as the lexer reads it back: bracketed unless it is a plain word that is not a
// keyword.
std::string Name(const std::string& name) {
    const bool plain = !name.empty() && !std::isdigit(static_cast<unsigned char>(name.front())) &&
                       std::all_of(name.begin(), name.end(), [](char c) {
                           return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
                       });
    if (plain && FindReservedWord(name) == rwNone) {
        return name;
    }
    std::string quoted = "[";
    for (const char c : name) {
        quoted += c;
        if (c == ']') {
            quoted += ']';
        }
    }
    return quoted + "]";
}

std::string TypeText(const TSQLMemFieldDef& field) {
    // The type table's first word for the type, but the common integer names over the
    // SIGNEDINT / UNSIGNEDINT spellings.
    std::string keyword;
    for (const FieldTypeRow& row : FieldTypeTable()) {
        if (row.advanced != field.AdvancedType) {
            continue;
        }
        const bool spelled_out =
            row.keyword.starts_with("SIGNEDINT") || row.keyword.starts_with("UNSIGNEDINT");
        if (keyword.empty() || !spelled_out) {
            keyword = std::string(row.keyword);
        }
        if (!spelled_out) {
            break;
        }
    }
    if (IsStringType(field.AdvancedType) || IsBytesType(field.AdvancedType)) {
        keyword += "(" + std::to_string(field.Size) + ")";
    }
    return keyword;
}

std::string ColumnList(const TSQLMemIndexDef& index, bool with_options) {
    std::string text;
    for (const TSQLMemIndexColumn& column : index.Columns) {
        if (!text.empty()) {
            text += ", ";
        }
        text += Name(column.FieldName);
        if (with_options && column.Descending) {
            text += " DESC";
        }
        if (with_options && column.CaseInsensitive) {
            text += " NOCASE";
        }
    }
    return text;
}

const char* ActionText(TSQLMemReferentialAction action) {
    switch (action) {
        case TSQLMemReferentialAction::Cascade:
            return "CASCADE";
        case TSQLMemReferentialAction::SetNull:
            return "SET NULL";
        case TSQLMemReferentialAction::SetDefault:
            return "SET DEFAULT";
        case TSQLMemReferentialAction::NoAction:
            break;
    }
    return "NO ACTION";
}

std::string ForeignKeyClause(const TSQLMemConstraintDef& key) {
    std::string columns;
    for (const std::string& column : key.Columns) {
        columns += (columns.empty() ? "" : ", ") + Name(column);
    }
    std::string text = "FOREIGN KEY (" + columns + ") REFERENCES " + Name(key.ReferencedTable);
    if (key.Match == TSQLMemMatchRule::Full) {
        text += " MATCH FULL";
    } else if (key.Match == TSQLMemMatchRule::Partial) {
        text += " MATCH PARTIAL";
    }
    if (key.OnUpdate != TSQLMemReferentialAction::NoAction) {
        text += std::string(" ON UPDATE ") + ActionText(key.OnUpdate);
    }
    if (key.OnDelete != TSQLMemReferentialAction::NoAction) {
        text += std::string(" ON DELETE ") + ActionText(key.OnDelete);
    }
    return text;
}

}  // namespace

std::string SchemaText(const TSQLMemTableData& table) {
    const TSQLMemFieldDefs& fields = table.FieldDefs();
    std::vector<bool> not_null(static_cast<size_t>(fields.Count()), false);
    for (const TSQLMemConstraintDef& constraint : table.ConstraintDefs()) {
        if (constraint.Kind == ConstraintKind::NotNull && constraint.FieldNo >= 0 &&
            constraint.FieldNo < fields.Count()) {
            not_null[static_cast<size_t>(constraint.FieldNo)] = true;
        }
    }
    std::string text = "CREATE TABLE " + Name(table.Name()) + " (";
    for (int32_t f = 0; f < fields.Count(); ++f) {
        text += (f == 0 ? "\n  " : ",\n  ") + Name(fields[f].Name) + " " + TypeText(fields[f]);
        if (not_null[static_cast<size_t>(f)]) {
            text += " NOT NULL";
        }
    }
    std::string indexes;
    for (const TSQLMemIndexDef& index : table.IndexDefs()) {
        if (index.Primary) {
            text += ",\n  PRIMARY KEY (" + ColumnList(index, true) + ")";
        } else {
            indexes += std::string("CREATE ") + (index.Unique ? "UNIQUE " : "") + "INDEX " +
                       Name(index.Name) + " ON " + Name(table.Name()) + " (" +
                       ColumnList(index, true) + ");\n";
        }
    }
    for (const TSQLMemConstraintDef& constraint : table.ConstraintDefs()) {
        if (constraint.Kind == ConstraintKind::ForeignKey) {
            text += ",\n  " + ForeignKeyClause(constraint);
        }
    }
    return text + "\n);\n" + indexes;
}

}  // namespace tapir::sqlshell
