#include "engine/sql/expr/expression_parser.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>
#include <utility>

#include "engine/record/db_types.h"
#include "engine/record/field_types.h"
#include "engine/sql/expr/text_functions.h"

namespace tapir::engine {

namespace {

using NodePtr = std::unique_ptr<TSQLMemExprNode>;

std::string Position(const TToken& token) {
    return "line " + std::to_string(token.Line) + ", column " + std::to_string(token.Column);
}

NodePtr Constant(TSQLMemVariant value) {
    return std::make_unique<TSQLMemExprNodeConst>(std::move(value));
}

// A two-or-more child node of class `Node`.
template <class Node>
NodePtr Combine(TSQLMemDataOperator op, std::vector<NodePtr> children) {
    return std::make_unique<Node>(op, std::move(children));
}

template <class Node>
NodePtr Combine(TSQLMemDataOperator op, NodePtr a, NodePtr b) {
    std::vector<NodePtr> children;
    children.push_back(std::move(a));
    children.push_back(std::move(b));
    return Combine<Node>(op, std::move(children));
}

template <class Node>
NodePtr Wrap(TSQLMemDataOperator op, NodePtr child) {
    std::vector<NodePtr> children;
    children.push_back(std::move(child));
    return Combine<Node>(op, std::move(children));
}

bool IsTextType(TSQLMemBaseFieldType type) {
    return IsStringType(type) || IsWideStringType(type) || type == bftClob || type == bftWideClob;
}

// A constant that a numeric factor refuses: text and byte strings.
bool IsNonNumericConstant(const TSQLMemExprNode& node) {
    if (node.NodeType() != entConst) {
        return false;
    }
    const auto& constant = static_cast<const TSQLMemExprNodeConst&>(node);
    const TSQLMemBaseFieldType type = constant.Value().BaseType();
    return !constant.Value().IsNull() &&
           (IsTextType(type) || IsBytesType(type) || IsBlobType(type) || type == bftLogical);
}

// The operator of a comparison symbol.
TSQLMemDataOperator ComparisonOperator(std::string_view symbol) {
    if (symbol == "=") {
        return doEQ;
    }
    if (symbol == "<>") {
        return doNE;
    }
    if (symbol == "<") {
        return doLT;
    }
    if (symbol == "<=") {
        return doLE;
    }
    if (symbol == ">") {
        return doGT;
    }
    return doGE;
}

bool IsOperatorText(std::string_view text) {
    static constexpr std::string_view kOperators[] = {"+", "-",  "*",  "/",  "=", "<",
                                                      ">", "<=", ">=", "<>", "|", "||"};
    return std::find(std::begin(kOperators), std::end(kOperators), text) != std::end(kOperators);
}

// A word that names something: a plain word (not an operator), a bracketed name or a
// keyword.
bool IsNameToken(const TToken& token) {
    return (token.TokenType == tktString && !IsOperatorText(token.Text)) ||
           token.TokenType == tktBracketedString || token.TokenType == tktReservedWord;
}

// The token as it is written, for the text of a subquery.
std::string TokenSource(const TToken& token) {
    const auto doubled = [](const std::string& text, char closing) {
        std::string out;
        for (const char c : text) {
            out += c;
            if (c == closing) {
                out += c;
            }
        }
        return out;
    };
    switch (token.TokenType) {
        case tktQuotedString:
            return "'" + doubled(token.Text, '\'') + "'";
        case tktBracketedString:
            return "[" + doubled(token.Text, ']') + "]";
        case tktParameter:
            return ":" + token.Text;
        default:
            return token.Text;
    }
}

TSQLMemVariant NumberLiteral(const TToken& token) {
    const std::string& text = token.Text;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (token.TokenType == tktInt) {
        int64_t value = 0;
        const auto [end, error] = std::from_chars(first, last, value);
        if (error == std::errc() && end == last) {
            return TSQLMemVariant::FromInteger(value);
        }
        // Beyond 64 bits: the literal is kept as a double.
    }
    double value = 0;
    const auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc() || end != last || !std::isfinite(value)) {
        throw ESQLMemException::Formatted(
            kUnexpectedTokenCode, "Unexpected token '" + text + "' found at " + Position(token));
    }
    return TSQLMemVariant::FromFloat(value);
}

}  // namespace

TSQLMemExpressionParser::TSQLMemExpressionParser(TSQLMemLexer& lexer, Options options)
    : lexer_(lexer),
      tokens_(lexer.Tokens()),
      pos_(std::max<int32_t>(lexer.GetCurrentTokenNo(), 0)),
      options_(options) {}

// --- Tokens ----------------------------------------------------------------------------------

const TToken* TSQLMemExpressionParser::Peek(int32_t ahead) const {
    const int64_t at = static_cast<int64_t>(pos_) + ahead;
    if (at < 0 || at >= static_cast<int64_t>(tokens_.size())) {
        return nullptr;
    }
    return &tokens_[static_cast<size_t>(at)];
}

bool TSQLMemExpressionParser::IsWord(TReservedWord word, int32_t ahead) const {
    const TToken* token = Peek(ahead);
    return token != nullptr && IsReservedWord(*token, word);
}

