// The expression parser: precedence and associativity (text → printed tree), both
// syntaxes of every function, where the parser leaves the lexer, and every parse error with
// its code and position.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/record/db_types.h"
#include "engine/sql/expr/expression_parser.h"
#include "engine/sql/expr/sqlmem_expression.h"
#include "engine/sql/lexer/sqlmem_lexer.h"
#include "engine/sql/lexer/sqlmem_sql_params.h"

namespace tapir::engine {
namespace {

// The printed tree of a condition that makes up the whole of `text`.
std::string Condition(const std::string& text, const TSQLMemSQLParams* params = nullptr) {
    TSQLMemLexer lexer(text, params);
    EXPECT_TRUE(lexer.GetNextCommand()) << text;
    TSQLMemExpression expression;
    ParseForBooleanExpression(expression, lexer);
    EXPECT_EQ(lexer.GetCurrentTokenNo(), lexer.TokenCount()) << "not all of: " << text;
    return expression.ToString();
}

// The printed tree of a value that makes up the whole of `text`.
std::string Value(const std::string& text) {
    TSQLMemLexer lexer(text, nullptr);
    EXPECT_TRUE(lexer.GetNextCommand()) << text;
    TSQLMemExpression expression;
    ParseForValueExpression(expression, lexer);
    EXPECT_EQ(lexer.GetCurrentTokenNo(), lexer.TokenCount()) << "not all of: " << text;
    return expression.ToString();
}

// Name varchar(10), Id integer.
TSQLMemFieldDefs NameAndId() {
    TSQLMemFieldDef name;
    name.Name = "Name";
    name.SetAdvancedType(aftString, 10);
    TSQLMemFieldDef id;
    id.Name = "Id";
    id.SetAdvancedType(aftInteger, 0);
    return TSQLMemFieldDefs({name, id});
}

struct Printed {
    const char* text;
    const char* tree;
};

TEST(SqlExpressionParse, PrecedenceAndAssociativity) {
    const Printed cases[] = {
        // OR holds the new term first; AND holds all its factors.
        {"a = 1 OR b = 2", "((b = 2) OR (a = 1))"},
        {"a = 1 OR b = 2 OR c = 3", "((c = 3) OR ((b = 2) OR (a = 1)))"},
        {"a = 1 AND b = 2 AND c = 3", "((a = 1) AND (b = 2) AND (c = 3))"},
        {"a = 1 AND b = 2 OR c = 3", "((c = 3) OR ((a = 1) AND (b = 2)))"},
        {"a = 1 OR b = 2 AND c = 3", "(((b = 2) AND (c = 3)) OR (a = 1))"},
        {"(a = 1 OR b = 2) AND c = 3", "(((b = 2) OR (a = 1)) AND (c = 3))"},
        // NOT binds tighter than AND, looser than the predicate.
        {"NOT a = 1 AND b = 2", "((NOT (a = 1)) AND (b = 2))"},
        {"NOT (a = 1 OR b = 2)", "(NOT ((b = 2) OR (a = 1)))"},
        {"NOT NOT a = 1", "(NOT (NOT (a = 1)))"},
        // IS TRUE keeps, IS FALSE / IS NOT TRUE negate, IS UNKNOWN tests for null.
        {"(a = 1) IS TRUE", "(a = 1)"},
        {"(a = 1) IS NOT FALSE", "(a = 1)"},
        {"(a = 1) IS FALSE", "(NOT (a = 1))"},
        {"(a = 1) IS NOT TRUE", "(NOT (a = 1))"},
        {"(a = 1) IS UNKNOWN", "((a = 1) IS NULL)"},
        {"(a = 1) IS NOT UNKNOWN", "((a = 1) IS NOT NULL)"},
        // One sum of signed terms; * and / nest to the left and bind tighter.
        {"1 - 2 - 3 = x", "((1 + (- 2) + (- 3)) = x)"},
        {"2 * 3 + 1 = x", "(((2 * 3) + 1) = x)"},
        {"1 + 2 * 3 = x", "((1 + (2 * 3)) = x)"},
        {"a / b / c = 1", "(((a / b) / c) = 1)"},
        {"a * b / c = 1", "(((a * b) / c) = 1)"},
        {"a - b * c = 1", "((a + ((- b) * c)) = 1)"},
        {"(a + b) * c = 1", "(((a + b) * c) = 1)"},
        {"-a < +b", "((- a) < b)"},
        {"((a + 1)) = 2", "((a + 1) = 2)"},
        // Texts: || and + between texts make one concatenation.
        {"'a' || 'b' = x", "(('a' || 'b') = x)"},
        {"'a' + 'b' = x", "(('a' || 'b') = x)"},
        {"n || 'a' || m = x", "((n || 'a' || m) = x)"},
        {"x = (a || 'b')", "(x = (a || 'b'))"},
        // Predicates.
        {"a <> 1", "(a <> 1)"},
        {"a <= 1.5", "(a <= 1.5)"},
        {"a >= -1", "(a >= (- 1))"},
        {"a LIKE 'x%'", "(a LIKE 'x%')"},
        {"a NOT LIKE 'x%'", "(a NOT LIKE 'x%')"},
        {"a IS NULL", "(a IS NULL)"},
        {"a IS NOT NULL", "(a IS NOT NULL)"},
        {"a BETWEEN 1 AND 2 AND b = 3", "((a BETWEEN 1 AND 2) AND (b = 3))"},
        {"a NOT BETWEEN 'A' AND 'C'", "(a NOT BETWEEN 'A' AND 'C')"},
        {"a IN (1, 2, 3)", "(a IN (1, 2, 3))"},
        {"a NOT IN ('x')", "(a NOT IN ('x'))"},
        {"TRUE", "TRUE"},
        {"FALSE OR a = 1", "((a = 1) OR FALSE)"},
        {"TRUE = a", "(TRUE = a)"},
        {"a = NULL", "(a = NULL)"},
        // Column references: qualified, bracketed (keywords need brackets), quoted
        // strings are texts.
        {"t.a = [Begin]", "(t.a = Begin)"},
        {"[t].[End] > \"x\"", "(t.End > 'x')"},
    };
    for (const Printed& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Condition(c.text), c.tree);
    }
}

TEST(SqlExpressionParse, FunctionsInEverySyntax) {
    const Printed cases[] = {
        {"UPPER(a)", "UPPER(a)"},
        {"LOWER('X')", "LOWER('X')"},
        {"TRIM(a)", "TRIM(a)"},
        {"LTRIM(a)", "LTRIM(a)"},
        {"RTRIM(a)", "RTRIM(a)"},
        {"LENGTH(a) + 1", "(LENGTH(a) + 1)"},
        {"SUBSTRING(s FROM 2 FOR 3)", "SUBSTRING(s, 2, 3)"},
        {"SUBSTRING(s, 2, 3)", "SUBSTRING(s, 2, 3)"},
        {"SUBSTRING(s FROM 2)", "SUBSTRING(s, 2)"},
        {"SUBSTRING(s, 1 + 1)", "SUBSTRING(s, (1 + 1))"},
        {"POSITION('x' IN s)", "POS('x', s)"},
        {"POS('x', s)", "POS('x', s)"},
        {"CAST(a AS INTEGER)", "CAST(a AS INTEGER)"},
        {"CAST(a AS VARCHAR(10))", "CAST(a AS STRING(10))"},
        {"CAST('1' AS LARGEINT) * 2", "(CAST('1' AS LARGEINT) * 2)"},
        {"TOSTRING(d, 'YYYY-MM-DD')", "TOSTRING(d, 'YYYY-MM-DD')"},
        {"TODATE('05.03.24', 'DD.MM.YY')", "TODATE('05.03.24', 'DD.MM.YY')"},
        {"SYSDATE - 1", "(SYSDATE + (- 1))"},
        {"CURRENT_DATE", "CURRENT_DATE"},
        {"CURRENT_TIME", "CURRENT_TIME"},
        {"TOBLOB('QUJD')", "TOBLOB(<3 bytes>)"},
        {"TOBLOB('QUJD', MIME64)", "TOBLOB(<3 bytes>)"},
        {"TOBLOB('41424344', HEX)", "TOBLOB(<4 bytes>)"},
        {"COUNT(*)", "COUNT(*)"},
        {"COUNT(DISTINCT a)", "COUNT(DISTINCT a)"},
        {"SUM(a * 2)", "SUM((a * 2))"},
        {"AVG(a)", "AVG(a)"},
        {"MIN(a) + MAX(a)", "(MIN(a) + MAX(a))"},
        {"LASTAUTOINC(MEMORY t, f)", "LASTAUTOINC(MEMORY t, f)"},
        {"UPPER(a) || LOWER(b)", "(UPPER(a) || LOWER(b))"},
        {"NULL", "NULL"},
        {"TRUE", "TRUE"},
    };
    for (const Printed& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Value(c.text), c.tree);
    }
}

