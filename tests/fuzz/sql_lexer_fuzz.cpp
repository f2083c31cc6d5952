// libFuzzer target: the input is an SQL script cut into commands and tokens with a small
// parameter list. A cut must end in one of the lexer's own errors or give tokens that are
// consistent (positions from 1, keywords and parameters marked as such, numbers holding
// only number characters), and reading the tokens back and forth must agree with the
// token array. The same bytes are also offered to the parameter list's loader: it either
// refuses them with its own error or gives a list whose saved form loads and saves again
// to the same bytes.

#include <cstdint>
#include <cstdlib>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "engine/pages/byte_stream.h"
#include "engine/record/db_types.h"
#include "engine/sql/lexer/sqlmem_lexer.h"
#include "engine/sql/lexer/sqlmem_sql_params.h"

namespace {

namespace te = tapir::engine;

const te::TSQLMemSQLParams& Params() {
    static const te::TSQLMemSQLParams params = [] {
        te::TSQLMemSQLParams list;
        list.Add("p", te::TSQLMemVariant::FromInteger(42));
        list.Add("name", te::TSQLMemVariant::FromText("\xD0\x96"
                                                      "ack"));
        list.Add("n", te::TSQLMemVariant::Null(te::bftDouble));
        return list;
    }();
    return params;
}

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool SameToken(const te::TToken& a, const te::TToken& b) {
    return a.TokenType == b.TokenType && a.ReservedWord == b.ReservedWord && a.Text == b.Text &&
           a.ParamValue == b.ParamValue && a.Line == b.Line && a.Column == b.Column;
}

void CheckToken(const te::TToken& token) {
    Check(token.Line >= 1 && token.Column >= 1);
    Check(token.TokenType != te::tktNone);
    Check((token.TokenType == te::tktReservedWord) == (token.ReservedWord != te::rwNone));
    Check((token.TokenType == te::tktParameter) == token.ParamValue.has_value());
    switch (token.TokenType) {
        case te::tktInt:
        case te::tktFloat:
            Check(!token.Text.empty());
            Check(token.Text.find_first_not_of("0123456789.Ee+-") == std::string::npos);
            Check((token.TokenType == te::tktFloat) ==
                  (token.Text.find_first_of(".Ee") != std::string::npos));
            break;
        case te::tktString:
        case te::tktReservedWord:
            Check(!token.Text.empty());
            break;
        case te::tktParameter:
            Check(Params().GetParamByName(token.Text) != nullptr);
            break;
        case te::tktLeftParenthesis:
            Check(token.Text == "(");
            break;
        case te::tktRightParenthesis:
            Check(token.Text == ")");
            break;
        case te::tktComma:
            Check(token.Text == ",");
            break;
        default:
            break;
    }
}

// Walks the command with the reading calls and compares with the token array.
void CheckNavigation(te::TSQLMemLexer& lexer) {
    const std::vector<te::TToken>& tokens = lexer.Tokens();
    te::TToken token;
    te::TToken ahead;
    for (size_t i = 0; i < tokens.size(); ++i) {
        Check(lexer.LookNextToken(ahead) && SameToken(ahead, tokens[i]));
        Check(lexer.GetNextToken(token) && SameToken(token, tokens[i]));
        Check(lexer.GetCurrentTokenNo() == static_cast<int32_t>(i));
    }
    Check(!lexer.LookNextToken(ahead));
    Check(!lexer.GetNextToken(token));
    if (!tokens.empty()) {
        Check(lexer.SetCurrentTokenNo(0, token) && SameToken(token, tokens.front()));
    }
}

void CutScript(const std::string& text) {
    static const std::set<int> lexer_codes = {30059, 30060, 30061, 30062, 30358};
    te::TSQLMemLexer lexer(text, &Params());
    try {
        int32_t commands = 0;
        while (lexer.GetNextCommand()) {
            Check(lexer.CommandNo() == commands++);
            Check(lexer.TokenCount() > 0);
            for (const te::TToken& token : lexer.Tokens()) {
                CheckToken(token);
            }
            CheckNavigation(lexer);
        }
    } catch (const te::ESQLMemException& error) {
        Check(lexer_codes.contains(error.Code().value_or(0)));
        Check(lexer.TokenCount() == 0);
    }
}

void LoadParams(std::span<const std::byte> bytes) {
    te::SpanByteSource source(bytes);
    te::TSQLMemSQLParams params;
    try {
        params.LoadFromStream(source);
    } catch (const te::ESQLMemException& error) {
        Check(error.Code() == te::kParamsStreamCode);
        Check(params.Count() == 0);
        return;
    }
    te::VectorByteSink sink;
    params.SaveToStream(sink);
    te::SpanByteSource again_source(sink.Bytes());
    te::TSQLMemSQLParams again;
    again.LoadFromStream(again_source);
    te::VectorByteSink again_sink;
    again.SaveToStream(again_sink);
    Check(again_sink.Bytes() == sink.Bytes());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CutScript(std::string(reinterpret_cast<const char*>(data), size));
    LoadParams({reinterpret_cast<const std::byte*>(data), size});
    return 0;
}