bool TSQLMemExpressionParser::IsSymbol(std::string_view symbol, int32_t ahead) const {
    const TToken* token = Peek(ahead);
    if (token == nullptr) {
        return false;
    }
    switch (token->TokenType) {
        case tktString:
            return token->Text == symbol;
        case tktLeftParenthesis:
            return symbol == "(";
        case tktRightParenthesis:
            return symbol == ")";
        case tktComma:
            return symbol == ",";
        case tktDot:
            return symbol == ".";
        default:
            return false;
    }
}

bool TSQLMemExpressionParser::IsType(TTokenType type, int32_t ahead) const {
    const TToken* token = Peek(ahead);
    return token != nullptr && token->TokenType == type;
}

bool TSQLMemExpressionParser::IsComparisonOperator(int32_t ahead) const {
    for (const std::string_view symbol : {"=", "<>", "<", "<=", ">", ">="}) {
        if (IsSymbol(symbol, ahead)) {
            return true;
        }
    }
    return false;
}

bool TSQLMemExpressionParser::IsPredicateContinuation(int32_t ahead) const {
    return IsComparisonOperator(ahead) || IsWord(rwLIKE, ahead) || IsWord(rwBETWEEN, ahead) ||
           IsWord(rwIN, ahead) ||
           (IsWord(rwIS, ahead) && (IsWord(rwNULL, ahead + 1) ||
                                    (IsWord(rwNOT, ahead + 1) && IsWord(rwNULL, ahead + 2)))) ||
           (IsWord(rwNOT, ahead) &&
            (IsWord(rwLIKE, ahead + 1) || IsWord(rwBETWEEN, ahead + 1) || IsWord(rwIN, ahead + 1)));
}

bool TSQLMemExpressionParser::AtEnd() const { return Peek() == nullptr; }

void TSQLMemExpressionParser::SyncLexer() {
    TToken token;
    lexer_.SetCurrentTokenNo(pos_, token);
}

// --- Errors ----------------------------------------------------------------------------------

void TSQLMemExpressionParser::FailEnd(int code) const {
    const TToken* last = tokens_.empty() ? nullptr : &tokens_.back();
    const int32_t line = last != nullptr ? last->Line : 1;
    const int32_t column = last != nullptr ? last->Column : 1;
    throw ESQLMemException::Formatted(code, "Unexpected end of SQL command found at line " +
                                                std::to_string(line) + ", column " +
                                                std::to_string(column));
}

void TSQLMemExpressionParser::FailExpected(int code, std::string_view family, int end_code) const {
    const TToken* token = Peek();
    if (token == nullptr) {
        FailEnd(end_code);
    }
    throw ESQLMemException::Formatted(code, std::string(family) + " expected, but '" + token->Text +
                                                "' found at " + Position(*token));
}

void TSQLMemExpressionParser::FailTokenExpected(int code, std::string_view wanted,
                                                int end_code) const {
    FailExpected(code, "Token '" + std::string(wanted) + "'", end_code);
}

void TSQLMemExpressionParser::FailUnexpectedToken() const {
    const TToken* token = Peek();
    if (token == nullptr) {
        FailEnd(kEndInValueCode);
    }
    throw ESQLMemException::Formatted(kUnexpectedTokenCode, "Unexpected token '" + token->Text +
                                                                "' found at " + Position(*token));
}

void TSQLMemExpressionParser::Expect(std::string_view symbol, int code, int end_code) {
    if (!IsSymbol(symbol)) {
        FailTokenExpected(code, symbol, end_code);
    }
    ++pos_;
}

void TSQLMemExpressionParser::ExpectWord(TReservedWord word, int code, int end_code) {
    if (!IsWord(word)) {
        FailTokenExpected(code, ReservedWordText(word), end_code);
    }
    ++pos_;
}

void TSQLMemExpressionParser::ExpectRightParenthesis() {
    Expect(")", kRightParenthesisExpectedCode, kEndInFunctionCode);
}

// --- Conditions ------------------------------------------------------------------------------

TSQLMemExpressionParser::Nesting::Nesting(TSQLMemExpressionParser& parser) : parser_(parser) {
    // Alternatives are tried again at every level of parentheses: without a budget, a
    // text of a few hundred characters could take years or overflow the stack.
    if (++parser_.depth_ > kMaxNesting || ++parser_.steps_ > kMaxSteps) {
        --parser_.depth_;
        const TToken* token = parser_.Peek();
        if (token == nullptr && !parser_.tokens_.empty()) {
            token = &parser_.tokens_.back();
        }
        throw ESQLMemException::Formatted(
            kTooComplexCode, "Expression too complex at " +
                                 (token != nullptr ? Position(*token) : "line 1, column 1"));
    }
}

std::unique_ptr<TSQLMemExprNode> TSQLMemExpressionParser::ParseSearchCondition() {
    const Nesting nesting(*this);
    NodePtr left = ParseTerm();
    if (!left) {
        return nullptr;
    }
    while (IsWord(rwOR)) {
        ++pos_;
        NodePtr right = ParseTerm();
        if (!right) {
            FailExpected(kConditionAfterOrCode, "Boolean expression", kEndInConditionCode);
        }
        // Each OR holds the new term first, then what came before it.
        left = Combine<TSQLMemExprNodeBoolean>(doOR, std::move(right), std::move(left));
    }
    return left;
}

