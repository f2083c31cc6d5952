#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "engine/record/db_types.h"
#include "engine/sql/expr/expression_nodes.h"
#include "engine/sql/expr/sqlmem_expression.h"
#include "engine/table/comparison_expression.h"
#include "engine/table/record_bitmap.h"
#include "engine/table/sqlmem_cursor.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table_data.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "tests/engine/core_test_tables.h"

namespace tapir::engine {
namespace {

using Node = std::unique_ptr<TSQLMemExprNode>;
using Kids = std::vector<Node>;

// --- Tree building ---

Node C(TSQLMemVariant value) { return std::make_unique<TSQLMemExprNodeConst>(std::move(value)); }
Node I(int64_t value) { return C(TSQLMemVariant::FromInteger(value)); }
Node S(std::string_view text) { return C(TSQLMemVariant::FromText(text)); }
Node T() { return C(TSQLMemVariant::FromBoolean(true)); }
Node F() { return C(TSQLMemVariant::FromBoolean(false)); }
Node N(TSQLMemBaseFieldType type = bftUnknown) { return C(TSQLMemVariant::Null(type)); }
Node Fld(std::string name) { return std::make_unique<TSQLMemExprNodeField>("", std::move(name)); }

template <class... Args>
Kids Make(Args... nodes) {
    Kids kids;
    (kids.push_back(std::move(nodes)), ...);
    return kids;
}

Node Cmp(TSQLMemDataOperator op, Node left, Node right, bool ignore_case = false,
         bool partial = false, bool null_aware = true) {
    return std::make_unique<TSQLMemExprNodeComparison>(op, std::move(left), std::move(right),
                                                       ignore_case, partial, null_aware);
}
template <class... Args>
Node B(TSQLMemDataOperator op, Args... nodes) {
    return std::make_unique<TSQLMemExprNodeBoolean>(op, Make(std::move(nodes)...));
}
template <class... Args>
Node A(TSQLMemDataOperator op, Args... nodes) {
    return std::make_unique<TSQLMemExprNodeArithmetic>(op, Make(std::move(nodes)...));
}
template <class... Args>
Node Fn(TSQLMemDataOperator op, Args... nodes) {
    return std::make_unique<TSQLMemExprNodeStringFunction>(op, Make(std::move(nodes)...));
}
Node Agg(TSQLMemDataOperator op, Node argument, bool distinct = false) {
    return std::make_unique<TSQLMemExprNodeAggregated>(op, std::move(argument), distinct);
}

TSQLMemFieldDef Def(std::string name, TSQLMemAdvancedFieldType type, int32_t size = 0) {
    TSQLMemFieldDef def;
    def.Name = std::move(name);
    def.SetAdvancedType(type, size);
    return def;
}

// A value with its expected outcome: true, false or null.
enum class Truth { True, False, Null };

Truth TruthOf(const TSQLMemVariant& value) {
    if (value.IsNull()) {
        return Truth::Null;
    }
    return value.AsBoolean() ? Truth::True : Truth::False;
}

Node FromTruth(Truth truth) {
    switch (truth) {
        case Truth::True:
            return T();
        case Truth::False:
            return F();
        case Truth::Null:
            break;
    }
    return N(bftLogical);
}

const char* Name(Truth truth) {
    return truth == Truth::True ? "T" : (truth == Truth::False ? "F" : "N");
}

// Rows of a small table: N integer, Name text(10), W wide text(10), D date-time, X double.
class SqlExpression : public ::testing::Test {
  protected:
    SqlExpression()
        : fields_({Def("N", aftInteger), Def("Name", aftString, 10), Def("W", aftWideString, 10),
                   Def("D", aftDateTime), Def("X", aftDouble)}),
          source_(fields_, "T") {}

    // Appends a row; nullopt leaves a field null.
    void AddRow(std::optional<int64_t> n, std::optional<std::string> name = std::nullopt) {
        std::vector<std::byte> row(static_cast<size_t>(fields_.DataSize()));
        SetAllNull(row.data(), fields_.Count());
        if (n) {
            SetInteger(fields_, 0, *n, row.data());
        }
        if (name) {
            SetText(fields_, 1, *name, row.data());
        }
        rows_.push_back(std::move(row));
    }
    void UseRow(size_t index) { source_.SetRow(rows_[index].data()); }

    // The value of `root` for the current row.
    TSQLMemVariant Eval(Node root) {
        TSQLMemExpression expression(std::move(root));
        expression.Bind(source_);
        return expression.GetValue();
    }
    Truth EvalTruth(Node root) { return TruthOf(Eval(std::move(root))); }

    // Init, Accumulate over every row, then the value.
    TSQLMemVariant Aggregate(Node root) {
        TSQLMemExpression expression(std::move(root));
        expression.Bind(source_);
        expression.Init();
        for (size_t i = 0; i < rows_.size(); ++i) {
            UseRow(i);
            expression.Accumulate();
        }
        return expression.GetValue();
    }