TEST(SqlExpressionParse, TheBlobOfToBlobIsDecodedAtParseTime) {
    TSQLMemLexer lexer("TOBLOB('00ff41', HEX)", nullptr);
    ASSERT_TRUE(lexer.GetNextCommand());
    TSQLMemExpression expression;
    ParseForValueExpression(expression, lexer);
    EXPECT_EQ(expression.GetValue().AsBytes(), std::string("\x00\xff\x41", 3));
}

TEST(SqlExpressionParse, SubqueriesKeepTheirText) {
    TSQLMemLexer lexer(
        "a IN (SELECT b FROM t WHERE c = 'it''s' AND d IN (1, 2)) AND "
        "NOT EXISTS (SELECT * FROM [u v]) AND x = (SELECT MAX(y) FROM w)",
        nullptr);
    ASSERT_TRUE(lexer.GetNextCommand());
    TSQLMemExpression expression;
    ParseForBooleanExpression(expression, lexer);
    ASSERT_NE(expression.Root(), nullptr);
    std::vector<std::string> texts;
    expression.Root()->ForEachNode([&texts](const TSQLMemExprNode& node) {
        if (const auto* subquery = dynamic_cast<const TSQLMemExprNodeSubQuery*>(&node)) {
            texts.push_back(subquery->SqlText());
        }
    });
    const std::vector<std::string> expected = {
        "SELECT b FROM t WHERE c = 'it''s' AND d IN ( 1 , 2 )",
        "SELECT * FROM [u v]",
        "SELECT MAX ( y ) FROM w",
    };
    EXPECT_EQ(texts, expected);
    const auto& root = *expression.Root();
    ASSERT_EQ(root.ChildCount(), 3U);
    const auto* in = dynamic_cast<const TSQLMemExprNodeSubQueryIN*>(&root.Child(0));
    ASSERT_NE(in, nullptr);
    EXPECT_FALSE(in->Negated());
    const auto* exists = dynamic_cast<const TSQLMemExprNodeSubQueryExists*>(&root.Child(1));
    ASSERT_NE(exists, nullptr);
    EXPECT_TRUE(exists->Negated());
}

