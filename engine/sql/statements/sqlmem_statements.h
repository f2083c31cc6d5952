#pragma once
// The data-definition, INSERT and transaction statements. Each reads its command in Parse
// and acts on the in-memory database in ExecSQL; errors are ESQLMemException with the
// codes named beside each statement.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/record/field_types.h"
#include "engine/record/sqlmem_variant.h"
#include "engine/sql/command/sqlmem_sql_command.h"
#include "engine/table/table_definition.h"

namespace tapir::engine {

class TSQLMemExpression;
class TSQLMemSQLUnion;
class TSQLMemDataSet;
class TField;

// One column of CREATE TABLE; each optional part has a flag telling whether it was written.
struct TSQLFieldDef {
    std::string Name;
    TSQLMemAdvancedFieldType AdvancedType = aftUnknown;
    bool HasSize = false;
    int32_t Size = 0;
    bool HasNullability = false;
    bool NotNull = false;
    bool HasDefault = false;
    TSQLMemVariant DefaultValue;
    bool HasMinValue = false;
    int64_t MinValue = 0;
    bool HasMaxValue = false;
    int64_t MaxValue = 0;
    bool HasIncrement = false;
    int64_t Increment = 1;
    bool HasInitialValue = false;
    int64_t InitialValue = 0;
    bool HasCycled = false;
    bool Cycled = false;
    bool HasBlobBlockSize = false;
    int32_t BlobBlockSize = 0;
    bool HasBlobCompressionMode = false;
    int32_t BlobCompressionMode = 0;
    bool HasBlobCompressionAlgorithm = false;
    int32_t BlobCompressionAlgorithm = 0;  // the stored algorithm number
    bool PrimaryKey = false;
    bool Unique = false;
};
using TSQLFieldDefs = std::vector<TSQLFieldDef>;

enum class TSQLMatchRule { Simple, Full, Partial };
enum class TSQLReferentialAction { None, Cascade, SetNull, SetDefault, NoAction };

struct TSQLForeignKeyDef {
    std::string Columns;  // ";"-joined
    std::string ReferencedTable;
    TSQLMatchRule Match = TSQLMatchRule::Simple;
    TSQLReferentialAction OnUpdate = TSQLReferentialAction::None;
    TSQLReferentialAction OnDelete = TSQLReferentialAction::None;
};

// Shared parsing of table names, column definitions and key clauses.
class TSQLMemDDLTableManipulation : public TSQLMemSQLCommand {
  public:
    using TSQLMemSQLCommand::TSQLMemSQLCommand;

    const std::string& TableName() const { return table_name_; }
    const TSQLFieldDefs& FieldDefs() const { return field_defs_; }
    const std::vector<TSQLKeyColumn>& PrimaryKey() const { return primary_key_; }
    const std::vector<TSQLForeignKeyDef>& ForeignKeys() const { return foreign_keys_; }

  protected:
    // [MEMORY] name at the current token; leaves the token after the name current.
    void ParseTableName(int name_code, int end_code);
    // name type [options] at the current token; stops on `,` or `)` (left current).
    void ParseColumnDefinition();
    // PRIMARY [KEY] ( column [ASC|DESC] [CASE|NOCASE] {, ...} ) at PRIMARY.
    void ParsePrimaryKeyClause();
    // FOREIGN KEY ( columns ) REFERENCES table [MATCH ..] [ON UPDATE|DELETE action]* at
    // FOREIGN.
    void ParseForeignKeyClause();
    // A 64-bit integer (optionally signed) at the next token.
    int64_t ParseInteger(int code);
    // The definition the table is created from (name given by the caller).
    TableDefinition BuildDefinition(const std::string& table_name) const;
    // The engine's form of a parsed foreign-key clause (an unnamed key).
    static TableForeignKeySpec ForeignKeySpec(const TSQLForeignKeyDef& key);

    std::string table_name_;
    TSQLFieldDefs field_defs_;
    std::vector<TSQLKeyColumn> primary_key_;
    std::vector<TSQLForeignKeyDef> foreign_keys_;