NodePtr TSQLMemExpressionParser::ParseTerm() {
    NodePtr first = ParseFactor();
    if (!first) {
        return nullptr;
    }
    if (!IsWord(rwAND)) {
        return first;
    }
    std::vector<NodePtr> factors;
    factors.push_back(std::move(first));
    while (IsWord(rwAND)) {
        ++pos_;
        NodePtr next = ParseFactor();
        if (!next) {
            FailExpected(kConditionAfterAndCode, "Boolean expression", kEndInConditionCode);
        }
        factors.push_back(std::move(next));
    }
    return Combine<TSQLMemExprNodeBoolean>(doAND, std::move(factors));
}

NodePtr TSQLMemExpressionParser::ParseFactor() {
    const Nesting nesting(*this);
    if (IsWord(rwEXISTS) || (IsWord(rwNOT) && IsWord(rwEXISTS, 1))) {
        return ParseExists();
    }
    if (IsWord(rwNOT)) {
        ++pos_;
        // NOT NOT x reads as NOT (NOT x).
        NodePtr test = ParseFactor();
        if (!test) {
            FailExpected(kConditionAfterNotCode, "Boolean expression", kEndInConditionCode);
        }
        return Wrap<TSQLMemExprNodeBoolean>(doNOT, std::move(test));
    }
    return ParseTest();
}

NodePtr TSQLMemExpressionParser::ParseTest() {
    NodePtr primary = ParsePrimary();
    if (!primary || !IsWord(rwIS)) {
        return primary;
    }
    ++pos_;
    const bool negated = IsWord(rwNOT);
    if (negated) {
        ++pos_;
    }
    if (IsWord(rwTRUE) || IsWord(rwFALSE)) {
        // IS TRUE and IS NOT FALSE keep the value; IS FALSE and IS NOT TRUE negate it.
        const bool keep = IsWord(rwTRUE) != negated;
        ++pos_;
        return keep ? std::move(primary) : Wrap<TSQLMemExprNodeBoolean>(doNOT, std::move(primary));
    }
    if (IsWord(rwUNKNOWN) || IsWord(rwNULL)) {
        ++pos_;
        return Wrap<TSQLMemExprNodeBoolean>(negated ? doISNOTNULL : doISNULL, std::move(primary));
    }
    FailTokenExpected(kTruthValueExpectedCode, "TRUE, FALSE or UNKNOWN", kEndInConditionCode);
}

NodePtr TSQLMemExpressionParser::ParsePrimary() {
    if (IsSymbol("(")) {
        const int32_t saved = pos_;
        ++pos_;
        NodePtr condition = ParseSearchCondition();
        if (condition && IsSymbol(")")) {
            ++pos_;
            return condition;
        }
        // A parenthesised value that a predicate starts with: `(a + 1) = 2`.
        pos_ = saved;
    }
    return ParsePredicate();
}

NodePtr TSQLMemExpressionParser::MakeComparison(TSQLMemDataOperator op, NodePtr left,
                                                NodePtr right) const {
    bool partial = false;
    if (options_.star_partial) {
        // `Name = 'Sm*'`: the star goes, the comparison covers the constant's length.
        for (NodePtr* side : {&left, &right}) {
            if ((*side)->NodeType() != entConst) {
                continue;
            }
            const TSQLMemVariant& value = static_cast<TSQLMemExprNodeConst&>(**side).Value();
            if (value.IsNull() || !IsStringType(value.BaseType())) {
                continue;
            }
            std::string text = value.AsText();
            if (!text.empty() && text.back() == '*') {
                text.pop_back();
                *side = Constant(TSQLMemVariant::FromText(text, value.BaseType()));
                partial = true;
                break;
            }
        }
    }
    return std::make_unique<TSQLMemExprNodeComparison>(
        op, std::move(left), std::move(right), options_.ignore_case, partial, options_.null_aware);
}

NodePtr TSQLMemExpressionParser::RequireValue() {
    NodePtr value = ParseValueExpression();
    if (!value) {
        if (AtEnd()) {
            FailEnd(kEndInValueCode);
        }
        FailUnexpectedToken();
    }
    return value;
}