TEST(SqlExpressionParse, ParametersAreConstantsOfTheirType) {
    TSQLMemSQLParams params;
    params.Add("n", TSQLMemVariant::FromInteger(5));
    params.Add("s", TSQLMemVariant::FromText("ab"));
    params.Add("d", TSQLMemVariant::FromDate(45000));
    EXPECT_EQ(Condition("a = :n + 1", &params), "(a = (5 + 1))");
    // A text parameter is a text: + concatenates.
    EXPECT_EQ(Condition("a = :s + 'c'", &params), "(a = ('ab' || 'c'))");
    EXPECT_EQ(Condition("a > :d", &params), "(a > '2023-03-15')");
}

TEST(SqlExpressionParse, TheLexerIsLeftAfterTheExpression) {
    TSQLMemLexer lexer("a = 1 AND b < 2 ORDER BY a", nullptr);
    ASSERT_TRUE(lexer.GetNextCommand());
    TSQLMemExpression expression;
    ParseForBooleanExpression(expression, lexer);
    TToken token;
    ASSERT_TRUE(lexer.GetCurrentToken(token));
    EXPECT_TRUE(IsReservedWord(token, rwORDER));

    // A value stops where the value ends; nothing starts at FROM.
    TSQLMemLexer values("x + 1, y FROM t", nullptr);
    ASSERT_TRUE(values.GetNextCommand());
    ParseForValueExpression(expression, values);
    EXPECT_EQ(expression.ToString(), "(x + 1)");
    ASSERT_TRUE(values.GetCurrentToken(token));
    EXPECT_EQ(token.TokenType, tktComma);
    TSQLMemLexer nothing("FROM t", nullptr);
    ASSERT_TRUE(nothing.GetNextCommand());
    ParseForValueExpression(expression, nothing);
    EXPECT_TRUE(expression.IsEmpty());
}