    TSQLMemFieldDefs fields_;
    TSQLMemRowBufferSource source_;
    std::vector<std::vector<std::byte>> rows_;
};

// --- Operator codes ---

TEST(SqlOperators, CodesAndMessageNames) {
    EXPECT_EQ(static_cast<int>(doEQ), 1);
    EXPECT_EQ(static_cast<int>(doCONCAT), 24);
    EXPECT_EQ(static_cast<int>(doCOUNTALL), 38);
    EXPECT_EQ(static_cast<int>(doTOBLOB), 46);
    EXPECT_EQ(OperatorMessageName(doNE), "<>");
    EXPECT_EQ(OperatorMessageName(doNOTLIKE), "NOT LIKE");
    EXPECT_EQ(OperatorMessageName(doISNOTNULL), "IS NOT NULL");
    EXPECT_EQ(OperatorMessageName(doCONCAT), "||");
    EXPECT_EQ(OperatorMessageName(doCOUNTALL), "COUNT(*)");
    EXPECT_EQ(OperatorMessageName(doRTRIM), "RTRIM");
    for (TSQLMemDataOperator op : {doUNDEFINED, doIN, doNOTBETWEEN, doTRUE, doLENGTH, doPOS,
                                   doSYSDATE, doCAST, doLASTAUTOINC, doTOBLOB}) {
        EXPECT_EQ(OperatorMessageName(op), "unknown") << static_cast<int>(op);
    }
}

// --- Three-valued logic ---

TEST_F(SqlExpression, NotAndOrFollowThreeValuedLogic) {
    const std::vector<Truth> all = {Truth::True, Truth::False, Truth::Null};
    // Expected tables written out, not computed.
    const std::map<std::pair<Truth, Truth>, Truth> and_table = {
        {{Truth::True, Truth::True}, Truth::True},    {{Truth::True, Truth::False}, Truth::False},
        {{Truth::True, Truth::Null}, Truth::Null},    {{Truth::False, Truth::True}, Truth::False},
        {{Truth::False, Truth::False}, Truth::False}, {{Truth::False, Truth::Null}, Truth::False},
        {{Truth::Null, Truth::True}, Truth::Null},    {{Truth::Null, Truth::False}, Truth::False},
        {{Truth::Null, Truth::Null}, Truth::Null}};
    const std::map<std::pair<Truth, Truth>, Truth> or_table = {
        {{Truth::True, Truth::True}, Truth::True},    {{Truth::True, Truth::False}, Truth::True},
        {{Truth::True, Truth::Null}, Truth::True},    {{Truth::False, Truth::True}, Truth::True},
        {{Truth::False, Truth::False}, Truth::False}, {{Truth::False, Truth::Null}, Truth::Null},
        {{Truth::Null, Truth::True}, Truth::True},    {{Truth::Null, Truth::False}, Truth::Null},
        {{Truth::Null, Truth::Null}, Truth::Null}};
    for (Truth a : all) {
        SCOPED_TRACE(Name(a));
        const Truth negated =
            a == Truth::Null ? Truth::Null : (a == Truth::True ? Truth::False : Truth::True);
        EXPECT_EQ(EvalTruth(B(doNOT, FromTruth(a))), negated);
        for (Truth b : all) {
            SCOPED_TRACE(Name(b));
            EXPECT_EQ(EvalTruth(B(doAND, FromTruth(a), FromTruth(b))), and_table.at({a, b}));
            EXPECT_EQ(EvalTruth(B(doOR, FromTruth(a), FromTruth(b))), or_table.at({a, b}));
        }
    }
    // Any number of children; an empty AND is true, an empty OR false.
    EXPECT_EQ(EvalTruth(B(doAND, T(), T(), N(bftLogical), T())), Truth::Null);
    EXPECT_EQ(EvalTruth(B(doAND, T(), N(bftLogical), F())), Truth::False);
    EXPECT_EQ(EvalTruth(B(doOR, F(), N(bftLogical), T())), Truth::True);
    EXPECT_EQ(EvalTruth(B(doAND)), Truth::True);
    EXPECT_EQ(EvalTruth(B(doOR)), Truth::False);
}

TEST_F(SqlExpression, InListIsThreeValuedAndIgnoresCase) {
    EXPECT_EQ(EvalTruth(B(doIN, I(1), I(1), I(2))), Truth::True);
    EXPECT_EQ(EvalTruth(B(doIN, I(3), I(1), I(2))), Truth::False);
    EXPECT_EQ(EvalTruth(B(doIN, N(), I(1))), Truth::Null);
    EXPECT_EQ(EvalTruth(B(doIN, I(1), N(), I(1))), Truth::True);
    // A null in the list never equals, so without a match the answer is unknown.
    EXPECT_EQ(EvalTruth(B(doIN, I(3), I(1), N())), Truth::Null);
    EXPECT_EQ(EvalTruth(B(doNOTIN, I(3), I(1), I(2))), Truth::True);
    EXPECT_EQ(EvalTruth(B(doNOTIN, I(1), I(1), I(2))), Truth::False);
    EXPECT_EQ(EvalTruth(B(doNOTIN, I(3), I(1), N())), Truth::Null);
    EXPECT_EQ(EvalTruth(B(doNOTIN, N(), I(1))), Truth::Null);
    EXPECT_EQ(EvalTruth(B(doIN, S("abc"), S("ABC"))), Truth::True);
    EXPECT_EQ(EvalTruth(B(doIN, S("abc"), S("ab"), S("abcd"))), Truth::False);
}

TEST_F(SqlExpression, BetweenIsThreeValuedAndIgnoresCase) {
    EXPECT_EQ(EvalTruth(B(doBETWEEN, I(2), I(1), I(3))), Truth::True);
    EXPECT_EQ(EvalTruth(B(doBETWEEN, I(1), I(1), I(3))), Truth::True);
    EXPECT_EQ(EvalTruth(B(doBETWEEN, I(3), I(1), I(3))), Truth::True);
    EXPECT_EQ(EvalTruth(B(doBETWEEN, I(4), I(1), I(3))), Truth::False);
    EXPECT_EQ(EvalTruth(B(doBETWEEN, N(), I(1), I(3))), Truth::Null);
    EXPECT_EQ(EvalTruth(B(doBETWEEN, I(2), N(), I(3))), Truth::Null);
    EXPECT_EQ(EvalTruth(B(doBETWEEN, I(2), I(1), N())), Truth::Null);
    EXPECT_EQ(EvalTruth(B(doNOTBETWEEN, I(4), I(1), I(3))), Truth::True);
    EXPECT_EQ(EvalTruth(B(doNOTBETWEEN, I(2), I(1), I(3))), Truth::False);
    EXPECT_EQ(EvalTruth(B(doNOTBETWEEN, I(2), I(1), N())), Truth::Null);
    EXPECT_EQ(EvalTruth(B(doBETWEEN, S("b"), S("A"), S("C"))), Truth::True);
}

TEST_F(SqlExpression, LikeMatchesPatternsAndIsThreeValued) {
    EXPECT_EQ(EvalTruth(B(doLIKE, S("abc"), S("a%"))), Truth::True);
    EXPECT_EQ(EvalTruth(B(doLIKE, S("abc"), S("_b_"))), Truth::True);
    EXPECT_EQ(EvalTruth(B(doLIKE, S("abc"), S("%"))), Truth::True);
    EXPECT_EQ(EvalTruth(B(doLIKE, S("abc"), S("abc%"))), Truth::True);
    EXPECT_EQ(EvalTruth(B(doLIKE, S("abc"), S("ab"))), Truth::False);
    EXPECT_EQ(EvalTruth(B(doLIKE, S("abc"), S("A%"))), Truth::False);
    EXPECT_EQ(EvalTruth(B(doLIKE, S("Straße"), S("Stra_e"))), Truth::True);
    EXPECT_EQ(EvalTruth(B(doLIKE, N(bftVarchar), S("%"))), Truth::Null);
    EXPECT_EQ(EvalTruth(B(doLIKE, S("abc"), N(bftVarchar))), Truth::Null);
    EXPECT_EQ(EvalTruth(B(doNOTLIKE, S("abc"), S("ab"))), Truth::True);
    EXPECT_EQ(EvalTruth(B(doNOTLIKE, S("abc"), S("a%"))), Truth::False);
    EXPECT_EQ(EvalTruth(B(doNOTLIKE, N(bftVarchar), S("a%"))), Truth::Null);
    {
        auto like = std::make_unique<TSQLMemExprNodeBoolean>(doLIKE, Make(S("ABC"), S("a%")));
        like->SetIgnoreCase(true);
        EXPECT_EQ(EvalTruth(std::move(like)), Truth::True);
    }
    {
        auto like = std::make_unique<TSQLMemExprNodeBoolean>(doLIKE, Make(S("a%c"), S("a!%c")));
        like->SetEscape(U'!');
        EXPECT_EQ(EvalTruth(std::move(like)), Truth::True);
    }
    EXPECT_EQ(EvalTruth(B(doLIKE, C(TSQLMemVariant::FromWideText(u"Grüße")), S("Gr%e"))),
              Truth::True);
    try {
        Eval(B(doLIKE, I(12), S("1%")));
        FAIL() << "LIKE over a number";
    } catch (const ESQLMemException& e) {
        EXPECT_EQ(e.Code(), 30120);
        EXPECT_EQ(e.BareMessage(), "Not string argument in function 'LIKE'");
    }
}

TEST_F(SqlExpression, ComparisonsAndNullTests) {
    AddRow(std::nullopt, "x");
    UseRow(0);
    // A comparison with a null is unknown for every operator, so NOT of it is unknown too.
    for (const TSQLMemDataOperator op : {doEQ, doNE, doLT, doLE, doGT, doGE}) {
        EXPECT_EQ(EvalTruth(Cmp(op, Fld("N"), I(1))), Truth::Null) << static_cast<int>(op);
        EXPECT_EQ(EvalTruth(Cmp(op, I(1), Fld("N"))), Truth::Null) << static_cast<int>(op);
        EXPECT_EQ(EvalTruth(Cmp(op, Fld("N"), Fld("N"))), Truth::Null) << static_cast<int>(op);
    }
    EXPECT_EQ(EvalTruth(B(doNOT, Cmp(doEQ, Fld("N"), I(1)))), Truth::Null);
    EXPECT_EQ(EvalTruth(B(doISNULL, Fld("N"))), Truth::True);
    EXPECT_EQ(EvalTruth(B(doISNOTNULL, Fld("N"))), Truth::False);
    EXPECT_EQ(EvalTruth(B(doISNULL, Fld("Name"))), Truth::False);
    // Null-aware off: a null is lower than every value and equal to a null.
    EXPECT_EQ(EvalTruth(Cmp(doEQ, Fld("N"), N(), false, false, false)), Truth::True);
    EXPECT_EQ(EvalTruth(Cmp(doLT, Fld("N"), I(-100), false, false, false)), Truth::True);
    EXPECT_EQ(EvalTruth(Cmp(doEQ, S("abc"), S("ABC"))), Truth::False);
    EXPECT_EQ(EvalTruth(Cmp(doEQ, S("abc"), S("ABC"), true)), Truth::True);
    EXPECT_EQ(EvalTruth(Cmp(doEQ, S("Smith"), S("Sm"), false, true)), Truth::True);
    EXPECT_EQ(EvalTruth(Cmp(doEQ, S("Smith"), S("Sm"))), Truth::False);
    EXPECT_EQ(EvalTruth(Cmp(doGE, I(2), I(2))), Truth::True);
    EXPECT_EQ(EvalTruth(Cmp(doLE, I(3), I(2))), Truth::False);
    EXPECT_EQ(EvalTruth(Cmp(doGT, C(TSQLMemVariant::FromFloat(2.5)), I(2))), Truth::True);
    EXPECT_EQ(EvalTruth(B(doTRUE)), Truth::True);
    EXPECT_EQ(EvalTruth(B(doFALSE)), Truth::False);
}

// --- Arithmetic and concatenation ---

TEST_F(SqlExpression, ArithmeticFollowsTheAddingRule) {
    AddRow(std::nullopt, std::nullopt);
    UseRow(0);
    EXPECT_EQ(Eval(A(doADD, I(1), A(doSUB, I(2)), A(doSUB, I(3)))).AsInteger(), -4);
    EXPECT_EQ(Eval(A(doADD, A(doMUL, I(2), I(3)), I(1))).AsInteger(), 7);
    // A null on either side gives null, in whichever order the operands stand.
    EXPECT_TRUE(Eval(A(doADD, Fld("N"), I(1))).IsNull());
    EXPECT_TRUE(Eval(A(doADD, I(1), Fld("N"))).IsNull());
    EXPECT_TRUE(Eval(A(doADD, I(1), Fld("N"), I(2))).IsNull());
    EXPECT_TRUE(Eval(Fn(doCONCAT, Fld("Name"), S("a"))).IsNull());
    EXPECT_TRUE(Eval(Fn(doCONCAT, S("a"), Fld("Name"))).IsNull());
    EXPECT_EQ(Eval(Fn(doCONCAT, S("a"), S("b"))).AsText(), "ab");
    EXPECT_EQ(Eval(A(doADD, S("a"), S("b"))).AsText(), "ab");
    EXPECT_EQ(Eval(Fn(doCONCAT, S("n"), I(5))).AsText(), "n5");
    EXPECT_EQ(Eval(A(doDIV, I(7), I(2))).AsInteger(), 3);
    EXPECT_DOUBLE_EQ(Eval(A(doDIV, C(TSQLMemVariant::FromFloat(7)), I(2))).AsFloat(), 3.5);
    EXPECT_TRUE(Eval(A(doMUL, I(2), N())).IsNull());
    EXPECT_TRUE(Eval(A(doSUB, N(bftSignedInt64))).IsNull());
}

// --- Functions ---

TEST_F(SqlExpression, StringFunctionsCountCharactersAndHandleNulls) {
    EXPECT_EQ(Eval(Fn(doUPPER, S("straße"))).AsText(), "STRASSE");
    EXPECT_EQ(Eval(Fn(doLOWER, S("ΟΔΟΣ"))).AsText(), "οδος");
    EXPECT_EQ(Eval(Fn(doUPPER, I(12))).AsText(), "12");
    EXPECT_EQ(Eval(Fn(doLENGTH, S("Grüße"))).AsInteger(), 5);
    EXPECT_EQ(Eval(Fn(doLENGTH, N(bftVarchar))).AsInteger(), 0);
    EXPECT_EQ(Eval(Fn(doSUBSTRING, S("Привет"), I(2), I(3))).AsText(), "рив");
    EXPECT_EQ(Eval(Fn(doSUBSTRING, S("abcdef"), I(3))).AsText(), "cdef");
    EXPECT_EQ(Eval(Fn(doSUBSTRING, S("abcdef"), I(0), I(2))).AsText(), "ab");
    EXPECT_EQ(Eval(Fn(doSUBSTRING, S("abc"), I(9))).AsText(), "");
    EXPECT_TRUE(Eval(Fn(doSUBSTRING, N(bftVarchar), I(1))).IsNull());
    EXPECT_EQ(Eval(Fn(doPOS, S("c"), S("abcd"))).AsInteger(), 3);
    EXPECT_EQ(Eval(Fn(doPOS, S("ü"), S("Grüße"))).AsInteger(), 3);
    EXPECT_EQ(Eval(Fn(doPOS, S("x"), N(bftVarchar))).AsInteger(), 0);
    EXPECT_EQ(Eval(Fn(doPOS, N(bftVarchar), S("x"))).AsInteger(), 0);
    EXPECT_EQ(Eval(Fn(doTRIM, S(" \t a b \n"))).AsText(), "a b");
    EXPECT_EQ(Eval(Fn(doLTRIM, S("  a "))).AsText(), "a ");
    EXPECT_EQ(Eval(Fn(doRTRIM, S("  a "))).AsText(), "  a");
    for (TSQLMemDataOperator op : {doUPPER, doLOWER, doTRIM, doLTRIM, doRTRIM}) {
        EXPECT_TRUE(Eval(Fn(op, N(bftVarchar))).IsNull()) << OperatorMessageName(op);
    }
    const TSQLMemVariant wide = Eval(Fn(doUPPER, C(TSQLMemVariant::FromWideText(u"grüße"))));
    EXPECT_EQ(wide.BaseType(), bftWideVarchar);
    EXPECT_EQ(wide.AsWideText(), u"GRÜSSE");
    EXPECT_EQ(Eval(Fn(doLENGTH, C(TSQLMemVariant::FromWideText(u"абв")))).AsInteger(), 3);
}

TEST_F(SqlExpression, AggregatesOverValuesWithNulls) {
    AddRow(1);
    AddRow(2);
    AddRow(std::nullopt);
    const TSQLMemVariant avg = Aggregate(Agg(doAVG, Fld("N")));
    EXPECT_EQ(avg.BaseType(), bftDouble);
    EXPECT_DOUBLE_EQ(avg.AsFloat(), 1.5);
    EXPECT_EQ(Aggregate(Agg(doCOUNT, Fld("N"))).AsInteger(), 2);
    EXPECT_EQ(Aggregate(std::make_unique<TSQLMemExprNodeAggregated>(doCOUNTALL)).AsInteger(), 3);
    EXPECT_EQ(Aggregate(Agg(doSUM, Fld("N"))).AsInteger(), 3);
    EXPECT_EQ(Aggregate(Agg(doSUM, Fld("N"))).BaseType(), bftSignedInt64);
    // Every aggregate can be part of a larger value.
    EXPECT_EQ(Aggregate(A(doADD, Agg(doSUM, Fld("N")), I(10))).AsInteger(), 13);

    rows_.clear();
    AddRow(std::nullopt);
    AddRow(std::nullopt);
    EXPECT_TRUE(Aggregate(Agg(doSUM, Fld("N"))).IsNull());
    EXPECT_TRUE(Aggregate(Agg(doAVG, Fld("N"))).IsNull());
    EXPECT_EQ(Aggregate(Agg(doCOUNT, Fld("N"))).AsInteger(), 0);

    rows_.clear();
    AddRow(1);
    AddRow(1);
    AddRow(2);
    EXPECT_EQ(Aggregate(Agg(doCOUNT, Fld("N"), true)).AsInteger(), 2);
    EXPECT_EQ(Aggregate(Agg(doSUM, Fld("N"), true)).AsInteger(), 3);
    EXPECT_DOUBLE_EQ(Aggregate(Agg(doAVG, Fld("N"), true)).AsFloat(), 1.5);
    EXPECT_EQ(Aggregate(Agg(doCOUNT, Fld("N"))).AsInteger(), 3);
}

TEST_F(SqlExpression, MinAndMaxSkipNullsWhereverTheyStand) {
    AddRow(std::nullopt, std::nullopt);
    AddRow(5, "beta");
    AddRow(std::nullopt, "Alpha");
    AddRow(3, "Gamma");
    EXPECT_EQ(Aggregate(Agg(doMIN, Fld("N"))).AsInteger(), 3);
    EXPECT_EQ(Aggregate(Agg(doMAX, Fld("N"))).AsInteger(), 5);
    EXPECT_EQ(Aggregate(Agg(doMIN, Fld("Name"))).AsText(), "Alpha");
    EXPECT_EQ(Aggregate(Agg(doMAX, Fld("Name"))).AsText(), "Gamma");
    rows_.clear();
    AddRow(std::nullopt);
    EXPECT_TRUE(Aggregate(Agg(doMIN, Fld("N"))).IsNull());
}

TEST_F(SqlExpression, AggregateErrors) {
    AddRow(1, "a");
    for (auto [op, code] : {std::pair{doSUM, 30132}, std::pair{doAVG, 30133}}) {
        try {
            Aggregate(Agg(op, Fld("Name")));
            FAIL() << "text summed";
        } catch (const ESQLMemException& e) {
            EXPECT_EQ(e.Code(), code);
            EXPECT_EQ(e.BareMessage(), "Not numeric argument in numeric operator '" +
                                           std::string(OperatorMessageName(op)) + "'");
        }
    }
    try {
        Aggregate(std::make_unique<TSQLMemExprNodeAggregated>(doSUM));
        FAIL() << "an aggregate without argument";
    } catch (const ESQLMemException& e) {
        EXPECT_EQ(e.Code(), 11338);
        EXPECT_EQ(e.BareMessage(), "Error - no children in expression node");
    }
    TSQLMemExpression count(std::make_unique<TSQLMemExprNodeAggregated>(doCOUNTALL));
    EXPECT_TRUE(count.IsAggregated());
    EXPECT_TRUE(count.IsCountAll());
    TSQLMemExpression sum(A(doADD, Agg(doSUM, I(1)), I(1)));
    EXPECT_TRUE(sum.IsAggregated());
    EXPECT_FALSE(sum.IsCountAll());
}

TEST_F(SqlExpression, DateFunctionsFormatReadAndUseTheClock) {
    const platform::TDateTime march5 = platform::EncodeDate(2024, 3, 5);
    auto tostring = std::make_unique<TSQLMemExprNodeDateFunction>(
        doTOSTRING, C(TSQLMemVariant::FromDate(march5)), "YYYY-MM-DD");
    EXPECT_EQ(Eval(std::move(tostring)).AsText(), "2024-03-05");

    const TSQLMemVariant date =
        Eval(std::make_unique<TSQLMemExprNodeDateFunction>(doTODATE, S("05.03.24"), "DD.MM.YY"));
    EXPECT_EQ(date.BaseType(), bftDate);
    EXPECT_DOUBLE_EQ(date.AsDateTime(), march5);
    const TSQLMemVariant time =
        Eval(std::make_unique<TSQLMemExprNodeDateFunction>(doTODATE, S("13:45"), "HH24:NN"));
    EXPECT_EQ(time.BaseType(), bftTime);
    EXPECT_NEAR(time.AsDateTime(), platform::EncodeTime(13, 45, 0, 0), 1e-9);
    EXPECT_TRUE(Eval(std::make_unique<TSQLMemExprNodeDateFunction>(doTODATE, N(bftVarchar), "DD"))
                    .IsNull());
    EXPECT_TRUE(
        Eval(std::make_unique<TSQLMemExprNodeDateFunction>(doTOSTRING, N(bftDateTime), "DD"))
            .IsNull());

    const platform::TDateTime now = platform::EncodeDateTime(2026, 12, 9, 22, 15, 30);
    platform::ScopedClockPin pin(now);
    const TSQLMemVariant sysdate = Eval(std::make_unique<TSQLMemExprNodeDateFunction>(doSYSDATE));
    EXPECT_EQ(sysdate.BaseType(), bftDateTime);
    EXPECT_NEAR(sysdate.AsDateTime(), now, 1e-8);
    EXPECT_DOUBLE_EQ(
        Eval(std::make_unique<TSQLMemExprNodeDateFunction>(doCURRENT_DATE)).AsDateTime(),
        platform::EncodeDate(2026, 12, 9));
    EXPECT_NEAR(Eval(std::make_unique<TSQLMemExprNodeDateFunction>(doCURRENT_TIME)).AsDateTime(),
                platform::EncodeTime(22, 15, 30, 0), 1e-8);
}

TEST_F(SqlExpression, CastsAndBlobs) {
    const TSQLMemVariant integer = Eval(std::make_unique<TSQLMemExprNodeCast>(aftInteger, S("12")));
    EXPECT_EQ(integer.BaseType(), bftSignedInt32);
    EXPECT_EQ(integer.AsInteger(), 12);
    EXPECT_EQ(Eval(std::make_unique<TSQLMemExprNodeCast>(aftString, S("abcdef"), 3)).AsText(),
              "abc");
    EXPECT_TRUE(Eval(std::make_unique<TSQLMemExprNodeCast>(aftInteger, N())).IsNull());
    try {
        Eval(std::make_unique<TSQLMemExprNodeCast>(aftDate, T()));
        FAIL() << "logical to date";
    } catch (const ESQLMemException& e) {
        EXPECT_EQ(e.Code(), 30077);
    }
    const TSQLMemVariant blob =
        Eval(std::make_unique<TSQLMemExprNodeBLOBFunction>(std::string("\x01\x02", 2)));
    EXPECT_EQ(blob.BaseType(), bftBlob);
    EXPECT_EQ(blob.AsBytes(), std::string("\x01\x02", 2));
}

TEST(SqlExpressionSystem, LastAutoincReadsTheConnectionsLastValue) {
    TSQLMemEngine::Instance().Reset();
    {
        auto cursor = testing::OpenCursor(testing::BouquetDefinition("Bq"));
        std::vector<std::byte> row = testing::Buffer(*cursor);
        cursor->InitNewRecord(row.data());
        SetText(cursor->FieldDefs(), 1, "one", row.data());
        ASSERT_TRUE(cursor->InsertRecord(row.data()).Ok());
        cursor->InitNewRecord(row.data());
        SetText(cursor->FieldDefs(), 1, "two", row.data());
        ASSERT_TRUE(cursor->InsertRecord(row.data()).Ok());

        TSQLMemExpression expression(
            std::make_unique<TSQLMemExprNodeSystem>(doLASTAUTOINC, "bq", "ID"));
        EXPECT_EQ(expression.GetDataType(), aftLargeint);
        try {
            expression.GetValue();
            FAIL() << "no connection";
        } catch (const ESQLMemException& e) {
            EXPECT_EQ(e.Code(), 11505);
        }
        TSQLMemExprContext context;
        context.Session = TSQLMemEngine::Instance().Session("").FindDatabase("MEMORY")->Handle();
        ASSERT_NE(context.Session, nullptr);
        expression.SetContext(context);
        EXPECT_EQ(expression.GetValue().AsInteger(), 2);
        EXPECT_EQ(expression.ToString(), "LASTAUTOINC(MEMORY bq, ID)");
    }
    TSQLMemEngine::Instance().Reset();
}

// --- Subqueries ---

// The rows of a subquery's first column, as a query would give them.
class FakeRunner : public TSQLMemSubQueryRunner {
  public:
    FakeRunner(std::vector<TSQLMemVariant> values, int* executions)
        : values_(std::move(values)), executions_(executions) {}
    void Execute() override { ++*executions_; }
    int64_t RecordCount() override { return static_cast<int64_t>(values_.size()); }
    TSQLMemVariant FirstValue() override { return values_.front(); }
    bool Locate(const TSQLMemVariant& value) override {
        for (const TSQLMemVariant& each : values_) {
            if (!each.IsNull() && each.Compare(value) == cmprEqual) {
                return true;
            }
        }
        return false;
    }
    bool HasNullInFirstField() override {
        for (const TSQLMemVariant& each : values_) {
            if (each.IsNull()) {
                return true;
            }
        }
        return false;
    }