NodePtr TSQLMemExpressionParser::ParsePredicate() {
    if ((IsWord(rwTRUE) || IsWord(rwFALSE)) && !IsPredicateContinuation(1)) {
        const bool value = IsWord(rwTRUE);
        ++pos_;
        return Constant(TSQLMemVariant::FromBoolean(value));
    }
    const int32_t saved = pos_;
    NodePtr left = ParseValueExpression();
    if (!left) {
        pos_ = saved;
        return nullptr;
    }
    if (IsComparisonOperator()) {
        const TSQLMemDataOperator op = ComparisonOperator(Peek()->Text);
        ++pos_;
        NodePtr right = RequireValue();
        return MakeComparison(op, std::move(left), std::move(right));
    }
    if (IsWord(rwIS) && (IsWord(rwNULL, 1) || (IsWord(rwNOT, 1) && IsWord(rwNULL, 2)))) {
        const bool negated = IsWord(rwNOT, 1);
        pos_ += negated ? 3 : 2;
        return Wrap<TSQLMemExprNodeBoolean>(negated ? doISNOTNULL : doISNULL, std::move(left));
    }
    const bool negated =
        IsWord(rwNOT) && (IsWord(rwLIKE, 1) || IsWord(rwBETWEEN, 1) || IsWord(rwIN, 1));
    if (negated) {
        ++pos_;
    }
    if (IsWord(rwLIKE)) {
        ++pos_;
        NodePtr pattern = RequireValue();
        std::optional<char32_t> escape;
        if (IsWord(rwESCAPE)) {
            ++pos_;
            const TToken* token = Peek();
            if (token == nullptr) {
                FailEnd(kEndInValueCode);
            }
            if (token->TokenType != tktQuotedString || token->Text.size() != 1) {
                FailTokenExpected(kTokenExpectedCode, "ESCAPE character", kEndInValueCode);
            }
            escape = static_cast<char32_t>(static_cast<unsigned char>(token->Text[0]));
            ++pos_;
        }
        auto like = std::make_unique<TSQLMemExprNodeBoolean>(negated ? doNOTLIKE : doLIKE);
        like->AddChild(std::move(left));
        like->AddChild(std::move(pattern));
        like->SetIgnoreCase(options_.ignore_case);
        like->SetEscape(escape);
        return like;
    }
    if (IsWord(rwBETWEEN)) {
        ++pos_;
        NodePtr low = RequireValue();
        ExpectWord(rwAND, kTokenExpectedCode, kEndInValueCode);
        NodePtr high = RequireValue();
        std::vector<NodePtr> children;
        children.push_back(std::move(left));
        children.push_back(std::move(low));
        children.push_back(std::move(high));
        return Combine<TSQLMemExprNodeBoolean>(negated ? doNOTBETWEEN : doBETWEEN,
                                               std::move(children));
    }
    if (IsWord(rwIN)) {
        ++pos_;
        if (!IsSymbol("(")) {
            FailTokenExpected(kTokenExpectedCode, "(", kEndInValueCode);
        }
        if (IsWord(rwSELECT, 1)) {
            std::string text = TakeSubqueryText();
            return std::make_unique<TSQLMemExprNodeSubQueryIN>(std::move(text), std::move(left),
                                                               negated);
        }
        ++pos_;
        if (IsSymbol(")")) {
            throw ESQLMemException(kEmptyInListCode,
                                   "Error parsing subquery with IN - no argumnet passed");
        }
        std::vector<NodePtr> children;
        children.push_back(std::move(left));
        children.push_back(RequireValue());
        while (IsSymbol(",")) {
            ++pos_;
            children.push_back(RequireValue());
        }
        ExpectRightParenthesis();
        return Combine<TSQLMemExprNodeBoolean>(negated ? doNOTIN : doIN, std::move(children));
    }
    // A value alone is no predicate.
    pos_ = saved;
    return nullptr;
}

NodePtr TSQLMemExpressionParser::ParseExists() {
    const bool negated = IsWord(rwNOT);
    if (negated) {
        ++pos_;
    }
    ++pos_;  // EXISTS
    if (!IsSymbol("(")) {
        FailTokenExpected(kTokenExpectedCode, "(", kEndInConditionCode);
    }
    if (!IsWord(rwSELECT, 1)) {
        ++pos_;
        FailTokenExpected(kTokenExpectedCode, "SELECT", kEndInConditionCode);
    }
    return std::make_unique<TSQLMemExprNodeSubQueryExists>(TakeSubqueryText(), negated);
}

std::string TSQLMemExpressionParser::TakeSubqueryText() {
    // The lexer has checked that parentheses pair up within the command.
    ++pos_;
    std::string text;
    int depth = 1;
    while (const TToken* token = Peek()) {
        if (token->TokenType == tktLeftParenthesis) {
            ++depth;
        } else if (token->TokenType == tktRightParenthesis && --depth == 0) {
            ++pos_;
            return text;
        }
        if (!text.empty()) {
            text += ' ';
        }
        text += TokenSource(*token);
        ++pos_;
    }
    FailEnd(kEndInFunctionCode);
}

// --- Values ----------------------------------------------------------------------------------

std::unique_ptr<TSQLMemExprNode> TSQLMemExpressionParser::ParseValueExpression() {
    const Nesting nesting(*this);
    const int32_t saved = pos_;
    if (NodePtr numeric = ParseNumericExpression()) {
        // Followed by `||` it is the first part of a text.
        if (!IsSymbol("||")) {
            return numeric;
        }
    }
    pos_ = saved;
    if (NodePtr text = ParseStringExpression()) {
        return text;
    }
    pos_ = saved;
    if (IsWord(rwTOBLOB)) {
        return ParseBlobFunction();
    }
    if (NodePtr date = ParseDateTimeExpression()) {
        return date;
    }
    pos_ = saved;
    if (IsWord(rwTRUE) || IsWord(rwFALSE)) {
        const bool value = IsWord(rwTRUE);
        ++pos_;
        return Constant(TSQLMemVariant::FromBoolean(value));
    }
    if (IsWord(rwNULL)) {
        ++pos_;
        return Constant(TSQLMemVariant::Null());
    }
    return nullptr;
}