TEST(SqlExpressionParse, EveryParseErrorWithCodeAndPosition) {
    struct Case {
        const char* text;
        int code;
        const char* message;
    };
    const Case cases[] = {
        {"a = 1 OR", 30118, "Unexpected end of SQL command found at line 1, column 7"},
        {"a = 1 OR 2", 30066, "Boolean expression expected, but '2' found at line 1, column 10"},
        {"a = 1 AND ,", 30068, "Boolean expression expected, but ',' found at line 1, column 11"},
        {"NOT 5", 30069, "Boolean expression expected, but '5' found at line 1, column 5"},
        {"a", 30070, "Boolean expression expected, but 'a' found at line 1, column 1"},
        {"(a = 1) IS b", 30067,
         "Token 'TRUE, FALSE or UNKNOWN' expected, but 'b' found at line 1, column 12"},
        {"a =", 30063, "Unexpected end of SQL command found at line 1, column 3"},
        {"a = ,", 30064, "Unexpected token ',' found at line 1, column 5"},
        {"a = (b c)", 30071, "Token ')' expected, but 'c' found at line 1, column 8"},
        {"a IN ()", 10850, "Error parsing subquery with IN - no argumnet passed"},
        {"a IN (1 2)", 30071, "Token ')' expected, but '2' found at line 1, column 9"},
        {"a BETWEEN 1 OR 2", 30074, "Token 'AND' expected, but 'OR' found at line 1, column 13"},
        {"a IN 1", 30074, "Token '(' expected, but '1' found at line 1, column 6"},
        {"COUNT() = 1", 30072, "Argument expected for function 'COUNT' at line 1, column 7"},
        {"UPPER() = 'A'", 30092,
         "String argument expected for function 'UPPER', but ')' found at line 1, column 7"},
        {"UPPER(a", 30059, "Missing symbol ')' at line 1, column 6"},  // the lexer's
        {"SUBSTRING(a 1) = 'b'", 30074,
         "Token 'FROM' expected, but '1' found at line 1, column 13"},
        {"POSITION('a', b) = 1", 30074, "Token 'IN' expected, but ',' found at line 1, column 13"},
        {"TOSTRING(d, 5) = 'x'", 30073,
         "Const DateFormat string expected, but '5' found at line 1, column 13"},
        {"TODATE('1', f) > d", 30073,
         "Const DateFormat string expected, but 'f' found at line 1, column 13"},
        {"TOBLOB(a) = b", 11346,
         "Const BLOB value as quoted string expected, but 'a' found at line 1, column 8"},
        {"TOBLOB('00', OCT) = b", 11347,
         "BLOB value format expected, but 'OCT' found at line 1, column 14"},
        {"TOBLOB('0g', HEX) = b", 11344, "Error - cannot convert BLOB value \"0g\", format = 1"},
        {"CAST(a AS NUMBERS) = 1", 30077,
         "Cannot convert an expression to specified type: 'NUMBERS'"},
        {"CAST(a INTEGER) = 1", 30074,
         "Token 'AS' expected, but 'INTEGER' found at line 1, column 8"},
        {"LASTAUTOINC(t) = 1", 30074, "Token ',' expected, but ')' found at line 1, column 14"},
        {"a LIKE 'x' ESCAPE 'ab'", 30074,
         "Token 'ESCAPE character' expected, but 'ab' found at line 1, column 19"},
        {"a = 1\n  AND\n  b =", 30063, "Unexpected end of SQL command found at line 3, column 5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            Condition(c.text);
            ADD_FAILURE() << "no error";
        } catch (const ESQLMemException& error) {
            EXPECT_EQ(error.Code(), c.code);
            EXPECT_EQ(error.BareMessage(), c.message);
        }
    }
}