  private:
    std::vector<TSQLMemVariant> values_;
    int* executions_;
};

class SqlSubQuery : public SqlExpression {
  protected:
    // An expression whose subqueries run over `values`.
    std::unique_ptr<TSQLMemExpression> With(Node root, std::vector<TSQLMemVariant> values) {
        auto expression = std::make_unique<TSQLMemExpression>(std::move(root));
        TSQLMemExprContext context;
        context.SubQueries = [this, values](const std::string& text) {
            texts_.push_back(text);
            return std::make_unique<FakeRunner>(values, &executions_);
        };
        expression->SetContext(std::move(context));
        expression->Bind(source_);
        return expression;
    }
    std::vector<TSQLMemVariant> Ints(std::vector<std::optional<int64_t>> values) {
        std::vector<TSQLMemVariant> out;
        for (auto value : values) {
            out.push_back(value ? TSQLMemVariant::FromInteger(*value)
                                : TSQLMemVariant::Null(bftSignedInt64));
        }
        return out;
    }
    Node In(Node value, bool negated = false) {
        return std::make_unique<TSQLMemExprNodeSubQueryIN>("SELECT a FROM t", std::move(value),
                                                           negated);
    }

    int executions_ = 0;
    std::vector<std::string> texts_;
};

TEST_F(SqlSubQuery, ScalarRunsOnceAndNeedsExactlyOneRow) {
    auto one =
        With(A(doADD, std::make_unique<TSQLMemExprNodeSubQuery>("SELECT 41"), I(1)), Ints({41}));
    EXPECT_EQ(one->GetValue().AsInteger(), 42);
    EXPECT_EQ(one->GetValue().AsInteger(), 42);
    EXPECT_EQ(executions_, 1);
    ASSERT_EQ(texts_.size(), 1u);
    EXPECT_EQ(texts_[0], "SELECT 41");

    for (auto [rows, code, text] :
         {std::tuple{Ints({1, 2}), 10849, "Subquery returns multiple rows"},
          std::tuple{Ints({}), 10848, "Subquery returns no rows"}}) {
        auto expression = With(std::make_unique<TSQLMemExprNodeSubQuery>("SELECT a"), rows);
        try {
            expression->GetValue();
            FAIL() << text;
        } catch (const ESQLMemException& e) {
            EXPECT_EQ(e.Code(), code);
            EXPECT_EQ(e.BareMessage(), text);
        }
    }
    TSQLMemExpression alone(std::make_unique<TSQLMemExprNodeSubQuery>("SELECT a"));
    try {
        alone.GetValue();
        FAIL() << "no query component";
    } catch (const ESQLMemException& e) {
        EXPECT_EQ(e.Code(), 10847);
    }
}

TEST_F(SqlSubQuery, InAndExistsAreThreeValued) {
    EXPECT_EQ(TruthOf(With(In(I(2)), Ints({1, 2}))->GetValue()), Truth::True);
    EXPECT_EQ(TruthOf(With(In(I(3)), Ints({1, 2}))->GetValue()), Truth::False);
    EXPECT_EQ(TruthOf(With(In(I(3), true), Ints({1, 2}))->GetValue()), Truth::True);
    EXPECT_EQ(TruthOf(With(In(I(2), true), Ints({1, 2}))->GetValue()), Truth::False);
    // A null among the subquery's values never equals the tested value, but it might:
    // neither IN nor NOT IN can be true then.
    EXPECT_EQ(TruthOf(With(In(I(3)), Ints({1, std::nullopt}))->GetValue()), Truth::Null);
    EXPECT_EQ(TruthOf(With(In(I(3), true), Ints({1, std::nullopt}))->GetValue()), Truth::Null);
    EXPECT_EQ(TruthOf(With(In(I(1)), Ints({1, std::nullopt}))->GetValue()), Truth::True);
    EXPECT_EQ(TruthOf(With(In(N()), Ints({1}))->GetValue()), Truth::Null);
    EXPECT_FALSE(With(In(I(3), true), Ints({1, std::nullopt}))->GetResult());

    auto exists = std::make_unique<TSQLMemExprNodeSubQueryExists>("SELECT 1");
    EXPECT_TRUE(With(std::move(exists), Ints({7}))->GetResult());
    auto empty = std::make_unique<TSQLMemExprNodeSubQueryExists>("SELECT 1");
    EXPECT_FALSE(With(std::move(empty), Ints({}))->GetResult());
    auto not_exists = std::make_unique<TSQLMemExprNodeSubQueryExists>("SELECT 1", true);
    EXPECT_TRUE(With(std::move(not_exists), Ints({}))->GetResult());

    // The IN subquery runs once for many tested values.
    executions_ = 0;
    AddRow(1);
    AddRow(5);
    auto expression = With(In(Fld("N")), Ints({1, 2}));
    UseRow(0);
    EXPECT_TRUE(expression->GetResult());
    UseRow(1);
    EXPECT_FALSE(expression->GetResult());
    EXPECT_EQ(executions_, 1);
}

// --- Types, printing, errors ---

TEST_F(SqlExpression, ResultTypes) {
    auto type_of = [this](Node root) {
        TSQLMemExpression expression(std::move(root));
        expression.Bind(source_);
        return expression.GetDataType();
    };
    EXPECT_EQ(type_of(Fld("Name")), aftString);
    EXPECT_EQ(type_of(A(doADD, Fld("N"), C(TSQLMemVariant::FromFloat(1.5)))), aftDouble);
    EXPECT_EQ(type_of(A(doADD, Fld("N"), I(1))), aftLargeint);
    EXPECT_EQ(type_of(A(doADD, Fld("D"), I(1))), aftDateTime);
    EXPECT_EQ(type_of(Cmp(doEQ, Fld("N"), I(1))), aftBoolean);
    EXPECT_EQ(type_of(Fn(doCONCAT, Fld("Name"), Fld("W"))), aftWideString);
    EXPECT_EQ(type_of(Fn(doLENGTH, Fld("Name"))), aftInteger);
    EXPECT_EQ(type_of(Agg(doSUM, Fld("N"))), aftLargeint);
    EXPECT_EQ(type_of(Agg(doSUM, Fld("X"))), aftDouble);
    EXPECT_EQ(type_of(Agg(doAVG, Fld("N"))), aftDouble);
    EXPECT_EQ(type_of(Agg(doMAX, Fld("Name"))), aftString);
    EXPECT_EQ(type_of(Agg(doCOUNT, Fld("Name"))), aftInteger);
    try {
        type_of(N());
        FAIL() << "type of NULL";
    } catch (const ESQLMemException& e) {
        EXPECT_EQ(e.Code(), 30283);
        EXPECT_EQ(e.BareMessage(), "Cannot determine expression type");
    }
    TSQLMemExpression field(Fld("Name"));
    std::string table;
    std::string name;
    EXPECT_TRUE(field.IsField());
    EXPECT_TRUE(field.GetFieldInfo(table, name));
    EXPECT_EQ(name, "Name");
    TSQLMemExpression constant(N());
    EXPECT_TRUE(constant.IsConst());
    EXPECT_FALSE(constant.GetFieldInfo(table, name));
    EXPECT_TRUE(TSQLMemExpression().IsEmpty());
}

TEST(SqlExpressionText, TreesPrintWithMessageNamesInParentheses) {
    const std::vector<std::pair<Node, std::string>> cases = [] {
        std::vector<std::pair<Node, std::string>> out;
        out.emplace_back(A(doADD, I(1), A(doSUB, I(2)), A(doSUB, I(3))), "(1 + (- 2) + (- 3))");
        out.emplace_back(B(doOR, Cmp(doEQ, Fld("a"), I(1)),
                           B(doAND, Cmp(doNE, Fld("b"), S("x'y")), B(doNOT, Fld("c")))),
                         "((a = 1) OR ((b <> 'x''y') AND (NOT c)))");
        out.emplace_back(B(doNOTIN, Fld("a"), I(1), N()), "(a NOT IN (1, NULL))");
        out.emplace_back(B(doBETWEEN, Fld("a"), I(1), I(2)), "(a BETWEEN 1 AND 2)");
        out.emplace_back(B(doNOTLIKE, Fld("a"), S("x%")), "(a NOT LIKE 'x%')");
        out.emplace_back(B(doISNOTNULL, Fld("a")), "(a IS NOT NULL)");
        out.emplace_back(Fn(doCONCAT, S("a"), Fn(doUPPER, Fld("b"))), "('a' || UPPER(b))");
        out.emplace_back(Fn(doSUBSTRING, Fld("s"), I(2), I(3)), "SUBSTRING(s, 2, 3)");
        out.emplace_back(Agg(doCOUNT, Fld("x"), true), "COUNT(DISTINCT x)");
        out.emplace_back(std::make_unique<TSQLMemExprNodeAggregated>(doCOUNTALL), "COUNT(*)");
        out.emplace_back(A(doDIV, A(doMUL, I(2), I(3)), C(TSQLMemVariant::FromFloat(1.5))),
                         "((2 * 3) / 1.5)");
        out.emplace_back(std::make_unique<TSQLMemExprNodeCast>(aftInteger, Fld("s")),
                         "CAST(s AS INTEGER)");
        out.emplace_back(std::make_unique<TSQLMemExprNodeField>("t", "f"), "t.f");
        out.emplace_back(std::make_unique<TSQLMemExprNodeDateFunction>(doTOSTRING, Fld("d"), "DD"),
                         "TOSTRING(d, 'DD')");
        return out;
    }();
    for (const auto& [node, text] : cases) {
        EXPECT_EQ(node->ToString(), text);
    }
}

TEST_F(SqlExpression, ErrorsLeaveTheTreeUsable) {
    AddRow(0);
    AddRow(4);
    TSQLMemExpression expression(A(doDIV, I(8), Fld("N")));
    expression.Bind(source_);
    const std::string before = expression.ToString();
    UseRow(0);
    try {
        expression.GetValue();
        FAIL() << "division by zero";
    } catch (const ESQLMemException& e) {
        EXPECT_EQ(e.Code(), 30080);
    }
    EXPECT_EQ(expression.ToString(), before);
    UseRow(1);
    EXPECT_EQ(expression.GetValue().AsInteger(), 2);

    try {
        Eval(std::make_unique<TSQLMemExprNodeBoolean>(doADD));
        FAIL() << "ADD in a boolean node";
    } catch (const ESQLMemException& e) {
        EXPECT_EQ(e.Code(), 30117);
        EXPECT_EQ(e.BareMessage(), "Unknown operator: '+'");
    }
    try {
        Eval(Cmp(doAND, I(1), I(1)));
        FAIL() << "AND in a comparison node";
    } catch (const ESQLMemException& e) {
        EXPECT_EQ(e.Code(), 30116);
        EXPECT_EQ(e.BareMessage(), "Unknown operator: 'AND'");
    }
    for (auto [op, code] : {std::pair{doAND, 30121}, std::pair{doEQ, 30130}}) {
        try {
            Eval(op == doAND ? A(op, I(1)) : Fn(op, I(1)));
            FAIL() << "foreign operator";
        } catch (const ESQLMemException& e) {
            EXPECT_EQ(e.Code(), code);
        }
    }

    // A field the source does not know is refused at binding and when read unbound.
    TSQLMemExpression unknown(Cmp(doEQ, Fld("Missing"), I(1)));
    try {
        unknown.Bind(source_);
        FAIL() << "unknown field bound";
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Field 'Missing' not found");
    }
    EXPECT_FALSE(unknown.IsBound());
    EXPECT_THROW(unknown.GetValue(), EDatabaseError);
    // A qualifier of another table does not bind either.
    TSQLMemExpression other(std::make_unique<TSQLMemExprNodeField>("U", "N"));
    EXPECT_THROW(other.Bind(source_), EDatabaseError);
    TSQLMemExpression same(std::make_unique<TSQLMemExprNodeField>("t", "N"));
    EXPECT_NO_THROW(same.Bind(source_));
}

TEST_F(SqlExpression, FieldsBindToTheSourceThatKnowsThem) {
    // Two row sources, as the two sides of a join: each binds the fields it knows.
    const TSQLMemFieldDefs other_fields({Def("K", aftInteger), Def("N", aftInteger)});
    TSQLMemRowBufferSource other(other_fields, "U");
    std::vector<std::byte> other_row(static_cast<size_t>(other_fields.DataSize()));
    SetAllNull(other_row.data(), other_fields.Count());
    SetInteger(other_fields, 0, 7, other_row.data());
    SetInteger(other_fields, 1, 100, other_row.data());
    other.SetRow(other_row.data());
    AddRow(7, "x");
    UseRow(0);

    TSQLMemExpression join(B(doAND,
                             Cmp(doEQ, Fld("K"), std::make_unique<TSQLMemExprNodeField>("T", "N")),
                             Cmp(doLT, std::make_unique<TSQLMemExprNodeField>("T", "N"),
                                 std::make_unique<TSQLMemExprNodeField>("U", "N"))));
    EXPECT_FALSE(join.Root()->CanBeAssigned(source_));
    EXPECT_FALSE(join.Root()->CanBeAssigned(other));
    EXPECT_TRUE(join.Root()->Child(1).Child(0).CanBeAssigned(source_));
    join.AssignFieldSource(source_);
    EXPECT_FALSE(join.IsBound());
    join.AssignFieldSource(other);
    EXPECT_TRUE(join.IsBound());
    EXPECT_TRUE(join.GetResult());
    SetInteger(other_fields, 0, 8, other_row.data());
    EXPECT_FALSE(join.GetResult());

    // Binding anew to row buffers replaces every earlier binding.
    TSQLMemExpression expression(Cmp(doEQ, Fld("N"), I(7)));
    expression.Bind(other);
    EXPECT_FALSE(expression.GetResult());
    expression.BindRow(fields_);
    EXPECT_TRUE(expression.IsRecordMatch(rows_[0].data()));
    expression.ClearBinding();
    EXPECT_FALSE(expression.IsBound());
    std::unique_ptr<TSQLMemExprNode> root = expression.ReleaseRoot();
    EXPECT_TRUE(expression.IsEmpty());
    EXPECT_EQ(root->ToString(), "(N = 7)");
}

// --- The condition search ---

// Nums: Id autoinc (unique), X = i % 50 or null every 7th row (index), Y = i % 37
// (descending index), Z = X without an index, Name 5 characters (index).
class SqlExpressionSearch : public ::testing::Test {
  protected:
    static constexpr int kRows = 700;

