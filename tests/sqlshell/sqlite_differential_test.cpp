// Random small scripts in the SQL both engines understand alike, run through the shell and
// through `sqlite3 -header -list`; every result must print the same.
//
// The scripts stay inside the common subset: integer and lower-case text columns (the two
// engines order such text alike), aliases for computed columns (the shell names an
// unnamed one "Expr..." where SQLite shows its text), no division, no AVG (floating
// output), ORDER BY over a unique column where a row limit applies. Results without
// ORDER BY are compared as sorted lines. One difference is by design and allowed for:
// the shell prints the header also for an empty result, SQLite prints nothing.
//
// TAPIR_DIFF_SEEDS=N runs N scripts (default 2000), TAPIR_DIFF_FIRST=S starts at seed S;
// a mismatch names its seed, the script and both outputs.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/table/sqlmem_database.h"
#include "tools/sqlshell/sql_shell.h"

namespace tapir::sqlshell {
namespace {

namespace fs = std::filesystem;

// One query: its text for each engine (they differ only in row limits), the header the
// shell prints, and whether the row order is defined.
struct Query {
    std::string tapir;
    std::string sqlite;
    std::string header;
    bool ordered = false;
    // What the engine prints for a grouping over no rows (empty: nothing beyond the header).
    std::string empty_group_row;
};

struct Script {
    std::string setup;
    std::vector<Query> queries;
};

class Generator {
  public:
    explicit Generator(uint32_t seed) : random_(seed) {}

    Script Make() {
        Script script;
        script.setup =
            "CREATE TABLE t1 (id INTEGER, a INTEGER, b INTEGER, s VARCHAR(8), PRIMARY KEY "
            "(id));\n"
            "CREATE TABLE t2 (id INTEGER, c INTEGER, s VARCHAR(8));\n";
        for (const char* table : {"t1", "t2"}) {
            const int rows = Pick(0, 9);
            for (int id = 1; id <= rows; ++id) {
                script.setup += std::string("INSERT INTO ") + table + " VALUES (" +
                                std::to_string(id) + ", " + Number() +
                                (table[1] == '1' ? ", " + Number() : std::string()) + ", " +
                                Text() + ");\n";
            }
        }
        const int count = Pick(3, 6);
        for (int i = 0; i < count; ++i) {
            script.queries.push_back(MakeQuery());
        }
        return script;
    }

  private:
    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    bool Chance(int percent) { return Pick(1, 100) <= percent; }

    std::string Number() { return Chance(20) ? "NULL" : std::to_string(Pick(-3, 4)); }
    std::string Text() {
        static const char* const kTexts[] = {"'a'", "'b'", "'ab'", "'ba'", "'abc'", "'bb'"};
        return Chance(15) ? "NULL" : kTexts[Pick(0, 5)];
    }

    // A condition over t1's columns (qualified with `prefix` when not empty).
    std::string Condition(const std::string& prefix, int depth = 0) {
        const std::string a = prefix + "a", b = prefix + "b", s = prefix + "s", id = prefix + "id";
        static const char* const kOps[] = {"=", "<>", "<", ">", "<=", ">="};
        const int kind = Pick(0, depth < 2 ? 8 : 5);
        const std::string number_column = Chance(50) ? a : (Chance(50) ? b : id);
        switch (kind) {
            case 0:
            case 1:
                return number_column + " " + kOps[Pick(0, 5)] + " " + std::to_string(Pick(-3, 4));
            case 2:
                return s + " " + kOps[Pick(0, 5)] + " " + Text();
            case 3:
                return number_column + (Chance(50) ? " IS NULL" : " IS NOT NULL");
            case 4:
                return number_column + (Chance(30) ? " NOT" : "") + " BETWEEN " +
                       std::to_string(Pick(-3, 1)) + " AND " + std::to_string(Pick(0, 4));
            case 5:
                return number_column + (Chance(30) ? " NOT" : "") + " IN (" +
                       std::to_string(Pick(-3, 4)) + ", " + std::to_string(Pick(-3, 4)) + ")";
            case 6:
                return "NOT (" + Condition(prefix, depth + 1) + ")";
            case 7:
                return "(" + Condition(prefix, depth + 1) + " AND " + Condition(prefix, depth + 1) +
                       ")";
            default:
                return "(" + Condition(prefix, depth + 1) + " OR " + Condition(prefix, depth + 1) +
                       ")";
        }
    }

    std::string Where(const std::string& prefix = "") {
        return Chance(60) ? " WHERE " + Condition(prefix) : "";
    }

    Query Same(const std::string& text, const std::string& header, bool ordered,
               const std::string& empty_group_row = {}) {
        return {text, text, header, ordered, empty_group_row};
    }