NodePtr TSQLMemExpressionParser::ParseNumericExpression() {
    NodePtr first = ParseNumericTerm();
    if (!first) {
        return nullptr;
    }
    if (!IsSymbol("+") && !IsSymbol("-")) {
        return first;
    }
    // One sum over every term; a minus is the sign of the term that follows it.
    std::vector<NodePtr> terms;
    terms.push_back(std::move(first));
    while (IsSymbol("+") || IsSymbol("-")) {
        NodePtr next = ParseNumericTerm();
        if (!next) {
            return nullptr;
        }
        terms.push_back(std::move(next));
    }
    return Combine<TSQLMemExprNodeArithmetic>(doADD, std::move(terms));
}

NodePtr TSQLMemExpressionParser::ParseNumericTerm() {
    NodePtr left = ParseNumericFactor();
    if (!left) {
        return nullptr;
    }
    while (IsSymbol("*") || IsSymbol("/")) {
        const TSQLMemDataOperator op = IsSymbol("*") ? doMUL : doDIV;
        ++pos_;
        NodePtr right = ParseNumericFactor();
        if (!right) {
            return nullptr;
        }
        left = Combine<TSQLMemExprNodeArithmetic>(op, std::move(left), std::move(right));
    }
    return left;
}

NodePtr TSQLMemExpressionParser::ParseNumericFactor() {
    const Nesting nesting(*this);
    bool negative = false;
    if (IsSymbol("+") || IsSymbol("-")) {
        negative = IsSymbol("-");
        ++pos_;
    }
    NodePtr primary = ParseNumericPrimary();
    if (!primary) {
        return nullptr;
    }
    if (negative) {
        return Wrap<TSQLMemExprNodeArithmetic>(doSUB, std::move(primary));
    }
    return primary;
}

NodePtr TSQLMemExpressionParser::ParseLiteral() {
    const TToken* token = Peek();
    if (token == nullptr) {
        return nullptr;
    }
    switch (token->TokenType) {
        case tktInt:
        case tktFloat: {
            NodePtr node = Constant(NumberLiteral(*token));
            ++pos_;
            return node;
        }
        case tktQuotedString: {
            NodePtr node = Constant(TSQLMemVariant::FromText(token->Text));
            ++pos_;
            return node;
        }
        case tktParameter: {
            NodePtr node = Constant(token->ParamValue.value_or(TSQLMemVariant::Null()));
            ++pos_;
            return node;
        }
        default:
            return nullptr;
    }
}

NodePtr TSQLMemExpressionParser::ParseNumericPrimary() {
    // A text or byte-string constant is no number: the text alternative takes it.
    if (const TToken* token = Peek();
        token != nullptr && (token->TokenType == tktQuotedString ||
                             (token->TokenType == tktParameter && token->ParamValue &&
                              IsNonNumericConstant(TSQLMemExprNodeConst(*token->ParamValue))))) {
        return nullptr;
    }
    if (NodePtr literal = ParseLiteral()) {
        return literal;
    }
    if (IsSymbol("(")) {
        return ParseParenthesised();
    }
    if (NodePtr field = ParseColumnReference()) {
        return field;
    }
    if (NodePtr aggregate = ParseSetFunction()) {
        return aggregate;
    }
    if (IsWord(rwCAST) && IsSymbol("(", 1)) {
        return ParseCast();
    }
    if (NodePtr function = ParseNumericFunction()) {
        return function;
    }
    // Dates take part in sums (`SYSDATE - 1`).
    return ParseDateTimeExpression();
}

NodePtr TSQLMemExpressionParser::ParseParenthesised() {
    if (IsWord(rwSELECT, 1)) {
        return std::make_unique<TSQLMemExprNodeSubQuery>(TakeSubqueryText());
    }
    const int32_t saved = pos_;
    ++pos_;
    NodePtr value = ParseValueExpression();
    if (!value) {
        pos_ = saved;
        return nullptr;
    }
    ExpectRightParenthesis();
    return value;
}

NodePtr TSQLMemExpressionParser::ParseColumnReference() {
    const TToken* first = Peek();
    if (first == nullptr || !IsNameToken(*first)) {
        return nullptr;
    }
    const TToken* last = first;
    std::string table_name;
    int32_t length = 1;
    if (IsSymbol(".", 1) && Peek(2) != nullptr && IsNameToken(*Peek(2))) {
        table_name = first->Text;
        last = Peek(2);
        length = 3;
    }
    // A keyword, or a name with `(` after it, is no column.
    if (last->TokenType == tktReservedWord || IsSymbol("(", length)) {
        return nullptr;
    }
    pos_ += length;
    return std::make_unique<TSQLMemExprNodeField>(std::move(table_name), last->Text);
}

NodePtr TSQLMemExpressionParser::RequireArgument(std::string_view name, int code) {
    NodePtr value = ParseValueExpression();
    if (value) {
        return value;
    }
    if (AtEnd()) {
        FailEnd(kEndInFunctionCode);
    }
    if (code == kArgumentExpectedCode) {
        throw ESQLMemException::Formatted(
            code,
            "Argument expected for function '" + std::string(name) + "' at " + Position(*Peek()));
    }
    throw ESQLMemException::Formatted(code, "String argument expected for function '" +
                                                std::string(name) + "', but '" + Peek()->Text +
                                                "' found at " + Position(*Peek()));
}