    void SetUp() override {
        TSQLMemEngine::Instance().Reset();
        TableDefinition def;
        def.name = "Nums";
        def.fields = {testing::Field("Id", ftAutoInc), testing::Field("X", ftInteger),
                      testing::Field("Y", ftInteger), testing::Field("Z", ftInteger),
                      testing::Field("Name", ftString, 5)};
        TableIndexSpec y = testing::Index("Y", "Y");
        y.descending = true;
        def.indexes = {testing::Index("Id", "Id", true, true), testing::Index("X", "X"), y,
                       testing::Index("Name", "Name")};
        cursor_ = testing::OpenCursor(def);
        std::vector<std::byte> row = testing::Buffer(*cursor_);
        for (int i = 0; i < kRows; ++i) {
            cursor_->InitNewRecord(row.data());
            if (i % 7 != 3) {
                SetInteger(Fields(), 1, i % 50, row.data());
                SetInteger(Fields(), 3, i % 50, row.data());
            }
            SetInteger(Fields(), 2, i % 37, row.data());
            SetText(Fields(), 4,
                    std::string(1, static_cast<char>('a' + i % 26)) + std::to_string(i % 7),
                    row.data());
            ASSERT_TRUE(cursor_->InsertRecord(row.data()).Ok());
        }
        table_ = TSQLMemEngine::Instance().FindDatabase("MEMORY")->FindTable("Nums");
    }
    void TearDown() override {
        cursor_.reset();
        TSQLMemEngine::Instance().Reset();
    }