    Query MakeQuery() {
        switch (Pick(0, 7)) {
            case 0: {  // projection with computed columns
                const bool ordered = Chance(50);
                return Same("SELECT id, a, a + b AS e, b * 2 - a AS m, s FROM t1" + Where() +
                                (ordered ? " ORDER BY id" : ""),
                            "id|a|e|m|s", ordered);
            }
            case 1: {  // order by a nullable column, ties broken by the key
                const bool descending = Chance(50);
                const std::string order =
                    std::string(" ORDER BY a") + (descending ? " DESC" : "") + ", id";
                return Same("SELECT id, a, s FROM t1" + Where() + order, "id|a|s", true);
            }
            case 2: {  // a row limit over a sorted result
                const std::string n = std::to_string(Pick(1, 4));
                const std::string where = Where();
                return {"SELECT TOP " + n + " id, b FROM t1" + where + " ORDER BY b, id",
                        "SELECT id, b FROM t1" + where + " ORDER BY b, id LIMIT " + n, "id|b", true,
                        ""};
            }
            case 3:  // distinct
                return Same(std::string("SELECT DISTINCT ") + (Chance(50) ? "a" : "s") +
                                " AS v FROM t1" + Where(),
                            "v", false);
            case 4: {  // grouping
                const std::string group = Chance(50) ? "a" : "s";
                return Same("SELECT " + group +
                                " AS g, COUNT(*) AS c, COUNT(b) AS cb, SUM(b) AS sb, MIN(b) AS "
                                "mi, MAX(id) AS ma FROM t1" +
                                Where() + " GROUP BY " + group,
                            "g|c|cb|sb|mi|ma", false, "|0|0|||\n");
            }
            case 5:  // aggregates over the whole table
                return Same(
                    "SELECT COUNT(*) AS c, SUM(a) AS sa, MIN(s) AS mi, MAX(b) AS mb FROM t1" +
                        Where(),
                    "c|sa|mi|mb", false);
            case 6: {  // joins
                const bool outer = Chance(50);
                const std::string on = Chance(60) ? "t1.a = t2.c" : "t1.s = t2.s";
                return Same("SELECT t1.id AS i, t2.id AS j, t2.c AS c FROM t1 " +
                                std::string(outer ? "LEFT OUTER" : "INNER") + " JOIN t2 ON " + on +
                                Where("t1."),
                            "i|j|c", false);
            }
            default: {  // set operations
                const bool all = Chance(50);
                return Same("SELECT a AS v FROM t1" + Where() + (all ? " UNION ALL" : " UNION") +
                                " SELECT c AS v FROM t2",
                            "v", false);
            }
        }
    }

    std::mt19937 random_;
};

// The output of one query, rows sorted when their order is not defined.
std::string Normalized(const std::string& output, bool ordered) {
    if (ordered || output.empty()) {
        return output;
    }
    std::vector<std::string> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    std::sort(lines.begin() + 1, lines.end());
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

constexpr const char* kMarker = "#### next query";

// SQLite's output of each query, in order.
std::vector<std::string> RunSqlite(const Script& script, const fs::path& dir) {
    std::string text = script.setup;
    for (const Query& query : script.queries) {
        text += std::string(".print ") + kMarker + "\n" + query.sqlite + ";\n";
    }
    { std::ofstream(dir / "script.sql") << text; }
    const std::string command = "sqlite3 -header -list < '" + (dir / "script.sql").string() +
                                "' > '" + (dir / "out.txt").string() + "' 2>&1";
    if (std::system(command.c_str()) != 0) {
        return {};
    }
    std::ifstream in(dir / "out.txt");
    std::vector<std::string> parts;
    for (std::string line; std::getline(in, line);) {
        if (line == kMarker) {
            parts.emplace_back();
        } else if (!parts.empty()) {
            parts.back() += line + "\n";
        }
    }
    return parts;
}

TEST(SqliteDifferential, RandomScriptsPrintWhatSqlitePrints) {
    if (std::system("command -v sqlite3 >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "sqlite3 is not installed (scripts/install-deps.sh installs it)";
    }
    const char* count_text = std::getenv("TAPIR_DIFF_SEEDS");
    const char* first_text = std::getenv("TAPIR_DIFF_FIRST");
    const uint32_t count = count_text != nullptr ? std::stoul(count_text) : 2000;
    const uint32_t first = first_text != nullptr ? std::stoul(first_text) : 1;
    const fs::path dir = fs::temp_directory_path() / ("tapir-diff-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    int mismatches = 0;
    for (uint32_t seed = first; seed < first + count && mismatches < 3; ++seed) {
        const Script script = Generator(seed).Make();
        const std::vector<std::string> expected = RunSqlite(script, dir);
        ASSERT_EQ(expected.size(), script.queries.size())
            << "seed " << seed << ": sqlite3 refused the script:\n"
            << script.setup;
        engine::TSQLMemEngine::Instance().Reset();
        std::ostringstream setup_out, err;
        SqlShell shell(setup_out, err);
        ASSERT_TRUE(shell.RunScript(script.setup)) << "seed " << seed << ": " << err.str();
        for (size_t q = 0; q < script.queries.size(); ++q) {
            const Query& query = script.queries[q];
            std::ostringstream out;
            SqlShell runner(out, err);
            const bool ok = runner.RunScript(query.tapir + ";");
            // SQLite prints no header for an empty result; the shell does.
            const std::string want = expected[q].empty()
                                         ? query.header + "\n" + query.empty_group_row
                                         : Normalized(expected[q], query.ordered);
            const std::string got = Normalized(out.str(), query.ordered);
            if (!ok || got != want) {
                ++mismatches;
                ADD_FAILURE() << "seed " << seed << ", query " << q << ":\n"
                              << script.setup << query.tapir << ";\n--- sqlite3:\n"
                              << want << "--- tapir-sql:\n"
                              << got << err.str();
                break;
            }
        }
    }
    engine::TSQLMemEngine::Instance().Reset();
    fs::remove_all(dir);
}

}  // namespace
}  // namespace tapir::sqlshell
