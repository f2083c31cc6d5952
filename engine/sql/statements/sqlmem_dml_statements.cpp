#include <cctype>
#include <string_view>

#include "engine/record/db_types.h"
#include "engine/record/field_types.h"
#include "engine/sql/expr/expression_nodes.h"
#include "engine/sql/expr/expression_parser.h"
#include "engine/sql/expr/sqlmem_expression.h"
#include "engine/sql/query/sqlmem_sql_select.h"
#include "engine/sql/query/sqlmem_value_conversion.h"
#include "engine/sql/statements/sqlmem_statement_util.h"
#include "engine/sql/statements/sqlmem_statements.h"
#include "engine/table/field.h"
#include "engine/table/sqlmem_table.h"

namespace tapir::engine {

namespace {

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

TSQLMemSelectContext SelectContextOf(const TSQLMemCommandContext& context, bool live) {
    TSQLMemSelectContext select_context;
    select_context.DatabaseName = context.DatabaseName;
    select_context.Params = context.Params;
    select_context.RequestLive = live;
    return select_context;
}

// A token made up by a statement that rewrites its command; placed where `at` stood.
TToken MadeToken(const TToken& at, TTokenType type, std::string text) {
    TToken token;
    token.TokenType = type;
    token.Text = std::move(text);
    token.ReservedWord = type == tktReservedWord ? FindReservedWord(token.Text) : rwNone;
    token.Line = at.Line;
    token.Column = at.Column;
    return token;
}

// Runs a live select and checks that its result is the table itself.
std::unique_ptr<TSQLMemQueryResult> RunLive(TSQLMemSQLUnion& select,
                                            const TSQLMemCommandContext& context) {
    std::unique_ptr<TSQLMemQueryResult> result = select.Execute(SelectContextOf(context, true));
    if (result->Temporary() || result->ReadOnly()) {
        throw ESQLMemException::Formatted(
            kUnknownKeywordCode,
            "The rows to change cannot be read from the table " + result->TableName() + " itself");
    }
    return result;
}

// The current row of an open table, as expressions read it.
class TableRowSource final : public TSQLMemFieldSource {
  public:
    explicit TableRowSource(TSQLMemTable& table) {
        for (const TFieldDef& def : table.FieldDefs()) {
            fields_.push_back(&table.FieldByName(def.Name));
            types_.push_back(def.AdvancedType != aftUnknown
                                 ? def.AdvancedType
                                 : FieldTypeToAdvancedType(def.DataType));
            sizes_.push_back(def.Size);
        }
    }

    int32_t FindField(std::string_view /*table_name*/, std::string_view field_name) const override {
        for (size_t i = 0; i < fields_.size(); ++i) {
            if (SameText(fields_[i]->FieldName(), field_name)) {
                return static_cast<int32_t>(i);
            }
        }
        return -1;
    }
    TSQLMemAdvancedFieldType FieldType(int32_t field_no) const override {
        return types_[static_cast<size_t>(field_no)];
    }
    int32_t FieldSize(int32_t field_no) const override {
        return sizes_[static_cast<size_t>(field_no)];
    }
    TSQLMemVariant FieldValue(int32_t field_no) const override {
        const size_t no = static_cast<size_t>(field_no);
        return VariantFromFieldValue(fields_[no]->Value(), types_[no]);
    }

