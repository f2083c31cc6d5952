#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/pages/byte_stream.h"
#include "engine/record/db_types.h"
#include "engine/sql/lexer/reserved_words.h"
#include "engine/sql/lexer/sqlmem_lexer.h"
#include "engine/sql/lexer/sqlmem_sql_params.h"

namespace tapir::engine {
namespace {

using Command = std::vector<TToken>;

// Every command of a script, cut until the lexer says the script ends.
std::vector<Command> CutScript(const std::string& text, const TSQLMemSQLParams* params = nullptr) {
    TSQLMemLexer lexer(text, params);
    std::vector<Command> commands;
    while (lexer.GetNextCommand()) {
        commands.push_back(lexer.Tokens());
    }
    return commands;
}

Command CutOne(const std::string& text, const TSQLMemSQLParams* params = nullptr) {
    const std::vector<Command> commands = CutScript(text, params);
    EXPECT_EQ(commands.size(), 1u) << text;
    return commands.empty() ? Command() : commands.front();
}

struct Raised {
    int code = 0;
    std::string bare;
    std::string message;
};

// The error the script raises while it is cut; code 0 when it raises none.
Raised ErrorOf(const std::string& text, const TSQLMemSQLParams* params = nullptr) {
    try {
        CutScript(text, params);
    } catch (const ESQLMemException& error) {
        return {error.Code().value_or(-1), error.BareMessage(), error.Message()};
    }
    return {};
}

struct Expected {
    TTokenType type;
    std::string text;
};

void ExpectTokens(const Command& tokens, const std::vector<Expected>& expected) {
    ASSERT_EQ(tokens.size(), expected.size());
    for (size_t i = 0; i < tokens.size(); ++i) {
        SCOPED_TRACE("token " + std::to_string(i));
        EXPECT_EQ(ESQLMemTokenType[static_cast<size_t>(tokens[i].TokenType)],
                  ESQLMemTokenType[static_cast<size_t>(expected[i].type)]);
        EXPECT_EQ(tokens[i].Text, expected[i].text);
    }
}

// ---------------------------------------------------------------------------------------
// Reserved words

TEST(SQLReservedWords, ListHasItsFixedOrderAndTheTwoSpelledExceptions) {
    EXPECT_EQ(kReservedWordCount, 265u);
    EXPECT_EQ(static_cast<int>(rwABSOLUTE), 0);
    EXPECT_EQ(static_cast<int>(rwRENAME), 264);
    EXPECT_EQ(static_cast<int>(rwNone), 265);
    EXPECT_EQ(ReservedWordText(rwEND_EXEC), "END-EXEC");
    EXPECT_EQ(ReservedWordText(rwLAST_AUTOINC), "LASTAUTOINC");
    EXPECT_EQ(ReservedWordText(rwNone), "");
    // Spot checks across the list: the words' numbers are stored and compared.
    const struct {
        TReservedWord word;
        int number;
        const char* text;
    } spots[] = {{rwEND, 73, "END"},
                 {rwEND_EXEC, 74, "END-EXEC"},
                 {rwHEX, 98, "HEX"},
                 {rwMIME64, 131, "MIME64"},
                 {rwSELECT, 183, "SELECT"},
                 {rwTOP, 207, "TOP"},
                 {rwZONE, 234, "ZONE"},
                 {rwPASSWORD, 235, "PASSWORD"},
                 {rwLAST_AUTOINC, 239, "LASTAUTOINC"},
                 {rwTOSTRING, 252, "TOSTRING"},
                 {rwINITIALVALUE, 263, "INITIALVALUE"},
                 {rwRENAME, 264, "RENAME"}};
    for (const auto& spot : spots) {
        SCOPED_TRACE(spot.text);
        EXPECT_EQ(static_cast<int>(spot.word), spot.number);
        EXPECT_EQ(SQLMemSQLReservedWords[static_cast<size_t>(spot.number)], spot.text);
    }
    std::set<std::string_view> distinct(SQLMemSQLReservedWords.begin(),
                                        SQLMemSQLReservedWords.end());
    EXPECT_EQ(distinct.size(), kReservedWordCount);
}

TEST(SQLReservedWords, EveryWordIsFoundInAnyLetterCaseAndNothingElseIs) {
    for (size_t i = 0; i < kReservedWordCount; ++i) {
        std::string lower(SQLMemSQLReservedWords[i]);
        for (char& c : lower) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        SCOPED_TRACE(lower);
        EXPECT_EQ(FindReservedWord(lower), static_cast<TReservedWord>(i));
        EXPECT_EQ(FindReservedWord(SQLMemSQLReservedWords[i]), static_cast<TReservedWord>(i));
    }
    EXPECT_EQ(FindReservedWord(""), rwNone);
    EXPECT_EQ(FindReservedWord("SELECTX"), rwNone);
    EXPECT_EQ(FindReservedWord("END_EXEC"), rwNone);
    EXPECT_EQ(FindReservedWord("LAST_AUTOINC"), rwNone);
    // Only ASCII letters fold: a word with a dotless i or a long s is no keyword.
    EXPECT_EQ(FindReservedWord("L\xC4\xB1KE"), rwNone);
    EXPECT_EQ(FindReservedWord("\xC5\xBF"
                               "elect"),
              rwNone);
}

TEST(SQLReservedWords, IsReservedWordTestsTheWordOrAnyKeywordWithNone) {
    const Command tokens = CutOne("select x 'select'");
    EXPECT_TRUE(IsReservedWord(tokens[0], rwSELECT));
    EXPECT_FALSE(IsReservedWord(tokens[0], rwFROM));
    EXPECT_TRUE(IsReservedWord(tokens[0], rwNone));
    EXPECT_FALSE(IsReservedWord(tokens[1], rwNone));
    EXPECT_FALSE(IsReservedWord(tokens[2], rwNone));
    EXPECT_FALSE(IsReservedWord(tokens[2], rwSELECT));
}

TEST(SQLReservedWords, EveryWordOfTheListIsCutAsItsKeyword) {
    for (size_t i = 0; i < kReservedWordCount; ++i) {
        const auto word = static_cast<TReservedWord>(i);
        if (word == rwEND_EXEC) {
            continue;  // a word ends before '-', see below
        }
        const std::string text(SQLMemSQLReservedWords[i]);
        SCOPED_TRACE(text);
        const Command tokens = CutOne("x " + text + " y");
        ASSERT_EQ(tokens.size(), 3u);
        EXPECT_EQ(tokens[1].TokenType, tktReservedWord);
        EXPECT_EQ(tokens[1].ReservedWord, word);
        EXPECT_EQ(tokens[1].Text, text);
        EXPECT_EQ(tokens[0].ReservedWord, rwNone);
    }
    const Command end_exec = CutOne("END-EXEC");
    ExpectTokens(end_exec, {{tktReservedWord, "END"}, {tktString, "-"}, {tktReservedWord, "EXEC"}});
}

TEST(SQLReservedWords, TokenTypeNamesFollowTheEnumeration) {
    EXPECT_EQ(kTokenTypeCount, 12u);
    EXPECT_EQ(ESQLMemTokenType[static_cast<size_t>(tktNone)], "tktNone");
    EXPECT_EQ(ESQLMemTokenType[static_cast<size_t>(tktReservedWord)], "tktReservedWord");
    EXPECT_EQ(ESQLMemTokenType[static_cast<size_t>(tktRightParenthesis)], "tktRightParenthesis");
    EXPECT_EQ(ESQLMemTokenType[static_cast<size_t>(tktDot)], "tktDot");
}

// ---------------------------------------------------------------------------------------
// Cutting tokens

TEST(SQLLexerTokens, EachKindIsCutAsWritten) {
    const struct {
        const char* text;
        std::vector<Expected> tokens;
    } cases[] = {
        {"'it''s'", {{tktQuotedString, "it's"}}},
        {"\"say \"\"hi\"\"\"", {{tktQuotedString, "say \"hi\""}}},
        {"'a\"b' \"a'b\"", {{tktQuotedString, "a\"b"}, {tktQuotedString, "a'b"}}},
        {"''", {{tktQuotedString, ""}}},
        {"[a]]b]", {{tktBracketedString, "a]b"}}},
        {"[my table].[f]",
         {{tktBracketedString, "my table"}, {tktDot, "."}, {tktBracketedString, "f"}}},
        {"'a;b' -- ; \n", {{tktQuotedString, "a;b"}}},
        {"'x--y/*z*/'", {{tktQuotedString, "x--y/*z*/"}}},
        {"12", {{tktInt, "12"}}},
        {"1.5E+3", {{tktFloat, "1.5E+3"}}},
        {"1e-5", {{tktFloat, "1e-5"}}},
        {"2E3", {{tktFloat, "2E3"}}},
        {"7.", {{tktFloat, "7."}}},
        {".5", {{tktFloat, ".5"}}},
        {"a+b", {{tktString, "a"}, {tktString, "+"}, {tktString, "b"}}},
        {"a-1", {{tktString, "a"}, {tktString, "-"}, {tktInt, "1"}}},
        {"1-2", {{tktInt, "1"}, {tktString, "-"}, {tktInt, "2"}}},
        {"1+2.5e-1", {{tktInt, "1"}, {tktString, "+"}, {tktFloat, "2.5e-1"}}},
        {"e-1", {{tktString, "e"}, {tktString, "-"}, {tktInt, "1"}}},
        {"t.f", {{tktString, "t"}, {tktDot, "."}, {tktString, "f"}}},
        {"t.*", {{tktString, "t"}, {tktDot, "."}, {tktString, "*"}}},
        {"t .5", {{tktString, "t"}, {tktFloat, ".5"}}},
        {"<> <= >= ||",
         {{tktString, "<>"}, {tktString, "<="}, {tktString, ">="}, {tktString, "||"}}},
        {"< >", {{tktString, "<"}, {tktString, ">"}}},
        {"a<>b", {{tktString, "a"}, {tktString, "<>"}, {tktString, "b"}}},
        {"a||'x'", {{tktString, "a"}, {tktString, "||"}, {tktQuotedString, "x"}}},
        {"<<", {{tktString, "<"}, {tktString, "<"}}},
        {">>=", {{tktString, ">"}, {tktString, ">="}}},
        {"|x", {{tktString, "|"}, {tktString, "x"}}},
        {"a=b", {{tktString, "a"}, {tktString, "="}, {tktString, "b"}}},
        {"==", {{tktString, "="}, {tktString, "="}}},
        {"a*b/c",
         {{tktString, "a"},
          {tktString, "*"},
          {tktString, "b"},
          {tktString, "/"},
          {tktString, "c"}}},
        {"f(x,1)",
         {{tktString, "f"},
          {tktLeftParenthesis, "("},
          {tktString, "x"},
          {tktComma, ","},
          {tktInt, "1"},
          {tktRightParenthesis, ")"}}},
        {"count(*)",
         {{tktReservedWord, "count"},
          {tktLeftParenthesis, "("},
          {tktString, "*"},
          {tktRightParenthesis, ")"}}},
        {"x>=1", {{tktString, "x"}, {tktString, ">="}, {tktInt, "1"}}},
        {"1<2", {{tktInt, "1"}, {tktString, "<"}, {tktInt, "2"}}},
        {"a_b2#$", {{tktString, "a_b2#$"}}},
        // Quotes do not end a word; a string starts only where a token starts.
        {"N'x'", {{tktString, "N'x'"}}},
        {"'a'b", {{tktQuotedString, "a"}, {tktString, "b"}}},
        {"ABSOLUTE", {{tktReservedWord, "ABSOLUTE"}}},
        {"sElEcT", {{tktReservedWord, "sElEcT"}}},
        {"\xD0\x98\xD0\xBC\xD1\x8F", {{tktString, "\xD0\x98\xD0\xBC\xD1\x8F"}}},  // Имя
        {"\xC3\xA9t\xC3\xA9+1",
         {{tktString, "\xC3\xA9t\xC3\xA9"}, {tktString, "+"}, {tktInt, "1"}}},
        {"\t a \r\n b ", {{tktString, "a"}, {tktString, "b"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ExpectTokens(CutOne(c.text), c.tokens);
    }
}

TEST(SQLLexerTokens, CommentsAreSkippedWhereverTheyStand) {
    const struct {
        const char* text;
        std::vector<Expected> tokens;
    } cases[] = {
        {"a -- note\nb", {{tktString, "a"}, {tktString, "b"}}},
        {"a /* one\n two */ b", {{tktString, "a"}, {tktString, "b"}}},
        {"a--note", {{tktString, "a"}}},
        {"a/*x*/b", {{tktString, "a"}, {tktString, "b"}}},
        {"1--x", {{tktInt, "1"}}},
        {"1/*x*/2", {{tktInt, "1"}, {tktInt, "2"}}},
        {"a /* ; */ b", {{tktString, "a"}, {tktString, "b"}}},
        {"a -- ; b\nc", {{tktString, "a"}, {tktString, "c"}}},
        {"a /*/ b */ c", {{tktString, "a"}, {tktString, "c"}}},
        {"select 1 -- to the end", {{tktReservedWord, "select"}, {tktInt, "1"}}},
        {"a /* never closed ; b", {{tktString, "a"}}},
        {"a - -b", {{tktString, "a"}, {tktString, "-"}, {tktString, "-"}, {tktString, "b"}}},
        {"a * / b", {{tktString, "a"}, {tktString, "*"}, {tktString, "/"}, {tktString, "b"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ExpectTokens(CutOne(c.text), c.tokens);
    }
    // A command of nothing but a comment has no token and ends the script.
    EXPECT_TRUE(CutScript("-- only a note").empty());
    EXPECT_TRUE(CutScript("/* only */ ; select 1").empty());
}

// ---------------------------------------------------------------------------------------
// Positions

struct Place {
    std::string text;
    int32_t line;
    int32_t column;
};

void ExpectPlaces(const Command& tokens, const std::vector<Place>& places) {
    ASSERT_EQ(tokens.size(), places.size());
    for (size_t i = 0; i < tokens.size(); ++i) {
        SCOPED_TRACE(places[i].text);
        EXPECT_EQ(tokens[i].Text, places[i].text);
        EXPECT_EQ(tokens[i].Line, places[i].line);
        EXPECT_EQ(tokens[i].Column, places[i].column);
    }
}

TEST(SQLLexerPositions, LineFeedsCountLinesAndCarriageReturnsDoNotMoveTheColumn) {
    ExpectPlaces(CutOne("select\r\n  a,\n\tb"),
                 {{"select", 1, 1}, {"a", 2, 3}, {",", 2, 4}, {"b", 3, 2}});
    ExpectPlaces(CutOne("a\r\r\rb"), {{"a", 1, 1}, {"b", 1, 2}});
    // Lines and columns are counted inside strings and comments.
    ExpectPlaces(CutOne("'one\ntwo' x /* a\n bc */ y -- z\n  w"),
                 {{"one\ntwo", 1, 1}, {"x", 2, 6}, {"y", 3, 8}, {"w", 4, 3}});
    // A UTF-8 character is one column, inside and outside strings.
    ExpectPlaces(CutOne("'\xC3\xA4\xE4\xB8\xAD' \xD0\x96 x"),
                 {{"\xC3\xA4\xE4\xB8\xAD", 1, 1}, {"\xD0\x96", 1, 6}, {"x", 1, 8}});
}

TEST(SQLLexerPositions, TokensStartWhereTheirFirstCharacterStands) {
    TSQLMemSQLParams params;
    params.Add("p", TSQLMemVariant::FromInteger(1));
    ExpectPlaces(CutOne("x<>.5 [q]]r]*:p,'s''t'(1.5e+2)", &params), {{"x", 1, 1},
                                                                     {"<>", 1, 2},
                                                                     {".5", 1, 4},
                                                                     {"q]r", 1, 7},
                                                                     {"*", 1, 13},
                                                                     {"p", 1, 14},
                                                                     {",", 1, 16},
                                                                     {"s't", 1, 17},
                                                                     {"(", 1, 23},
                                                                     {"1.5e+2", 1, 24},
                                                                     {")", 1, 30}});
}

TEST(SQLLexerPositions, PositionsRestartWithEveryCommand) {
    const std::vector<Command> commands = CutScript("select * from t; selec 2\n;\n\n  x");
    ASSERT_EQ(commands.size(), 3u);
    // The blank after the semicolon is column 1.
    ExpectPlaces(commands[1], {{"selec", 1, 2}, {"2", 1, 8}});
    // The line feed after the second semicolon is the third command's first line.
    ExpectPlaces(commands[2], {{"x", 3, 3}});
}

// ---------------------------------------------------------------------------------------
// Commands

TEST(SQLLexerCommands, SemicolonsCutTheScriptAndAnEmptyCommandEndsIt) {
    EXPECT_EQ(CutScript("select * from t;; select * from u").size(), 1u);
    EXPECT_EQ(CutScript("a; b; c").size(), 3u);
    EXPECT_EQ(CutScript("a; b;").size(), 2u);
    EXPECT_EQ(CutScript("a; b;  \n ").size(), 2u);
    EXPECT_EQ(CutScript("a; ;b").size(), 1u);
    EXPECT_TRUE(CutScript("").empty());
    EXPECT_TRUE(CutScript(";select 1").empty());
    EXPECT_TRUE(CutScript("   ").empty());
    // A semicolon inside a string or brackets does not cut.
    const std::vector<Command> commands = CutScript("'a;b' [c;d]; e");
    ASSERT_EQ(commands.size(), 2u);
    ExpectTokens(commands[0], {{tktQuotedString, "a;b"}, {tktBracketedString, "c;d"}});
    ExpectTokens(commands[1], {{tktString, "e"}});
}

TEST(SQLLexerCommands, CommandNumberCountsUpAndTokensAreFreedPerCommand) {
    TSQLMemLexer lexer("a b; c", nullptr);
    EXPECT_EQ(lexer.CommandNo(), -1);
    ASSERT_TRUE(lexer.GetNextCommand());
    EXPECT_EQ(lexer.CommandNo(), 0);
    EXPECT_EQ(lexer.TokenCount(), 2);
    ASSERT_TRUE(lexer.GetNextCommand());
    EXPECT_EQ(lexer.CommandNo(), 1);
    EXPECT_EQ(lexer.TokenCount(), 1);
    EXPECT_FALSE(lexer.GetNextCommand());
    EXPECT_EQ(lexer.TokenCount(), 0);
    EXPECT_FALSE(lexer.GetNextCommand());
}

// ---------------------------------------------------------------------------------------
// Errors

TEST(SQLLexerErrors, EachErrorHasItsCodeTextAndPosition) {
    const struct {
        const char* text;
        int code;
        const char* bare;
    } cases[] = {
        {"select 12a", 30062, "Invalid numeric symbol 'a' at line 1, column 10"},
        {"select\n  3x", 30062, "Invalid numeric symbol 'x' at line 2, column 4"},
        {"1_000", 30062, "Invalid numeric symbol '_' at line 1, column 2"},
        {"1'a'", 30062, "Invalid numeric symbol ''' at line 1, column 2"},
        {".5[x]", 30062, "Invalid numeric symbol '[' at line 1, column 3"},
        {"'\xC3\xA4' 1\xC3\xA4", 30062, "Invalid numeric symbol '\xC3\xA4' at line 1, column 6"},
        {"select :p", 30358, "Value for parameter 'p' not found"},
        {"select count(*) from t where a = 1)", 30060,
         "Unexpected symbol ')' found at line 1, column 35"},
        {"a) b)", 30060, "Unexpected symbol ')' found at line 1, column 5"},
        {"f(a", 30059, "Missing symbol ')' at line 1, column 2"},
        // The parenthesis reported is the one left open, not merely the last one.
        {"f((a)", 30059, "Missing symbol ')' at line 1, column 2"},
        {"x\n (a,\n (b)", 30059, "Missing symbol ')' at line 2, column 2"},
        {"a)(b", 30059, "Missing symbol ')' at line 1, column 3"},
        {"'abc", 30061, "Unterminated string at line 1, column 1"},
        {"x\n  'abc; select 1", 30061, "Unterminated string at line 2, column 3"},
        {"[abc", 30061, "Unterminated string at line 1, column 1"},
        {"\"abc''", 30061, "Unterminated string at line 1, column 1"},
        // The end checks run in their fixed order.
        {"(a 'b", 30059, "Missing symbol ')' at line 1, column 1"},
        {"a) 'b", 30060, "Unexpected symbol ')' found at line 1, column 2"},
        // Parentheses in strings and comments do not count.
        {"'(' x) /* ( */", 30060, "Unexpected symbol ')' found at line 1, column 6"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const Raised raised = ErrorOf(c.text);
        EXPECT_EQ(raised.code, c.code);
        EXPECT_EQ(raised.bare, c.bare);
    }
    EXPECT_EQ(ErrorOf("(").message, "Missing symbol ')' at line 1, column 1 - Native error: 30059");
}

TEST(SQLLexerErrors, CommandsBeforeTheFailingOneAreCutAndThePositionIsTheCommandsOwn) {
    TSQLMemLexer lexer("select 1; select (2", nullptr);
    ASSERT_TRUE(lexer.GetNextCommand());
    EXPECT_EQ(lexer.TokenCount(), 2);
    try {
        (void)lexer.GetNextCommand();
        FAIL() << "an open parenthesis must raise";
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), 30059);
        EXPECT_EQ(error.BareMessage(), "Missing symbol ')' at line 1, column 9");
    }
    EXPECT_EQ(lexer.TokenCount(), 0);
}

TEST(SQLLexerErrors, BalancedParenthesesAcrossAScriptRaiseNothing) {
    EXPECT_EQ(ErrorOf("f((a), (b, (c))); g()").code, 0);
    EXPECT_EQ(ErrorOf("'unclosed (' ; ')'").code, 0);
}

// ---------------------------------------------------------------------------------------
// Parameters

class SQLLexerParameters : public ::testing::Test {
  protected:
    void SetUp() override {
        params_.Add("p", TSQLMemVariant::FromInteger(5));
        params_.Add("Name", TSQLMemVariant::FromText("\xD0\x96" "ack"));
        params_.Add("nothing", TSQLMemVariant::Null(bftSignedInt32));
    }
    TSQLMemSQLParams params_;
};

TEST_F(SQLLexerParameters, ParametersAreReplacedByCopiesOfTheirValues) {
    const Command tokens = CutOne("select :p, :NAME,:nothing+:P", &params_);
    ExpectTokens(tokens, {{tktReservedWord, "select"},
                          {tktParameter, "p"},
                          {tktComma, ","},
                          {tktParameter, "NAME"},
                          {tktComma, ","},
                          {tktParameter, "nothing"},
                          {tktString, "+"},
                          {tktParameter, "P"}});
    ASSERT_TRUE(tokens[1].ParamValue.has_value());
    EXPECT_EQ(*tokens[1].ParamValue, TSQLMemVariant::FromInteger(5));
    EXPECT_EQ(*tokens[3].ParamValue, TSQLMemVariant::FromText("\xD0\x96" "ack"));
    EXPECT_TRUE(tokens[5].ParamValue->IsNull());
    EXPECT_EQ(tokens[5].ParamValue->BaseType(), bftSignedInt32);
    EXPECT_EQ(tokens[1].Column, 8);
    // Only parameter tokens carry a value.
    EXPECT_FALSE(tokens[0].ParamValue.has_value());
    EXPECT_FALSE(tokens[2].ParamValue.has_value());
}

TEST_F(SQLLexerParameters, CopiesDoNotFollowLaterChangesOfTheList) {
    TSQLMemLexer lexer("select :p; select :p", &params_);
    ASSERT_TRUE(lexer.GetNextCommand());
    TToken first;
    ASSERT_TRUE(lexer.SetCurrentTokenNo(1, first));
    params_.GetParamByName("p")->SetValue(TSQLMemVariant::FromText("changed"));
    params_.Clear();
    TToken again;
    ASSERT_TRUE(lexer.GetCurrentToken(again));
    EXPECT_EQ(*first.ParamValue, TSQLMemVariant::FromInteger(5));
    EXPECT_EQ(*again.ParamValue, TSQLMemVariant::FromInteger(5));
    // The next command is cut from the list as it is now.
    try {
        (void)lexer.GetNextCommand();
        FAIL() << "a parameter missing from the list must raise";
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), 30358);
        EXPECT_EQ(error.Message(), "Value for parameter 'p' not found - Native error: 30358");
    }
}

TEST_F(SQLLexerParameters, AMissingParameterFailsWhileTheCommandIsCut) {
    EXPECT_EQ(ErrorOf("select :q from t", &params_).code, 30358);
    EXPECT_EQ(ErrorOf("select :q from t", &params_).bare, "Value for parameter 'q' not found");
    // A colon ends the word before it; a lone colon asks for the parameter of no name.
    EXPECT_EQ(ErrorOf("a:", &params_).bare, "Value for parameter '' not found");
    EXPECT_EQ(ErrorOf(":p:q", &params_).bare, "Value for parameter 'q' not found");
    // The parameter error comes before the end-of-command checks.
    EXPECT_EQ(ErrorOf("(:q", &params_).code, 30358);
    // Inside strings a colon is text.
    ExpectTokens(CutOne("':q' [:q]", &params_),
                 {{tktQuotedString, ":q"}, {tktBracketedString, ":q"}});
}

// ---------------------------------------------------------------------------------------
// Navigation and editing

TEST(SQLLexerNavigation, TokensAreReadOneByOneWithLookAheadAndSavedPositions) {
    TSQLMemLexer lexer("select a from t", nullptr);
    ASSERT_TRUE(lexer.GetNextCommand());
    TToken token;
    token.Text = "untouched";
    EXPECT_EQ(lexer.GetCurrentTokenNo(), -1);
    EXPECT_FALSE(lexer.GetCurrentToken(token));
    EXPECT_EQ(token.Text, "untouched");
    ASSERT_TRUE(lexer.LookNextToken(token));
    EXPECT_EQ(token.Text, "select");
    EXPECT_EQ(lexer.GetCurrentTokenNo(), -1);

    ASSERT_TRUE(lexer.GetNextToken(token));
    EXPECT_TRUE(IsReservedWord(token, rwSELECT));
    ASSERT_TRUE(lexer.GetNextToken(token));
    EXPECT_EQ(token.Text, "a");
    const int32_t saved = lexer.GetCurrentTokenNo();
    EXPECT_EQ(saved, 1);
    ASSERT_TRUE(lexer.LookNextToken(token));
    EXPECT_TRUE(IsReservedWord(token, rwFROM));
    ASSERT_TRUE(lexer.GetNextToken(token));
    ASSERT_TRUE(lexer.GetNextToken(token));
    EXPECT_EQ(token.Text, "t");
    EXPECT_FALSE(lexer.LookNextToken(token));

    // Past the end: false, the token as it was, and the position stays one past the last.
    token.Text = "kept";
    EXPECT_FALSE(lexer.GetNextToken(token));
    EXPECT_FALSE(lexer.GetNextToken(token));
    EXPECT_EQ(token.Text, "kept");
    EXPECT_EQ(lexer.GetCurrentTokenNo(), 4);
    EXPECT_FALSE(lexer.GetCurrentToken(token));

    // One-token look-back.
    ASSERT_TRUE(lexer.SetCurrentTokenNo(saved, token));
    EXPECT_EQ(token.Text, "a");
    ASSERT_TRUE(lexer.GetNextToken(token));
    EXPECT_EQ(token.Text, "from");
    EXPECT_FALSE(lexer.SetCurrentTokenNo(-1, token));
    ASSERT_TRUE(lexer.GetNextToken(token));
    EXPECT_EQ(token.Text, "select");
    EXPECT_FALSE(lexer.SetCurrentTokenNo(99, token));
    EXPECT_EQ(lexer.GetCurrentTokenNo(), 4);
    EXPECT_FALSE(lexer.SetCurrentTokenNo(-7, token));
    EXPECT_EQ(lexer.GetCurrentTokenNo(), -1);
}

TEST(SQLLexerNavigation, ACommandCanBeRewrittenInPlace) {
    TSQLMemLexer lexer("delete from t where a = 1", nullptr);
    ASSERT_TRUE(lexer.GetNextCommand());
    TToken select = lexer.Tokens()[0];
    select.Text = "select";
    select.ReservedWord = rwSELECT;
    lexer.SetToken(0, select);
    TToken star;
    star.TokenType = tktString;
    star.Text = "*";
    lexer.InsertToken(1, star);
    std::string joined;
    TToken token;
    while (lexer.GetNextToken(token)) {
        joined += token.Text + " ";
    }
    EXPECT_EQ(joined, "select * from t where a = 1 ");
    EXPECT_THROW(lexer.SetToken(lexer.TokenCount(), star), std::out_of_range);
    EXPECT_THROW(lexer.InsertToken(-1, star), std::out_of_range);
    lexer.InsertToken(lexer.TokenCount(), star);
    EXPECT_EQ(lexer.Tokens().back().Text, "*");
}

// Random scripts from a small alphabet that favours the lexer's special characters: every
// cut either raises one of the lexer's codes or gives tokens with sane positions, and the
// text of words and numbers is exactly what the script held at that place.
TEST(SQLLexerRandom, RandomScriptsCutCleanlyOrRaiseALexerError) {
    const std::string alphabet = "ab1E.e+-*/=<>|()[]'\",;: \n\r\t_\xC3\xA4";
    const unsigned seed = 20261209;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    TSQLMemSQLParams params;
    params.Add("a", TSQLMemVariant::FromInteger(1));
    const std::set<int> lexer_codes = {30059, 30060, 30061, 30062, 30358};
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const size_t length = random() % 24;
        for (size_t i = 0; i < length; ++i) {
            text += alphabet[random() % alphabet.size()];
        }
        SCOPED_TRACE(text);
        TSQLMemLexer lexer(text, &params);
        try {
            while (lexer.GetNextCommand()) {
                for (const TToken& token : lexer.Tokens()) {
                    ASSERT_GE(token.Line, 1);
                    ASSERT_GE(token.Column, 1);
                    ASSERT_NE(token.TokenType, tktNone);
                    ASSERT_EQ(token.TokenType == tktReservedWord, token.ReservedWord != rwNone);
                    ASSERT_EQ(token.TokenType == tktParameter, token.ParamValue.has_value());
                    if (token.TokenType == tktString || token.TokenType == tktInt ||
                        token.TokenType == tktFloat) {
                        ASSERT_FALSE(token.Text.empty());
                        ASSERT_NE(text.find(token.Text), std::string::npos);
                    }
                }
            }
        } catch (const ESQLMemException& error) {
            ASSERT_TRUE(lexer_codes.contains(error.Code().value_or(0))) << error.Message();
        }
    }
}

// ---------------------------------------------------------------------------------------
// Parameter list

TEST(SQLParams, ParametersAreFoundByNameWithoutRegardToCase) {
    TSQLMemSQLParams params;
    EXPECT_EQ(params.GetParamByName("x"), nullptr);
    params.Add("Begin", TSQLMemVariant::FromInteger(1));
    params.Add("BEGIN", TSQLMemVariant::FromInteger(2));
    params.Add("end", TSQLMemVariant::FromText("e"));
    ASSERT_NE(params.GetParamByName("begin"), nullptr);
    EXPECT_EQ(params.GetParamByName("begin")->Value(), TSQLMemVariant::FromInteger(1));
    EXPECT_EQ(params.GetParamByName("begin")->Name(), "Begin");
    EXPECT_EQ(params.GetParamByName("beginx"), nullptr);
    params.SetParam("END", TSQLMemVariant::FromInteger(3));
    params.SetParam("new", TSQLMemVariant::FromInteger(4));
    EXPECT_EQ(params.Count(), 4);
    EXPECT_EQ(params.Items(2).Value(), TSQLMemVariant::FromInteger(3));
    EXPECT_EQ(params.Items(2).Name(), "end");
    EXPECT_EQ(params.Items(3).Name(), "new");
    EXPECT_THROW(params.Items(4), std::out_of_range);
    EXPECT_THROW(params.Items(-1), std::out_of_range);
}

TSQLMemSQLParams SampleParams() {
    TSQLMemSQLParams params;
    params.Add("text", TSQLMemVariant::FromText("\xD0\x9F\xD1\x80\xD0\xB8 'x'"));
    params.Add("int", TSQLMemVariant::FromInteger(-1234567890123LL));
    params.Add("small", TSQLMemVariant::FromInteger(-7, bftSignedInt16));
    params.Add("float", TSQLMemVariant::FromFloat(2.5));
    params.Add("flag", TSQLMemVariant::FromBoolean(true));
    params.Add("when", TSQLMemVariant::FromDateTime(46000.75));
    params.Add("null", TSQLMemVariant::Null(bftVarchar));
    params.Add("untyped", TSQLMemVariant());
    params.Add("wide", TSQLMemVariant::FromWideText(u"\u0416x"));
    params.Add("blob", TSQLMemVariant::FromBytes(std::string("\0\xFF\x01", 3)));
    params.Add("", TSQLMemVariant::FromInteger(0));
    return params;
}

std::vector<std::byte> Saved(const TSQLMemSQLParams& params) {
    VectorByteSink sink;
    params.SaveToStream(sink);
    return sink.Bytes();
}

TEST(SQLParams, ListSurvivesASaveAndLoad) {
    const TSQLMemSQLParams params = SampleParams();
    const std::vector<std::byte> bytes = Saved(params);
    SpanByteSource source(bytes);
    TSQLMemSQLParams loaded;
    loaded.Add("old", TSQLMemVariant::FromInteger(9));
    loaded.LoadFromStream(source);
    EXPECT_EQ(source.Position(), source.Size());
    EXPECT_EQ(loaded, params);
    EXPECT_EQ(Saved(loaded), bytes);
    // The layout: a count, then each name and value behind their lengths.
    ASSERT_GE(bytes.size(), 12u);
    EXPECT_EQ(LoadLE32(bytes.data()), 11u);
    EXPECT_EQ(LoadLE32(bytes.data() + 4), 4u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data() + 8), 4), "text");

    const std::vector<std::byte> empty = Saved(TSQLMemSQLParams());
    EXPECT_EQ(empty.size(), 4u);
    SpanByteSource empty_source(empty);
    loaded.LoadFromStream(empty_source);
    EXPECT_EQ(loaded.Count(), 0);
}

TEST(SQLParams, DamagedStreamsRaiseAndLeaveTheListAsItWas) {
    const TSQLMemSQLParams original = SampleParams();
    const std::vector<std::byte> bytes = Saved(original);
    TSQLMemSQLParams target;
    target.Add("keep", TSQLMemVariant::FromInteger(1));
    const TSQLMemSQLParams before = target;
    auto expect_refused = [&](const std::vector<std::byte>& damaged) {
        SpanByteSource source(damaged);
        try {
            target.LoadFromStream(source);
            ADD_FAILURE() << "a damaged stream must raise";
        } catch (const ESQLMemException& error) {
            EXPECT_EQ(error.Code(), kParamsStreamCode) << error.Message();
        }
        EXPECT_EQ(target, before);
    };
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        expect_refused(
            std::vector<std::byte>(bytes.begin(), bytes.begin() + static_cast<long>(cut)));
    }
    {
        SCOPED_TRACE("negative count");
        std::vector<std::byte> damaged = bytes;
        StoreLE32(damaged.data(), 0xFFFFFFFFu);
        expect_refused(damaged);
    }
    {
        SCOPED_TRACE("name length far beyond the stream");
        std::vector<std::byte> damaged = bytes;
        StoreLE32(damaged.data() + 4, 0x7FFFFFF0u);
        expect_refused(damaged);
    }
    {
        SCOPED_TRACE("negative name length");
        std::vector<std::byte> damaged = bytes;
        StoreLE32(damaged.data() + 4, 0x80000000u);
        expect_refused(damaged);
    }
    {
        SCOPED_TRACE("value length one longer than its value");
        // First parameter: count(4) name length(4) "text"(4), then the value's length.
        std::vector<std::byte> damaged = bytes;
        const uint32_t length = LoadLE32(damaged.data() + 12);
        StoreLE32(damaged.data() + 12, length + 1);
        damaged.insert(damaged.begin() + 16 + length, std::byte{0});
        expect_refused(damaged);
    }
    {
        SCOPED_TRACE("value of an unknown type");
        std::vector<std::byte> damaged = bytes;
        damaged[16] = std::byte{0xEE};
        expect_refused(damaged);
    }
}

}  // namespace
}  // namespace tapir::engine

namespace tapir::engine {
namespace {

// A caller that runs commands one by one gets each command's own text, knows whether a `;`
// ended it, and can go on past an empty command to the end of the text.
TEST(SQLLexerCommandText, EachCommandKeepsItsTextAndTerminator) {
    TSQLMemLexer lexer("select 'a;b' from t; -- one;\n;; insert into t values (1) /* ; */", nullptr);
    std::vector<std::string> texts;
    std::vector<bool> terminated;
    while (!lexer.AtEndOfText()) {
        if (lexer.GetNextCommand()) {
            texts.emplace_back(lexer.CommandText());
            terminated.push_back(lexer.CommandTerminated());
        }
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"select 'a;b' from t",
                                               " insert into t values (1) /* ; */"}));
    EXPECT_EQ(terminated, (std::vector<bool>{true, false}));
    EXPECT_FALSE(lexer.GetNextCommand());
    EXPECT_TRUE(lexer.AtEndOfText());
}

}  // namespace
}  // namespace tapir::engine
