#pragma once
// The SQL shell over the engine: runs scripts command by command, prints every result
// cursor, answers its own dot commands (.tables, .schema, .save, .quit, .help) and keeps
// the engine's tables in a database stream file between runs.
//
// Errors print "Error: <message>" to the error stream after the output stream is flushed.
// In a script the first error ends the run; commands before it keep their effect and
// output. At a prompt the session goes on.

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace tapir::sqlshell {

// The database every command runs in.
inline constexpr const char* kShellDatabase = "MEMORY";

class SqlShell {
  public:
    SqlShell(std::ostream& out, std::ostream& err);
    SqlShell(const SqlShell&) = delete;
    SqlShell& operator=(const SqlShell&) = delete;

    // Loads every table of a database stream file and remembers it for SaveIfChanged.
    // An absent file is a new, empty database. False (error printed, file untouched)
    // when the file cannot be read as a database stream.
    bool OpenDatabaseFile(const std::string& file_name);

    // Runs a whole script: dot commands on lines of their own between commands, SQL
    // commands cut at semicolons. False after the first error.
    bool RunScript(std::string_view text);

    // One line typed at a prompt: a dot command when no command is pending, else part
    // of the pending command, which runs once a semicolon ends it. False on an error.
    bool FeedLine(const std::string& line);
    // Runs what is pending (the end of the input ended it); false on an error.
    bool FlushPending();
    // A command is started but not yet ended by a semicolon (continuation prompt).
    bool Pending() const;
    // `.quit` was given.
    bool QuitRequested() const { return quit_; }

    // Writes the tables back to the file OpenDatabaseFile named when a command may have
    // changed them, through a new file renamed into place. False with the error printed.
    bool SaveIfChanged();

  private:
    // Runs every command of `text`; false after the first error.
    bool RunCommands(std::string_view text);
    bool RunCommand(std::string_view command, bool yields_rows);
    bool RunDotCommand(const std::string& line);
    void PrintError(const std::string& message);

    std::ostream& out_;
    std::ostream& err_;
    std::optional<std::string> database_file_;
    std::string pending_;
    bool changed_ = false;
    bool quit_ = false;
};

// True when the text holds a command ended by a semicolon outside strings, brackets and
// comments, with only blanks and comments after it.
bool EndsWithCompleteCommand(std::string_view text);

}  // namespace tapir::sqlshell