  private:
    std::vector<TField*> fields_;
    std::vector<TSQLMemAdvancedFieldType> types_;
    std::vector<int32_t> sizes_;
};

bool HasSubQuery(const TSQLMemExpression& expression) {
    bool found = false;
    if (const TSQLMemExprNode* root = expression.Root(); root != nullptr) {
        root->ForEachNode([&](const TSQLMemExprNode& node) {
            found = found || dynamic_cast<const TSQLMemExprNodeSubQuery*>(&node) != nullptr;
        });
    }
    return found;
}

bool ReadsFields(const TSQLMemExpression& expression) {
    bool reads = false;
    if (const TSQLMemExprNode* root = expression.Root(); root != nullptr) {
        root->ForEachNode([&](const TSQLMemExprNode& node) {
            reads = reads || dynamic_cast<const TSQLMemExprNodeField*>(&node) != nullptr ||
                    dynamic_cast<const TSQLMemExprNodeSubQuery*>(&node) != nullptr;
        });
    }
    return reads;
}

}  // namespace

// --- INSERT -----------------------------------------------------------------------------------

TSQLMemSQLInsert::TSQLMemSQLInsert(TSQLMemLexer& lexer, const TSQLMemCommandContext& context)
    : TSQLMemSQLCommand(lexer, context) {}

TSQLMemSQLInsert::~TSQLMemSQLInsert() = default;

void TSQLMemSQLInsert::Parse() {
    lexer_.SetCurrentTokenNo(1, token_);
    if (AtEnd()) {
        RaiseBlankCommand(kInsertBlankCode);
    }
    if (!IsKeyword(token_, "INTO")) {
        RaiseTokenExpected(kInsertIntoCode, "INTO", token_);
    }
    GetNextToken({}, kInsertTableNameCode, kTableNameExpectedFormat, kInsertEndCode);
    if (IsKeyword(token_, "MEMORY")) {
        in_memory_ = true;
        GetNextToken({}, kInsertTableNameCode, kTableNameExpectedFormat, kInsertEndCode);
    }
    if (!IsNameToken(token_)) {
        RaiseTableNameExpected(kInsertTableNameCode, token_);
    }
    table_name_ = token_.Text;
    GetNextToken({}, kInsertValuesCode,
                 "Token 'VALUES' expected, but '%s' found at line %d, column %d", kInsertEndCode);
    if (IsKeyword(token_, "PASSWORD")) {
        password_ = ParsePassword(kInsertPasswordCode, kInsertEndCode);
        GetNextToken({}, kInsertValuesCode,
                     "Token 'VALUES' expected, but '%s' found at line %d, column %d",
                     kInsertEndCode);
    }
    TToken next;
    const auto starts_query = [&](const TToken& token) {
        return IsKeyword(token, "SELECT") || token.TokenType == tktLeftParenthesis;
    };
    if (token_.TokenType == tktLeftParenthesis && LookNext(next) && !starts_query(next)) {
        NextToken();
        ParseColumnList(columns_, kInsertFieldNameCode, kInsertEndCode);
        if (AtEnd()) {
            RaiseUnexpectedEnd(kInsertEndCode);
        }
        if (token_.TokenType != tktRightParenthesis) {
            RaiseRightParenthesisOrCommaExpected(kInsertColumnCloseCode, token_);
        }
        GetNextToken({}, kInsertValuesCode,
                     "Token 'VALUES' expected, but '%s' found at line %d, column %d",
                     kInsertEndCode);
    }
    if (starts_query(token_)) {
        query_ = std::make_unique<TSQLMemSQLUnion>(lexer_, context_);
        query_->Parse();
        return;
    }
    if (!IsKeyword(token_, "VALUES")) {
        RaiseTokenExpected(kInsertValuesCode, "VALUES", token_);
    }
    GetNextToken({tktLeftParenthesis}, kInsertParenthesisCode, kLeftParenthesisExpectedFormat,
                 kInsertEndCode);
    for (;;) {
        GetNextToken({}, kInsertValueCode, "Error parsing parameter '%s' at line %d, column %d",
                     kInsertEndCode);
        TSQLMemExpressionParser parser(lexer_, {});
        std::unique_ptr<TSQLMemExprNode> node = parser.ParseValueExpression();
        if (!node) {
            RaiseFormat(kInsertValueCode, "Error parsing parameter '%s' at line %d, column %d",
                        token_);
        }
        values_.push_back(std::make_unique<TSQLMemExpression>(std::move(node)));
        parser.SyncLexer();
        if (!lexer_.GetCurrentToken(token_)) {
            RaiseUnexpectedEnd(kInsertEndCode);
        }
        if (token_.TokenType == tktRightParenthesis) {
            break;
        }
        if (token_.TokenType != tktComma) {
            RaiseRightParenthesisOrCommaExpected(kInsertColumnCloseCode, token_);
        }
    }
    if (NextToken()) {
        RaiseUnexpectedToken(kInsertTrailingCode, token_);
    }
}

void TSQLMemSQLInsert::ExecSQL(bool /*keep_tree*/, bool& read_only, bool /*request_live*/) {
    read_only = true;
    if (query_) {
        InsertFromQuery();
        return;
    }
    TSQLMemTable table;
    table.SetTableName(table_name_);
    table.Open();
    try {
        table.Append();
        const size_t available =
            columns_.empty() ? static_cast<size_t>(table.FieldCount()) : columns_.size();
        if (values_.size() > available) {
            throw ESQLMemException::Formatted(kInsertTooManyValuesCode,
                                              "INSERT into table '" + table_name_ + "' gives " +
                                                  std::to_string(values_.size()) + " values for " +
                                                  std::to_string(available) + " columns");
        }
        for (size_t i = 0; i < values_.size(); ++i) {
            TField& field = columns_.empty() ? *table.Fields()[i] : table.FieldByName(columns_[i]);
            TSQLMemVariant value;
            try {
                value = values_[i]->GetValue();
            } catch (const tapir::Exception&) {
                std::string type_name;
                try {
                    type_name = AdvancedTypeName(FieldTypeToAdvancedType(field.DataType()));
                } catch (const ESQLMemException&) {
                    type_name = std::to_string(static_cast<int>(field.DataType()));
                }
                throw ESQLMemException::Formatted(kInsertUndefinedValueCode,
                                                  "Parameter Value undefined (FieldName='" +
                                                      field.FieldName() + "', Type='" + type_name +
                                                      "')");
            }
            SetSQLMemVariantIntoField(value, field);
        }
        table.Post();
    } catch (...) {
        if (table.State() == dsInsert) {
            table.Cancel();
        }
        table.Close();
        throw;
    }
    table.Close();
    rows_affected_ = 1;
}

void TSQLMemSQLInsert::InsertFromQuery() {
    std::unique_ptr<TSQLMemQueryResult> source = query_->Execute(SelectContextOf(context_, false));
    TSQLMemTable table;
    table.SetTableName(table_name_);
    table.Open();
    try {
        const size_t available =
            columns_.empty() ? static_cast<size_t>(table.FieldCount()) : columns_.size();
        const size_t count = static_cast<size_t>(source->FieldCount());
        if (count > available) {
            throw ESQLMemException::Formatted(kInsertTooManyValuesCode,
                                              "INSERT into table '" + table_name_ + "' gives " +
                                                  std::to_string(count) + " values for " +
                                                  std::to_string(available) + " columns");
        }
        std::vector<TField*> targets;
        for (size_t i = 0; i < count; ++i) {
            targets.push_back(columns_.empty() ? table.Fields()[i]
                                               : &table.FieldByName(columns_[i]));
        }
        TableRowSource reader(*source);
        const int64_t before = table.RecordCount();
        std::string log;
        for (source->First(); !source->Eof(); source->Next()) {
            try {
                table.Append();
                for (size_t i = 0; i < count; ++i) {
                    SetSQLMemVariantIntoField(reader.FieldValue(static_cast<int32_t>(i)),
                                              *targets[i]);
                }
                table.Post();
            } catch (const tapir::Exception& error) {
                if (table.State() == dsInsert) {
                    table.Cancel();
                }
                log += (log.empty() ? "" : "\n") + std::string(error.what());
            }
        }
        rows_affected_ = table.RecordCount() - before;
        if (!log.empty()) {
            throw ESQLMemException::Formatted(kInsertFromSelectCode,
                                              "Error - INSERT from SELECT failed, table name = " +
                                                  table_name_ + ", error log: " + log);
        }
    } catch (...) {
        table.Close();
        throw;
    }
    table.Close();
}

// --- UPDATE -----------------------------------------------------------------------------------

TSQLMemSQLUpdate::TSQLMemSQLUpdate(TSQLMemLexer& lexer, const TSQLMemCommandContext& context)
    : TSQLMemSQLCommand(lexer, context) {}

TSQLMemSQLUpdate::~TSQLMemSQLUpdate() = default;

void TSQLMemSQLUpdate::Parse() {
    lexer_.SetCurrentTokenNo(1, token_);
    if (AtEnd()) {
        RaiseBlankCommand(kUpdateBlankCode);
    }
    if (IsKeyword(token_, "MEMORY")) {
        in_memory_ = true;
        GetNextToken({}, kUpdateTableNameCode, kTableNameExpectedFormat, kUpdateEndCode);
    }
    if (!IsNameToken(token_)) {
        RaiseTableNameExpected(kUpdateTableNameCode, token_);
    }
    table_name_ = token_.Text;
    const TToken table_token = token_;
    GetNextToken({}, kUpdateSetCode, "Token 'SET' expected, but '%s' found at line %d, column %d",
                 kUpdateEndCode);
    if (IsKeyword(token_, "PASSWORD")) {
        password_ = ParsePassword(kUpdatePasswordCode, kUpdateEndCode);
        GetNextToken({}, kUpdateSetCode,
                     "Token 'SET' expected, but '%s' found at line %d, column %d", kUpdateEndCode);
    }
    if (!IsKeyword(token_, "SET")) {
        RaiseTokenExpected(kUpdateSetCode, "SET", token_);
    }
    for (;;) {
        GetNextToken({}, kUpdateFieldNameCode, kFieldNameExpectedFormat, kUpdateEndCode);
        if (!IsNameToken(token_)) {
            RaiseFieldNameExpected(kUpdateFieldNameCode, token_);
        }
        fields_.push_back(token_.Text);
        GetNextToken({}, kUpdateEqualsCode,
                     "Token '=' expected, but '%s' found at line %d, column %d", kUpdateEndCode);
        if (token_.TokenType != tktString || token_.Text != "=") {
            RaiseTokenExpected(kUpdateEqualsCode, "=", token_);
        }
        GetNextToken({}, kUpdateValueCode, kExpressionExpectedFormat, kUpdateEndCode);
        TSQLMemExpressionParser parser(lexer_, {});
        std::unique_ptr<TSQLMemExprNode> node = parser.ParseValueExpression();
        if (!node) {
            RaiseExpressionExpected(kUpdateValueCode, token_);
        }
        values_.push_back(std::make_unique<TSQLMemExpression>(std::move(node)));
        parser.SyncLexer();
        if (!lexer_.GetCurrentToken(token_) || token_.TokenType != tktComma) {
            break;
        }
    }
    const int32_t where_no = AtEnd() ? lexer_.TokenCount() : lexer_.GetCurrentTokenNo();
    if (!AtEnd() && !IsKeyword(token_, "WHERE")) {
        RaiseUnexpectedToken(kUpdateTrailingCode, token_);
    }
    // UPDATE t SET f = v takes at least six tokens, so the four before WHERE (or the end)
    // can be rewritten into `select * FROM t`, leaving the condition where it stands.
    const int32_t first = where_no - 4;
    lexer_.SetToken(first, MadeToken(table_token, tktReservedWord, "select"));
    lexer_.SetToken(first + 1, MadeToken(table_token, tktString, "*"));
    lexer_.SetToken(first + 2, MadeToken(table_token, tktReservedWord, "FROM"));
    lexer_.SetToken(first + 3, table_token);
    lexer_.SetCurrentTokenNo(first, token_);
    select_ = std::make_unique<TSQLMemSQLUnion>(lexer_, context_);
    select_->Parse();
}

void TSQLMemSQLUpdate::ExecSQL(bool /*keep_tree*/, bool& read_only, bool /*request_live*/) {
    read_only = true;
    std::unique_ptr<TSQLMemQueryResult> rows = RunLive(*select_, context_);
    std::vector<TField*> targets;
    for (const std::string& name : fields_) {
        TField* field = rows->FindField(name);
        if (field == nullptr) {
            throw ESQLMemException::Formatted(
                kUpdateFieldNotFoundCode, "Cannot find field " + name + " in table " + table_name_);
        }
        targets.push_back(field);
    }
    TableRowSource source(*rows);
    TSQLMemExprContext expr_context;
    expr_context.SubQueries = MakeSubQueryFactory(SelectContextOf(context_, false));
    bool constant = true;
    for (const std::unique_ptr<TSQLMemExpression>& value : values_) {
        value->SetContext(expr_context);
        value->Bind(source);
        constant = constant && !ReadsFields(*value);
    }
    std::vector<TSQLMemVariant> constants;
    if (constant) {
        for (const std::unique_ptr<TSQLMemExpression>& value : values_) {
            constants.push_back(value->GetValue());
        }
        // Without handlers that must see each row posted, every row takes the same values
        // in one pass.
        if (!rows->BeforePost && !rows->AfterPost) {
            rows_affected_ = UpdateInOnePass(*rows, targets, constants);
            return;
        }
    } else if (!rows->BeforePost && !rows->AfterPost && OnePassPossible(*rows, targets)) {
        // Values computed from each row's own fields: still one pass, each row's values
        // computed from it as the edit of that row alone would compute them.
        int64_t done = 0;
        try {
            rows->UpdateVisibleRecords(
                [&] {
                    for (size_t i = 0; i < targets.size(); ++i) {
                        SetSQLMemVariantIntoField(values_[i]->GetValue(), *targets[i]);
                    }
                },
                &done);
        } catch (...) {
            rows_affected_ = done;
            throw;
        }
        rows_affected_ = done;
        return;
    }
    // A changed row may leave the result or move within its order, and the cursor does
    // not always stand where the scan should go on: the rows to change are taken first,
    // and each is changed once (a row an earlier change hid is skipped).
    std::vector<TSQLMemBookmark> pending;
    pending.reserve(static_cast<size_t>(rows->RecordCount()));
    for (rows->First(); !rows->Eof(); rows->Next()) {
        pending.push_back(rows->GetBookmark());
    }
    int64_t count = 0;
    for (const TSQLMemBookmark& bookmark : pending) {
        if (!rows->BookmarkValid(bookmark)) {
            continue;
        }
        try {
            rows->GotoBookmark(bookmark);
            rows->Edit();
            for (size_t i = 0; i < targets.size(); ++i) {
                SetSQLMemVariantIntoField(constant ? constants[i] : values_[i]->GetValue(),
                                          *targets[i]);
            }
            rows->Post();
        } catch (...) {
            if (rows->State() == dsEdit) {
                rows->Cancel();
            }
            rows_affected_ = count;
            throw;
        }
        ++count;
    }
    rows_affected_ = count;
}

bool TSQLMemSQLUpdate::OnePassPossible(const TSQLMemDataSet& rows,
                                       const std::vector<TField*>& targets) const {
    // A subquery may read the table being changed, and BLOB fields take their content
    // only in edit state.
    for (const std::unique_ptr<TSQLMemExpression>& value : values_) {
        if (HasSubQuery(*value)) {
            return false;
        }
    }
    for (const TField* target : targets) {
        if (target->FieldKind() != fkData || dynamic_cast<const TBlobField*>(target) != nullptr) {
            return false;
        }
    }
    return rows.FieldCount() > 0;
}

int64_t TSQLMemSQLUpdate::UpdateInOnePass(TSQLMemDataSet& rows, const std::vector<TField*>& targets,
                                          const std::vector<TSQLMemVariant>& constants) {
    const int64_t count = rows.RecordCount();
    if (count == 0) {
        return 0;
    }
    // The fields convert each value once, as they would for every row edited on its own:
    // the values they hold are what every row gets.
    std::vector<FieldValue> values;
    rows.First();
    rows.Edit();
    try {
        for (size_t i = 0; i < targets.size(); ++i) {
            SetSQLMemVariantIntoField(constants[i], *targets[i]);
        }
        for (TField* target : targets) {
            values.push_back(target->Value());
        }
    } catch (...) {
        rows.Cancel();
        throw;
    }
    rows.Cancel();
    std::vector<std::string> names;
    for (TField* target : targets) {
        names.push_back(target->FieldName());
    }
    int64_t done = 0;
    try {
        rows.UpdateVisibleRecords(names, values, &done);
    } catch (...) {
        rows_affected_ = done;
        throw;
    }
    return count;
}

// --- DELETE -----------------------------------------------------------------------------------

TSQLMemSQLDelete::TSQLMemSQLDelete(TSQLMemLexer& lexer, const TSQLMemCommandContext& context)
    : TSQLMemSQLCommand(lexer, context) {}

TSQLMemSQLDelete::~TSQLMemSQLDelete() = default;

void TSQLMemSQLDelete::Parse() {
    lexer_.SetCurrentTokenNo(1, token_);
    if (AtEnd()) {
        RaiseBlankCommand(kDeleteBlankCode);
    }
    if (!IsKeyword(token_, "FROM")) {
        RaiseTokenExpected(kDeleteFromCode, "FROM", token_);
    }
    // DELETE FROM ... reads as select * FROM ...
    TToken first;
    lexer_.SetCurrentTokenNo(0, first);
    lexer_.SetToken(0, MadeToken(first, tktReservedWord, "select"));
    lexer_.InsertToken(1, MadeToken(first, tktString, "*"));
    lexer_.SetCurrentTokenNo(0, token_);
    select_ = std::make_unique<TSQLMemSQLUnion>(lexer_, context_);
    select_->Parse();
}

void TSQLMemSQLDelete::ExecSQL(bool /*keep_tree*/, bool& read_only, bool /*request_live*/) {
    read_only = true;
    std::unique_ptr<TSQLMemQueryResult> rows = RunLive(*select_, context_);
    if (!rows->BeforeDelete && !rows->AfterDelete) {
        const int64_t count = rows->RecordCount();
        int64_t done = 0;
        try {
            rows->DeleteVisibleRecords(&done);
        } catch (...) {
            rows_affected_ = done;
            throw;
        }
        rows_affected_ = count;
        return;
    }
    // A handler sees every row deleted on its own.
    int64_t count = 0;
    rows->First();
    while (!rows->IsEmpty()) {
        rows->Delete();
        ++count;
        rows_affected_ = count;
    }
}

// --- Transactions -----------------------------------------------------------------------------

void TSQLMemStartTransaction::Parse() {
    // START TRANSACTION, checked by the processor.
    lexer_.SetCurrentTokenNo(2, token_);
    if (!AtEnd()) {
        RaiseUnexpectedToken(kTransactionTrailingCode, token_);
    }
}

void TSQLMemCommit::Parse() {
    lexer_.SetCurrentTokenNo(1, token_);
    if (!AtEnd() && IsKeyword(token_, "NOFLUSH")) {
        no_flush_ = true;
        NextToken();
    }
    if (!AtEnd()) {
        RaiseUnexpectedToken(kTransactionTrailingCode, token_);
    }
}

void TSQLMemRollback::Parse() {
    lexer_.SetCurrentTokenNo(1, token_);
    if (!AtEnd()) {
        RaiseUnexpectedToken(kTransactionTrailingCode, token_);
    }
}

}  // namespace tapir::engine