NodePtr TSQLMemExpressionParser::ParseSetFunction() {
    static constexpr std::pair<TReservedWord, TSQLMemDataOperator> kAggregates[] = {
        {rwCOUNT, doCOUNT}, {rwSUM, doSUM}, {rwAVG, doAVG}, {rwMIN, doMIN}, {rwMAX, doMAX}};
    for (const auto& [word, op] : kAggregates) {
        if (!IsWord(word) || !IsSymbol("(", 1)) {
            continue;
        }
        const std::string name(ReservedWordText(word));
        pos_ += 2;
        if (op == doCOUNT && IsSymbol("*")) {
            ++pos_;
            ExpectRightParenthesis();
            return std::make_unique<TSQLMemExprNodeAggregated>(doCOUNTALL);
        }
        const bool distinct = IsWord(rwDISTINCT);
        if (distinct) {
            ++pos_;
        } else if (IsWord(rwALL)) {
            ++pos_;
        }
        NodePtr argument = RequireArgument(name, kArgumentExpectedCode);
        ExpectRightParenthesis();
        return std::make_unique<TSQLMemExprNodeAggregated>(op, std::move(argument), distinct);
    }
    return nullptr;
}

NodePtr TSQLMemExpressionParser::ParseCast() {
    pos_ += 2;  // CAST (
    NodePtr value = RequireArgument("CAST", kArgumentExpectedCode);
    ExpectWord(rwAS, kTokenExpectedCode, kEndInFunctionCode);
    const TToken* type_token = Peek();
    if (type_token == nullptr) {
        FailEnd(kEndInFunctionCode);
    }
    std::string word = UpperName(type_token->Text);
    const TSQLMemAdvancedFieldType* found = nullptr;
    for (const FieldTypeRow& row : FieldTypeTable()) {
        if (row.keyword == word) {
            found = &row.advanced;
            break;
        }
    }
    if (found == nullptr || !IsNameToken(*type_token)) {
        throw ESQLMemException::Formatted(
            kCannotCastCode,
            "Cannot convert an expression to specified type: '" + type_token->Text + "'");
    }
    ++pos_;
    int32_t size = 0;
    if (IsSymbol("(")) {
        // A size (and a scale, which values do not keep).
        ++pos_;
        const TToken* size_token = Peek();
        if (size_token == nullptr) {
            FailEnd(kEndInFunctionCode);
        }
        if (size_token->TokenType != tktInt) {
            FailTokenExpected(kTokenExpectedCode, "size", kEndInFunctionCode);
        }
        size = static_cast<int32_t>(std::clamp<int64_t>(NumberLiteral(*size_token).AsInteger(), 0,
                                                        std::numeric_limits<int32_t>::max()));
        ++pos_;
        if (IsSymbol(",")) {
            ++pos_;
            if (!IsType(tktInt)) {
                FailTokenExpected(kTokenExpectedCode, "scale", kEndInFunctionCode);
            }
            ++pos_;
        }
        ExpectRightParenthesis();
    }
    ExpectRightParenthesis();
    return std::make_unique<TSQLMemExprNodeCast>(*found, std::move(value), size);
}

NodePtr TSQLMemExpressionParser::ParseNumericFunction() {
    if (!IsSymbol("(", 1)) {
        return nullptr;
    }
    if (IsWord(rwLAST_AUTOINC)) {
        return ParseLastAutoinc();
    }
    if (IsWord(rwLENGTH)) {
        pos_ += 2;
        NodePtr text = RequireArgument("LENGTH", kStringArgumentExpectedCode);
        ExpectRightParenthesis();
        return Wrap<TSQLMemExprNodeStringFunction>(doLENGTH, std::move(text));
    }
    if (IsWord(rwPOSITION) || IsWord(rwPOS)) {
        const bool standard = IsWord(rwPOSITION);
        const std::string name = standard ? "POSITION" : "POS";
        pos_ += 2;
        NodePtr sub = RequireArgument(name, kStringArgumentExpectedCode);
        if (standard) {
            ExpectWord(rwIN, kTokenExpectedCode, kEndInFunctionCode);
        } else {
            Expect(",", kTokenExpectedCode, kEndInFunctionCode);
        }
        NodePtr text = RequireArgument(name, kStringArgumentExpectedCode);
        ExpectRightParenthesis();
        return Combine<TSQLMemExprNodeStringFunction>(doPOS, std::move(sub), std::move(text));
    }
    return nullptr;
}

NodePtr TSQLMemExpressionParser::ParseLastAutoinc() {
    pos_ += 2;  // LASTAUTOINC (
    const bool memory = IsWord(rwMEMORY);
    if (memory) {
        ++pos_;
    }
    const auto name = [this](std::string_view what) {
        const TToken* token = Peek();
        if (token == nullptr) {
            FailEnd(kEndInFunctionCode);
        }
        if (!IsNameToken(*token)) {
            FailTokenExpected(kTokenExpectedCode, what, kEndInFunctionCode);
        }
        ++pos_;
        return token->Text;
    };
    std::string table = name("table name");
    Expect(",", kTokenExpectedCode, kEndInFunctionCode);
    std::string field = name("field name");
    ExpectRightParenthesis();
    return std::make_unique<TSQLMemExprNodeSystem>(doLASTAUTOINC, std::move(table),
                                                   std::move(field), memory);
}

