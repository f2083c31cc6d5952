// tapir-sql: an SQL shell over the engine.
//
//   tapir-sql [--db FILE] [-f FILE]
//
// Reads a script from FILE, from standard input, or, on a terminal, line by line at a
// prompt with history and line editing.

#include <editline/readline.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "tools/sqlshell/sql_shell.h"

namespace {

constexpr const char* kUsage =
    "Usage: tapir-sql [--db FILE] [-f FILE]\n"
    "\n"
    "Runs SQL commands against an in-memory database.\n"
    "  --db FILE   load every table of this database file at start (a missing file is a\n"
    "              new database) and write them back at the end when anything changed\n"
    "  -f FILE     run the script in FILE instead of reading standard input\n"
    "  --help      this text\n"
    "\n"
    "Commands end with ';'. Lines starting with '.' are shell commands; .help lists them.\n";

std::string HistoryFile() {
    const char* home = std::getenv("HOME");
    return home != nullptr ? std::string(home) + "/.tapir_sql_history" : std::string();
}

// Lines at a prompt until end of input or .quit.
bool RunInteractive(tapir::sqlshell::SqlShell& shell) {
    const std::string history = HistoryFile();
    if (!history.empty()) read_history(history.c_str());
    std::cout << "tapir-sql: enter SQL commands ending with ';', .help for help.\n";
    while (!shell.QuitRequested()) {
        char* line = readline(shell.Pending() ? "     ...> " : "tapir-sql> ");
        if (line == nullptr) {
            std::cout << '\n';
            break;
        }
        const std::string text(line);
        std::free(line);
        if (!text.empty()) {
            add_history(text.c_str());
        }
        shell.FeedLine(text);  // an error is printed and the session goes on
    }
    if (!history.empty()) write_history(history.c_str());
    return shell.FlushPending();
}

}  // namespace

int main(int argc, char** argv) {
    std::string database_file;
    std::string script_file;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if ((arg == "--db" || arg == "-f") && i + 1 < argc) {
            (arg == "--db" ? database_file : script_file) = argv[++i];
            continue;
        }
        std::cerr << "tapir-sql: unknown or incomplete option '" << arg << "'\n" << kUsage;
        return 2;
    }

    tapir::sqlshell::SqlShell shell(std::cout, std::cerr);
    if (!database_file.empty() && !shell.OpenDatabaseFile(database_file)) {
        return 1;
    }
    bool ok = true;
    if (!script_file.empty()) {
        std::ifstream in(script_file, std::ios::binary);
        if (!in) {
            std::cerr << "Error: cannot open " << script_file << '\n';
            return 1;
        }
        std::ostringstream text;
        text << in.rdbuf();
        ok = shell.RunScript(text.str());
    } else if (::isatty(STDIN_FILENO)) {
        ok = RunInteractive(shell);
    } else {
        std::ostringstream text;
        text << std::cin.rdbuf();
        ok = shell.RunScript(text.str());
    }
    std::cout.flush();
    const bool saved = shell.SaveIfChanged();
    return ok && saved ? 0 : 1;
}
