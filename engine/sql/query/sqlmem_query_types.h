#pragma once
// The parsed form of a SELECT: select-list items, FROM references with their joins, ORDER BY
// items and the nodes of a query expression joined by set operators. Built by
// the select parser, read by the operator-tree builder; plain data owned by the query.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/sql/expr/expression_nodes.h"

namespace tapir::engine {

class TSQLMemSQLSelect;

// One item of a select list. A plain field reference keeps its table and field name and
// no expression; `t.*` sets AllFields with the table name; other items keep their tree.
// FirstToken / EndToken delimit the item's expression in its command, so that a copy of
// the tree can be parsed again where a pseudonym stands for it.
struct TSQLMemSelectListItem {
    std::string TableName;
    std::string FieldName;
    std::string Pseudonym;
    bool AllFields = false;
    std::unique_ptr<TSQLMemExprNode> Expression;
    int32_t FirstToken = -1;
    int32_t EndToken = -1;
};
using TSQLMemFields = std::vector<TSQLMemSelectListItem>;

enum class TSQLMemTableType : int { attTable = 0, attJoinedTable, attSubQuery };
using enum TSQLMemTableType;

enum class TSQLMemJoinType : int {
    ajtCross = 0,
    ajtInner,
    ajtLeftOuter,
    ajtRightOuter,
    ajtFullOuter
};
using enum TSQLMemJoinType;

// One entry of a FROM list: a table, or a join of two references.
struct TSQLMemTableReference {
    TSQLMemTableType TableType = attTable;
    std::string DatabaseName;
    std::string ConnectionName;
    std::string TableName;
    std::string Alias;
    std::string Password;
    bool InMemory = false;
    std::unique_ptr<TSQLMemTableReference> Left;
    std::unique_ptr<TSQLMemTableReference> Right;
    TSQLMemJoinType JoinType = ajtInner;
    bool Natural = false;
    std::unique_ptr<TSQLMemExprNode> Condition;
    std::vector<std::string> UsingColumns;

    // Turns this reference into a join of what it was (left) with `right`, so that
    // `a JOIN b JOIN c` nests to the left.
    void MakeJoin(std::unique_ptr<TSQLMemTableReference> right, TSQLMemJoinType join_type,
                  std::unique_ptr<TSQLMemExprNode> condition, std::vector<std::string> using_list,
                  bool natural);
};

// One ORDER BY item: a field (ColumnNo -1) or a column number of the select list.
struct TSQLMemSortSpecification {
    std::string TableName;
    std::string FieldName;
    int32_t ColumnNo = -1;
    bool Descending = false;
    bool CaseInsensitive = false;
};

enum class TSQLMemQueryExprType : int { qetSelect = 0, qetUnion, qetExcept, qetIntersect };
using enum TSQLMemQueryExprType;

// A node of a query expression: a leaf with one SELECT, or a set operator over two nodes.
struct TSQLMemQueryExprNode {
    TSQLMemQueryExprNode();
    ~TSQLMemQueryExprNode();
    TSQLMemQueryExprNode(TSQLMemQueryExprNode&&) noexcept;
    TSQLMemQueryExprNode& operator=(TSQLMemQueryExprNode&&) noexcept;

    TSQLMemQueryExprType NodeType = qetSelect;
    std::unique_ptr<TSQLMemSQLSelect> Select;
    std::unique_ptr<TSQLMemQueryExprNode> Left;
    std::unique_ptr<TSQLMemQueryExprNode> Right;
    bool All = false;
    bool Corresponding = false;
    std::vector<std::string> CorrespondingBy;
};

}  // namespace tapir::engine