NodePtr TSQLMemExpressionParser::ParseStringExpression() {
    NodePtr first = ParseStringPrimary();
    if (!first) {
        return nullptr;
    }
    if (!IsSymbol("||") && !IsSymbol("+")) {
        return first;
    }
    std::vector<NodePtr> parts;
    parts.push_back(std::move(first));
    while (IsSymbol("||") || IsSymbol("+")) {
        ++pos_;
        NodePtr next = ParseStringPrimary();
        if (!next) {
            return nullptr;
        }
        parts.push_back(std::move(next));
    }
    return Combine<TSQLMemExprNodeStringFunction>(doCONCAT, std::move(parts));
}

NodePtr TSQLMemExpressionParser::ParseStringPrimary() {
    // Texts and parameters; a number is no text.
    if (!IsType(tktInt) && !IsType(tktFloat)) {
        if (NodePtr literal = ParseLiteral()) {
            return literal;
        }
    }
    if (IsSymbol("(")) {
        return ParseParenthesised();
    }
    if (NodePtr field = ParseColumnReference()) {
        return field;
    }
    if (IsWord(rwCAST) && IsSymbol("(", 1)) {
        return ParseCast();
    }
    if (NodePtr function = ParseStringFunction()) {
        return function;
    }
    if (IsWord(rwTOSTRING) && IsSymbol("(", 1)) {
        return ParseDateFunction();
    }
    return nullptr;
}

NodePtr TSQLMemExpressionParser::ParseStringFunction() {
    if (!IsSymbol("(", 1)) {
        return nullptr;
    }
    static constexpr std::pair<TReservedWord, TSQLMemDataOperator> kOneArgument[] = {
        {rwUPPER, doUPPER},
        {rwLOWER, doLOWER},
        {rwTRIM, doTRIM},
        {rwLTRIM, doLTRIM},
        {rwRTRIM, doRTRIM}};
    for (const auto& [word, op] : kOneArgument) {
        if (IsWord(word)) {
            const std::string name(ReservedWordText(word));
            pos_ += 2;
            NodePtr text = RequireArgument(name, kStringArgumentExpectedCode);
            ExpectRightParenthesis();
            return Wrap<TSQLMemExprNodeStringFunction>(op, std::move(text));
        }
    }
    if (IsWord(rwSUBSTRING)) {
        pos_ += 2;
        std::vector<NodePtr> children;
        children.push_back(RequireArgument("SUBSTRING", kStringArgumentExpectedCode));
        // SUBSTRING(s FROM start [FOR length]) or SUBSTRING(s, start [, length]).
        const bool standard = IsWord(rwFROM);
        if (!standard && !IsSymbol(",")) {
            FailTokenExpected(kTokenExpectedCode, "FROM", kEndInFunctionCode);
        }
        ++pos_;
        children.push_back(RequireArgument("SUBSTRING", kArgumentExpectedCode));
        if (standard ? IsWord(rwFOR) : IsSymbol(",")) {
            ++pos_;
            children.push_back(RequireArgument("SUBSTRING", kArgumentExpectedCode));
        }
        ExpectRightParenthesis();
        return Combine<TSQLMemExprNodeStringFunction>(doSUBSTRING, std::move(children));
    }
    return nullptr;
}

NodePtr TSQLMemExpressionParser::ParseDateFunction() {
    // TODATE(value, 'format') or TOSTRING(value, 'format').
    const bool to_date = IsWord(rwTODATE);
    const std::string name = to_date ? "TODATE" : "TOSTRING";
    pos_ += 2;
    NodePtr value = RequireArgument(name, kArgumentExpectedCode);
    Expect(",", kTokenExpectedCode, kEndInFunctionCode);
    if (!IsType(tktQuotedString)) {
        FailExpected(kDateFormatExpectedCode, "Const DateFormat string", kEndInFunctionCode);
    }
    std::string format = Peek()->Text;
    ++pos_;
    ExpectRightParenthesis();
    return std::make_unique<TSQLMemExprNodeDateFunction>(to_date ? doTODATE : doTOSTRING,
                                                         std::move(value), std::move(format));
}

NodePtr TSQLMemExpressionParser::ParseDateTimeExpression() {
    static constexpr std::pair<TReservedWord, TSQLMemDataOperator> kClock[] = {
        {rwSYSDATE, doSYSDATE},
        {rwNOW, doSYSDATE},
        {rwCURRENT_TIMESTAMP, doSYSDATE},
        {rwCURRENT_DATE, doCURRENT_DATE},
        {rwCURRENT_TIME, doCURRENT_TIME}};
    for (const auto& [word, op] : kClock) {
        if (IsWord(word)) {
            ++pos_;
            return std::make_unique<TSQLMemExprNodeDateFunction>(op);
        }
    }
    if (IsWord(rwTODATE) && IsSymbol("(", 1)) {
        return ParseDateFunction();
    }
    const TToken* token = Peek();
    if (token != nullptr && token->TokenType == tktParameter && token->ParamValue &&
        IsDateTimeType(token->ParamValue->BaseType())) {
        ++pos_;
        return Constant(*token->ParamValue);
    }
    return nullptr;
}