    const TSQLMemFieldDefs& Fields() const { return cursor_->FieldDefs(); }

    // Every matching row in natural order, through the search; `rows_read` the rows tested.
    std::vector<int32_t> Marked(TSQLMemSearchExpression& expression, int64_t* rows_read = nullptr) {
        std::lock_guard lock(table_->Mutex());
        TSQLMemRecordBitmap bitmap;
        TSQLMemSearchView view;
        view.Connection = cursor_->ConnectionID();
        TSQLMemSearchRequest request;
        request.Mode = TSQLMemSearchMode::Bitmap;
        request.Bitmap = &bitmap;
        request.Expression = &expression;
        int64_t read = 0;
        request.RowsRead = &read;
        TSQLMemRecordID found;
        FindRecord(*table_, view, request, found);
        if (rows_read != nullptr) {
            *rows_read = read;
        }
        std::vector<int32_t> slots;
        for (int64_t i = 0; i < bitmap.Count(); ++i) {
            slots.push_back(bitmap.Item(i).PageNo);
        }
        std::sort(slots.begin(), slots.end());
        return slots;
    }

    // The same rows found by evaluating the whole expression on every row.
    std::vector<int32_t> Expected(TSQLMemExpression& expression) {
        std::vector<int32_t> slots;
        std::vector<std::byte> row = testing::Buffer(*cursor_);
        cursor_->SetIndexName("");
        cursor_->First();
        while (cursor_->GetRecord(grmNext, row.data()) == grrOK) {
            if (expression.IsRecordMatch(row.data())) {
                slots.push_back(GetRecordID(row.data(), cursor_->DataSize()).PageNo);
            }
        }
        std::sort(slots.begin(), slots.end());
        return slots;
    }

