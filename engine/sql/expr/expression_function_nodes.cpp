// The function nodes of expression trees: text functions, aggregates, casts, date
// functions, LASTAUTOINC, BLOB literals and subqueries.

#include <string>
#include <utility>

#include "engine/record/db_types.h"
#include "engine/sql/expr/expression_nodes.h"
#include "engine/sql/expr/text_functions.h"
#include "engine/table/sqlmem_database.h"
#include "platform/clock.h"

namespace tapir::engine {

namespace {

// Code raised when a subquery meets no query component that could run it.
constexpr int kNoSubQueryRunnerCode = 10847;

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

// A value as text for the text functions: text stays, everything else becomes 8-bit text.
TSQLMemVariant AsTextValue(const TSQLMemVariant& value) {
    if (IsStringType(value.BaseType())) {
        return value;
    }
    return value.Cast(bftVarchar);
}

std::string_view FunctionName(TSQLMemDataOperator op) {
    switch (op) {
        case doLENGTH:
            return "LENGTH";
        case doPOS:
            return "POS";
        case doSUBSTRING:
            return "SUBSTRING";
        case doSYSDATE:
            return "SYSDATE";
        case doCURRENT_DATE:
            return "CURRENT_DATE";
        case doCURRENT_TIME:
            return "CURRENT_TIME";
        case doTODATE:
            return "TODATE";
        case doTOSTRING:
            return "TOSTRING";
        case doCAST:
            return "CAST";
        case doLASTAUTOINC:
            return "LASTAUTOINC";
        case doTOBLOB:
            return "TOBLOB";
        default:
            return OperatorMessageName(op);
    }
}

// The type keyword of a declared type, as CAST writes it: the keyword that spells the
// type's own name where there is one (INTEGER rather than SIGNEDINT32), else the first.
std::string TypeKeyword(TSQLMemAdvancedFieldType type) {
    const std::string own = UpperName(std::string(AdvancedTypeName(type).substr(3)));
    std::string first;
    for (const FieldTypeRow& row : FieldTypeTable()) {
        if (row.advanced != type) {
            continue;
        }
        if (row.keyword == own) {
            return own;
        }
        if (first.empty()) {
            first = std::string(row.keyword);
        }
    }
    return first.empty() ? std::string(AdvancedTypeName(type)) : first;
}

}  // namespace

// --- TSQLMemExprNodeStringFunction ---

TSQLMemExprNodeStringFunction::TSQLMemExprNodeStringFunction(TSQLMemDataOperator op)
    : TSQLMemExprNode(entOperator, op) {}

TSQLMemExprNodeStringFunction::TSQLMemExprNodeStringFunction(
    TSQLMemDataOperator op, std::vector<std::unique_ptr<TSQLMemExprNode>> children)
    : TSQLMemExprNode(entOperator, op) {
    for (auto& child : children) {
        AddChild(std::move(child));
    }
}

const TSQLMemVariant& TSQLMemExprNodeStringFunction::GetDataValue() {
    const TSQLMemDataOperator op = Operator();
    if (op != doCONCAT && (op < doUPPER || op > doSUBSTRING)) {
        ThrowUnknownOperator(30130);
    }
    RequireChildren(op == doPOS || op == doSUBSTRING ? 2 : 1);
    if (op == doCONCAT) {
        // Appending follows the adding rule: a null on either side gives null.
        TSQLMemVariant running = AsTextValue(ChildValue(0));
        for (size_t i = 1; i < ChildCount(); ++i) {
            const TSQLMemVariant operand = AsTextValue(ChildValue(i));
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
    const TSQLMemVariant text = AsTextValue(ChildValue(0));
    const TSQLMemBaseFieldType type = text.BaseType();
    const bool wide = IsWideStringType(type);
    if (op == doLENGTH) {
        const int64_t length =
            text.IsNull() ? 0
                          : (wide ? sql::Length(text.AsWideText()) : sql::Length(text.AsText()));
        result_ = TSQLMemVariant::FromInteger(length, bftSignedInt32);
        return result_;
    }
    if (op == doPOS) {
        // POS(sub, text): the first argument is the text looked for.
        const TSQLMemVariant haystack = AsTextValue(ChildValue(1));
        int64_t position = 0;
        if (!text.IsNull() && !haystack.IsNull()) {
            position = wide || IsWideStringType(haystack.BaseType())
                           ? sql::Pos(text.AsWideText(), haystack.AsWideText())
                           : sql::Pos(text.AsText(), haystack.AsText());
        }
        result_ = TSQLMemVariant::FromInteger(position, bftSignedInt32);
        return result_;
    }
    if (text.IsNull()) {
        result_ = TSQLMemVariant::Null(type);
        return result_;
    }
    if (op == doSUBSTRING) {
        const TSQLMemVariant start = ChildValue(1);
        std::optional<int64_t> length;
        if (ChildCount() > 2) {
            const TSQLMemVariant& length_value = ChildValue(2);
            if (length_value.IsNull()) {
                result_ = TSQLMemVariant::Null(type);
                return result_;
            }
            length = length_value.AsInteger();
        }
        if (start.IsNull()) {
            result_ = TSQLMemVariant::Null(type);
            return result_;
        }
        result_ = wide ? TSQLMemVariant::FromWideText(
                             sql::Substring(text.AsWideText(), start.AsInteger(), length), type)
                       : TSQLMemVariant::FromText(
                             sql::Substring(text.AsText(), start.AsInteger(), length), type);
        return result_;
    }
    // UPPER, LOWER and the trims, on 8-bit or wide text alike.
    const auto map = [op](const auto& value) {
        switch (op) {
            case doUPPER:
                return sql::Upper(value);
            case doLOWER:
                return sql::Lower(value);
            case doTRIM:
                return sql::Trim(value);
            case doLTRIM:
                return sql::LTrim(value);
            default:
                return sql::RTrim(value);
        }
    };
    result_ = wide ? TSQLMemVariant::FromWideText(map(text.AsWideText()), type)
                   : TSQLMemVariant::FromText(map(text.AsText()), type);
    return result_;
}

TSQLMemAdvancedFieldType TSQLMemExprNodeStringFunction::GetDataType() const {
    const TSQLMemDataOperator op = Operator();
    if (op == doLENGTH || op == doPOS) {
        return aftInteger;
    }
    RequireChildren(1);
    bool wide = false;
    for (size_t i = 0; i < (op == doCONCAT ? ChildCount() : 1); ++i) {
        const TSQLMemAdvancedFieldType type = Child(i).GetDataType();
        wide = wide || IsWideStringType(type);
        if (op != doCONCAT && (type == aftMemo || type == aftWideMemo)) {
            return type;
        }
    }
    return wide ? aftWideString : aftString;
}

int32_t TSQLMemExprNodeStringFunction::GetDataSize() const {
    const TSQLMemDataOperator op = Operator();
    if (op == doLENGTH || op == doPOS || ChildCount() == 0) {
        return 0;
    }
    if (op == doCONCAT) {
        int32_t size = 0;
        for (size_t i = 0; i < ChildCount(); ++i) {
            size += Child(i).GetDataSize();
        }
        return size;
    }
    return Child(0).GetDataSize();
}

std::string TSQLMemExprNodeStringFunction::ToString() const {
    if (Operator() == doCONCAT) {
        return "(" + JoinChildren(*this, 0, " || ") + ")";
    }
    return std::string(FunctionName(Operator())) + "(" + JoinChildren(*this, 0, ", ") + ")";
}

// --- TSQLMemExprNodeAggregated ---

bool TSQLMemExprNodeAggregated::ValueLess::operator()(const TSQLMemVariant& a,
                                                      const TSQLMemVariant& b) const {
    return a.Compare(b, false, false, false) == cmprLower;
}

TSQLMemExprNodeAggregated::TSQLMemExprNodeAggregated(TSQLMemDataOperator op, bool distinct)
    : TSQLMemExprNode(entOperator, op), distinct_(distinct) {}

TSQLMemExprNodeAggregated::TSQLMemExprNodeAggregated(TSQLMemDataOperator op,
                                                     std::unique_ptr<TSQLMemExprNode> argument,
                                                     bool distinct)
    : TSQLMemExprNode(entOperator, op), distinct_(distinct) {
    AddChild(std::move(argument));
}

void TSQLMemExprNodeAggregated::Init() {
    count_ = 0;
    running_ = TSQLMemVariant();
    seen_.clear();
}

void TSQLMemExprNodeAggregated::Accumulate() {
    const TSQLMemDataOperator op = Operator();
    if (op < doSUM || op > doCOUNTALL) {
        ThrowUnknownOperator(30131);
    }
    if (op == doCOUNTALL) {
        ++count_;
        return;
    }
    RequireChildren(1);
    const TSQLMemVariant& value = ChildValue(0);
    if (value.IsNull()) {
        return;  // every aggregate but COUNT(*) skips nulls
    }
    if ((op == doSUM || op == doAVG) && !IsNumericType(value.BaseType())) {
        throw ESQLMemException::Formatted(op == doSUM ? kSumNotNumericCode : kAvgNotNumericCode,
                                          "Not numeric argument in numeric operator '" +
                                              std::string(OperatorMessageName(op)) + "'");
    }
    if (distinct_) {
        if (seen_.contains(value)) {
            return;
        }
        seen_.insert(value);
    }
    switch (op) {
        case doSUM: {
            const TSQLMemBaseFieldType type = value.BaseType();
            const bool keeps = type == bftSingle || type == bftDouble || type == bftExtended ||
                               type == bftCurrency;
            const TSQLMemVariant addend = keeps ? value : value.Cast(bftSignedInt64);
            running_ = running_.IsNull() ? addend : running_.Add(addend);
            break;
        }
        case doAVG: {
            const TSQLMemVariant addend = TSQLMemVariant::FromFloat(value.AsFloat());
            running_ = running_.IsNull() ? addend : running_.Add(addend);
            ++count_;
            break;
        }
        case doMIN:
        case doMAX: {
            if (running_.IsNull()) {
                running_ = value;
                break;
            }
            const TSQLMemCompareResult outcome = value.Compare(running_, true, false, true);
            if (outcome == (op == doMIN ? cmprLower : cmprGreater)) {
                running_ = value;
            }
            break;
        }
        case doCOUNT:
            ++count_;
            break;
        default:
            break;
    }
}

const TSQLMemVariant& TSQLMemExprNodeAggregated::GetDataValue() {
    switch (Operator()) {
        case doCOUNT:
        case doCOUNTALL:
            result_ = TSQLMemVariant::FromInteger(count_, bftSignedInt32);
            break;
        case doAVG:
            result_ =
                count_ == 0
                    ? TSQLMemVariant::Null(bftDouble)
                    : TSQLMemVariant::FromFloat(running_.AsFloat() / static_cast<double>(count_));
            break;
        case doSUM:
        case doMIN:
        case doMAX:
            result_ = running_;
            break;
        default:
            ThrowUnknownOperator(30131);
    }
    return result_;
}

TSQLMemAdvancedFieldType TSQLMemExprNodeAggregated::GetDataType() const {
    switch (Operator()) {
        case doCOUNT:
        case doCOUNTALL:
            return aftInteger;
        case doAVG:
            return aftDouble;
        case doSUM: {
            RequireChildren(1);
            const TSQLMemAdvancedFieldType type = Child(0).GetDataType();
            const bool keeps = type == aftSingle || type == aftDouble || type == aftExtended ||
                               type == aftCurrency;
            return keeps ? type : aftLargeint;
        }
        case doMIN:
        case doMAX:
            RequireChildren(1);
            return Child(0).GetDataType();
        default:
            break;
    }
    throw ESQLMemException(kUndeterminedTypeCode, "Cannot determine expression type");
}

int32_t TSQLMemExprNodeAggregated::GetDataSize() const {
    const TSQLMemDataOperator op = Operator();
    return (op == doMIN || op == doMAX) && ChildCount() > 0 ? Child(0).GetDataSize() : 0;
}

std::string TSQLMemExprNodeAggregated::ToString() const {
    if (Operator() == doCOUNTALL) {
        return "COUNT(*)";
    }
    return std::string(OperatorMessageName(Operator())) + "(" + (distinct_ ? "DISTINCT " : "") +
           JoinChildren(*this, 0, ", ") + ")";
}

// --- TSQLMemExprNodeCast ---

TSQLMemExprNodeCast::TSQLMemExprNodeCast(TSQLMemAdvancedFieldType target,
                                         std::unique_ptr<TSQLMemExprNode> value, int32_t size)
    : TSQLMemExprNode(entOperator, doCAST), target_(target), size_(size) {
    AddChild(std::move(value));
}

const TSQLMemVariant& TSQLMemExprNodeCast::GetDataValue() {
    RequireChildren(1);
    const TSQLMemBaseFieldType base = AdvancedToBaseType(target_);
    if (base == bftUnknown || base == bftBFile) {
        throw ESQLMemException::Formatted(kCannotCastCode,
                                          "Cannot convert an expression to specified type: '" +
                                              std::string(AdvancedTypeName(target_)) + "'");
    }
    TSQLMemVariant value = ChildValue(0).Cast(base);
    if (size_ > 0 && !value.IsNull() && IsStringType(base) && !IsBlobType(base)) {
        // A sized text type keeps as many characters as it declares.
        value =
            IsWideStringType(base)
                ? TSQLMemVariant::FromWideText(sql::Substring(value.AsWideText(), 1, size_), base)
                : TSQLMemVariant::FromText(sql::Substring(value.AsText(), 1, size_), base);
    }
    result_ = std::move(value);
    return result_;
}

int32_t TSQLMemExprNodeCast::GetDataSize() const {
    return size_ > 0 ? size_ : (ChildCount() > 0 ? Child(0).GetDataSize() : 0);
}

std::string TSQLMemExprNodeCast::ToString() const {
    std::string type = TypeKeyword(target_);
    if (size_ > 0) {
        type += "(" + std::to_string(size_) + ")";
    }
    return "CAST(" + JoinChildren(*this, 0, ", ") + " AS " + type + ")";
}

// --- TSQLMemExprNodeDateFunction ---

TSQLMemExprNodeDateFunction::TSQLMemExprNodeDateFunction(TSQLMemDataOperator op)
    : TSQLMemExprNode(entOperator, op) {}

TSQLMemExprNodeDateFunction::TSQLMemExprNodeDateFunction(TSQLMemDataOperator op,
                                                         std::unique_ptr<TSQLMemExprNode> value,
                                                         std::string format)
    : TSQLMemExprNode(entOperator, op), format_(std::move(format)) {
    AddChild(std::move(value));
    formatter_.emplace(format_);
}

const TSQLMemVariant& TSQLMemExprNodeDateFunction::GetDataValue() {
    switch (Operator()) {
        case doSYSDATE:
            result_ = TSQLMemVariant::FromDateTime(platform::Now());
            return result_;
        case doCURRENT_DATE:
            result_ = TSQLMemVariant::FromDate(platform::Now());
            return result_;
        case doCURRENT_TIME:
            result_ = TSQLMemVariant::FromTime(platform::Now());
            return result_;
        case doTOSTRING: {
            RequireChildren(1);
            const TSQLMemVariant& value = ChildValue(0);
            result_ = value.IsNull()
                          ? TSQLMemVariant::Null(bftVarchar)
                          : TSQLMemVariant::FromText(formatter_->ToString(value.AsDateTime()));
            return result_;
        }
        case doTODATE: {
            RequireChildren(1);
            const TSQLMemVariant& value = ChildValue(0);
            if (value.IsNull()) {
                result_ = TSQLMemVariant::Null(bftDateTime);
                return result_;
            }
            const sql::DateReading reading = formatter_->ReadDate(value.AsText());
            switch (reading.kind) {
                case sql::DateValueKind::Date:
                    result_ = TSQLMemVariant::FromDate(reading.value);
                    break;
                case sql::DateValueKind::Time:
                    result_ = TSQLMemVariant::FromTime(reading.value);
                    break;
                case sql::DateValueKind::DateTime:
                    result_ = TSQLMemVariant::FromDateTime(reading.value);
                    break;
            }
            return result_;
        }
        default:
            ThrowUnknownOperator(30134);
    }
}

TSQLMemAdvancedFieldType TSQLMemExprNodeDateFunction::GetDataType() const {
    switch (Operator()) {
        case doCURRENT_DATE:
            return aftDate;
        case doCURRENT_TIME:
            return aftTime;
        case doTOSTRING:
            return aftString;
        default:
            return aftDateTime;
    }
}

int32_t TSQLMemExprNodeDateFunction::GetDataSize() const {
    // The longest text a format writes is not known before it runs; month and day names
    // take the most room.
    return Operator() == doTOSTRING ? static_cast<int32_t>(format_.size()) * 4 + 20 : 0;
}

std::string TSQLMemExprNodeDateFunction::ToString() const {
    const std::string name(FunctionName(Operator()));
    if (Operator() == doTODATE || Operator() == doTOSTRING) {
        return name + "(" + JoinChildren(*this, 0, ", ") + ", " + Quoted(format_) + ")";
    }
    return name;
}

// --- TSQLMemExprNodeSystem ---

TSQLMemExprNodeSystem::TSQLMemExprNodeSystem(TSQLMemDataOperator op, std::string table_name,
                                             std::string field_name, bool in_memory)
    : TSQLMemExprNode(entOperator, op),
      table_name_(std::move(table_name)),
      field_name_(std::move(field_name)),
      in_memory_(in_memory) {}

const TSQLMemVariant& TSQLMemExprNodeSystem::GetDataValue() {
    if (Operator() != doLASTAUTOINC) {
        ThrowUnknownOperator(30338);
    }
    TSQLMemLocalSession* session = context_ != nullptr ? context_->Session : nullptr;
    TSQLMemTableData* table =
        session != nullptr ? session->Database().FindTable(table_name_) : nullptr;
    if (table == nullptr) {
        throw ESQLMemException::Formatted(11505, "Table '" + table_name_ + "' does not exist");
    }
    const int32_t field_no = table->FieldDefs().IndexOf(field_name_);
    if (field_no < 0) {
        throw EDatabaseError("Field '" + field_name_ + "' not found");
    }
    result_ = TSQLMemVariant::FromInteger(table->LastAutoincValue(field_no, *session));
    return result_;
}

void TSQLMemExprNodeSystem::AssignContext(const TSQLMemExprContext* context) {
    context_ = context;
    TSQLMemExprNode::AssignContext(context);
}

std::string TSQLMemExprNodeSystem::ToString() const {
    return "LASTAUTOINC(" + std::string(in_memory_ ? "MEMORY " : "") + table_name_ + ", " +
           field_name_ + ")";
}

// --- TSQLMemExprNodeBLOBFunction ---

TSQLMemExprNodeBLOBFunction::TSQLMemExprNodeBLOBFunction(std::string bytes)
    : TSQLMemExprNode(entOperator, doTOBLOB) {
    result_ = TSQLMemVariant::FromBytes(bytes, bftBlob);
}

std::string TSQLMemExprNodeBLOBFunction::ToString() const {
    return "TOBLOB(<" + std::to_string(result_.AsBytes().size()) + " bytes>)";
}

// --- Subqueries ---

TSQLMemExprNodeSubQuery::TSQLMemExprNodeSubQuery(std::string sql_text)
    : TSQLMemExprNodeSubQuery(doUNDEFINED, std::move(sql_text)) {}

TSQLMemExprNodeSubQuery::TSQLMemExprNodeSubQuery(TSQLMemDataOperator op, std::string sql_text)
    : TSQLMemExprNode(entOperator, op), sql_text_(std::move(sql_text)) {}

void TSQLMemExprNodeSubQuery::SetRunner(std::unique_ptr<TSQLMemSubQueryRunner> runner) {
    runner_ = std::move(runner);
    executed_ = false;
    scalar_known_ = false;
}

TSQLMemSubQueryRunner& TSQLMemExprNodeSubQuery::Runner() {
    if (runner_ == nullptr) {
        if (context_ == nullptr || !context_->SubQueries) {
            throw ESQLMemException::Formatted(kNoSubQueryRunnerCode,
                                              "Subquery cannot be run here: '" + sql_text_ + "'");
        }
        runner_ = context_->SubQueries(sql_text_);
        if (runner_ == nullptr) {
            throw ESQLMemException::Formatted(kNoSubQueryRunnerCode,
                                              "Subquery cannot be run here: '" + sql_text_ + "'");
        }
    }
    if (!executed_) {
        runner_->Execute();
        executed_ = true;
    }
    return *runner_;
}

const TSQLMemVariant& TSQLMemExprNodeSubQuery::GetDataValue() {
    if (!scalar_known_) {
        TSQLMemSubQueryRunner& runner = Runner();
        const int64_t count = runner.RecordCount();
        if (count == 0) {
            throw ESQLMemException(kSubQueryNoRowsCode, "Subquery returns no rows");
        }
        if (count > 1) {
            throw ESQLMemException(kSubQueryMultipleRowsCode, "Subquery returns multiple rows");
        }
        result_ = runner.FirstValue();
        scalar_known_ = true;
    }
    return result_;
}

TSQLMemAdvancedFieldType TSQLMemExprNodeSubQuery::GetDataType() const {
    if (scalar_known_) {
        const TSQLMemAdvancedFieldType type = AdvancedTypeOfBase(result_.BaseType());
        if (type != aftUnknown) {
            return type;
        }
    }
    throw ESQLMemException(kUndeterminedTypeCode, "Cannot determine expression type");
}

void TSQLMemExprNodeSubQuery::AssignContext(const TSQLMemExprContext* context) {
    context_ = context;
    TSQLMemExprNode::AssignContext(context);
}

std::string TSQLMemExprNodeSubQuery::ToString() const { return "(" + sql_text_ + ")"; }

TSQLMemExprNodeSubQueryIN::TSQLMemExprNodeSubQueryIN(std::string sql_text,
                                                     std::unique_ptr<TSQLMemExprNode> value,
                                                     bool negated)
    : TSQLMemExprNodeSubQuery(negated ? doNOTIN : doIN, std::move(sql_text)), negated_(negated) {
    AddChild(std::move(value));
}

const TSQLMemVariant& TSQLMemExprNodeSubQueryIN::GetDataValue() {
    RequireChildren(1);
    const TSQLMemVariant tested = ChildValue(0);
    if (tested.IsNull()) {
        result_ = TSQLMemVariant::Null(bftLogical);
        return result_;
    }
    TSQLMemSubQueryRunner& runner = Runner();
    if (runner.Locate(tested)) {
        result_ = TSQLMemVariant::FromBoolean(!negated_);
    } else if (runner.HasNullInFirstField()) {
        // A null in the list might be the value: neither IN nor NOT IN is known.
        result_ = TSQLMemVariant::Null(bftLogical);
    } else {
        result_ = TSQLMemVariant::FromBoolean(negated_);
    }
    return result_;
}

std::string TSQLMemExprNodeSubQueryIN::ToString() const {
    return "(" + (ChildCount() > 0 ? Child(0).ToString() : std::string()) +
           (negated_ ? " NOT IN (" : " IN (") + SqlText() + "))";
}

TSQLMemExprNodeSubQueryExists::TSQLMemExprNodeSubQueryExists(std::string sql_text, bool negated)
    : TSQLMemExprNodeSubQuery(doUNDEFINED, std::move(sql_text)), negated_(negated) {}

const TSQLMemVariant& TSQLMemExprNodeSubQueryExists::GetDataValue() {
    const bool any = Runner().RecordCount() > 0;
    result_ = TSQLMemVariant::FromBoolean(any != negated_);
    return result_;
}

std::string TSQLMemExprNodeSubQueryExists::ToString() const {
    return std::string(negated_ ? "(NOT EXISTS (" : "(EXISTS (") + SqlText() + "))";
}

}  // namespace tapir::engine