  private:
    void ParseAutoincOptions(TSQLFieldDef& field);
    void ParseColumnOptions(TSQLFieldDef& field);
    void AddPrimaryKeyColumn(TSQLKeyColumn column);
};

// CREATE TABLE [MEMORY] name ( element {, element} ).
class TSQLMemDDLCreateTable : public TSQLMemDDLTableManipulation {
  public:
    using TSQLMemDDLTableManipulation::TSQLMemDDLTableManipulation;
    void Parse() override;
    void ExecSQL(bool keep_tree, bool& read_only, bool request_live) override;
};

// DROP TABLE [MEMORY] name [CASCADE | RESTRICT].
class TSQLMemDDLDropTable : public TSQLMemDDLTableManipulation {
  public:
    using TSQLMemDDLTableManipulation::TSQLMemDDLTableManipulation;
    void Parse() override;
    void ExecSQL(bool keep_tree, bool& read_only, bool request_live) override;
    bool Cascade() const { return cascade_; }

  private:
    bool cascade_ = false;
};

// The forms of ALTER TABLE, in their fixed order.
enum class TAlterType {
    atAdd,
    atDrop,
    atModify,
    atRenameColumn,
    atRenameTable,
    atDropConstraint,
    atAddConstraintPrimaryKey,
    atAddConstraintForeignKey,
};
using enum TAlterType;

// ALTER TABLE [MEMORY] name, then ADD / DROP / ALTER / MODIFY / RENAME. Renaming the table,
// adding a primary key and dropping a constraint act on the stored table at once; the
// forms that change its columns restructure it (its rows converted to the new columns).
// A failed restructure raises 30347 and every failure is wrapped in 30265.
class TSQLMemDDLAlterTable : public TSQLMemDDLTableManipulation {
  public:
    using TSQLMemDDLTableManipulation::TSQLMemDDLTableManipulation;
    void Parse() override;
    void ExecSQL(bool keep_tree, bool& read_only, bool request_live) override;

    TAlterType AlterType() const { return alter_type_; }
    const std::string& NewTableName() const { return new_table_name_; }
    // atDrop: the columns; atRenameColumn: old and new names in turn.
    const std::vector<std::string>& ColumnNames() const { return column_names_; }
    const std::string& ConstraintName() const { return constraint_name_; }

  protected:
    // old TO new at the current token (old), for RENAME and ALTER TABLE .. RENAME TO.
    void ParseNewTableName();

    TAlterType alter_type_ = atAdd;
    std::string new_table_name_;
    std::vector<std::string> column_names_;
    std::string constraint_name_;
    bool cascade_ = false;

  private:
    // ( column definitions ) at `(`; leaves the `)` current.
    void ParseColumnDefinitions();
    // ADD, DROP, ALTER / MODIFY and RENAME of columns: the new column list, then the
    // stored table rebuilt by it.
    void RestructureColumns();
};

// RENAME [TABLE] [MEMORY] old TO new: ALTER TABLE old RENAME TO new.
class TSQLMemDDLRenameTable : public TSQLMemDDLAlterTable {
  public:
    using TSQLMemDDLAlterTable::TSQLMemDDLAlterTable;
    void Parse() override;
};

// CREATE [UNIQUE] INDEX [IF NOT EXISTS] name ON [MEMORY] table ( columns ) [PASSWORD '..'].
class TSQLMemDDLCreateIndex : public TSQLMemSQLCommand {
  public:
    using TSQLMemSQLCommand::TSQLMemSQLCommand;
    void Parse() override;
    void ExecSQL(bool keep_tree, bool& read_only, bool request_live) override;

  private:
    std::string index_name_;
    std::string table_name_;
    std::vector<TSQLKeyColumn> columns_;
    bool unique_ = false;
    bool if_not_exists_ = false;
    std::string password_;
};

// DROP INDEX [IF EXISTS] [MEMORY] table . index [PASSWORD '..'].
class TSQLMemDDLDropIndex : public TSQLMemSQLCommand {
  public:
    using TSQLMemSQLCommand::TSQLMemSQLCommand;
    void Parse() override;
    void ExecSQL(bool keep_tree, bool& read_only, bool request_live) override;

