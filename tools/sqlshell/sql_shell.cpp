#include "tools/sqlshell/sql_shell.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <vector>

#include "engine/record/db_types.h"
#include "engine/sql/lexer/sqlmem_lexer.h"
#include "engine/sql/statements/sqlmem_query.h"
#include "engine/stream/table_stream.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table_data.h"
#include "tools/sqlshell/result_printer.h"
#include "tools/sqlshell/schema_text.h"

namespace tapir::sqlshell {

namespace {

using namespace tapir::engine;

TSQLMemDatabaseData& ShellDatabase() {
    return *TSQLMemEngine::Instance().FindDatabase(kShellDatabase);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

// The words of a dot command line.
std::vector<std::string> Words(std::string_view line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && IsBlank(line[i])) ++i;
        if (i >= line.size()) break;
        std::string word;
        if (line[i] == '"' || line[i] == '\'') {
            const char quote = line[i++];
            while (i < line.size() && line[i] != quote) word += line[i++];
            ++i;
        } else {
            while (i < line.size() && !IsBlank(line[i])) word += line[i++];
        }
        words.push_back(std::move(word));
    }
    return words;
}

bool FileExists(const std::string& name) {
    struct stat info {};
    return ::stat(name.c_str(), &info) == 0;
}

constexpr const char* kHelpText =
    ".help             this text\n"
    ".quit             leave the shell (.exit too)\n"
    ".save FILE        write every table to a database stream file\n"
    ".schema [TABLE]   the SQL that creates every table, or one\n"
    ".tables           the names of the tables\n";

}  // namespace

bool EndsWithCompleteCommand(std::string_view text) {
    bool complete = false;
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (c == '-' && next == '-') {
            while (i < text.size() && text[i] != '\n') ++i;
            continue;
        }
        if (c == '/' && next == '*') {
            const size_t end = text.find("*/", i + 2);
            if (end == std::string_view::npos) return false;
            i = end + 2;
            continue;
        }
        if (c == '\'' || c == '"' || c == '[') {
            const char close = c == '[' ? ']' : c;
            ++i;
            for (;;) {
                if (i >= text.size()) return false;  // still inside
                if (text[i] == close) {
                    if (i + 1 < text.size() && text[i + 1] == close) {
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                ++i;
            }
            complete = false;
            continue;
        }
        if (!IsBlank(c)) complete = c == ';';
        ++i;
    }
    return complete;
}

SqlShell::SqlShell(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

void SqlShell::PrintError(const std::string& message) {
    out_.flush();
    err_ << "Error: " << message << std::endl;
}

bool SqlShell::OpenDatabaseFile(const std::string& file_name) {
    database_file_ = file_name;
    if (!FileExists(file_name)) {
        return true;
    }
    try {
        LoadAllTablesFromFile(ShellDatabase(), file_name);
    } catch (const std::exception& error) {
        database_file_.reset();  // never write over a file that was not read
        PrintError(std::string(error.what()) + " (" + file_name + " is not a database file)");
        return false;
    }
    return true;
}

bool SqlShell::SaveIfChanged() {
    if (!database_file_ || !changed_) {
        return true;
    }
    try {
        SaveAllTablesToFile(ShellDatabase(), *database_file_, acaNone, 1, 0);
    } catch (const std::exception& error) {
        PrintError(error.what());
        return false;
    }
    changed_ = false;
    return true;
}

bool SqlShell::RunCommand(std::string_view command, bool yields_rows) {
    try {
        TSQLMemQuery query;
        query.SetDatabaseName(kShellDatabase);
        query.SetSQL(std::string(command));
        if (yields_rows) {
            query.Open();
            PrintResult(*query.Result(), out_);
            query.Close();
        } else {
            changed_ = true;
            query.ExecSQL();
        }
    } catch (const std::exception& error) {
        PrintError(error.what());
        return false;
    }
    return true;
}

bool SqlShell::RunCommands(std::string_view text) {
    TSQLMemLexer lexer(std::string(text), nullptr);
    while (!lexer.AtEndOfText()) {
        bool found = false;
        try {
            found = lexer.GetNextCommand();
        } catch (const std::exception& error) {
            PrintError(error.what());
            return false;
        }
        if (!found) {
            continue;  // an empty command between two semicolons
        }
        const TToken& first = lexer.Tokens().front();
        const bool yields_rows =
            IsReservedWord(first, rwSELECT) || first.TokenType == tktLeftParenthesis;
        if (!RunCommand(lexer.CommandText(), yields_rows)) {
            return false;
        }
    }
    return true;
}

bool SqlShell::RunDotCommand(const std::string& line) {
    const std::vector<std::string> words = Words(line);
    const std::string& name = words.front();
    if (name == ".quit" || name == ".exit") {
        quit_ = true;
        return true;
    }
    if (name == ".help") {
        out_ << kHelpText;
        return true;
    }
    if (name == ".tables") {
        std::vector<std::string> names = ShellDatabase().TableNames();
        std::sort(names.begin(), names.end());
        for (const std::string& table : names) {
            out_ << table << '\n';
        }
        return true;
    }
    if (name == ".schema") {
        std::vector<std::string> names = ShellDatabase().TableNames();
        std::sort(names.begin(), names.end());
        bool found = false;
        for (const std::string& table : names) {
            if (words.size() > 1 && !SameName(table, words[1])) continue;
            found = true;
            out_ << SchemaText(*ShellDatabase().FindTable(table));
        }
        if (words.size() > 1 && !found) {
            PrintError("no such table: " + words[1]);
            return false;
        }
        return true;
    }
    if (name == ".save") {
        if (words.size() != 2) {
            PrintError("usage: .save FILE");
            return false;
        }
        try {
            SaveAllTablesToFile(ShellDatabase(), words[1], acaNone, 1, 0);
        } catch (const std::exception& error) {
            PrintError(error.what());
            return false;
        }
        return true;
    }
    PrintError("unknown command: " + name + " (.help lists the commands)");
    return false;
}

bool SqlShell::Pending() const { return !Trim(pending_).empty(); }

bool SqlShell::FeedLine(const std::string& line) {
    if (!Pending() && !Trim(line).empty() && Trim(line).front() == '.') {
        pending_.clear();
        return RunDotCommand(std::string(Trim(line)));
    }
    pending_ += line;
    pending_ += '\n';
    if (!EndsWithCompleteCommand(pending_)) {
        return true;
    }
    const std::string text = std::move(pending_);
    pending_.clear();
    return RunCommands(text);
}

bool SqlShell::FlushPending() {
    if (!Pending()) {
        pending_.clear();
        return true;
    }
    const std::string text = std::move(pending_);
    pending_.clear();
    return RunCommands(text);
}

bool SqlShell::RunScript(std::string_view text) {
    size_t start = 0;
    while (start < text.size() && !quit_) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        if (!FeedLine(std::string(text.substr(start, end - start)))) {
            return false;
        }
        start = end + 1;
    }
    return quit_ || FlushPending();
}

}  // namespace tapir::sqlshell
