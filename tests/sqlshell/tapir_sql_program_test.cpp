// The tapir-sql program as a user runs it: scripts from a file and from standard input,
// exit status, and the database file kept between runs.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

class TapirSqlProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tapir-sql-test-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs the program with `args`, `input` on standard input.
    Outcome Start(const std::string& args, const std::string& input = {}) {
        WriteFile(dir_ / "stdin", input);
        const std::string command = "cd '" + dir_.string() + "' && LANG=C.UTF-8 '" +
                                    std::string(TAPIR_BINARY_DIR) + "/tools/sqlshell/tapir-sql' " +
                                    args + " <stdin >stdout 2>stderr";
        const int raw = std::system(command.c_str());
        Outcome run;
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.out = ReadFile(dir_ / "stdout");
        run.err = ReadFile(dir_ / "stderr");
        return run;
    }

    fs::path dir_;
};

TEST_F(TapirSqlProgram, RunsAScriptFileAndStandardInput) {
    const std::string script =
        "CREATE TABLE t (id INTEGER, name VARCHAR(20));\n"
        "INSERT INTO t VALUES (1, 'one');\n"
        "INSERT INTO t VALUES (2, NULL);\n"
        "SELECT id, name FROM t ORDER BY id;\n"
        "SELECT id FROM t WHERE id > 5;\n";
    const std::string expected = "id|name\n1|one\n2|\nid\n";
    WriteFile(dir_ / "script.sql", script);
    const Outcome from_file = Start("-f script.sql");
    EXPECT_EQ(from_file.status, 0) << from_file.err;
    EXPECT_EQ(from_file.out, expected);
    EXPECT_EQ(from_file.err, "");
    const Outcome from_stdin = Start("", script);
    EXPECT_EQ(from_stdin.status, 0) << from_stdin.err;
    EXPECT_EQ(from_stdin.out, expected);
}

TEST_F(TapirSqlProgram, AnErrorEndsTheScriptWithStatusOne) {
    const Outcome run = Start("",
                              "CREATE TABLE t (id INTEGER);\n"
                              "INSERT INTO t VALUES (7);\n"
                              "SELECT id FROM t;\n"
                              "SELECT nothing FROM missing;\n"
                              "SELECT id FROM t;\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "id\n7\n");
    EXPECT_EQ(run.err.rfind("Error: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(" - Native error: "), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
}

TEST_F(TapirSqlProgram, DatabaseFileKeepsTablesBetweenRuns) {
    const Outcome create = Start("--db data.db",
                                 "CREATE TABLE t (id INTEGER, name VARCHAR(10));\n"
                                 "INSERT INTO t VALUES (1, 'Grüße');\n");
    ASSERT_EQ(create.status, 0) << create.err;
    ASSERT_TRUE(fs::exists(dir_ / "data.db"));
    const Outcome reopen = Start("--db data.db", "SELECT id, name FROM t;\n.tables\n");
    EXPECT_EQ(reopen.status, 0) << reopen.err;
    EXPECT_EQ(reopen.out, "id|name\n1|Grüße\nt\n");
    // Nothing changed: the file is not written again, and no temporary file is left.
    int files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_)) ++files;
    EXPECT_EQ(files, 4);  // data.db, stdin, stdout, stderr
}

TEST_F(TapirSqlProgram, AFileThatIsNoDatabaseIsRefusedAndLeftAlone) {
    const std::string text = "just some text, not a database\n";
    WriteFile(dir_ / "notes.txt", text);
    const Outcome run = Start("--db notes.txt", "CREATE TABLE t (id INTEGER);\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("Error: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find("notes.txt"), std::string::npos) << run.err;
    EXPECT_EQ(ReadFile(dir_ / "notes.txt"), text);
}

// What .schema prints is SQL that makes the same tables again; .save writes a database file
// another run opens; .quit ends the script there.
TEST_F(TapirSqlProgram, SchemaRunsAgainAndSaveWritesADatabase) {
    const Outcome first = Start("",
                                "CREATE TABLE [Order] (id INTEGER NOT NULL, name VARCHAR(20), "
                                "price FLOAT, PRIMARY KEY (id DESC));\n"
                                "CREATE UNIQUE INDEX byname ON [Order] (name NOCASE);\n"
                                "INSERT INTO [Order] VALUES (3, 'x', 2.5);\n"
                                ".schema\n"
                                ".save saved.db\n"
                                ".quit\n"
                                "SELECT 1 FROM [Order];\n");
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out.find("SELECT"), std::string::npos);
    const Outcome again = Start("", first.out + ".schema\n");
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, first.out);
    const Outcome reopened = Start("--db saved.db", "SELECT id, name, price FROM [Order];\n");
    EXPECT_EQ(reopened.status, 0) << reopened.err;
    EXPECT_EQ(reopened.out, "id|name|price\n3|x|2.5\n");
}

TEST_F(TapirSqlProgram, HelpAndUnknownOptions) {
    const Outcome help = Start("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: tapir-sql"), std::string::npos);
    const Outcome wrong = Start("--frobnicate");
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.err.find("--frobnicate"), std::string::npos);
}

}  // namespace
