#include "engine/sql/expr/sqlmem_expression.h"

#include <optional>
#include <utility>

#include "engine/record/db_types.h"
#include "engine/record/utf8_text.h"
#include "engine/table/index_bound.h"

namespace tapir::engine {

namespace {

std::optional<TSQLMemCompareOperator> ToCompareOperator(TSQLMemDataOperator op) {
    using Op = TSQLMemCompareOperator;
    switch (op) {
        case doEQ:
            return Op::Equal;
        case doGT:
            return Op::Greater;
        case doLT:
            return Op::Lower;
        case doGE:
            return Op::GreaterEqual;
        case doLE:
            return Op::LowerEqual;
        default:
            return std::nullopt;
    }
}

// A comparison of a field with a constant, whichever side the constant stands on.
struct FieldConstant {
    const TSQLMemExprNodeComparison* comparison = nullptr;
    const TSQLMemExprNodeField* field = nullptr;
    const TSQLMemExprNodeConst* constant = nullptr;
    bool constant_on_left = false;
};

std::optional<FieldConstant> AsFieldConstant(const TSQLMemExprNode& node) {
    const auto* comparison = dynamic_cast<const TSQLMemExprNodeComparison*>(&node);
    if (comparison == nullptr || comparison->ChildCount() != 2) {
        return std::nullopt;
    }
    FieldConstant found;
    found.comparison = comparison;
    found.field = dynamic_cast<const TSQLMemExprNodeField*>(&comparison->Child(0));
    found.constant = dynamic_cast<const TSQLMemExprNodeConst*>(&comparison->Child(1));
    if (found.field == nullptr || found.constant == nullptr) {
        found.field = dynamic_cast<const TSQLMemExprNodeField*>(&comparison->Child(1));
        found.constant = dynamic_cast<const TSQLMemExprNodeConst*>(&comparison->Child(0));
        found.constant_on_left = true;
    }
    if (found.field == nullptr || found.constant == nullptr) {
        return std::nullopt;
    }
    return found;
}

// The number of characters of a text value.
int64_t TextLength(const TSQLMemVariant& value) {
    return IsWideStringType(value.BaseType()) ? static_cast<int64_t>(value.AsWideText().size())
                                              : static_cast<int64_t>(Utf8Length(value.AsText()));
}

// The key bounds an index gives for `comparison`, or none. The constant must mean the same
// value once written into the field: no null, no text that the field would cut or that
// would read as null, no number that the field's type would round.
std::vector<TSQLMemSearchBound> BoundsFor(const FieldConstant& term,
                                          const std::vector<TSQLMemIndexDef>& indexes,
                                          const TSQLMemFieldDefs& fields) {
    const TSQLMemExprNodeComparison& comparison = *term.comparison;
    std::optional<TSQLMemCompareOperator> op = ToCompareOperator(comparison.Operator());
    if (!op || comparison.Partial()) {
        return {};
    }
    // Without null awareness a null is lower than every value, which a range toward the
    // low end would have to include; only equality means the same either way.
    if (!comparison.NullAware() && *op != TSQLMemCompareOperator::Equal) {
        return {};
    }
    const int32_t field_no = fields.IndexOf(term.field->FieldName());
    if (field_no < 0) {
        return {};
    }
    const TSQLMemFieldDef& field = fields[field_no];
    const TSQLMemVariant& value = term.constant->Value();
    if (value.IsNull() || IsBlobType(field.BaseType) || field.BaseType == bftBFile) {
        return {};
    }
    try {
        TSQLMemVariant::CommonType(field.BaseType, value.BaseType());
        if (IsStringType(field.BaseType)) {
            const int64_t length = TextLength(value);
            if (length == 0 || length > field.Size) {
                return {};
            }
        }
        const TSQLMemVariant stored = value.Cast(field.BaseType);
        if (stored.Compare(value, false, false, true) != cmprEqual) {
            return {};
        }
        std::vector<std::byte> row(static_cast<size_t>(fields.DataSize()), std::byte{0});
        SetAllNull(row.data(), fields.Count());
        stored.ToField(fields, field_no, row.data());
        const TSQLMemCompareOperator in_field_order = term.constant_on_left ? Mirrored(*op) : *op;
        return MakeIndexBounds(indexes, fields, field_no, in_field_order, comparison.IgnoreCase(),
                               row.data());
    } catch (const tapir::Exception&) {
        // The evaluation will raise what is wrong with the comparison; no bound for it.
        return {};
    }
}

const TSQLMemExprNodeField* FirstUnboundField(const TSQLMemExprNode& node) {
    const TSQLMemExprNodeField* unbound = nullptr;
    node.ForEachNode([&unbound](const TSQLMemExprNode& each) {
        const auto* field = dynamic_cast<const TSQLMemExprNodeField*>(&each);
        if (unbound == nullptr && field != nullptr && !field->IsBound()) {
            unbound = field;
        }
    });
    return unbound;
}

}  // namespace

TSQLMemExpression::TSQLMemExpression() = default;

TSQLMemExpression::TSQLMemExpression(std::unique_ptr<TSQLMemExprNode> root) {
    SetRoot(std::move(root));
}

TSQLMemExpression::~TSQLMemExpression() = default;

void TSQLMemExpression::SetRoot(std::unique_ptr<TSQLMemExprNode> root) {
    ReturnConditionsToExpressions();
    root_ = std::move(root);
    if (root_ != nullptr) {
        root_->AssignContext(&context_);
    }
}

std::unique_ptr<TSQLMemExprNode> TSQLMemExpression::ReleaseRoot() {
    ReturnConditionsToExpressions();
    if (root_ != nullptr) {
        root_->AssignContext(nullptr);
    }
    return std::move(root_);
}

void TSQLMemExpression::SetContext(TSQLMemExprContext context) {
    context_ = std::move(context);
    if (root_ != nullptr) {
        root_->AssignContext(&context_);
    }
    for (TakenComparison& taken : taken_) {
        taken.node->AssignContext(&context_);
    }
}

void TSQLMemExpression::AssignFieldSource(const TSQLMemFieldSource& source) {
    if (root_ != nullptr) {
        root_->AssignFieldSource(source);
    }
    for (TakenComparison& taken : taken_) {
        taken.node->AssignFieldSource(source);
    }
}

void TSQLMemExpression::Bind(const TSQLMemFieldSource& source) {
    AssignFieldSource(source);
    const TSQLMemExprNodeField* unbound = root_ != nullptr ? FirstUnboundField(*root_) : nullptr;
    for (size_t i = 0; unbound == nullptr && i < taken_.size(); ++i) {
        unbound = FirstUnboundField(*taken_[i].node);
    }
    if (unbound != nullptr) {
        throw EDatabaseError("Field '" + unbound->FieldName() + "' not found");
    }
}

void TSQLMemExpression::BindRow(const TSQLMemFieldDefs& fields, std::string table_name) {
    ClearBinding();
    row_source_ = std::make_unique<TSQLMemRowBufferSource>(fields, std::move(table_name));
    Bind(*row_source_);
}

void TSQLMemExpression::SetRow(const std::byte* row) { row_source_->SetRow(row); }

void TSQLMemExpression::ClearBinding() {
    if (root_ != nullptr) {
        root_->ClearFieldSource();
    }
    for (TakenComparison& taken : taken_) {
        taken.node->ClearFieldSource();
    }
    row_source_.reset();
}

bool TSQLMemExpression::IsBound() const {
    if (root_ != nullptr && FirstUnboundField(*root_) != nullptr) {
        return false;
    }
    for (const TakenComparison& taken : taken_) {
        if (FirstUnboundField(*taken.node) != nullptr) {
            return false;
        }
    }
    return true;
}

const TSQLMemVariant& TSQLMemExpression::GetValue() {
    if (root_ == nullptr) {
        null_value_ = TSQLMemVariant();
        return null_value_;
    }
    return root_->GetDataValue();
}

bool TSQLMemExpression::GetResult() {
    if (root_ == nullptr) {
        return true;
    }
    const TSQLMemVariant& value = root_->GetDataValue();
    return !value.IsNull() && value.AsBoolean();
}

bool TSQLMemExpression::IsAggregated() const { return root_ != nullptr && root_->IsAggregated(); }

bool TSQLMemExpression::IsCountAll() const { return root_ != nullptr && root_->IsCountAll(); }

void TSQLMemExpression::Init() {
    if (root_ != nullptr) {
        root_->Init();
    }
}

void TSQLMemExpression::Accumulate() {
    if (root_ != nullptr) {
        root_->Accumulate();
    }
}

bool TSQLMemExpression::IsField() const {
    return root_ != nullptr && root_->NodeType() == entField;
}

bool TSQLMemExpression::IsConst() const {
    return root_ != nullptr && (root_->NodeType() == entConst || root_->NodeType() == entNull);
}

bool TSQLMemExpression::GetFieldInfo(std::string& table_name, std::string& field_name) const {
    const auto* field = dynamic_cast<const TSQLMemExprNodeField*>(root_.get());
    if (field == nullptr) {
        return false;
    }
    table_name = field->TableName();
    field_name = field->FieldName();
    return true;
}

TSQLMemAdvancedFieldType TSQLMemExpression::GetDataType() const {
    if (root_ == nullptr) {
        throw ESQLMemException(kUndeterminedTypeCode, "Cannot determine expression type");
    }
    return root_->GetDataType();
}

int32_t TSQLMemExpression::GetDataSize() const {
    return root_ != nullptr ? root_->GetDataSize() : 0;
}

int32_t TSQLMemExpression::GetPrecision() const {
    return root_ != nullptr ? root_->GetPrecision() : 0;
}

std::string TSQLMemExpression::ToString() const {
    return root_ != nullptr ? root_->ToString() : std::string();
}

void TSQLMemExpression::ExtractIndexScanConditions(const std::vector<TSQLMemIndexDef>& indexes,
                                                   const TSQLMemFieldDefs& fields,
                                                   TSQLMemScanSearchConditionArray& bounds) {
    if (root_ == nullptr) {
        return;
    }
    auto take = [&](const TSQLMemExprNode& node) {
        const std::optional<FieldConstant> term = AsFieldConstant(node);
        if (!term) {
            return false;
        }
        std::vector<TSQLMemSearchBound> made = BoundsFor(*term, indexes, fields);
        for (TSQLMemSearchBound& bound : made) {
            bounds.AddCondition(std::move(bound));
        }
        return !made.empty();
    };
    if (root_->Operator() == doAND && dynamic_cast<TSQLMemExprNodeBoolean*>(root_.get())) {
        size_t i = 0;
        while (i < root_->ChildCount()) {
            if (take(root_->Child(i))) {
                taken_.push_back({root_.get(), i, root_->RemoveChild(i)});
            } else {
                ++i;
            }
        }
    } else if (take(*root_)) {
        taken_.push_back({nullptr, 0, std::move(root_)});
    }
}

void TSQLMemExpression::ReturnConditionsToExpressions() {
    // Back in the reverse order of taking, each at the position it left.
    while (!taken_.empty()) {
        TakenComparison taken = std::move(taken_.back());
        taken_.pop_back();
        if (taken.parent == nullptr) {
            root_ = std::move(taken.node);
        } else {
            taken.parent->InsertChild(taken.position, std::move(taken.node));
        }
    }
}

bool TSQLMemExpression::CannotMatch() const {
    if (root_ == nullptr) {
        return false;
    }
    auto cannot = [](const TSQLMemExprNode& node) {
        const std::optional<FieldConstant> term = AsFieldConstant(node);
        if (!term || term->comparison->Operator() != doEQ || term->comparison->Partial() ||
            term->comparison->IgnoreCase() || !term->field->IsBound()) {
            return false;
        }
        const TSQLMemFieldSource& source = *term->field->Source();
        const TSQLMemAdvancedFieldType type = source.FieldType(term->field->FieldNo());
        const TSQLMemVariant& value = term->constant->Value();
        if ((type != aftString && type != aftChar) || value.IsNull() ||
            !IsStringType(value.BaseType())) {
            return false;
        }
        return TextLength(value) > source.FieldSize(term->field->FieldNo());
    };
    if (root_->Operator() == doAND && dynamic_cast<const TSQLMemExprNodeBoolean*>(root_.get())) {
        for (size_t i = 0; i < root_->ChildCount(); ++i) {
            if (cannot(root_->Child(i))) {
                return true;
            }
        }
        return false;
    }
    return cannot(*root_);
}

bool TSQLMemExpression::IsRecordMatch(const std::byte* row) {
    if (row_source_ != nullptr) {
        row_source_->SetRow(row);
    }
    return GetResult();
}

}  // namespace tapir::engine