    std::unique_ptr<TSQLMemExpression> Bound(Node root) {
        auto expression = std::make_unique<TSQLMemExpression>(std::move(root));
        expression->BindRow(Fields(), "Nums");
        return expression;
    }

    std::unique_ptr<TSQLMemCursor> cursor_;
    TSQLMemTableData* table_ = nullptr;
};

TEST_F(SqlExpressionSearch, ExtractionTakesIndexableComparisonsAndPutsThemBack) {
    auto expression =
        Bound(B(doAND, Cmp(doEQ, Fld("X"), I(5)), B(doLIKE, Fld("Name"), S("a%")),
                Cmp(doLT, I(3), Fld("Y")), Cmp(doEQ, Fld("Z"), I(5)), Cmp(doNE, Fld("X"), I(6))));
    const std::string whole = expression->ToString();
    TSQLMemScanSearchConditionArray bounds;
    expression->ExtractIndexScanConditions(table_->IndexDefs(), Fields(), bounds);
    EXPECT_EQ(expression->TakenCount(), 2);
    ASSERT_EQ(bounds.Count(), 2);
    EXPECT_EQ(bounds.Bound(0).Condition, scEqual);
    EXPECT_EQ(bounds.Bound(0).IndexNo, 1);
    EXPECT_EQ(GetInteger(Fields(), 1, bounds.Bound(0).Key.data()).value_or(-1), 5);
    // `3 < Y` is `Y > 3`, on a descending column: lower in key order.
    EXPECT_EQ(bounds.Bound(1).Condition, scLower);
    EXPECT_EQ(bounds.Bound(1).IndexNo, 2);
    EXPECT_EQ(expression->ToString(), "((Name LIKE 'a%') AND (Z = 5) AND (X <> 6))");
    expression->ReturnConditionsToExpressions();
    EXPECT_EQ(expression->TakenCount(), 0);
    EXPECT_EQ(expression->ToString(), whole);

    // A root comparison leaves the expression empty for the search.
    auto root = Bound(Cmp(doGE, Fld("Id"), I(10)));
    TSQLMemScanSearchConditionArray root_bounds;
    root->ExtractIndexScanConditions(table_->IndexDefs(), Fields(), root_bounds);
    EXPECT_EQ(root_bounds.Count(), 1);
    EXPECT_EQ(root->Root(), nullptr);
    EXPECT_TRUE(root->IsRecordMatch(nullptr));
    root->ReturnConditionsToExpressions();
    EXPECT_EQ(root->ToString(), "(Id >= 10)");
}

TEST_F(SqlExpressionSearch, ComparisonsNoIndexCanServeStay) {
    const auto stays = [this](Node root) {
        auto expression = Bound(std::move(root));
        TSQLMemScanSearchConditionArray bounds;
        expression->ExtractIndexScanConditions(table_->IndexDefs(), Fields(), bounds);
        SCOPED_TRACE(expression->ToString());
        EXPECT_EQ(bounds.Count(), 0);
        EXPECT_EQ(expression->TakenCount(), 0);
    };
    stays(Cmp(doNE, Fld("X"), I(5)));
    stays(Cmp(doEQ, Fld("Z"), I(5)));
    stays(Cmp(doEQ, Fld("X"), N()));
    stays(Cmp(doEQ, Fld("X"), C(TSQLMemVariant::FromFloat(2.5))));  // the field would round it
    stays(Cmp(doEQ, Fld("Name"), S("a"), true));                    // the index keeps case
    stays(Cmp(doEQ, Fld("Name"), S("a"), false, true));             // partial
    stays(Cmp(doEQ, Fld("Name"), S("abcdefg")));                    // longer than the field
    stays(Cmp(doLT, Fld("X"), I(5), false, false, false));          // nulls lowest
    stays(Cmp(doEQ, Fld("X"), Fld("Y")));
    stays(B(doOR, Cmp(doEQ, Fld("X"), I(5)), Cmp(doEQ, Fld("X"), I(6))));
    stays(B(doNOT, Cmp(doEQ, Fld("X"), I(5))));
    stays(Cmp(doEQ, Fld("X"), S("five")));  // a type error shows when evaluated
}

TEST_F(SqlExpressionSearch, SearchesWithBoundsFindWhatAFullScanFinds) {
    {
        // An equality on an index reads only its rows.
        auto expression = Bound(Cmp(doEQ, Fld("X"), I(5)));
        int64_t read = 0;
        const std::vector<int32_t> found = Marked(*expression, &read);
        EXPECT_EQ(found, Expected(*expression));
        EXPECT_EQ(read, static_cast<int64_t>(found.size()));
        EXPECT_EQ(expression->ToString(), "(X = 5)");
    }
    {
        // Nulls sort below every key, yet `X < 3` never holds for a null X.
        auto expression = Bound(Cmp(doLT, Fld("X"), I(3)));
        const std::vector<int32_t> found = Marked(*expression);
        EXPECT_EQ(found, Expected(*expression));
        EXPECT_FALSE(found.empty());
    }
    {
        // `X = 5 AND X = 6` finds nothing without reading a row.
        auto expression = Bound(B(doAND, Cmp(doEQ, Fld("X"), I(5)), Cmp(doEQ, Fld("X"), I(6))));
        int64_t read = -1;
        EXPECT_TRUE(Marked(*expression, &read).empty());
        EXPECT_EQ(read, 0);
    }
    {
        auto expression = Bound(Cmp(doEQ, Fld("Name"), S("abcdef")));
        EXPECT_TRUE(expression->CannotMatch());
        int64_t read = -1;
        EXPECT_TRUE(Marked(*expression, &read).empty());
        EXPECT_EQ(read, 0);
        auto under_and =
            Bound(B(doAND, Cmp(doGT, Fld("X"), I(1)), Cmp(doEQ, S("abcdef"), Fld("Name"))));
        EXPECT_TRUE(under_and->CannotMatch());
        EXPECT_FALSE(Bound(Cmp(doEQ, Fld("Name"), S("abcdef"), true))->CannotMatch());
        EXPECT_FALSE(Bound(Cmp(doEQ, Fld("Name"), S("abcde")))->CannotMatch());
    }

    const char* fixed = std::getenv("TAPIR_TEST_SEED");
    const unsigned seed =
        fixed != nullptr ? static_cast<unsigned>(std::stoul(fixed)) : std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const std::vector<TSQLMemDataOperator> ops = {doEQ, doNE, doLT, doLE, doGT, doGE};
    for (int round = 0; round < 60; ++round) {
        auto random_comparison = [&]() {
            const int field = static_cast<int>(random() % 4);
            const TSQLMemDataOperator op = ops[random() % ops.size()];
            const int64_t value = static_cast<int64_t>(random() % 55);
            Node field_node =
                Fld(field == 0 ? "Id" : (field == 1 ? "X" : (field == 2 ? "Y" : "Z")));
            return random() % 2 == 0 ? Cmp(op, std::move(field_node), I(value))
                                     : Cmp(op, I(value), std::move(field_node));
        };
        Node root = random() % 3 == 0
                        ? random_comparison()
                        : B(doAND, random_comparison(), random_comparison(), random_comparison());
        auto expression = Bound(std::move(root));
        const std::string text = expression->ToString();
        SCOPED_TRACE(text);
        const std::vector<int32_t> expected = Expected(*expression);
        EXPECT_EQ(Marked(*expression), expected);
        EXPECT_EQ(expression->ToString(), text);
    }
}

TEST_F(SqlExpressionSearch, AFieldComparisonBoundLeavesNullsOut) {
    // The comparison search of plain field comparisons shares the bound building.
    TSQLMemFieldComparison term;
    term.FieldNo = 1;
    term.Operator = TSQLMemCompareOperator::LowerEqual;
    term.Value.assign(static_cast<size_t>(cursor_->KeyBufferSize()), std::byte{0});
    InitKeyBuffer(term.Value.data(), Fields().DataSize(), Fields().Count());
    SetInteger(Fields(), 1, 2, term.Value.data());
    TSQLMemComparisonExpression comparison(Fields(), {term});
    auto expression = Bound(Cmp(doLE, Fld("X"), I(2)));
    const std::vector<int32_t> found = Marked(comparison);
    EXPECT_EQ(found, Expected(*expression));
    // X = 0, 1, 2 on 14 rows each, less the 6 of them whose X is null.
    EXPECT_EQ(found.size(), 36u);
}

}  // namespace
}  // namespace tapir::engine
