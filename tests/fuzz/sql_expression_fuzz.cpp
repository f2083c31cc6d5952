// libFuzzer target: the input is a filter text over a small fixed table (a few rows with
// text, integer, date-time and null fields). It is parsed as a dataset filter and as a
// value; every tree that parses is evaluated against every row, offered to the indexes and
// put back, and must print the same afterwards. Parsing and evaluation may only fail with
// the engine's own errors.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/record/db_types.h"
#include "engine/record/record_buffer.h"
#include "engine/record/sqlmem_variant.h"
#include "engine/sql/expr/expression_parser.h"
#include "engine/sql/expr/sqlmem_expression.h"
#include "engine/sql/lexer/sqlmem_lexer.h"
#include "engine/sql/lexer/sqlmem_sql_params.h"
#include "engine/table/condition_search.h"
#include "platform/exception.h"

namespace {

namespace te = tapir::engine;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

te::TSQLMemFieldDef Field(const char* name, te::TSQLMemAdvancedFieldType type, int32_t size) {
    te::TSQLMemFieldDef def;
    def.Name = name;
    def.SetAdvancedType(type, size);
    return def;
}

struct Table {
    te::TSQLMemFieldDefs fields;
    std::vector<std::vector<std::byte>> rows;
    std::vector<te::TSQLMemIndexDef> indexes;
    te::TSQLMemSQLParams params;
};

const Table& FixedTable() {
    static const Table table = [] {
        Table t;
        t.fields = te::TSQLMemFieldDefs(
            {Field("Name", te::aftString, 8), Field("Id", te::aftInteger, 0),
             Field("Begin", te::aftDateTime, 0), Field("Price", te::aftDouble, 0),
             Field("Wide", te::aftWideString, 6)});
        const struct {
            const char* name;
            int64_t id;
            double begin;
            double price;
        } values[] = {{"Smith", 1, 45000.5, 1.5},
                      {"\xC3\xA9toile", 2, 45001.25, -3},
                      {nullptr, 3, 0, 0},
                      {"", -7, 2.75, 1e300}};
        for (const auto& v : values) {
            std::vector<std::byte> row(static_cast<size_t>(t.fields.DataSize()), std::byte{0});
            te::SetAllNull(row.data(), t.fields.Count());
            if (v.name != nullptr) {
                te::TSQLMemVariant::FromText(v.name).ToField(t.fields, 0, row.data());
                te::TSQLMemVariant::FromText(v.name).ToField(t.fields, 4, row.data());
            }
            te::TSQLMemVariant::FromInteger(v.id).ToField(t.fields, 1, row.data());
            if (v.begin != 0) {
                te::TSQLMemVariant::FromDateTime(v.begin).ToField(t.fields, 2, row.data());
                te::TSQLMemVariant::FromFloat(v.price).ToField(t.fields, 3, row.data());
            }
            t.rows.push_back(std::move(row));
        }
        t.indexes = {{"ByName", -1, false, false, {{"Name", false, false}}},
                     {"ById", -1, true, true, {{"Id", true, false}}},
                     {"ByBegin", -1, false, false, {{"Begin", false, true}}}};
        t.params.Add("p", te::TSQLMemVariant::FromInteger(42));
        t.params.Add("s", te::TSQLMemVariant::FromText("x%"));
        t.params.Add("d", te::TSQLMemVariant::FromDate(45000));
        t.params.Add("n", te::TSQLMemVariant::Null(te::bftVarchar));
        return t;
    }();
    return table;
}

// Evaluates the tree against every row twice (the tree must stay usable after an error),
// and takes out and puts back what the indexes would serve.
void Exercise(te::TSQLMemExpression& expression, const Table& table) {
    const std::string printed = expression.ToString();
    for (int round = 0; round < 2; ++round) {
        for (const auto& row : table.rows) {
            try {
                expression.IsRecordMatch(row.data());
            } catch (const tapir::Exception&) {
            }
        }
    }
    te::TSQLMemScanSearchConditionArray bounds;
    try {
        expression.ExtractIndexScanConditions(table.indexes, table.fields, bounds);
        expression.CannotMatch();
        for (const auto& row : table.rows) {
            try {
                expression.IsRecordMatch(row.data());
            } catch (const tapir::Exception&) {
            }
        }
    } catch (const tapir::Exception&) {
    }
    expression.ReturnConditionsToExpressions();
    Check(expression.ToString() == printed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Table& table = FixedTable();
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const bool ignore_case : {false, true}) {
        te::TSQLMemExpression filter;
        try {
            te::ParseForFilter(filter, table.fields, text, ignore_case, !ignore_case);
        } catch (const tapir::Exception&) {
            continue;
        }
        Check(!filter.IsEmpty() && filter.IsBound());
        Exercise(filter, table);
    }
    // The same text as a value (with parameters), evaluated as far as it goes.
    try {
        te::TSQLMemLexer lexer(text, &table.params);
        while (lexer.GetNextCommand()) {
            te::TSQLMemExpression value;
            te::ParseForValueExpression(value, lexer);
            if (value.IsEmpty()) {
                break;
            }
            Check(lexer.GetCurrentTokenNo() >= 0 &&
                  lexer.GetCurrentTokenNo() <= lexer.TokenCount());
            value.BindRow(table.fields);
            try {
                value.SetRow(table.rows.front().data());
                value.GetValue();
                value.GetValue();
            } catch (const tapir::Exception&) {
            }
        }
    } catch (const tapir::Exception&) {
    }
    return 0;
}
