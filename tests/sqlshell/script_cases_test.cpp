// Runs every case of script_cases.txt through the shell: the base script, then the case's
// script, output and error lines written in order to one stream, compared with the case's
// expectation.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/table/sqlmem_database.h"
#include "tools/sqlshell/sql_shell.h"

namespace tapir::sqlshell {
namespace {

struct Case {
    std::string name;
    std::string script;
    std::string expect;
};

// "@@@ base" then "@@@ case NAME" blocks; a case's script ends at "--- expect". Lines
// starting with '#' outside the expectation are comments.
std::vector<Case> ReadCases(std::string& base) {
    std::ifstream in(std::string(TAPIR_SOURCE_DIR) + "/tests/sqlshell/script_cases.txt");
    std::vector<Case> cases;
    std::string* target = nullptr;
    bool in_expect = false;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("@@@ base")) {
            target = &base;
            in_expect = false;
        } else if (line.starts_with("@@@ case ")) {
            cases.push_back({line.substr(9), {}, {}});
            target = &cases.back().script;
            in_expect = false;
        } else if (line == "--- expect" && !cases.empty()) {
            target = &cases.back().expect;
            in_expect = true;
        } else if (target != nullptr && (in_expect || !line.starts_with("#"))) {
            *target += line + "\n";
        }
    }
    // Blank lines between cases belong to no expectation.
    for (Case& c : cases) {
        while (c.expect.ends_with("\n\n")) c.expect.pop_back();
    }
    return cases;
}

TEST(ShellScripts, EveryCasePrintsItsExpectation) {
    std::string base;
    const std::vector<Case> cases = ReadCases(base);
    ASSERT_GE(cases.size(), 20u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engine::TSQLMemEngine::Instance().Reset();
        std::ostringstream ignored;
        SqlShell setup(ignored, ignored);
        ASSERT_TRUE(setup.RunScript(base)) << ignored.str();
        std::ostringstream out;
        SqlShell shell(out, out);
        const bool ok = shell.RunScript(c.script);
        EXPECT_EQ(out.str(), c.expect);
        EXPECT_EQ(ok, c.expect.find("Error: ") == std::string::npos);
    }
    engine::TSQLMemEngine::Instance().Reset();
}

}  // namespace
}  // namespace tapir::sqlshell
