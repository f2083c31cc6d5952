#include "engine/sql/expr/expression_nodes.h"

#include <array>
#include <string>
#include <utility>

#include "engine/record/db_types.h"
#include "engine/sql/expr/text_functions.h"

namespace tapir::engine {

namespace {

// Message names by operator code; empty where the code has none.
constexpr std::array<std::string_view, 47> kMessageNames = {
    "",  "=", "<>", ">",   "<",    ">=",       "<=",      "NOT",         "AND",      "OR",
    "",  "",  "",   "",    "LIKE", "NOT LIKE", "IS NULL", "IS NOT NULL", "",         "",
    "+", "-", "*",  "/",   "||",   "UPPER",    "LOWER",   "TRIM",        "LTRIM",    "RTRIM",
    "",  "",  "",   "SUM", "AVG",  "MIN",      "MAX",     "COUNT",       "COUNT(*)", "",
    "",  "",  "",   "",    "",     "",         ""};

std::string Quoted(std::string_view text) {
    std::string out = "'";
    for (const char c : text) {
        out += c;
        if (c == '\'') {
            out += '\'';
        }
    }
    out += '\'';
    return out;
}

bool BooleanOf(const TSQLMemVariant& value) { return value.AsBoolean(); }

// Joins the children's texts with `separator`.
std::string JoinChildren(const TSQLMemExprNode& node, size_t from, std::string_view separator) {
    std::string out;
    for (size_t i = from; i < node.ChildCount(); ++i) {
        if (i > from) {
            out += separator;
        }
        out += node.Child(i).ToString();
    }
    return out;
}

TSQLMemBaseFieldType BaseOf(TSQLMemAdvancedFieldType type) {
    return type == aftUnknown ? bftUnknown : AdvancedToBaseType(type);
}

}  // namespace

std::string_view OperatorMessageName(TSQLMemDataOperator op) {
    const auto code = static_cast<size_t>(op);
    if (code >= kMessageNames.size() || kMessageNames[code].empty()) {
        return "unknown";
    }
    return kMessageNames[code];
}

TSQLMemAdvancedFieldType AdvancedTypeOfBase(TSQLMemBaseFieldType type) {
    switch (type) {
        case bftChar:
            return aftChar;
        case bftWideChar:
            return aftWideChar;
        case bftVarchar:
            return aftString;
        case bftWideVarchar:
            return aftWideString;
        case bftSignedInt8:
            return aftShortint;
        case bftSignedInt16:
            return aftSmallint;
        case bftSignedInt32:
            return aftInteger;
        case bftSignedInt64:
            return aftLargeint;
        case bftUnsignedInt8:
            return aftByte;
        case bftUnsignedInt16:
            return aftWord;
        case bftUnsignedInt32:
            return aftCardinal;
        case bftSingle:
            return aftSingle;
        case bftDouble:
            return aftDouble;
        case bftExtended:
            return aftExtended;
        case bftDate:
            return aftDate;
        case bftTime:
            return aftTime;
        case bftDateTime:
            return aftDateTime;
        case bftBlob:
            return aftBlob;
        case bftClob:
            return aftMemo;
        case bftWideClob:
            return aftWideMemo;
        case bftLogical:
            return aftBoolean;
        case bftCurrency:
            return aftCurrency;
        case bftBytes:
            return aftBytes;
        case bftVarBytes:
            return aftVarBytes;
        case bftUnknown:
        case bftBFile:
            break;
    }
    return aftUnknown;
}

// --- TSQLMemRowBufferSource ---

TSQLMemRowBufferSource::TSQLMemRowBufferSource(const TSQLMemFieldDefs& fields,
                                               std::string table_name)
    : fields_(fields), table_name_(std::move(table_name)) {}

int32_t TSQLMemRowBufferSource::FindField(std::string_view table_name,
                                          std::string_view field_name) const {
    if (!table_name.empty() && !table_name_.empty() &&
        !SameName(std::string(table_name), table_name_)) {
        return -1;
    }
    return fields_.IndexOf(field_name);
}

TSQLMemAdvancedFieldType TSQLMemRowBufferSource::FieldType(int32_t field_no) const {
    return fields_[field_no].AdvancedType;
}

int32_t TSQLMemRowBufferSource::FieldSize(int32_t field_no) const { return fields_[field_no].Size; }

TSQLMemVariant TSQLMemRowBufferSource::FieldValue(int32_t field_no) const {
    if (row_ == nullptr) {
        return TSQLMemVariant::Null(fields_[field_no].BaseType);
    }
    return TSQLMemVariant::FromField(fields_, field_no, row_);
}

// --- TSQLMemExprNode ---

TSQLMemExprNode::TSQLMemExprNode(TSQLMemExprNodeType node_type, TSQLMemDataOperator op)
    : node_type_(node_type), operator_(op) {}

TSQLMemExprNode::~TSQLMemExprNode() = default;

TSQLMemExprNode& TSQLMemExprNode::AddChild(std::unique_ptr<TSQLMemExprNode> child) {
    children_.push_back(std::move(child));
    return *children_.back();
}

TSQLMemExprNode& TSQLMemExprNode::InsertChild(size_t index,
                                              std::unique_ptr<TSQLMemExprNode> child) {
    auto it =
        children_.insert(children_.begin() + static_cast<std::ptrdiff_t>(index), std::move(child));
    return **it;
}

std::unique_ptr<TSQLMemExprNode> TSQLMemExprNode::RemoveChild(size_t index) {
    std::unique_ptr<TSQLMemExprNode> child = std::move(children_[index]);
    children_.erase(children_.begin() + static_cast<std::ptrdiff_t>(index));
    return child;
}

TSQLMemAdvancedFieldType TSQLMemExprNode::GetDataType() const {
    if (children_.empty()) {
        throw ESQLMemException(kUndeterminedTypeCode, "Cannot determine expression type");
    }
    return children_.front()->GetDataType();
}

int32_t TSQLMemExprNode::GetDataSize() const {
    return children_.empty() ? 0 : children_.front()->GetDataSize();
}

int32_t TSQLMemExprNode::GetPrecision() const {
    return children_.empty() ? 0 : children_.front()->GetPrecision();
}

bool TSQLMemExprNode::IsAggregated() const {
    for (const auto& child : children_) {
        if (child->IsAggregated()) {
            return true;
        }
    }
    return false;
}

bool TSQLMemExprNode::IsCountAll() const {
    for (const auto& child : children_) {
        if (child->IsCountAll()) {
            return true;
        }
    }
    return false;
}

void TSQLMemExprNode::Init() {
    for (auto& child : children_) {
        child->Init();
    }
}

void TSQLMemExprNode::Accumulate() {
    for (auto& child : children_) {
        child->Accumulate();
    }
}

void TSQLMemExprNode::AssignFieldSource(const TSQLMemFieldSource& source) {
    for (auto& child : children_) {
        child->AssignFieldSource(source);
    }
}

bool TSQLMemExprNode::CanBeAssigned(const TSQLMemFieldSource& source) const {
    for (const auto& child : children_) {
        if (!child->CanBeAssigned(source)) {
            return false;
        }
    }
    return true;
}

void TSQLMemExprNode::ClearFieldSource() {
    for (auto& child : children_) {
        child->ClearFieldSource();
    }
}

void TSQLMemExprNode::AssignContext(const TSQLMemExprContext* context) {
    for (auto& child : children_) {
        child->AssignContext(context);
    }
}

void TSQLMemExprNode::ForEachNode(const std::function<void(TSQLMemExprNode&)>& visit) {
    visit(*this);
    for (auto& child : children_) {
        child->ForEachNode(visit);
    }
}

void TSQLMemExprNode::ForEachNode(const std::function<void(const TSQLMemExprNode&)>& visit) const {
    visit(*this);
    for (const auto& child : children_) {
        std::as_const(*child).ForEachNode(visit);
    }
}

void TSQLMemExprNode::RequireChildren(size_t count) const {
    if (children_.size() < count) {
        throw ESQLMemException(kNoChildrenCode, "Error - no children in expression node");
    }
}

void TSQLMemExprNode::ThrowUnknownOperator(int code) const {
    throw ESQLMemException::Formatted(
        code, "Unknown operator: '" + std::string(OperatorMessageName(operator_)) + "'");
}

// --- TSQLMemExprNodeConst ---

TSQLMemExprNodeConst::TSQLMemExprNodeConst(TSQLMemVariant value)
    : TSQLMemExprNode(value.IsNull() ? entNull : entConst, doUNDEFINED) {
    result_ = std::move(value);
}

TSQLMemAdvancedFieldType TSQLMemExprNodeConst::GetDataType() const {
    const TSQLMemAdvancedFieldType type = AdvancedTypeOfBase(result_.BaseType());
    if (type == aftUnknown) {
        throw ESQLMemException(kUndeterminedTypeCode, "Cannot determine expression type");
    }
    return type;
}

int32_t TSQLMemExprNodeConst::GetDataSize() const {
    if (IsStringType(result_.BaseType()) && !result_.IsNull()) {
        return static_cast<int32_t>(IsWideStringType(result_.BaseType())
                                        ? sql::Length(result_.AsWideText())
                                        : sql::Length(result_.AsText()));
    }
    return 0;
}

std::string TSQLMemExprNodeConst::ToString() const {
    if (result_.IsNull()) {
        return "NULL";
    }
    const TSQLMemBaseFieldType type = result_.BaseType();
    if (type == bftLogical) {
        return result_.AsBoolean() ? "TRUE" : "FALSE";
    }
    if (IsNumericType(type)) {
        return result_.AsText();
    }
    if (type == bftBlob || IsBytesType(type)) {
        return "<" + std::to_string(result_.AsBytes().size()) + " bytes>";
    }
    return Quoted(result_.AsText());
}

// --- TSQLMemExprNodeField ---

TSQLMemExprNodeField::TSQLMemExprNodeField(std::string table_name, std::string field_name)
    : TSQLMemExprNode(entField, doUNDEFINED),
      table_name_(std::move(table_name)),
      field_name_(std::move(field_name)) {}

void TSQLMemExprNodeField::Bind(const TSQLMemFieldSource& source, int32_t field_no) {
    source_ = &source;
    field_no_ = field_no;
}

const TSQLMemVariant& TSQLMemExprNodeField::GetDataValue() {
    if (source_ == nullptr) {
        throw EDatabaseError("Field '" + field_name_ + "' not found");
    }
    result_ = source_->FieldValue(field_no_);
    return result_;
}

TSQLMemAdvancedFieldType TSQLMemExprNodeField::GetDataType() const {
    if (source_ == nullptr) {
        throw ESQLMemException(kUndeterminedTypeCode, "Cannot determine expression type");
    }
    return source_->FieldType(field_no_);
}

int32_t TSQLMemExprNodeField::GetDataSize() const {
    return source_ == nullptr ? 0 : source_->FieldSize(field_no_);
}

void TSQLMemExprNodeField::AssignFieldSource(const TSQLMemFieldSource& source) {
    if (source_ != nullptr) {
        return;
    }
    const int32_t field_no = source.FindField(table_name_, field_name_);
    if (field_no >= 0) {
        Bind(source, field_no);
    }
}

bool TSQLMemExprNodeField::CanBeAssigned(const TSQLMemFieldSource& source) const {
    return source.FindField(table_name_, field_name_) >= 0;
}

void TSQLMemExprNodeField::ClearFieldSource() {
    source_ = nullptr;
    field_no_ = -1;
}

std::string TSQLMemExprNodeField::ToString() const {
    return table_name_.empty() ? field_name_ : table_name_ + "." + field_name_;
}

// --- TSQLMemExprNodeComparison ---

TSQLMemExprNodeComparison::TSQLMemExprNodeComparison(TSQLMemDataOperator op,
                                                     std::unique_ptr<TSQLMemExprNode> left,
                                                     std::unique_ptr<TSQLMemExprNode> right,
                                                     bool ignore_case, bool partial,
                                                     bool null_aware)
    : TSQLMemExprNode(entOperator, op),
      ignore_case_(ignore_case),
      partial_(partial),
      null_aware_(null_aware) {
    AddChild(std::move(left));
    AddChild(std::move(right));
}

const TSQLMemVariant& TSQLMemExprNodeComparison::GetDataValue() {
    if (Operator() < doEQ || Operator() > doLE) {
        ThrowUnknownOperator(30116);
    }
    RequireChildren(2);
    // The left value is copied: evaluating the right side may reuse a shared node.
    const TSQLMemVariant left = ChildValue(0);
    const TSQLMemVariant& right = ChildValue(1);
    const TSQLMemCompareResult outcome = left.Compare(right, ignore_case_, partial_, null_aware_);
    if (outcome == cmprLeftNull || outcome == cmprRightNull || outcome == cmprBothNull) {
        // Unknown, for every operator: `n <> 1` must not hold for a null `n` any more than
        // `n = 1` does, and NOT of either stays unknown.
        result_ = TSQLMemVariant::Null(bftLogical);
        return result_;
    }
    bool holds = false;
    switch (Operator()) {
        case doEQ:
            holds = outcome == cmprEqual;
            break;
        case doNE:
            holds = outcome != cmprEqual;
            break;
        case doGT:
            holds = outcome == cmprGreater;
            break;
        case doLT:
            holds = outcome == cmprLower;
            break;
        case doGE:
            holds = outcome == cmprEqual || outcome == cmprGreater;
            break;
        case doLE:
            holds = outcome == cmprEqual || outcome == cmprLower;
            break;
        default:
            break;
    }
    result_ = TSQLMemVariant::FromBoolean(holds);
    return result_;
}

std::string TSQLMemExprNodeComparison::ToString() const {
    return "(" + Child(0).ToString() + " " + std::string(OperatorMessageName(Operator())) + " " +
           Child(1).ToString() + ")";
}

// --- TSQLMemExprNodeBoolean ---

TSQLMemExprNodeBoolean::TSQLMemExprNodeBoolean(TSQLMemDataOperator op)
    : TSQLMemExprNode(entOperator, op) {}

TSQLMemExprNodeBoolean::TSQLMemExprNodeBoolean(
    TSQLMemDataOperator op, std::vector<std::unique_ptr<TSQLMemExprNode>> children)
    : TSQLMemExprNode(entOperator, op) {
    for (auto& child : children) {
        AddChild(std::move(child));
    }
}

const TSQLMemVariant& TSQLMemExprNodeBoolean::GetDataValue() {
    const TSQLMemDataOperator op = Operator();
    switch (op) {
        case doTRUE:
        case doFALSE:
            result_ = TSQLMemVariant::FromBoolean(op == doTRUE);
            return result_;
        case doNOT: {
            RequireChildren(1);
            const TSQLMemVariant& value = ChildValue(0);
            result_ = value.IsNull() ? TSQLMemVariant::Null(bftLogical)
                                     : TSQLMemVariant::FromBoolean(!BooleanOf(value));
            return result_;
        }
        case doAND:
        case doOR: {
            // AND stops at the first false, OR at the first true; a null on the way makes
            // the result null unless such a child follows.
            const bool stop_at = op == doOR;
            bool any_null = false;
            for (size_t i = 0; i < ChildCount(); ++i) {
                const TSQLMemVariant& value = ChildValue(i);
                if (value.IsNull()) {
                    any_null = true;
                } else if (BooleanOf(value) == stop_at) {
                    result_ = TSQLMemVariant::FromBoolean(stop_at);
                    return result_;
                }
            }
            result_ =
                any_null ? TSQLMemVariant::Null(bftLogical) : TSQLMemVariant::FromBoolean(!stop_at);
            return result_;
        }
        case doIN:
        case doNOTIN: {
            RequireChildren(1);
            const TSQLMemVariant tested = ChildValue(0);
            if (tested.IsNull()) {
                result_ = TSQLMemVariant::Null(bftLogical);
                return result_;
            }
            // A null in the list never equals; when nothing else does, the answer is
            // unknown rather than false.
            bool found = false;
            bool any_null = false;
            for (size_t i = 1; i < ChildCount() && !found; ++i) {
                const TSQLMemVariant& item = ChildValue(i);
                if (item.IsNull()) {
                    any_null = true;
                } else if (tested.Compare(item, true, false, true) == cmprEqual) {
                    found = true;
                }
            }
            if (!found && any_null) {
                result_ = TSQLMemVariant::Null(bftLogical);
            } else {
                result_ = TSQLMemVariant::FromBoolean(found != (op == doNOTIN));
            }
            return result_;
        }
        case doBETWEEN:
        case doNOTBETWEEN: {
            RequireChildren(3);
            const TSQLMemVariant tested = ChildValue(0);
            const TSQLMemVariant low = ChildValue(1);
            const TSQLMemVariant& high = ChildValue(2);
            if (tested.IsNull() || low.IsNull() || high.IsNull()) {
                result_ = TSQLMemVariant::Null(bftLogical);
                return result_;
            }
            const TSQLMemCompareResult from = tested.Compare(low, true, false, true);
            const TSQLMemCompareResult to = tested.Compare(high, true, false, true);
            const bool inside =
                (from == cmprEqual || from == cmprGreater) && (to == cmprEqual || to == cmprLower);
            result_ = TSQLMemVariant::FromBoolean(inside != (op == doNOTBETWEEN));
            return result_;
        }
        case doLIKE:
        case doNOTLIKE:
            return EvaluateLike();
        case doISNULL:
        case doISNOTNULL: {
            RequireChildren(1);
            const bool is_null = ChildValue(0).IsNull();
            result_ = TSQLMemVariant::FromBoolean(is_null == (op == doISNULL));
            return result_;
        }
        default:
            ThrowUnknownOperator(30117);
    }
}

const TSQLMemVariant& TSQLMemExprNodeBoolean::EvaluateLike() {
    RequireChildren(2);
    const TSQLMemVariant text = ChildValue(0);
    const TSQLMemVariant& pattern = ChildValue(1);
    if (text.IsNull() || pattern.IsNull()) {
        result_ = TSQLMemVariant::Null(bftLogical);
        return result_;
    }
    TSQLMemBaseFieldType common = bftUnknown;
    if (IsStringType(text.BaseType()) && IsStringType(pattern.BaseType())) {
        common = TSQLMemVariant::CommonType(text.BaseType(), pattern.BaseType());
    } else {
        throw ESQLMemException::Formatted(kNotStringArgumentCode,
                                          "Not string argument in function 'LIKE'");
    }
    const bool matches =
        IsWideStringType(common)
            ? sql::Like(text.AsWideText(), pattern.AsWideText(), ignore_case_, escape_)
            : sql::Like(text.AsText(), pattern.AsText(), ignore_case_, escape_);
    result_ = TSQLMemVariant::FromBoolean(matches != (Operator() == doNOTLIKE));
    return result_;
}

std::string TSQLMemExprNodeBoolean::ToString() const {
    const TSQLMemDataOperator op = Operator();
    const std::string name(OperatorMessageName(op));
    switch (op) {
        case doTRUE:
            return "TRUE";
        case doFALSE:
            return "FALSE";
        case doNOT:
            return "(NOT " + JoinChildren(*this, 0, " ") + ")";
        case doAND:
        case doOR:
            return "(" + JoinChildren(*this, 0, " " + name + " ") + ")";
        case doIN:
        case doNOTIN:
            if (ChildCount() == 0) {
                break;
            }
            return "(" + Child(0).ToString() + (op == doIN ? " IN (" : " NOT IN (") +
                   JoinChildren(*this, 1, ", ") + "))";
        case doBETWEEN:
        case doNOTBETWEEN:
            if (ChildCount() < 3) {
                break;
            }
            return "(" + Child(0).ToString() + (op == doBETWEEN ? " BETWEEN " : " NOT BETWEEN ") +
                   Child(1).ToString() + " AND " + Child(2).ToString() + ")";
        case doLIKE:
        case doNOTLIKE:
            if (ChildCount() < 2) {
                break;
            }
            return "(" + Child(0).ToString() + " " + name + " " + Child(1).ToString() + ")";
        case doISNULL:
        case doISNOTNULL:
            if (ChildCount() < 1) {
                break;
            }
            return "(" + Child(0).ToString() + " " + name + ")";
        default:
            break;
    }
    return "(" + name + " " + JoinChildren(*this, 0, ", ") + ")";
}

// --- TSQLMemExprNodeArithmetic ---

TSQLMemExprNodeArithmetic::TSQLMemExprNodeArithmetic(TSQLMemDataOperator op)
    : TSQLMemExprNode(entOperator, op) {}

TSQLMemExprNodeArithmetic::TSQLMemExprNodeArithmetic(
    TSQLMemDataOperator op, std::vector<std::unique_ptr<TSQLMemExprNode>> children)
    : TSQLMemExprNode(entOperator, op) {
    for (auto& child : children) {
        AddChild(std::move(child));
    }
}

const TSQLMemVariant& TSQLMemExprNodeArithmetic::GetDataValue() {
    switch (Operator()) {
        case doADD: {
            RequireChildren(1);
            // A null operand on either side makes the sum null (`n + 1` and `1 + n` alike).
            TSQLMemVariant running = ChildValue(0);
            for (size_t i = 1; i < ChildCount(); ++i) {
                const TSQLMemVariant& operand = ChildValue(i);
                if (running.IsNull()) {
                    continue;
                }
                if (operand.IsNull()) {
                    running.SetNull();
                } else {
                    running = running.Add(operand);
                }
            }
            result_ = std::move(running);
            return result_;
        }
        case doSUB: {
            RequireChildren(1);
            const TSQLMemVariant& value = ChildValue(0);
            result_ = value.IsNull() ? value : value.Negate();
            return result_;
        }
        case doMUL: {
            RequireChildren(2);
            TSQLMemVariant running = ChildValue(0);
            for (size_t i = 1; i < ChildCount(); ++i) {
                running = running.Multiply(ChildValue(i));
            }
            result_ = std::move(running);
            return result_;
        }
        case doDIV: {
            RequireChildren(2);
            const TSQLMemVariant dividend = ChildValue(0);
            result_ = dividend.Divide(ChildValue(1));
            return result_;
        }
        default:
            ThrowUnknownOperator(30121);
    }
}

TSQLMemAdvancedFieldType TSQLMemExprNodeArithmetic::GetDataType() const {
    RequireChildren(1);
    TSQLMemBaseFieldType type = BaseOf(Child(0).GetDataType());
    if (Operator() == doSUB) {
        const bool unsigned_type = type >= bftUnsignedInt8 && type <= bftUnsignedInt32;
        return unsigned_type ? aftLargeint : AdvancedTypeOfBase(type);
    }
    if (IsDateTimeType(type) && Operator() == doADD) {
        return AdvancedTypeOfBase(type);  // a date shifted by days keeps its type
    }
    for (size_t i = 1; i < ChildCount(); ++i) {
        type = TSQLMemVariant::CommonType(type, BaseOf(Child(i).GetDataType()));
    }
    const TSQLMemAdvancedFieldType result = AdvancedTypeOfBase(type);
    if (result == aftUnknown) {
        throw ESQLMemException(kUndeterminedTypeCode, "Cannot determine expression type");
    }
    return result;
}

int32_t TSQLMemExprNodeArithmetic::GetDataSize() const {
    if (Operator() != doADD || ChildCount() == 0 || !IsStringType(BaseOf(GetDataType()))) {
        return 0;
    }
    int32_t size = 0;
    for (size_t i = 0; i < ChildCount(); ++i) {
        size += Child(i).GetDataSize();
    }
    return size;
}

std::string TSQLMemExprNodeArithmetic::ToString() const {
    const std::string name(OperatorMessageName(Operator()));
    if (Operator() == doSUB) {
        return "(- " + JoinChildren(*this, 0, " ") + ")";
    }
    return "(" + JoinChildren(*this, 0, " " + name + " ") + ")";
}

}  // namespace tapir::engine