  private:
    std::string index_name_;
    std::string table_name_;
    bool if_exists_ = false;
    std::string password_;
};

// INSERT INTO [MEMORY] table [PASSWORD '..'] [( columns )] then VALUES ( values ) or a
// query, whose every row is appended (11350 when some rows fail; the others stay).
class TSQLMemSQLInsert : public TSQLMemSQLCommand {
  public:
    TSQLMemSQLInsert(TSQLMemLexer& lexer, const TSQLMemCommandContext& context);
    ~TSQLMemSQLInsert() override;
    void Parse() override;
    void ExecSQL(bool keep_tree, bool& read_only, bool request_live) override;

  private:
    void InsertFromQuery();

    std::string table_name_;
    std::string password_;
    std::vector<std::string> columns_;
    std::vector<std::unique_ptr<TSQLMemExpression>> values_;
    std::unique_ptr<TSQLMemSQLUnion> query_;
};

// UPDATE [MEMORY] table [PASSWORD '..'] SET field = value {, field = value} [WHERE cond].
// The rows to change are those of the live `SELECT * FROM table [WHERE cond]`, read over
// the command's own tokens: the four before WHERE are rewritten into `select * FROM table`.
// Without post handlers on the result, every row is changed in one pass: constant values
// are computed once, others row by row from each row's own fields. With a handler, or a
// value that reads a subquery, or a BLOB target, each row is edited, given its values and
// posted.
class TSQLMemSQLUpdate : public TSQLMemSQLCommand {
  public:
    TSQLMemSQLUpdate(TSQLMemLexer& lexer, const TSQLMemCommandContext& context);
    ~TSQLMemSQLUpdate() override;
    void Parse() override;
    void ExecSQL(bool keep_tree, bool& read_only, bool request_live) override;

  private:
    // True when values computed row by row can still be stored in one pass: no value
    // reads a subquery and no target is a BLOB field.
    bool OnePassPossible(const TSQLMemDataSet& rows, const std::vector<TField*>& targets) const;
    // Gives every row of `rows` the constant values in one pass; returns the row count
    // the result had before.
    int64_t UpdateInOnePass(TSQLMemDataSet& rows, const std::vector<TField*>& targets,
                            const std::vector<TSQLMemVariant>& constants);

    std::string table_name_;
    std::string password_;
    std::vector<std::string> fields_;
    std::vector<std::unique_ptr<TSQLMemExpression>> values_;
    std::unique_ptr<TSQLMemSQLUnion> select_;
};

// DELETE FROM table [WHERE cond]: the command is rewritten in place into `select * FROM
// table [WHERE cond]`, run live, and every row it shows is deleted.
class TSQLMemSQLDelete : public TSQLMemSQLCommand {
  public:
    TSQLMemSQLDelete(TSQLMemLexer& lexer, const TSQLMemCommandContext& context);
    ~TSQLMemSQLDelete() override;
    void Parse() override;
    void ExecSQL(bool keep_tree, bool& read_only, bool request_live) override;

  private:
    std::unique_ptr<TSQLMemSQLUnion> select_;
};

// START TRANSACTION, COMMIT [NOFLUSH], ROLLBACK: parsed; every statement takes effect at
// once, so they do nothing.
class TSQLMemStartTransaction : public TSQLMemSQLCommand {
  public:
    using TSQLMemSQLCommand::TSQLMemSQLCommand;
    void Parse() override;
    void ExecSQL(bool, bool&, bool) override {}
};

class TSQLMemCommit : public TSQLMemSQLCommand {
  public:
    using TSQLMemSQLCommand::TSQLMemSQLCommand;
    void Parse() override;
    void ExecSQL(bool, bool&, bool) override {}
    bool NoFlush() const { return no_flush_; }

  private:
    bool no_flush_ = false;
};

class TSQLMemRollback : public TSQLMemSQLCommand {
  public:
    using TSQLMemSQLCommand::TSQLMemSQLCommand;
    void Parse() override;
    void ExecSQL(bool, bool&, bool) override {}
};

}  // namespace tapir::engine
