#pragma once
// Error codes of the statements and the helpers they share: the names of the indexes that
// PRIMARY KEY and UNIQUE create and the index definition a key column list becomes.

#include <string>
#include <vector>

#include "engine/sql/command/sqlmem_sql_command.h"
#include "engine/table/table_definition.h"

namespace tapir::engine {

// Every table the statements name lives in the in-memory database.
inline constexpr const char* kMemoryDatabaseName = "MEMORY";

// --- The processor's first-token table ---
inline constexpr int kBlankSQLCommandCode = 30146;
inline constexpr int kCreateObjectTypeCode = 30147;
inline constexpr int kCreateObjectEndCode = 30148;
inline constexpr int kDropObjectTypeCode = 30149;
inline constexpr int kDropObjectEndCode = 30150;
inline constexpr int kAlterObjectTypeCode = 30151;
inline constexpr int kAlterObjectEndCode = 30152;
inline constexpr int kUnknownKeywordCode = 30153;
inline constexpr int kUnknownTokenCode = 30154;
inline constexpr int kStartTransactionEndCode = 10845;
inline constexpr int kStartTransactionTokenCode = 10846;
inline constexpr int kRenameBlankCode = 30353;

// --- CREATE TABLE ---
inline constexpr int kCreateBlankCode = 30216;
inline constexpr int kCreateTableNameCode = 30230;
inline constexpr int kCreateParenthesisCode = 30214;
inline constexpr int kCreateFieldNameCode = 30227;
inline constexpr int kCreateEndCode = 30224;
inline constexpr int kFieldTypeExpectedCode = 30228;
inline constexpr int kUnknownFieldTypeCode = 30232;
inline constexpr int kSizeParenthesisCode = 30233;
inline constexpr int kSizeDecimalCode = 30235;
inline constexpr int kSizeCloseCode = 30236;
inline constexpr int kColumnOptionCode = 30229;
inline constexpr int kCreateElementEndCode = 30245;
inline constexpr int kCreateTrailingCode = 30246;
inline constexpr int kNullExpectedCode = 2011;
inline constexpr int kDefaultTwiceCode = 30299;
inline constexpr int kDefaultExpressionCode = 30160;
inline constexpr int kColumnIntegerCode = 30292;
inline constexpr int kAutoincEndCode = 30290;
inline constexpr int kAutoincIntegerCode = 30291;
inline constexpr int kAutoincOptionCode = 30189;
inline constexpr int kAutoincSecondTypeCode = 30294;
inline constexpr int kAutoincTypeCode = 30295;
inline constexpr int kPrimaryKeyParenthesisCode = 30327;
inline constexpr int kPrimaryKeyFieldCode = 30244;
inline constexpr int kPrimaryKeyCloseCode = 30239;
inline constexpr int kForeignKeyTokenCode = 30226;
inline constexpr int kForeignKeyParenthesisCode = 11468;
inline constexpr int kForeignKeyFieldCode = 30274;
inline constexpr int kForeignKeyCloseCode = 11470;
inline constexpr int kForeignKeyTableCode = 30231;
inline constexpr int kForeignKeyUnexpectedCode = 11244;
inline constexpr int kTableExistsCode = 30247;
inline constexpr int kCreateTableErrorCode = 30248;

// --- DROP TABLE, RENAME ---
inline constexpr int kDropBlankCode = 30249;
inline constexpr int kDropTableNameCode = 30272;
inline constexpr int kDropTrailingCode = 30170;
inline constexpr int kDropTableErrorCode = 30250;
inline constexpr int kRenameNameBlankCode = 30354;
inline constexpr int kRenameTableNameCode = 30207;
inline constexpr int kRenameEndCode = 30161;
inline constexpr int kRenameToCode = 30352;
inline constexpr int kRenameTrailingCode = 30171;
inline constexpr int kAlterTableErrorCode = 30265;
inline constexpr int kAlterBlankCode = 30251;
inline constexpr int kAlterEndCode = 30290;
inline constexpr int kAlterKeywordCode = 30252;
inline constexpr int kAlterNotKeywordCode = 30253;
inline constexpr int kAlterParenthesisCode = 11468;
inline constexpr int kAlterCloseCode = 11470;
inline constexpr int kAlterFieldNameCode = 10407;
inline constexpr int kAlterToCode = 30280;
inline constexpr int kAlterConstraintNameCode = 11495;
inline constexpr int kAlterTrailingCode = 30174;
inline constexpr int kRestructureErrorCode = 30347;

// --- CREATE INDEX, DROP INDEX ---
inline constexpr int kIndexEndCode = 30203;
inline constexpr int kIndexKeywordCode = 30267;
inline constexpr int kIndexNameCode = 30269;
inline constexpr int kNotKeywordCode = 11236;
inline constexpr int kExistsKeywordCode = 11238;
inline constexpr int kOnKeywordCode = 30270;
inline constexpr int kIndexTableNameCode = 30217;
inline constexpr int kIndexParenthesisCode = 30273;
inline constexpr int kIndexFieldNameCode = 30187;
inline constexpr int kIndexCloseCode = 30276;
inline constexpr int kIndexPasswordCode = 30275;
inline constexpr int kIndexTrailingCode = 30172;
inline constexpr int kDropIndexDotCode = 30355;

// --- INSERT ---
inline constexpr int kInsertBlankCode = 30155;
inline constexpr int kInsertIntoCode = 30206;
inline constexpr int kInsertTableNameCode = 30180;
inline constexpr int kInsertEndCode = 30161;
inline constexpr int kInsertFieldNameCode = 30179;
inline constexpr int kInsertColumnCloseCode = 30212;
inline constexpr int kInsertValuesCode = 30188;
inline constexpr int kInsertParenthesisCode = 30214;
inline constexpr int kInsertPasswordCode = 30178;
inline constexpr int kInsertTrailingCode = 30168;
inline constexpr int kInsertValueCode = 30357;
inline constexpr int kInsertUndefinedValueCode = 30356;
inline constexpr int kInsertTooManyValuesCode = 30361;

// --- INSERT from a query, UPDATE, DELETE ---
inline constexpr int kInsertFromSelectCode = 11350;
inline constexpr int kUpdateBlankCode = 30155;
inline constexpr int kUpdateTableNameCode = 30180;
inline constexpr int kUpdateEndCode = 30161;
inline constexpr int kUpdateSetCode = 30181;
inline constexpr int kUpdateFieldNameCode = 30179;
inline constexpr int kUpdateEqualsCode = 30182;
inline constexpr int kUpdateValueCode = 30160;
inline constexpr int kUpdatePasswordCode = 30178;
inline constexpr int kUpdateTrailingCode = 30168;
inline constexpr int kUpdateFieldNotFoundCode = 11590;
inline constexpr int kDeleteBlankCode = 30155;
inline constexpr int kDeleteFromCode = 30184;

// --- Transactions ---
inline constexpr int kTransactionTrailingCode = 30173;

// The index PRIMARY KEY creates: "PK_" and the table name. A UNIQUE column's index:
// "UQ_" and the column name. Their constraints carry the same names.
std::string PrimaryIndexName(const std::string& table_name);
std::string UniqueIndexName(const std::string& column_name);

// The index definition for key columns: names joined by `;`, the descending and the
// case-insensitive columns as two further `;`-lists.
TableIndexSpec KeyIndexSpec(const std::string& name, const std::vector<TSQLKeyColumn>& columns,
                            bool primary, bool unique);

}  // namespace tapir::engine
