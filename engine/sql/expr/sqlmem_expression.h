#pragma once
// TSQLMemExpression: one expression tree with what it needs to be evaluated — the switches
// that comparison nodes are built with, the field source its field nodes are bound to and
// the context (connection, subquery factory) it hands to its nodes. As a search expression
// it gives the table's condition search the comparisons an index can serve and tests rows
// with the rest. Used by one thread at a time.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/sql/expr/expression_nodes.h"
#include "engine/table/condition_search.h"

namespace tapir::engine {

class TSQLMemExpression final : public TSQLMemSearchExpression {
  public:
    TSQLMemExpression();
    explicit TSQLMemExpression(std::unique_ptr<TSQLMemExprNode> root);
    TSQLMemExpression(const TSQLMemExpression&) = delete;
    TSQLMemExpression& operator=(const TSQLMemExpression&) = delete;
    ~TSQLMemExpression() override;

    // --- The tree ---
    // nullptr when empty. While comparisons are taken out for a search the root may be
    // missing; ReturnConditionsToExpressions puts it back.
    TSQLMemExprNode* Root() const { return root_.get(); }
    // Replaces the tree (any comparisons taken out are put back first and then dropped
    // with the old tree) and hands it the context.
    void SetRoot(std::unique_ptr<TSQLMemExprNode> root);
    std::unique_ptr<TSQLMemExprNode> ReleaseRoot();
    bool IsEmpty() const { return root_ == nullptr && taken_.empty(); }

    // --- Switches used when comparison nodes are built ---
    bool PartialMatch() const { return partial_match_; }
    void SetPartialMatch(bool value) { partial_match_ = value; }
    bool IgnoreCase() const { return ignore_case_; }
    void SetIgnoreCase(bool value) { ignore_case_ = value; }
    // On by default; Locate turns it off (a null key finds null fields).
    bool NullAware() const { return null_aware_; }
    void SetNullAware(bool value) { null_aware_ = value; }

    // --- Context ---
    const TSQLMemExprContext& Context() const { return context_; }
    // Replaces the context and hands it to the tree.
    void SetContext(TSQLMemExprContext context);

    // --- Binding ---
    // Binds every field node that `source` knows (others stay as they are). Requires:
    // `source` outlives the binding.
    void AssignFieldSource(const TSQLMemFieldSource& source);
    // Binds every field node to `source`; throws EDatabaseError "Field '%s' not found" for
    // the first field it does not know (the nodes it knows stay bound).
    void Bind(const TSQLMemFieldSource& source);
    // Binds to rows of the layout `fields` through a source the expression owns; the row
    // is given with SetRow, or by IsRecordMatch. Throws like Bind. Requires: `fields`
    // outlives the expression.
    void BindRow(const TSQLMemFieldDefs& fields, std::string table_name = {});
    // The row the owned source reads (after BindRow). Requires: BindRow was called.
    void SetRow(const std::byte* row);
    // Unbinds every field node and drops the owned source.
    void ClearBinding();
    // Whether every field node of the tree is bound.
    bool IsBound() const;

    // --- Evaluation ---
    // The value for the current row (an empty expression gives null). Errors propagate as
    // ESQLMemException (or EDatabaseError for an unbound field); the tree stays intact.
    const TSQLMemVariant& GetValue();
    // The value as a boolean, null counting as false; an empty expression is true.
    bool GetResult();
    bool IsAggregated() const;
    bool IsCountAll() const;
    void Init();
    void Accumulate();
    // The root is a field / a constant.
    bool IsField() const;
    bool IsConst() const;
    // The root field's table and field name; false when the root is not a field.
    bool GetFieldInfo(std::string& table_name, std::string& field_name) const;
    // Throws ESQLMemException 30283 for an empty expression.
    TSQLMemAdvancedFieldType GetDataType() const;
    int32_t GetDataSize() const;
    int32_t GetPrecision() const;
    // The tree as text (TSQLMemExprNode::ToString); "" when empty.
    std::string ToString() const;

    // --- Condition search ---
    // Offers the comparisons `field op constant` (or `constant op field`) at the root, or
    // directly under a root AND, to the indexes: the field is the index's first column,
    // the operator is not <>, the comparison is not partial, for text the column's case
    // rule is the comparison's, and the constant converts to the field's type without
    // loss (not null; text not longer than the field). The first index in definition
    // order that qualifies takes it as a one-field bound in its key order; the comparison
    // leaves the tree until ReturnConditionsToExpressions.
    void ExtractIndexScanConditions(const std::vector<TSQLMemIndexDef>& indexes,
                                    const TSQLMemFieldDefs& fields,
                                    TSQLMemScanSearchConditionArray& bounds) override;
    // Puts every taken comparison back where it was.
    void ReturnConditionsToExpressions() override;
    // An equality (case kept, not partial) at the root or directly under a root AND
    // between a text field and a text constant longer than the field's size.
    bool CannotMatch() const override;
    // Evaluates the tree for `row` through the source BindRow set up (a tree bound to
    // another source is evaluated as it is). Null counts as false.
    bool IsRecordMatch(const std::byte* row) override;
    // Comparisons taken out for the search in progress.
    int32_t TakenCount() const { return static_cast<int32_t>(taken_.size()); }

  private:
    struct TakenComparison {
        // The root AND it was under; nullptr when it was the root itself.
        TSQLMemExprNode* parent = nullptr;
        size_t position = 0;
        std::unique_ptr<TSQLMemExprNode> node;
    };

    std::unique_ptr<TSQLMemExprNode> root_;
    std::vector<TakenComparison> taken_;
    bool partial_match_ = false;
    bool ignore_case_ = false;
    bool null_aware_ = true;
    TSQLMemExprContext context_;
    std::unique_ptr<TSQLMemRowBufferSource> row_source_;
    TSQLMemVariant null_value_;
};

}  // namespace tapir::engine
