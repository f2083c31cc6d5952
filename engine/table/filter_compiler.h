#pragma once
// The way from the table layer to the expression language: a dataset's Filter text, an SQL
// condition and Locate's key comparisons are compiled into search expressions by the SQL
// layer, which installs its compiler here when it is linked in. The table layer itself
// knows nothing of the grammar. The registry is process-wide; installing is done once, at
// start-up, before any thread uses a table.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/record/record_buffer.h"
#include "engine/record/sqlmem_variant.h"
#include "engine/table/condition_search.h"

namespace tapir::engine {

// Code of the error raised when a filter or Locate needs the expression language and no
// compiler is installed.
constexpr int kNoFilterCompilerCode = 11376;

class TSQLMemFilterCompiler {
  public:
    virtual ~TSQLMemFilterCompiler() = default;

    // A dataset filter over the columns `fields` (the expression keeps a reference to
    // them: they must outlive it). Comparisons and LIKE ignore case when `ignore_case`;
    // with `partial`, a comparison with a text constant ending in `*` drops the `*` and
    // compares partially. Throws ESQLMemException for a text that does not parse (30119
    // "Blank SQL command" for an empty one) or names a column that is not there.
    virtual std::unique_ptr<TSQLMemSearchExpression> CompileFilter(const TSQLMemFieldDefs& fields,
                                                                   std::string_view text,
                                                                   bool ignore_case,
                                                                   bool partial) const = 0;
    // A search condition with the rules of SQL statements: case-sensitive, exact and
    // null-aware comparisons. Throws as CompileFilter.
    virtual std::unique_ptr<TSQLMemSearchExpression> CompileCondition(
        const TSQLMemFieldDefs& fields, std::string_view text) const = 0;
    // Locate's test: each named column equals its key value (null-aware off, so a null key
    // finds null fields), joined by AND. Throws ESQLMemException 30112 "Count of FieldNames
    // (%d) not equal counts of KeyValues (%d)" when the lists differ in length.
    virtual std::unique_ptr<TSQLMemSearchExpression> CompileLocate(
        const TSQLMemFieldDefs& fields, const std::vector<std::string>& field_names,
        const std::vector<TSQLMemVariant>& key_values, bool ignore_case, bool partial) const = 0;
};

// Installs the compiler (nullptr removes it). Borrowed: it must stay alive while
// installed.
void SetFilterCompiler(const TSQLMemFilterCompiler* compiler);
// The installed compiler, or nullptr.
const TSQLMemFilterCompiler* GetFilterCompiler();
// The installed compiler. Throws ESQLMemException 11376 "Filter expressions are not
// available: the SQL expression layer is not linked" when none is installed.
const TSQLMemFilterCompiler& RequireFilterCompiler();

}  // namespace tapir::engine