TEST(SqlExpressionParse, NestingBeyondTheLimitIsAnErrorNotACrash) {
    const std::string deep = std::string(500, '(') + "a = 1" + std::string(500, ')');
    try {
        Condition(deep);
        ADD_FAILURE() << "no error";
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), kTooComplexCode);
    }
    // Nesting a parser must try twice stays within its budget or fails cleanly.
    std::string text = "'x'";
    for (int i = 0; i < 40; ++i) {
        text = "(" + text + " || 'y')";
    }
    try {
        EXPECT_NE(Value(text), "");
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), kTooComplexCode);
    }
    // Ordinary nesting parses.
    EXPECT_EQ(Condition("((((a = 1))))"), "(a = 1)");
}

TEST(SqlExpressionParse, FilterTextsFollowTheFilterRules) {
    const TSQLMemFieldDefs fields = NameAndId();
    TSQLMemExpression expression;
    ParseForFilter(expression, fields, "Name = 'Sm*' AND Id > 1", false, true);
    const auto& root = *expression.Root();
    const auto& star = dynamic_cast<const TSQLMemExprNodeComparison&>(root.Child(0));
    EXPECT_TRUE(star.Partial());
    EXPECT_FALSE(star.IgnoreCase());
    EXPECT_EQ(star.ToString(), "(Name = 'Sm')");
    const auto& plain = dynamic_cast<const TSQLMemExprNodeComparison&>(root.Child(1));
    EXPECT_FALSE(plain.Partial());

    // Without partial comparison the star stays; ignoring case reaches LIKE as well.
    ParseForFilter(expression, fields, "'Sm*' = Name OR Name LIKE 's%'", true, false);
    const auto& or_node = *expression.Root();
    const auto& like = dynamic_cast<const TSQLMemExprNodeBoolean&>(or_node.Child(0));
    EXPECT_TRUE(like.IgnoreCase());
    const auto& kept = dynamic_cast<const TSQLMemExprNodeComparison&>(or_node.Child(1));
    EXPECT_FALSE(kept.Partial());
    EXPECT_TRUE(kept.IgnoreCase());
    EXPECT_EQ(kept.ToString(), "('Sm*' = Name)");

    try {
        ParseForFilter(expression, fields, "", false, true);
        ADD_FAILURE() << "no error";
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), 30119);
        EXPECT_EQ(error.Message(), "Blank SQL command - Native error: 30119");
    }
    EXPECT_THROW(ParseForFilter(expression, fields, "Name = 'a'; Id = 1", false, true),
                 ESQLMemException);
    EXPECT_THROW(ParseForFilter(expression, fields, "Nope = 1", false, true), EDatabaseError);
}

TEST(SqlExpressionParse, LocateBuildsEqualitiesJoinedByAnd) {
    const TSQLMemFieldDefs fields = NameAndId();
    TSQLMemExpression expression;
    ParseForLocate(expression, fields, {"Name"}, true, true, {TSQLMemVariant::FromText("ab")});
    const auto& single = dynamic_cast<const TSQLMemExprNodeComparison&>(*expression.Root());
    EXPECT_EQ(single.ToString(), "(Name = 'ab')");
    EXPECT_TRUE(single.IgnoreCase());
    EXPECT_TRUE(single.Partial());
    EXPECT_FALSE(single.NullAware());

    ParseForLocate(expression, fields, {"Name", "Id"}, false, false,
                   {TSQLMemVariant::Null(bftVarchar), TSQLMemVariant::FromInteger(7)});
    EXPECT_EQ(expression.ToString(), "((Name = NULL) AND (Id = 7))");
    try {
        ParseForLocate(expression, fields, {"Name", "Id"}, false, false,
                       {TSQLMemVariant::FromText("x")});
        ADD_FAILURE() << "no error";
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), 30112);
        EXPECT_EQ(error.BareMessage(), "Count of FieldNames (2) not equal counts of KeyValues (1)");
    }
}

}  // namespace
}  // namespace tapir::engine