NodePtr TSQLMemExpressionParser::ParseBlobFunction() {
    // TOBLOB('text' [, HEX | MIME64]): decoded now, Base64 unless HEX is named.
    if (!IsSymbol("(", 1)) {
        ++pos_;
        FailTokenExpected(kTokenExpectedCode, "(", kEndInFunctionCode);
    }
    pos_ += 2;
    if (!IsType(tktQuotedString)) {
        FailExpected(kBlobTextExpectedCode, "Const BLOB value as quoted string",
                     kEndInFunctionCode);
    }
    const std::string text = Peek()->Text;
    ++pos_;
    sql::BlobTextFormat format = sql::BlobTextFormat::Base64;
    if (IsSymbol(",")) {
        ++pos_;
        if (IsWord(rwHEX)) {
            format = sql::BlobTextFormat::Hex;
        } else if (!IsWord(rwMIME64)) {
            FailExpected(kBlobFormatExpectedCode, "BLOB value format", kEndInFunctionCode);
        }
        ++pos_;
    }
    ExpectRightParenthesis();
    return std::make_unique<TSQLMemExprNodeBLOBFunction>(sql::DecodeBlobText(text, format));
}

// --- Entry points ----------------------------------------------------------------------------

namespace {

TSQLMemExpressionParser::Options OptionsOf(const TSQLMemExpression& expression) {
    TSQLMemExpressionParser::Options options;
    options.ignore_case = expression.IgnoreCase();
    options.null_aware = expression.NullAware();
    options.star_partial = expression.PartialMatch();
    return options;
}

}  // namespace

void ParseForBooleanExpression(TSQLMemExpression& expression, TSQLMemLexer& lexer) {
    TSQLMemExpressionParser parser(lexer, OptionsOf(expression));
    NodePtr root = parser.ParseSearchCondition();
    if (!root) {
        TToken token;
        if (!lexer.Tokens().empty() &&
            lexer.GetCurrentTokenNo() < static_cast<int32_t>(lexer.Tokens().size())) {
            const int32_t at = std::max<int32_t>(lexer.GetCurrentTokenNo(), 0);
            token = lexer.Tokens()[static_cast<size_t>(at)];
            throw ESQLMemException::Formatted(kConditionExpectedCode,
                                              "Boolean expression expected, but '" + token.Text +
                                                  "' found at " + Position(token));
        }
        const TToken* last = lexer.Tokens().empty() ? nullptr : &lexer.Tokens().back();
        throw ESQLMemException::Formatted(kEndInConditionCode,
                                          "Unexpected end of SQL command found at line " +
                                              std::to_string(last != nullptr ? last->Line : 1) +
                                              ", column " +
                                              std::to_string(last != nullptr ? last->Column : 1));
    }
    parser.SyncLexer();
    expression.SetRoot(std::move(root));
}

void ParseForValueExpression(TSQLMemExpression& expression, TSQLMemLexer& lexer) {
    TSQLMemExpressionParser parser(lexer, OptionsOf(expression));
    NodePtr root = parser.ParseValueExpression();
    if (root) {
        parser.SyncLexer();
    }
    expression.SetRoot(std::move(root));
}

void ParseForFilter(TSQLMemExpression& expression, const TSQLMemFieldDefs& fields,
                    std::string_view text, bool ignore_case, bool partial) {
    expression.SetIgnoreCase(ignore_case);
    expression.SetPartialMatch(partial);
    TSQLMemLexer lexer{std::string(text), nullptr};
    if (!lexer.GetNextCommand()) {
        throw ESQLMemException(kBlankCommandCode, "Blank SQL command");
    }
    ParseForBooleanExpression(expression, lexer);
    TSQLMemExpressionParser rest(lexer, OptionsOf(expression));
    if (!rest.AtEnd()) {
        rest.FailUnexpectedToken();
    }
    // Whatever follows a semicolon is not part of a filter.
    if (lexer.GetNextCommand()) {
        TSQLMemExpressionParser next(lexer, OptionsOf(expression));
        next.FailUnexpectedToken();
    }
    expression.BindRow(fields);
}

void ParseForLocate(TSQLMemExpression& expression, const TSQLMemFieldDefs& fields,
                    const std::vector<std::string>& field_names, bool ignore_case, bool partial,
                    const std::vector<TSQLMemVariant>& key_values) {
    if (field_names.size() != key_values.size()) {
        throw ESQLMemException::Formatted(
            kLocateCountsCode, "Count of FieldNames (" + std::to_string(field_names.size()) +
                                   ") not equal counts of KeyValues (" +
                                   std::to_string(key_values.size()) + ")");
    }
    expression.SetIgnoreCase(ignore_case);
    expression.SetPartialMatch(partial);
    expression.SetNullAware(false);
    std::vector<NodePtr> comparisons;
    for (size_t i = 0; i < field_names.size(); ++i) {
        comparisons.push_back(std::make_unique<TSQLMemExprNodeComparison>(
            doEQ, std::make_unique<TSQLMemExprNodeField>(std::string(), field_names[i]),
            Constant(key_values[i]), ignore_case, partial, false));
    }
    NodePtr root;
    if (comparisons.size() == 1) {
        root = std::move(comparisons.front());
    } else if (!comparisons.empty()) {
        root = Combine<TSQLMemExprNodeBoolean>(doAND, std::move(comparisons));
    }
    expression.SetRoot(std::move(root));
    expression.BindRow(fields);
}

}  // namespace tapir::engine
