#include <algorithm>
#include <charconv>
#include <limits>

#include "engine/pages/sqlmem_compression.h"
#include "engine/record/db_types.h"
#include "engine/sql/expr/expression_parser.h"
#include "engine/sql/expr/sqlmem_expression.h"
#include "engine/sql/statements/sqlmem_statement_util.h"
#include "engine/sql/statements/sqlmem_statements.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/table_restructure.h"

namespace tapir::engine {

namespace {

bool IsAutoincType(TSQLMemAdvancedFieldType type) {
    return type >= aftAutoInc && type <= aftAutoIncCardinal;
}

bool NeedsSize(TSQLMemAdvancedFieldType type) {
    switch (AdvancedToBaseType(type)) {
        case bftChar:
        case bftWideChar:
        case bftVarchar:
        case bftWideVarchar:
        case bftBytes:
        case bftVarBytes:
            return true;
        default:
            return false;
    }
}

const FieldTypeRow* FindTypeRow(const std::string& word) {
    const std::string upper = UpperName(word);
    for (const FieldTypeRow& row : FieldTypeTable()) {
        if (row.keyword == upper) {
            return &row;
        }
    }
    return nullptr;
}

// The autoinc variant an integer type word selects; aftUnknown for other words.
TSQLMemAdvancedFieldType AutoincVariant(const std::string& word) {
    const std::string upper = UpperName(word);
    if (upper == "SHORTINT") return aftAutoIncShortint;
    if (upper == "SMALLINT") return aftAutoIncSmallint;
    if (upper == "INTEGER") return aftAutoInc;
    if (upper == "LARGEINT") return aftAutoIncLargeint;
    if (upper == "BYTE") return aftAutoIncByte;
    if (upper == "WORD") return aftAutoIncWord;
    if (upper == "CARDINAL") return aftAutoIncCardinal;
    return aftUnknown;
}

TableFieldSpec ColumnSpec(const TSQLFieldDef& field) {
    TableFieldSpec column;
    column.name = field.Name;
    column.advanced_type = field.AdvancedType;
    column.data_type = AdvancedToFieldType(field.AdvancedType);
    column.size = field.HasSize ? field.Size : 0;
    // A primary key column is kept from nulls by the primary key itself.
    column.required = field.NotNull;
    if (IsAutoincType(field.AdvancedType)) {
        const IntegerRange range = BaseTypeIntegerRange(AdvancedToBaseType(field.AdvancedType));
        column.increment = field.HasIncrement ? field.Increment : 1;
        column.min_value = field.HasMinValue ? field.MinValue : 0;
        column.max_value = field.HasMaxValue ? std::min(field.MaxValue, range.max) : range.max;
        // The sequence hands out its last value plus the increment: a written lowest
        // value is the first one handed out; otherwise the first is 1.
        int64_t before_min = 0;
        column.initial_value =
            field.HasInitialValue ? field.InitialValue
            : field.HasMinValue &&
                    !__builtin_sub_overflow(column.min_value, column.increment, &before_min)
                ? before_min
                : 0;
        column.cycled = field.Cycled;
    } else {
        if (field.HasMinValue && field.MinValue != 0) {
            column.check_min = static_cast<double>(field.MinValue);
        }
        if (field.HasMaxValue && field.MaxValue != std::numeric_limits<int64_t>::max()) {
            column.check_max = static_cast<double>(field.MaxValue);
        }
    }
    if (field.HasDefault) {
        column.default_value = field.DefaultValue;
    }
    if (field.HasBlobBlockSize) {
        column.blob_block_size = field.BlobBlockSize;
    }
    if (field.HasBlobCompressionMode) {
        column.blob_compression_mode = field.BlobCompressionMode;
    }
    if (field.HasBlobCompressionAlgorithm) {
        column.blob_compression_algorithm = field.BlobCompressionAlgorithm;
    }
    return column;
}

}  // namespace

// --- Shared parsing ---------------------------------------------------------------------------

void TSQLMemDDLTableManipulation::ParseTableName(int name_code, int end_code) {
    if (AtEnd()) {
        RaiseBlankCommand(end_code);
    }
    if (IsKeyword(token_, "MEMORY")) {
        in_memory_ = true;
        if (!NextToken()) {
            RaiseBlankCommand(end_code);
        }
    }
    if (!IsNameToken(token_)) {
        RaiseTableNameExpected(name_code, token_);
    }
    table_name_ = token_.Text;
    NextToken();
}

int64_t TSQLMemDDLTableManipulation::ParseInteger(int code) {
    GetNextToken({}, code, kIntegerExpectedFormat);
    bool negative = false;
    if (token_.TokenType == tktString && (token_.Text == "-" || token_.Text == "+")) {
        negative = token_.Text == "-";
        GetNextToken({}, code, kIntegerExpectedFormat);
    }
    if (token_.TokenType != tktInt) {
        RaiseIntegerExpected(code, token_);
    }
    return ParseInt64(token_, negative, [&] { RaiseIntegerExpected(code, token_); });
}

void TSQLMemDDLTableManipulation::ParseColumnDefinition() {
    TSQLFieldDef field;
    if (!IsNameToken(token_)) {
        RaiseFieldNameExpected(kCreateFieldNameCode, token_);
    }
    field.Name = token_.Text;
    GetNextToken({}, kFieldTypeExpectedCode, kFieldTypeExpectedFormat, kCreateEndCode);
    if (token_.TokenType != tktString && token_.TokenType != tktReservedWord) {
        RaiseFieldTypeExpected(kFieldTypeExpectedCode, token_);
    }
    const FieldTypeRow* row = FindTypeRow(token_.Text);
    if (row == nullptr) {
        RaiseFormat(kUnknownFieldTypeCode, "Unknown field type '%s' at line %d, column %d", token_);
    }
    field.AdvancedType = row->advanced;
    NextToken();
    if (NeedsSize(field.AdvancedType)) {
        if (AtEnd()) {
            RaiseUnexpectedEnd(kCreateEndCode);
        }
        if (token_.TokenType != tktLeftParenthesis) {
            RaiseLeftParenthesisExpected(kSizeParenthesisCode, token_);
        }
        GetNextToken({tktInt}, kSizeDecimalCode, kDecimalExpectedFormat, kCreateEndCode);
        int64_t size =
            ParseInt64(token_, false, [&] { RaiseDecimalExpected(kSizeDecimalCode, token_); });
        if (size <= 0 || size > std::numeric_limits<int32_t>::max()) {
            RaiseDecimalExpected(kSizeDecimalCode, token_);
        }
        field.HasSize = true;
        field.Size = static_cast<int32_t>(size);
        GetNextToken({tktRightParenthesis}, kSizeCloseCode, kRightParenthesisOrCommaExpectedFormat,
                     kCreateEndCode);
        NextToken();
    } else if (IsAutoincType(field.AdvancedType) && !AtEnd() &&
               token_.TokenType == tktLeftParenthesis) {
        ParseAutoincOptions(field);
    }
    ParseColumnOptions(field);
    field_defs_.push_back(std::move(field));
}

void TSQLMemDDLTableManipulation::ParseAutoincOptions(TSQLFieldDef& field) {
    bool type_seen = false;
    GetNextToken({}, kAutoincEndCode, kUnexpectedTokenFormat);
    while (token_.TokenType != tktRightParenthesis) {
        if (token_.TokenType == tktComma) {
            GetNextToken({}, kAutoincEndCode, kUnexpectedTokenFormat);
            continue;
        }
        if (IsKeyword(token_, "INCREMENT")) {
            field.HasIncrement = true;
            field.Increment = ParseInteger(kAutoincIntegerCode);
        } else if (IsKeyword(token_, "INITIALVALUE")) {
            field.HasInitialValue = true;
            field.InitialValue = ParseInteger(kAutoincIntegerCode);
        } else if (IsKeyword(token_, "MINVALUE")) {
            field.HasMinValue = true;
            field.MinValue = ParseInteger(kAutoincIntegerCode);
        } else if (IsKeyword(token_, "MAXVALUE")) {
            field.HasMaxValue = true;
            field.MaxValue = ParseInteger(kAutoincIntegerCode);
        } else if (IsKeyword(token_, "NOMINVALUE")) {
            field.HasMinValue = true;
            field.MinValue = 0;
        } else if (IsKeyword(token_, "NOMAXVALUE")) {
            field.HasMaxValue = true;
            field.MaxValue = std::numeric_limits<int64_t>::max();
        } else if (IsKeyword(token_, "CYCLED")) {
            field.HasCycled = true;
            field.Cycled = true;
        } else if (IsKeyword(token_, "NOCYCLED")) {
            field.HasCycled = true;
            field.Cycled = false;
        } else if (FindTypeRow(token_.Text) != nullptr &&
                   (token_.TokenType == tktString || token_.TokenType == tktReservedWord)) {
            if (type_seen) {
                RaiseUnexpectedToken(kAutoincSecondTypeCode, token_);
            }
            const TSQLMemAdvancedFieldType variant = AutoincVariant(token_.Text);
            if (variant == aftUnknown) {
                RaiseFormat(kAutoincTypeCode,
                            "Unsupported Autoinc DataType (%s) found at line %d, column %d",
                            token_);
            }
            field.AdvancedType = variant;
            type_seen = true;
        } else {
            RaiseUnexpectedToken(kAutoincOptionCode, token_);
        }
        GetNextToken({}, kAutoincEndCode, kUnexpectedTokenFormat);
    }
    NextToken();
}

void TSQLMemDDLTableManipulation::ParseColumnOptions(TSQLFieldDef& field) {
    for (;;) {
        if (AtEnd()) {
            RaiseUnexpectedEnd(kCreateEndCode);
        }
        if (token_.TokenType == tktComma || token_.TokenType == tktRightParenthesis) {
            return;
        }
        if (IsKeyword(token_, "NOT")) {
            GetNextToken({}, kNullExpectedCode, kNullExpectedFormat, kCreateEndCode);
            if (!IsKeyword(token_, "NULL")) {
                RaiseNullExpected(kNullExpectedCode, token_);
            }
            field.HasNullability = true;
            field.NotNull = true;
            NextToken();
        } else if (IsKeyword(token_, "NULL")) {
            field.HasNullability = true;
            field.NotNull = false;
            NextToken();
        } else if (IsKeyword(token_, "DEFAULT")) {
            if (field.HasDefault) {
                throw ESQLMemException::Formatted(
                    kDefaultTwiceCode,
                    "default value for column '" + field.Name + "' declared twice");
            }
            GetNextToken({}, kDefaultExpressionCode, kExpressionExpectedFormat, kCreateEndCode);
            const TSQLMemBaseFieldType base = AdvancedToBaseType(field.AdvancedType);
            field.HasDefault = true;
            if (IsKeyword(token_, "NULL")) {
                field.DefaultValue = TSQLMemVariant::Null(base);
                NextToken();
            } else {
                TSQLMemExpressionParser parser(lexer_, {});
                std::unique_ptr<TSQLMemExprNode> node = parser.ParseValueExpression();
                if (!node) {
                    RaiseExpressionExpected(kDefaultExpressionCode, token_);
                }
                parser.SyncLexer();
                TSQLMemExpression expression(std::move(node));
                TSQLMemVariant value = expression.GetValue();
                field.DefaultValue = value.IsNull() ? TSQLMemVariant::Null(base) : value.Cast(base);
                if (!lexer_.GetCurrentToken(token_)) {
                    RaiseUnexpectedEnd(kCreateEndCode);
                }
            }
        } else if (IsKeyword(token_, "MINVALUE")) {
            field.HasMinValue = true;
            field.MinValue = ParseInteger(kColumnIntegerCode);
            NextToken();
        } else if (IsKeyword(token_, "NOMINVALUE")) {
            field.HasMinValue = true;
            field.MinValue = 0;
            NextToken();
        } else if (IsKeyword(token_, "MAXVALUE")) {
            field.HasMaxValue = true;
            field.MaxValue = ParseInteger(kColumnIntegerCode);
            NextToken();
        } else if (IsKeyword(token_, "NOMAXVALUE")) {
            field.HasMaxValue = true;
            field.MaxValue = std::numeric_limits<int64_t>::max();
            NextToken();
        } else if (IsKeyword(token_, "PRIMARY")) {
            TSQLKeyColumn column{field.Name};
            NextToken();
            if (!AtEnd() && IsKeyword(token_, "KEY")) {
                NextToken();
            }
            if (!AtEnd() && (IsKeyword(token_, "ASC") || IsKeyword(token_, "DESC"))) {
                column.Descending = IsKeyword(token_, "DESC");
                NextToken();
            }
            if (!AtEnd() && (IsKeyword(token_, "CASE") || IsKeyword(token_, "NOCASE"))) {
                column.CaseInsensitive = IsKeyword(token_, "NOCASE");
                NextToken();
            }
            field.PrimaryKey = true;
            AddPrimaryKeyColumn(std::move(column));
        } else if (IsKeyword(token_, "UNIQUE")) {
            field.Unique = true;
            NextToken();
        } else if (IsKeyword(token_, "BLOBBLOCKSIZE")) {
            const int64_t size = ParseInteger(kColumnIntegerCode);
            if (size <= 0 || size > std::numeric_limits<int32_t>::max()) {
                RaiseIntegerExpected(kColumnIntegerCode, token_);
            }
            field.HasBlobBlockSize = true;
            field.BlobBlockSize = static_cast<int32_t>(size);
            NextToken();
        } else if (IsKeyword(token_, "BLOBCOMPRESSIONMODE")) {
            const int64_t mode = ParseInteger(kColumnIntegerCode);
            if (mode < 0 || mode > 255) {
                RaiseIntegerExpected(kColumnIntegerCode, token_);
            }
            field.HasBlobCompressionMode = true;
            field.BlobCompressionMode = static_cast<int32_t>(mode);
            NextToken();
        } else if (IsKeyword(token_, "BLOBCOMPRESSIONALGORITHM")) {
            GetNextToken({}, kColumnOptionCode, kUnexpectedTokenFormat, kCreateEndCode);
            if (!IsNameToken(token_)) {
                RaiseUnexpectedToken(kColumnOptionCode, token_);
            }
            const std::string upper = UpperName(token_.Text);
            if (upper != "NONE" && upper != "ZLIB" && upper != "BZIP" && upper != "PPM") {
                RaiseUnexpectedToken(kColumnOptionCode, token_);
            }
            field.HasBlobCompressionAlgorithm = true;
            field.BlobCompressionAlgorithm =
                static_cast<int32_t>(GetCompressionAlgorithm(token_.Text));
            NextToken();
        } else {
            RaiseRightParenthesisOrCommaExpected(kColumnOptionCode, token_);
        }
    }
}

void TSQLMemDDLTableManipulation::AddPrimaryKeyColumn(TSQLKeyColumn column) {
    for (const TSQLKeyColumn& existing : primary_key_) {
        if (SameName(existing.Name, column.Name)) {
            return;
        }
    }
    primary_key_.push_back(std::move(column));
}

void TSQLMemDDLTableManipulation::ParsePrimaryKeyClause() {
    GetNextToken({}, kPrimaryKeyParenthesisCode, kLeftParenthesisExpectedFormat, kCreateEndCode);
    if (IsKeyword(token_, "KEY")) {
        GetNextToken({}, kPrimaryKeyParenthesisCode, kLeftParenthesisExpectedFormat,
                     kCreateEndCode);
    }
    if (token_.TokenType != tktLeftParenthesis) {
        RaiseLeftParenthesisExpected(kPrimaryKeyParenthesisCode, token_);
    }
    std::vector<TSQLKeyColumn> columns =
        ParseKeyColumns(kPrimaryKeyFieldCode, kCreateEndCode, kPrimaryKeyCloseCode);
    for (TSQLKeyColumn& column : columns) {
        for (TSQLFieldDef& field : field_defs_) {
            if (SameName(field.Name, column.Name)) {
                field.PrimaryKey = true;
            }
        }
        AddPrimaryKeyColumn(std::move(column));
    }
}

void TSQLMemDDLTableManipulation::ParseForeignKeyClause() {
    TSQLForeignKeyDef key;
    GetNextToken({}, kForeignKeyTokenCode,
                 "Token 'KEY' expected, but '%s' found at line %d, column %d", kCreateEndCode);
    if (!IsKeyword(token_, "KEY")) {
        RaiseTokenExpected(kForeignKeyTokenCode, "KEY", token_);
    }
    GetNextToken({tktLeftParenthesis}, kForeignKeyParenthesisCode, kLeftParenthesisExpectedFormat,
                 kCreateEndCode);
    NextToken();
    std::vector<std::string> columns;
    ParseColumnList(columns, kForeignKeyFieldCode, kCreateEndCode);
    if (AtEnd()) {
        RaiseUnexpectedEnd(kCreateEndCode);
    }
    if (token_.TokenType != tktRightParenthesis) {
        RaiseRightParenthesisOrCommaExpected(kForeignKeyCloseCode, token_);
    }
    for (size_t i = 0; i < columns.size(); ++i) {
        key.Columns += (i == 0 ? "" : ";") + columns[i];
    }
    GetNextToken({}, kForeignKeyTokenCode,
                 "Token 'REFERENCES' expected, but '%s' found at line %d, column %d",
                 kCreateEndCode);
    if (!IsKeyword(token_, "REFERENCES")) {
        RaiseTokenExpected(kForeignKeyTokenCode, "REFERENCES", token_);
    }
    GetNextToken({}, kForeignKeyTableCode, kTableNameExpectedFormat, kCreateEndCode);
    if (!IsNameToken(token_)) {
        RaiseTableNameExpected(kForeignKeyTableCode, token_);
    }
    key.ReferencedTable = token_.Text;
    NextToken();
    if (!AtEnd() && IsKeyword(token_, "MATCH")) {
        GetNextToken({}, kForeignKeyTokenCode, kUnexpectedTokenFormat, kCreateEndCode);
        if (IsKeyword(token_, "FULL")) {
            key.Match = TSQLMatchRule::Full;
        } else if (IsKeyword(token_, "PARTIAL")) {
            key.Match = TSQLMatchRule::Partial;
        } else {
            RaiseTokenExpected(kForeignKeyTokenCode, "FULL", token_);
        }
        NextToken();
    }
    bool update_seen = false;
    bool delete_seen = false;
    while (!AtEnd() && IsKeyword(token_, "ON")) {
        GetNextToken({}, kForeignKeyTokenCode, kUnexpectedTokenFormat, kCreateEndCode);
        const bool is_update = IsKeyword(token_, "UPDATE");
        if ((!is_update && !IsKeyword(token_, "DELETE")) || (is_update && update_seen) ||
            (!is_update && delete_seen)) {
            RaiseUnexpectedToken(kForeignKeyUnexpectedCode, token_);
        }
        (is_update ? update_seen : delete_seen) = true;
        GetNextToken({}, kForeignKeyUnexpectedCode, kUnexpectedTokenFormat, kCreateEndCode);
        TSQLReferentialAction action = TSQLReferentialAction::None;
        if (IsKeyword(token_, "CASCADE")) {
            action = TSQLReferentialAction::Cascade;
        } else if (IsKeyword(token_, "SET")) {
            GetNextToken({}, kForeignKeyUnexpectedCode, kUnexpectedTokenFormat, kCreateEndCode);
            if (IsKeyword(token_, "NULL")) {
                action = TSQLReferentialAction::SetNull;
            } else if (IsKeyword(token_, "DEFAULT")) {
                action = TSQLReferentialAction::SetDefault;
            } else {
                RaiseUnexpectedToken(kForeignKeyUnexpectedCode, token_);
            }
        } else if (IsKeyword(token_, "NO")) {
            GetNextToken({}, kForeignKeyUnexpectedCode, kUnexpectedTokenFormat, kCreateEndCode);
            if (!IsKeyword(token_, "ACTION")) {
                RaiseUnexpectedToken(kForeignKeyUnexpectedCode, token_);
            }
            action = TSQLReferentialAction::NoAction;
        } else {
            RaiseUnexpectedToken(kForeignKeyUnexpectedCode, token_);
        }
        (is_update ? key.OnUpdate : key.OnDelete) = action;
        NextToken();
    }
    foreign_keys_.push_back(std::move(key));
}

TableDefinition TSQLMemDDLTableManipulation::BuildDefinition(const std::string& table_name) const {
    TableDefinition definition;
    definition.name = table_name;
    for (const TSQLFieldDef& field : field_defs_) {
        definition.fields.push_back(ColumnSpec(field));
    }
    if (!primary_key_.empty()) {
        definition.indexes.push_back(
            KeyIndexSpec(PrimaryIndexName(table_name), primary_key_, true, true));
    }
    for (const TSQLFieldDef& field : field_defs_) {
        if (field.Unique) {
            definition.indexes.push_back(KeyIndexSpec(UniqueIndexName(field.Name),
                                                      {TSQLKeyColumn{field.Name}}, false, true));
        }
    }
    for (const TSQLForeignKeyDef& key : foreign_keys_) {
        definition.foreign_keys.push_back(ForeignKeySpec(key));
    }
    return definition;
}

TableForeignKeySpec TSQLMemDDLTableManipulation::ForeignKeySpec(const TSQLForeignKeyDef& key) {
    const auto action = [](TSQLReferentialAction parsed) {
        switch (parsed) {
            case TSQLReferentialAction::Cascade:
                return TSQLMemReferentialAction::Cascade;
            case TSQLReferentialAction::SetNull:
                return TSQLMemReferentialAction::SetNull;
            case TSQLReferentialAction::SetDefault:
                return TSQLMemReferentialAction::SetDefault;
            case TSQLReferentialAction::None:
            case TSQLReferentialAction::NoAction:
                break;
        }
        return TSQLMemReferentialAction::NoAction;
    };
    TableForeignKeySpec foreign;
    foreign.fields = key.Columns;
    foreign.referenced_table = key.ReferencedTable;
    foreign.match = key.Match == TSQLMatchRule::Full      ? TSQLMemMatchRule::Full
                 : key.Match == TSQLMatchRule::Partial ? TSQLMemMatchRule::Partial
                                                       : TSQLMemMatchRule::Simple;
    foreign.on_update = action(key.OnUpdate);
    foreign.on_delete = action(key.OnDelete);
    return foreign;
}

// --- CREATE TABLE -----------------------------------------------------------------------------

void TSQLMemDDLCreateTable::Parse() {
    // CREATE TABLE, checked by the processor.
    lexer_.SetCurrentTokenNo(2, token_);
    ParseTableName(kCreateTableNameCode, kCreateBlankCode);
    if (AtEnd()) {
        RaiseUnexpectedEnd(kCreateEndCode);
    }
    if (token_.TokenType != tktLeftParenthesis) {
        RaiseLeftParenthesisExpected(kCreateParenthesisCode, token_);
    }
    for (;;) {
        GetNextToken({}, kCreateFieldNameCode, kFieldNameExpectedFormat, kCreateEndCode);
        if (IsKeyword(token_, "PRIMARY")) {
            ParsePrimaryKeyClause();
            NextToken();
        } else if (IsKeyword(token_, "FOREIGN")) {
            ParseForeignKeyClause();
        } else {
            ParseColumnDefinition();
        }
        if (AtEnd()) {
            RaiseUnexpectedEnd(kCreateEndCode);
        }
        if (token_.TokenType == tktRightParenthesis) {
            break;
        }
        if (token_.TokenType != tktComma) {
            RaiseRightParenthesisOrCommaExpected(kCreateElementEndCode, token_);
        }
    }
    if (NextToken()) {
        RaiseUnexpectedToken(kCreateTrailingCode, token_);
    }
}

void TSQLMemDDLCreateTable::ExecSQL(bool /*keep_tree*/, bool& read_only, bool /*request_live*/) {
    read_only = true;
    try {
        if (TableExists(kMemoryDatabaseName, table_name_)) {
            throw ESQLMemException::Formatted(
                kTableExistsCode,
                "Cannot create table. Table '" + table_name_ + "' already exists");
        }
        CreateTable(kMemoryDatabaseName, BuildDefinition(table_name_));
    } catch (const tapir::Exception& error) {
        throw ESQLMemException::Formatted(kCreateTableErrorCode,
                                          "Error creating table: '" + error.Message() + "'");
    }
}

// --- DROP TABLE -------------------------------------------------------------------------------

void TSQLMemDDLDropTable::Parse() {
    lexer_.SetCurrentTokenNo(2, token_);
    ParseTableName(kDropTableNameCode, kDropBlankCode);
    if (!AtEnd() && (IsKeyword(token_, "CASCADE") || IsKeyword(token_, "RESTRICT"))) {
        cascade_ = IsKeyword(token_, "CASCADE");
        NextToken();
    }
    if (!AtEnd()) {
        RaiseUnexpectedToken(kDropTrailingCode, token_);
    }
}

void TSQLMemDDLDropTable::ExecSQL(bool /*keep_tree*/, bool& read_only, bool /*request_live*/) {
    read_only = true;
    try {
        if (TableExists(kMemoryDatabaseName, table_name_)) {
            DeleteTable(kMemoryDatabaseName, table_name_, cascade_);
        }
    } catch (const tapir::Exception& error) {
        throw ESQLMemException::Formatted(kDropTableErrorCode,
                                          "Error dropping table: '" + error.Message() + "'");
    }
}

// --- ALTER TABLE, RENAME ------------------------------------------------------------------------

void TSQLMemDDLAlterTable::ParseNewTableName() {
    if (AtEnd()) {
        RaiseUnexpectedEnd(kRenameEndCode);
    }
    if (!IsKeyword(token_, "TO")) {
        RaiseTokenExpected(kRenameToCode, "TO", token_);
    }
    GetNextToken({}, kRenameTableNameCode, kTableNameExpectedFormat, kRenameEndCode);
    if (!IsNameToken(token_)) {
        RaiseTableNameExpected(kRenameTableNameCode, token_);
    }
    new_table_name_ = token_.Text;
    NextToken();
}

void TSQLMemDDLAlterTable::ParseColumnDefinitions() {
    if (token_.TokenType != tktLeftParenthesis) {
        RaiseLeftParenthesisExpected(kAlterParenthesisCode, token_);
    }
    for (;;) {
        GetNextToken({}, kCreateFieldNameCode, kFieldNameExpectedFormat, kAlterEndCode);
        ParseColumnDefinition();
        if (token_.TokenType == tktRightParenthesis) {
            return;
        }
        if (token_.TokenType != tktComma) {
            RaiseRightParenthesisOrCommaExpected(kAlterCloseCode, token_);
        }
    }
}

void TSQLMemDDLAlterTable::Parse() {
    // ALTER TABLE, checked by the processor.
    lexer_.SetCurrentTokenNo(2, token_);
    ParseTableName(kCreateTableNameCode, kAlterBlankCode);
    if (AtEnd()) {
        RaiseUnexpectedEnd(kAlterEndCode);
    }
    if (token_.TokenType != tktReservedWord && token_.TokenType != tktString) {
        RaiseFormat(kAlterNotKeywordCode,
                    "ADD, DROP or ALTER keyword expected, but '%s' found at line %d, column %d",
                    token_);
    }
    if (IsKeyword(token_, "ADD")) {
        GetNextToken({}, kAlterParenthesisCode, kLeftParenthesisExpectedFormat, kAlterEndCode);
        if (IsKeyword(token_, "PRIMARY")) {
            alter_type_ = atAddConstraintPrimaryKey;
            ParsePrimaryKeyClause();
            NextToken();
        } else if (IsKeyword(token_, "FOREIGN")) {
            alter_type_ = atAddConstraintForeignKey;
            ParseForeignKeyClause();
        } else {
            alter_type_ = atAdd;
            if (IsKeyword(token_, "COLUMN")) {
                GetNextToken({}, kAlterParenthesisCode, kLeftParenthesisExpectedFormat,
                             kAlterEndCode);
            }
            ParseColumnDefinitions();
            NextToken();
        }
    } else if (IsKeyword(token_, "DROP")) {
        GetNextToken({}, kAlterFieldNameCode, kFieldNameExpectedFormat, kAlterEndCode);
        if (IsKeyword(token_, "CONSTRAINT")) {
            alter_type_ = atDropConstraint;
            GetNextToken({}, kAlterConstraintNameCode, kConstraintNameExpectedFormat,
                         kAlterEndCode);
            if (!IsNameToken(token_)) {
                RaiseConstraintNameExpected(kAlterConstraintNameCode, token_);
            }
            constraint_name_ = token_.Text;
            if (NextToken() && (IsKeyword(token_, "RESTRICT") || IsKeyword(token_, "CASCADE"))) {
                cascade_ = IsKeyword(token_, "CASCADE");
                NextToken();
            }
        } else {
            alter_type_ = atDrop;
            if (IsKeyword(token_, "COLUMN")) {
                GetNextToken({}, kAlterFieldNameCode, kFieldNameExpectedFormat, kAlterEndCode);
            }
            const bool parenthesised = token_.TokenType == tktLeftParenthesis;
            if (parenthesised) {
                GetNextToken({}, kAlterFieldNameCode, kFieldNameExpectedFormat, kAlterEndCode);
            }
            ParseColumnList(column_names_, kAlterFieldNameCode, kAlterEndCode);
            if (parenthesised) {
                if (AtEnd()) {
                    RaiseUnexpectedEnd(kAlterEndCode);
                }
                if (token_.TokenType != tktRightParenthesis) {
                    RaiseRightParenthesisOrCommaExpected(kAlterCloseCode, token_);
                }
                NextToken();
            }
        }
    } else if (IsKeyword(token_, "ALTER") || IsKeyword(token_, "MODIFY")) {
        alter_type_ = atModify;
        const bool alter = IsKeyword(token_, "ALTER");
        GetNextToken({}, kAlterParenthesisCode, kLeftParenthesisExpectedFormat, kAlterEndCode);
        if (alter && IsKeyword(token_, "COLUMN")) {
            GetNextToken({}, kAlterParenthesisCode, kLeftParenthesisExpectedFormat, kAlterEndCode);
        }
        ParseColumnDefinitions();
        NextToken();
    } else if (IsKeyword(token_, "RENAME")) {
        GetNextToken({}, kAlterFieldNameCode, kFieldNameExpectedFormat, kAlterEndCode);
        if (IsKeyword(token_, "TO")) {
            alter_type_ = atRenameTable;
            ParseNewTableName();
        } else {
            alter_type_ = atRenameColumn;
            if (IsKeyword(token_, "COLUMN")) {
                GetNextToken({}, kAlterFieldNameCode, kFieldNameExpectedFormat, kAlterEndCode);
            }
            for (;;) {
                if (!IsNameToken(token_)) {
                    RaiseFieldNameExpected(kAlterFieldNameCode, token_);
                }
                column_names_.push_back(token_.Text);
                GetNextToken({}, kAlterToCode,
                             "Token 'TO' expected, but '%s' found at line %d, column %d",
                             kAlterEndCode);
                if (!IsKeyword(token_, "TO")) {
                    RaiseTokenExpected(kAlterToCode, "TO", token_);
                }
                GetNextToken({}, kAlterFieldNameCode, kFieldNameExpectedFormat, kAlterEndCode);
                if (!IsNameToken(token_)) {
                    RaiseFieldNameExpected(kAlterFieldNameCode, token_);
                }
                column_names_.push_back(token_.Text);
                if (!NextToken() || token_.TokenType != tktComma) {
                    break;
                }
                GetNextToken({}, kAlterFieldNameCode, kFieldNameExpectedFormat, kAlterEndCode);
            }
        }
    } else {
        RaiseFormat(token_.TokenType == tktReservedWord ? kAlterKeywordCode : kAlterNotKeywordCode,
                    "ADD, DROP or ALTER keyword expected, but '%s' found at line %d, column %d",
                    token_);
    }
    if (!AtEnd()) {
        RaiseUnexpectedToken(kAlterTrailingCode, token_);
    }
}

void TSQLMemDDLAlterTable::ExecSQL(bool /*keep_tree*/, bool& read_only, bool /*request_live*/) {
    read_only = true;
    try {
        switch (alter_type_) {
            case atRenameTable:
                RenameTable(kMemoryDatabaseName, table_name_, new_table_name_);
                break;
            case atAddConstraintPrimaryKey:
                AddIndex(kMemoryDatabaseName, table_name_,
                         KeyIndexSpec(PrimaryIndexName(table_name_), primary_key_, true, true));
                break;
            case atDropConstraint:
                DropConstraint(kMemoryDatabaseName, table_name_, constraint_name_);
                break;
            case atAddConstraintForeignKey:
                for (const TSQLForeignKeyDef& key : foreign_keys_) {
                    AddForeignKey(kMemoryDatabaseName, table_name_, ForeignKeySpec(key));
                }
                break;
            case atAdd:
            case atDrop:
            case atModify:
            case atRenameColumn:
                try {
                    RestructureColumns();
                } catch (const tapir::Exception& error) {
                    throw ESQLMemException::Formatted(
                        kRestructureErrorCode,
                        "Restructure table error: '" + error.Message() + "'");
                }
                break;
        }
    } catch (const tapir::Exception& error) {
        throw ESQLMemException::Formatted(kAlterTableErrorCode,
                                          "Error altering teble: '" + error.Message() + "'");
    }
}

namespace {

[[noreturn]] void RefuseColumn(const std::string& text) {
    throw ESQLMemException::Formatted(kRestructureColumnCode, text);
}

// Position of the plan column now called `name`; -1 when none.
int32_t PlanColumn(const RestructurePlan& plan, const std::string& name) {
    for (size_t i = 0; i < plan.columns.size(); ++i) {
        if (SameName(plan.columns[i].field.name, name)) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

// A changed column: the written parts of `field` over the column as it is.
TableFieldSpec ModifiedColumn(const TableFieldSpec& old, const TSQLFieldDef& field) {
    TableFieldSpec column = ColumnSpec(field);
    column.name = old.name;
    if (!field.HasNullability) {
        column.required = old.required;
    }
    if (!field.HasDefault) {
        column.default_value = old.default_value;
    }
    const bool autoinc = IsAutoincType(field.AdvancedType);
    if (autoinc && IsAutoincType(SpecAdvancedType(old))) {
        column.increment = field.HasIncrement ? column.increment : old.increment;
        column.min_value = field.HasMinValue ? column.min_value : old.min_value;
        column.max_value = field.HasMaxValue ? column.max_value : old.max_value;
        column.initial_value = field.HasInitialValue ? column.initial_value : old.initial_value;
        column.cycled = field.HasCycled ? column.cycled : old.cycled;
    } else if (!autoinc && !field.HasMinValue && !field.HasMaxValue) {
        column.check_min = old.check_min;
        column.check_max = old.check_max;
    }
    if (!field.HasBlobBlockSize) {
        column.blob_block_size = old.blob_block_size;
    }
    if (!field.HasBlobCompressionMode) {
        column.blob_compression_mode = old.blob_compression_mode;
    }
    if (!field.HasBlobCompressionAlgorithm) {
        column.blob_compression_algorithm = old.blob_compression_algorithm;
    }
    return column;
}

}  // namespace

void TSQLMemDDLAlterTable::RestructureColumns() {
    TSQLMemDatabaseData* database = TSQLMemEngine::Instance().FindDatabase(kMemoryDatabaseName);
    if (database == nullptr) {
        EmptyTable(kMemoryDatabaseName, table_name_);  // raises "cannot open database"
    }
    std::lock_guard lock(database->Mutex());
    const TSQLMemTableData* table = database->FindTable(table_name_);
    if (table == nullptr) {
        database->EmptyTable(table_name_);  // raises "table not found"
    }
    const std::string name = table->Name();
    RestructurePlan plan = CurrentColumns(*table);
    auto require = [&](const std::string& column) {
        const int32_t at = PlanColumn(plan, column);
        if (at < 0) {
            RefuseColumn("Field '" + column + "' not found in table '" + name + "'");
        }
        return static_cast<size_t>(at);
    };
    switch (alter_type_) {
        case atAdd:
            for (const TSQLFieldDef& field : field_defs_) {
                if (PlanColumn(plan, field.Name) >= 0) {
                    RefuseColumn("Field '" + field.Name + "' already exists in table '" + name +
                                 "'");
                }
                plan.columns.push_back({ColumnSpec(field), ""});
            }
            break;
        case atModify:
            for (const TSQLFieldDef& field : field_defs_) {
                RestructureColumn& column = plan.columns[require(field.Name)];
                column.field = ModifiedColumn(column.field, field);
            }
            break;
        case atDrop:
            for (const std::string& column : column_names_) {
                plan.columns.erase(plan.columns.begin() +
                                   static_cast<std::ptrdiff_t>(require(column)));
            }
            if (plan.columns.empty()) {
                RefuseColumn("Cannot drop every field of table '" + name + "'");
            }
            break;
        case atRenameColumn:
            for (size_t i = 0; i + 1 < column_names_.size(); i += 2) {
                const size_t at = require(column_names_[i]);
                const int32_t taken = PlanColumn(plan, column_names_[i + 1]);
                if (taken >= 0 && static_cast<size_t>(taken) != at) {
                    RefuseColumn("Field '" + column_names_[i + 1] + "' already exists in table '" +
                                 name + "'");
                }
                plan.columns[at].field.name = column_names_[i + 1];
            }
            break;
        default:
            break;
    }
    // UNIQUE columns get their index; PRIMARY KEY columns join the primary key, or make one.
    for (const TSQLFieldDef& field : field_defs_) {
        if (field.Unique && table->IndexNoByName(UniqueIndexName(field.Name)) < 0) {
            plan.added_indexes.push_back(KeyIndexSpec(UniqueIndexName(field.Name),
                                                      {TSQLKeyColumn{field.Name}}, false, true));
        }
    }
    if (!primary_key_.empty()) {
        std::string index_name = PrimaryIndexName(name);
        std::vector<TSQLKeyColumn> key;
        for (const TSQLMemIndexDef& index : table->IndexDefs()) {
            if (index.Primary) {
                index_name = index.Name;
                for (const TSQLMemIndexColumn& column : index.Columns) {
                    key.push_back({column.FieldName, column.Descending, column.CaseInsensitive});
                }
            }
        }
        for (const TSQLKeyColumn& column : primary_key_) {
            if (std::none_of(key.begin(), key.end(), [&](const TSQLKeyColumn& existing) {
                    return SameName(existing.Name, column.Name);
                })) {
                key.push_back(column);
            }
        }
        plan.added_indexes.push_back(KeyIndexSpec(index_name, key, true, true));
    }
    RestructureTable(*database, name, plan);
}

void TSQLMemDDLRenameTable::Parse() {
    lexer_.SetCurrentTokenNo(1, token_);
    if (IsKeyword(token_, "TABLE")) {
        NextToken();
    }
    ParseTableName(kRenameTableNameCode, kRenameNameBlankCode);
    alter_type_ = atRenameTable;
    ParseNewTableName();
    if (!AtEnd()) {
        RaiseUnexpectedToken(kRenameTrailingCode, token_);
    }
}

// --- CREATE INDEX -----------------------------------------------------------------------------

void TSQLMemDDLCreateIndex::Parse() {
    lexer_.SetCurrentTokenNo(1, token_);
    if (IsKeyword(token_, "UNIQUE")) {
        unique_ = true;
        GetNextToken({}, kIndexKeywordCode,
                     "'INDEX' keyword expected, but '%s' found at line %d, column %d",
                     kIndexEndCode);
    }
    if (!IsKeyword(token_, "INDEX")) {
        RaiseKeywordExpected(kIndexKeywordCode, "INDEX", token_);
    }
    GetNextToken({}, kIndexNameCode, kIndexNameExpectedFormat, kIndexEndCode);
    if (IsKeyword(token_, "IF")) {
        GetNextToken({}, kNotKeywordCode,
                     "'NOT' keyword expected, but '%s' found at line %d, column %d", kIndexEndCode);
        if (!IsKeyword(token_, "NOT")) {
            RaiseKeywordExpected(kNotKeywordCode, "NOT", token_);
        }
        GetNextToken({}, kExistsKeywordCode,
                     "'EXISTS' keyword expected, but '%s' found at line %d, column %d",
                     kIndexEndCode);
        if (!IsKeyword(token_, "EXISTS")) {
            RaiseKeywordExpected(kExistsKeywordCode, "EXISTS", token_);
        }
        if_not_exists_ = true;
        GetNextToken({}, kIndexNameCode, kIndexNameExpectedFormat, kIndexEndCode);
    }
    if (!IsNameToken(token_)) {
        RaiseIndexNameExpected(kIndexNameCode, token_);
    }
    index_name_ = token_.Text;
    GetNextToken({}, kOnKeywordCode, "'ON' keyword expected, but '%s' found at line %d, column %d",
                 kIndexEndCode);
    if (!IsKeyword(token_, "ON")) {
        RaiseKeywordExpected(kOnKeywordCode, "ON", token_);
    }
    GetNextToken({}, kIndexTableNameCode, kTableNameExpectedFormat, kIndexEndCode);
    if (IsKeyword(token_, "MEMORY")) {
        in_memory_ = true;
        GetNextToken({}, kIndexTableNameCode, kTableNameExpectedFormat, kIndexEndCode);
    }
    if (!IsNameToken(token_)) {
        RaiseTableNameExpected(kIndexTableNameCode, token_);
    }
    table_name_ = token_.Text;
    GetNextToken({}, kIndexParenthesisCode, kLeftParenthesisExpectedFormat, kIndexEndCode);
    if (token_.TokenType != tktLeftParenthesis) {
        RaiseLeftParenthesisExpected(kIndexParenthesisCode, token_);
    }
    columns_ = ParseKeyColumns(kIndexFieldNameCode, kIndexEndCode, kIndexCloseCode);
    if (NextToken()) {
        password_ = ParsePassword(kIndexPasswordCode, kIndexEndCode);
        if (NextToken()) {
            RaiseUnexpectedToken(kIndexTrailingCode, token_);
        }
    }
}

void TSQLMemDDLCreateIndex::ExecSQL(bool /*keep_tree*/, bool& read_only, bool /*request_live*/) {
    read_only = true;
    if (if_not_exists_ && IndexExists(kMemoryDatabaseName, table_name_, index_name_)) {
        return;
    }
    AddIndex(kMemoryDatabaseName, table_name_, KeyIndexSpec(index_name_, columns_, false, unique_));
}

// --- DROP INDEX -------------------------------------------------------------------------------

void TSQLMemDDLDropIndex::Parse() {
    lexer_.SetCurrentTokenNo(2, token_);
    if (AtEnd()) {
        RaiseUnexpectedEnd(kIndexEndCode);
    }
    if (IsKeyword(token_, "IF")) {
        GetNextToken({}, kExistsKeywordCode,
                     "'EXISTS' keyword expected, but '%s' found at line %d, column %d",
                     kIndexEndCode);
        if (!IsKeyword(token_, "EXISTS")) {
            RaiseKeywordExpected(kExistsKeywordCode, "EXISTS", token_);
        }
        if_exists_ = true;
        GetNextToken({}, kIndexTableNameCode, kTableNameExpectedFormat, kIndexEndCode);
    }
    if (IsKeyword(token_, "MEMORY")) {
        in_memory_ = true;
        GetNextToken({}, kIndexTableNameCode, kTableNameExpectedFormat, kIndexEndCode);
    }
    if (!IsNameToken(token_)) {
        RaiseTableNameExpected(kIndexTableNameCode, token_);
    }
    table_name_ = token_.Text;
    GetNextToken({tktDot}, kDropIndexDotCode,
                 "Token '.' expected, but '%s' found at line %d, column %d", kIndexEndCode);
    GetNextToken({}, kIndexNameCode, kIndexNameExpectedFormat, kIndexEndCode);
    if (!IsNameToken(token_)) {
        RaiseIndexNameExpected(kIndexNameCode, token_);
    }
    index_name_ = token_.Text;
    if (NextToken()) {
        password_ = ParsePassword(kIndexPasswordCode, kIndexEndCode);
        if (NextToken()) {
            RaiseUnexpectedToken(kIndexTrailingCode, token_);
        }
    }
}

void TSQLMemDDLDropIndex::ExecSQL(bool /*keep_tree*/, bool& read_only, bool /*request_live*/) {
    read_only = true;
    if (if_exists_ && !IndexExists(kMemoryDatabaseName, table_name_, index_name_)) {
        return;
    }
    DropIndex(kMemoryDatabaseName, table_name_, index_name_);
}

}  // namespace tapir::engine
