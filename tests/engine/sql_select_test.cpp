// SELECT end to end: tables built through the table component, query text in, the result
// cursor printed as a header line and `a|b|c` rows (or the error's code and message).
// Expected rows were worked out by hand from the table contents below.

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/record/db_types.h"
#include "engine/sql/command/sqlmem_sql_command.h"
#include "engine/sql/expr/expression_parser.h"
#include "engine/sql/lexer/sqlmem_sql_params.h"
#include "engine/sql/query/sqlmem_sql_select.h"
#include "engine/sql/statements/sqlmem_query.h"
#include "engine/table/field_value_conversion.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table.h"

namespace tapir::engine {
namespace {

struct Case {
    const char* sql;
    std::vector<std::string> lines;  // header, then rows
};

struct ErrorCase {
    const char* sql;
    int code;
    const char* message;  // the message without the native-error suffix
};

std::string Print(TSQLMemDataSet& result) {
    std::string out;
    for (int i = 0; i < result.FieldCount(); ++i) {
        out += (i > 0 ? "|" : "") + result.Fields()[static_cast<size_t>(i)]->FieldName();
    }
    out += "\n";
    for (result.First(); !result.Eof(); result.Next()) {
        for (int i = 0; i < result.FieldCount(); ++i) {
            out +=
                (i > 0 ? "|" : "") + ValueToText(result.Fields()[static_cast<size_t>(i)]->Value());
        }
        out += "\n";
    }
    return out;
}

std::string Join(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) {
        out += line + "\n";
    }
    return out;
}

class SqlSelect : public ::testing::Test {
  protected:
    void SetUp() override {
        TSQLMemEngine::Instance().Reset();
        // Emp: id (primary index), name, dept, salary; dept 30 has no Dept row and one
        // employee has no dept.
        MakeTable(
            "Emp",
            {{"id", ftInteger, 0, false},
             {"name", ftString, 20, false},
             {"dept", ftInteger, 0, false},
             {"salary", ftFloat, 0, false}},
            {{"EmpId", "id", ixPrimary | ixUnique, "", ""}, {"ByName", "name", 0, "name", ""}});
        AddRows("Emp", {{int64_t{1}, std::string("ann"), int64_t{10}, 100.0},
                        {int64_t{2}, std::string("Bob"), int64_t{20}, 200.0},
                        {int64_t{3}, std::string("cid"), int64_t{10}, 150.0},
                        {int64_t{4}, std::string("Dan"), int64_t{30}, 50.0},
                        {int64_t{5}, std::string("eve"), std::monostate{}, 75.5}});
        MakeTable("Dept", {{"dept", ftInteger, 0, false}, {"title", ftString, 20, false}}, {});
        AddRows("Dept", {{int64_t{10}, std::string("Sales")},
                         {int64_t{20}, std::string("Labs")},
                         {int64_t{40}, std::string("Empty")}});
        MakeTable("Nums", {{"x", ftInteger, 0, false}}, {});
        AddRows("Nums", {{int64_t{1}}, {int64_t{2}}, {int64_t{2}}, {int64_t{3}}});
        MakeTable("Nums2", {{"x", ftInteger, 0, false}}, {});
        AddRows("Nums2", {{int64_t{2}}, {int64_t{3}}, {int64_t{4}}});
        MakeTable("Nothing", {{"a", ftInteger, 0, false}, {"b", ftFloat, 0, false}}, {});
    }
    void TearDown() override { TSQLMemEngine::Instance().Reset(); }

    static void MakeTable(const std::string& name, std::vector<TFieldDef> fields,
                          std::vector<TIndexDef> indexes) {
        TSQLMemTable table;
        table.SetTableName(name);
        table.FieldDefs() = std::move(fields);
        table.IndexDefs() = std::move(indexes);
        table.CreateTable();
    }
    static void AddRows(const std::string& name, const std::vector<std::vector<FieldValue>>& rows) {
        TSQLMemTable table;
        table.SetTableName(name);
        table.Open();
        for (const auto& row : rows) {
            table.Append();
            for (size_t i = 0; i < row.size(); ++i) {
                table.Fields()[i]->SetValue(row[i]);
            }
            table.Post();
        }
    }

    static std::string Query(const std::string& sql) {
        std::unique_ptr<TSQLMemQueryResult> result = RunSelect({}, sql);
        return Print(*result);
    }
    static void Check(const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            try {
                EXPECT_EQ(Query(c.sql), Join(c.lines)) << c.sql;
            } catch (const tapir::Exception& e) {
                ADD_FAILURE() << c.sql << ": " << e.what();
            }
        }
    }
    static void CheckErrors(const std::vector<ErrorCase>& cases) {
        for (const ErrorCase& c : cases) {
            try {
                Query(c.sql);
                ADD_FAILURE() << c.sql << ": no error";
            } catch (const ESQLMemException& e) {
                EXPECT_EQ(e.Code(), c.code) << c.sql << ": " << e.what();
                EXPECT_EQ(e.BareMessage(), c.message) << c.sql;
            }
        }
    }
};

TEST_F(SqlSelect, ProjectionAndWhere) {
    Check({
        {"SELECT * FROM Nums2", {"x", "2", "3", "4"}},
        {"SELECT name, id FROM Emp WHERE id >= 4", {"name|id", "Dan|4", "eve|5"}},
        {"SELECT e.name AS who, salary * 2 AS twice FROM Emp e WHERE e.dept = 10",
         {"who|twice", "ann|200", "cid|300"}},
        {"SELECT Emp.* FROM Emp WHERE dept IS NULL", {"id|name|dept|salary", "5|eve||75.5"}},
        {"SELECT name FROM Emp WHERE name LIKE '%a%' AND salary < 150", {"name", "ann", "Dan"}},
        {"SELECT x + 1 AS y FROM Nums WHERE y > 3", {"y", "4"}},
        {"SELECT name FROM Emp WHERE 1 = 0", {"name"}},
        {"SELECT *, x * 10 AS t FROM Nums2 WHERE t > 20", {"x|t", "3|30", "4|40"}},
    });
}

TEST_F(SqlSelect, ResultColumnsTakeTheTypesOfTheirValues) {
    Check({
        // Computed text longer than either source column is kept whole.
        {"SELECT name || '-' || name || '-' || name || '-' || name AS long_text FROM Emp WHERE "
         "id = 2",
         {"long_text", "Bob-Bob-Bob-Bob"}},
        {"SELECT COUNT(*) AS n, AVG(x) AS a, SUM(x) AS s, MIN(x) AS lo FROM Nums",
         {"n|a|s|lo", "4|2|8|1"}},
        {"SELECT x / 2 AS half, x * 1.5 AS f FROM Nums2", {"half|f", "1|3", "1|4.5", "2|6"}},
        {"SELECT NULL AS nothing, x FROM Nums2 WHERE x = 2", {"nothing|x", "|2"}},
    });
    auto result = RunSelect({}, "SELECT COUNT(*) AS n, AVG(x) AS a, name FROM Nums, Emp");
    EXPECT_EQ(result->FieldByName("n").DataType(), ftInteger);
    EXPECT_EQ(result->FieldByName("a").DataType(), ftFloat);
    EXPECT_EQ(result->FieldByName("name").DataType(), ftString);
}

TEST_F(SqlSelect, ParametersTakePartInConditions) {
    TSQLMemSQLParams params;
    params.Add("lo", TSQLMemVariant::FromInteger(2));
    params.Add("who", TSQLMemVariant::FromText("it's"));
    TSQLMemSelectContext context;
    context.Params = &params;
    EXPECT_EQ(Print(*RunSelect(context, "SELECT id FROM Emp WHERE id > :lo AND name <> :who")),
              "id\n3\n4\n5\n");
    // The live form hands the same condition to the table with the values written out.
    context.RequestLive = true;
    auto live = RunSelect(context, "SELECT * FROM Emp WHERE id > :lo AND name <> :who");
    EXPECT_FALSE(live->ReadOnly());
    EXPECT_EQ(live->RecordCount(), 3);
}

TEST_F(SqlSelect, MoreGroupingForms) {
    Check({
        {"SELECT d.title, COUNT(*) AS n FROM Emp e JOIN Dept d ON e.dept = d.dept GROUP BY "
         "d.title ORDER BY d.title",
         {"title|n", "Labs|1", "Sales|2"}},
        {"SELECT dept, name, COUNT(*) AS n FROM Emp GROUP BY dept, name HAVING dept = 10",
         {"dept|name|n", "10|ann|1", "10|cid|1"}},
        {"SELECT x FROM Nums GROUP BY x HAVING COUNT(*) > 1", {"x", "2"}},
        {"SELECT DISTINCT TOP 2 x FROM Nums", {"x", "1", "2"}},
    });
}

TEST_F(SqlSelect, EqualityOnIndexedColumnReadsOnlyMatchingRows) {
    TSQLMemTable big;
    big.SetTableName("Big");
    big.FieldDefs() = {{"k", ftInteger, 0, false}, {"v", ftInteger, 0, false}};
    big.IndexDefs() = {{"BigK", "k", 0, "", ""}};
    big.CreateTable();
    big.Open();
    for (int i = 0; i < 2000; ++i) {
        big.Append();
        big.FieldByName("k").SetAsInteger(i % 100);
        big.FieldByName("v").SetAsInteger(i);
        big.Post();
    }
    big.Close();
    auto indexed = RunSelect({}, "SELECT v FROM Big WHERE k = 42");
    EXPECT_EQ(indexed->RecordCount(), 20);
    EXPECT_LE(indexed->RowsRead(), 25);
    auto scanned = RunSelect({}, "SELECT k FROM Big WHERE v = 42");
    EXPECT_EQ(scanned->RecordCount(), 1);
    EXPECT_GE(scanned->RowsRead(), 2000);
}

TEST_F(SqlSelect, OrderDistinctAndTop) {
    Check({
        // Text follows the collation of the locale, not the byte order.
        {"SELECT name FROM Emp ORDER BY name", {"name", "ann", "Bob", "cid", "Dan", "eve"}},
        {"SELECT name FROM Emp ORDER BY name DESC NOCASE",
         {"name", "eve", "Dan", "cid", "Bob", "ann"}},
        {"SELECT id FROM Emp ORDER BY salary DESC", {"id", "2", "3", "1", "5", "4"}},
        {"SELECT name, dept FROM Emp ORDER BY 2 DESC, 1",
         {"name|dept", "Dan|30", "Bob|20", "ann|10", "cid|10", "eve|"}},
        {"SELECT DISTINCT x FROM Nums ORDER BY x DESC", {"x", "3", "2", "1"}},
        {"SELECT DISTINCT dept FROM Emp", {"dept", "", "10", "20", "30"}},
        {"SELECT DISTINCT dept FROM Emp ORDER BY dept DESC", {"dept", "30", "20", "10", ""}},
        {"SELECT TOP 2 name FROM Emp ORDER BY salary", {"name", "Dan", "eve"}},
        {"SELECT TOP 2, 3 * FROM Nums2", {"x", "4"}},
        {"SELECT TOP 2, 2 id FROM Emp", {"id", "2", "3"}},
        {"SELECT TOP 2, 3 id FROM Emp ORDER BY id DESC", {"id", "3", "2"}},
        {"SELECT id FROM Emp ORDER BY INDEX ByName", {"id", "5", "4", "3", "2", "1"}},
    });
}

// A short TOP over many rows picks its rows without sorting the rest; rows that sort alike
// must still come in their table order, as a full sort gives them.
TEST_F(SqlSelect, ShortTopKeepsTiesInTableOrder) {
    MakeTable("Ties", {{"id", ftInteger, 0, false}, {"k", ftInteger, 0, false}}, {});
    std::vector<std::vector<FieldValue>> rows;
    const int64_t keys[] = {2, 1, 3, 1, 1, 3, 1, 2, 1, 0, 1, 3};
    for (int64_t id = 0; id < 12; ++id) {
        rows.push_back({id, keys[id]});
    }
    AddRows("Ties", rows);
    Check({
        {"SELECT TOP 3 id FROM Ties ORDER BY k", {"id", "9", "1", "3"}},
        {"SELECT TOP 2, 3 id FROM Ties ORDER BY k DESC", {"id", "11", "0"}},
        {"SELECT TOP 4 id, k FROM Ties ORDER BY k DESC, id DESC",
         {"id|k", "11|3", "5|3", "2|3", "7|2"}},
        {"SELECT id FROM Ties ORDER BY k, id DESC",
         {"id", "9", "10", "8", "6", "4", "3", "1", "7", "0", "11", "5", "2"}},
        {"SELECT TOP 0 id FROM Ties ORDER BY k", {"id"}},
        {"SELECT TOP 3, 11 id FROM Ties ORDER BY k", {"id", "5", "11"}},
        {"SELECT TOP 5 id * 10 AS t FROM Ties WHERE k <> 1 ORDER BY k DESC",
         {"t", "20", "50", "110", "0", "70"}},
    });
}

TEST_F(SqlSelect, GroupingAndAggregates) {
    Check({
        {"SELECT dept, COUNT(*) AS n, SUM(salary) AS s FROM Emp GROUP BY dept",
         {"dept|n|s", "|1|75.5", "10|2|250", "20|1|200", "30|1|50"}},
        {"SELECT dept, MIN(name) AS lo, MAX(name) AS hi, AVG(salary) AS a FROM Emp WHERE dept = 10 "
         "GROUP BY dept",
         {"dept|lo|hi|a", "10|ann|cid|125"}},
        {"SELECT dept, COUNT(*) AS n FROM Emp GROUP BY dept HAVING COUNT(*) > 1",
         {"dept|n", "10|2"}},
        {"SELECT dept, COUNT(*) AS n FROM Emp GROUP BY dept HAVING n > 1", {"dept|n", "10|2"}},
        {"SELECT COUNT(*) AS n, COUNT(dept) AS d FROM Emp", {"n|d", "5|4"}},
        {"SELECT COUNT(*) AS n FROM Nothing", {"n", "0"}},
        {"SELECT a, COUNT(*) AS n FROM Nothing GROUP BY a", {"a|n", "|0"}},
        {"SELECT SUM(b) AS s, MAX(a) AS m FROM Nothing", {"s|m", "|"}},
        {"SELECT a FROM Nothing GROUP BY a", {"a"}},
        {"SELECT COUNT(DISTINCT x) AS n FROM Nums", {"n", "3"}},
        {"SELECT dept, COUNT(*) AS n FROM Emp GROUP BY dept ORDER BY n DESC, dept",
         {"dept|n", "10|2", "|1", "20|1", "30|1"}},
    });
}

TEST_F(SqlSelect, Joins) {
    Check({
        {"SELECT name, title FROM Emp, Dept WHERE Emp.dept = Dept.dept ORDER BY name",
         {"name|title", "ann|Sales", "Bob|Labs", "cid|Sales"}},
        {"SELECT e.name, d.title FROM Emp e JOIN Dept d ON e.dept = d.dept AND d.title = 'Sales' "
         "ORDER BY 1",
         {"name|title", "ann|Sales", "cid|Sales"}},
        {"SELECT name, title FROM Emp INNER JOIN Dept USING (dept) ORDER BY name",
         {"name|title", "ann|Sales", "Bob|Labs", "cid|Sales"}},
        {"SELECT name, title FROM Emp NATURAL JOIN Dept ORDER BY name",
         {"name|title", "ann|Sales", "Bob|Labs", "cid|Sales"}},
        // Every Emp row stays, matched or not, whichever side is larger.
        {"SELECT name, title FROM Emp LEFT JOIN Dept ON Emp.dept = Dept.dept ORDER BY name",
         {"name|title", "ann|Sales", "Bob|Labs", "cid|Sales", "Dan|", "eve|"}},
        {"SELECT title, name FROM Dept LEFT OUTER JOIN Emp ON Emp.dept = Dept.dept ORDER BY 1, 2",
         {"title|name", "Empty|", "Labs|Bob", "Sales|ann", "Sales|cid"}},
        // A non-key part of ON only decides which rows match.
        {"SELECT name, title FROM Emp LEFT JOIN Dept ON Emp.dept = Dept.dept AND Dept.title = "
         "'Labs' ORDER BY name",
         {"name|title", "ann|", "Bob|Labs", "cid|", "Dan|", "eve|"}},
        {"SELECT name, title FROM Emp RIGHT JOIN Dept ON Emp.dept = Dept.dept ORDER BY title, name",
         {"name|title", "|Empty", "Bob|Labs", "ann|Sales", "cid|Sales"}},
        {"SELECT name, title FROM Emp FULL JOIN Dept ON Emp.dept = Dept.dept",
         {"name|title", "ann|Sales", "Bob|Labs", "cid|Sales", "Dan|", "eve|", "|Empty"}},
        {"SELECT COUNT(*) AS n FROM Emp CROSS JOIN Dept", {"n", "15"}},
        {"SELECT e.name, d.title, n.x FROM Emp e JOIN Dept d ON e.dept = d.dept JOIN Nums2 n ON "
         "n.x = e.id ORDER BY 1",
         {"name|title|x", "Bob|Labs|2", "cid|Sales|3"}},
        {"SELECT COUNT(*) AS n FROM Emp, Dept, Nums2 WHERE Emp.dept = Dept.dept AND Nums2.x = "
         "Emp.id",
         {"n", "2"}},
        // The WHERE equality is no key of the inner join under the outer join's null side:
        // it filters the joined rows afterwards.
        {"SELECT d.title, e.name FROM Dept d LEFT JOIN (Emp e JOIN Nums2 n ON e.id = n.x) ON "
         "d.dept = e.dept WHERE e.id = n.x OR e.id IS NULL ORDER BY 1",
         {"title|name", "Empty|", "Labs|Bob", "Sales|cid"}},
        {"SELECT d.title, e.name FROM Dept d LEFT JOIN (Emp e JOIN Nums2 n ON e.dept = n.x) ON "
         "d.dept = e.dept WHERE e.id = n.x ORDER BY 1",
         {"title|name"}},
        {"SELECT a.name, b.name FROM Emp a JOIN Emp b ON a.id = b.id + 1 WHERE a.id < 3",
         {"name|name_1", "Bob|ann"}},
        {"SELECT name, title FROM Emp LEFT JOIN Dept ON Emp.dept = Dept.dept WHERE title IS NULL "
         "ORDER BY name",
         {"name|title", "Dan|", "eve|"}},
        {"SELECT Emp.dept, Dept.dept FROM Emp JOIN Dept ON Emp.dept = Dept.dept WHERE Emp.id = 2",
         {"dept|dept_1", "20|20"}},
    });
}

// Whole-number keys are matched, grouped and made distinct through hashing, other keys
// through sorting. The same values as whole numbers and as doubles must give the same
// rows in the same order, nulls, repeats and several keys included.
TEST_F(SqlSelect, HashedAndSortedKeysGiveTheSameRows) {
    MakeTable("L",
              {{"id", ftInteger, 0, false},
               {"k", ftSmallint, 0, false},
               {"j", ftLargeint, 0, false},
               {"kf", ftFloat, 0, false},
               {"jf", ftFloat, 0, false}},
              {});
    MakeTable("R",
              {{"w", ftInteger, 0, false},
               {"k", ftInteger, 0, false},
               {"j", ftWord, 0, false},
               {"kf", ftFloat, 0, false},
               {"jf", ftFloat, 0, false}},
              {{"RK", "k", 0, "", ""}});
    std::mt19937 random(7);
    const auto value = [&](int range) -> std::optional<int64_t> {
        const int v = static_cast<int>(random() % static_cast<unsigned>(range + 1));
        return v == range ? std::nullopt : std::optional<int64_t>(v);
    };
    const auto as_int = [](std::optional<int64_t> v) -> FieldValue {
        return v ? FieldValue(*v) : FieldValue(std::monostate{});
    };
    const auto as_float = [](std::optional<int64_t> v) -> FieldValue {
        return v ? FieldValue(static_cast<double>(*v)) : FieldValue(std::monostate{});
    };
    for (const char* table : {"L", "R"}) {
        std::vector<std::vector<FieldValue>> rows;
        for (int64_t id = 0; id < 120; ++id) {
            const auto k = value(9);
            const auto j = value(3);
            rows.push_back({id, as_int(k), as_int(j), as_float(k), as_float(j)});
        }
        AddRows(table, rows);
    }
    const std::pair<const char*, const char*> pairs[] = {
        {"SELECT L.id, R.w FROM L JOIN R ON L.k = R.k",
         "SELECT L.id, R.w FROM L JOIN R ON L.kf = R.kf"},
        {"SELECT R.w, L.id FROM R JOIN L ON L.k = R.k AND L.j = R.j",
         "SELECT R.w, L.id FROM R JOIN L ON L.kf = R.kf AND L.jf = R.jf"},
        {"SELECT L.id, R.w FROM L LEFT JOIN R ON L.k = R.k AND R.w > 60",
         "SELECT L.id, R.w FROM L LEFT JOIN R ON L.kf = R.kf AND R.w > 60"},
        {"SELECT L.id, R.w FROM L FULL JOIN R ON L.k = R.k AND L.j = R.j",
         "SELECT L.id, R.w FROM L FULL JOIN R ON L.kf = R.kf AND L.jf = R.jf"},
        {"SELECT L.id, R.w FROM L, R WHERE L.k = R.k AND L.id < 20",
         "SELECT L.id, R.w FROM L, R WHERE L.kf = R.kf AND L.id < 20"},
        {"SELECT k, j, COUNT(*) AS n, SUM(id) AS s, MAX(id) AS m, id FROM L GROUP BY k, j",
         "SELECT kf, jf, COUNT(*) AS n, SUM(id) AS s, MAX(id) AS m, id FROM L GROUP BY kf, jf"},
        {"SELECT j, COUNT(*) AS n FROM L GROUP BY j HAVING COUNT(*) > 25",
         "SELECT jf, COUNT(*) AS n FROM L GROUP BY jf HAVING COUNT(*) > 25"},
        {"SELECT DISTINCT k, j FROM L", "SELECT DISTINCT kf, jf FROM L"},
        {"SELECT DISTINCT j, k FROM L ORDER BY k DESC",
         "SELECT DISTINCT jf, kf FROM L ORDER BY kf DESC"},
        {"SELECT DISTINCT TOP 3, 2 k FROM L", "SELECT DISTINCT TOP 3, 2 kf FROM L"},
    };
    for (const auto& [hashed, sorted] : pairs) {
        try {
            // The headers differ by the column names only.
            std::string a = Query(hashed);
            std::string b = Query(sorted);
            a = a.substr(a.find('\n'));
            b = b.substr(b.find('\n'));
            EXPECT_EQ(a, b) << hashed;
            EXPECT_GT(std::count(a.begin(), a.end(), '\n'), 2) << hashed;
        } catch (const tapir::Exception& e) {
            ADD_FAILURE() << hashed << ": " << e.what();
        }
    }
}

TEST_F(SqlSelect, SetOperations) {
    Check({
        {"SELECT x FROM Nums UNION SELECT x FROM Nums2", {"x", "1", "2", "3", "4"}},
        {"SELECT x FROM Nums2 UNION SELECT x FROM Nums", {"x", "1", "2", "3", "4"}},
        {"SELECT x FROM Nums UNION ALL SELECT x FROM Nums2",
         {"x", "1", "2", "2", "3", "2", "3", "4"}},
        {"SELECT x FROM Nums EXCEPT SELECT x FROM Nums2", {"x", "1"}},
        {"SELECT x FROM Nums2 MINUS SELECT x FROM Nums", {"x", "4"}},
        {"SELECT x FROM Nums INTERSECT SELECT x FROM Nums2", {"x", "2", "3"}},
        {"SELECT x FROM Nums INTERSECT ALL SELECT x FROM Nums2", {"x", "2", "2", "3"}},
        {"(SELECT x FROM Nums) UNION SELECT x FROM Nums2 INTERSECT SELECT x FROM Nums",
         {"x", "1", "2", "3"}},
        {"SELECT id, dept FROM Emp WHERE id = 1 UNION CORRESPONDING BY (dept) SELECT title, dept "
         "FROM Dept",
         {"dept", "10", "20", "40"}},
        {"SELECT dept, name FROM Emp WHERE id < 3 UNION CORRESPONDING SELECT dept, title FROM "
         "Dept WHERE dept = 40",
         {"dept", "10", "20", "40"}},
    });
}

TEST_F(SqlSelect, Subqueries) {
    Check({
        {"SELECT name FROM Emp WHERE dept IN (SELECT dept FROM Dept) ORDER BY name",
         {"name", "ann", "Bob", "cid"}},
        {"SELECT name FROM Emp WHERE salary = (SELECT MAX(salary) FROM Emp)", {"name", "Bob"}},
        {"SELECT title FROM Dept WHERE EXISTS (SELECT * FROM Nums WHERE x = 3)",
         {"title", "Sales", "Labs", "Empty"}},
        {"SELECT name, (SELECT MAX(x) FROM Nums) AS m FROM Emp WHERE id = 1", {"name|m", "ann|3"}},
        {"SELECT title FROM Dept WHERE dept NOT IN (SELECT dept FROM Emp WHERE dept IS NOT NULL)",
         {"title", "Empty"}},
    });
}

TEST_F(SqlSelect, IntoTableStaysAfterTheCursor) {
    Check({{"SELECT name INTO Copy FROM Emp WHERE dept = 10", {"name", "ann", "cid"}}});
    Check({{"SELECT * FROM Copy", {"name", "ann", "cid"}}});
    try {
        Query("SELECT x INTO Copy FROM Nums");
        ADD_FAILURE() << "no error";
    } catch (const ESQLMemException& e) {
        EXPECT_EQ(e.Code(), kIntoCopyFailedCode);
        EXPECT_EQ(
            e.BareMessage().rfind("Error importing table. Cannot copy data due to error: ", 0), 0U)
            << e.BareMessage();
        EXPECT_EQ(e.BareMessage().back(), '\n');
    }
    // The table that was there is untouched.
    Check({{"SELECT * FROM Copy", {"name", "ann", "cid"}}});
}

TEST_F(SqlSelect, LiveResultEditsTheTable) {
    TSQLMemSelectContext live;
    live.RequestLive = true;
    {
        auto result = RunSelect(live, "SELECT * FROM Emp WHERE dept = 10 AND name <> 'it''s'");
        EXPECT_FALSE(result->ReadOnly());
        EXPECT_EQ(result->TableName(), "Emp");
        EXPECT_EQ(result->RecordCount(), 2);
        result->First();
        result->Edit();
        result->FieldByName("name").SetAsString("Ann");
        result->Post();
    }
    Check({{"SELECT name FROM Emp WHERE id = 1", {"name", "Ann"}}});
    // Without the request, or with a clause the table cannot serve, the result is a copy.
    auto copy = RunSelect({}, "SELECT * FROM Emp WHERE dept = 10");
    EXPECT_TRUE(copy->ReadOnly());
    EXPECT_NE(copy->TableName(), "Emp");
    // A condition with a subquery is tested row by row; the result is still live.
    {
        auto result =
            RunSelect(live, "SELECT * FROM Emp WHERE dept IN (SELECT dept FROM Dept) AND id > 1");
        EXPECT_FALSE(result->ReadOnly());
        EXPECT_EQ(result->RecordCount(), 2);
        result->Last();
        EXPECT_EQ(result->FieldByName("name").AsString(), "cid");
        result->Delete();
        EXPECT_EQ(result->RecordCount(), 1);
    }
    Check({{"SELECT COUNT(*) AS n FROM Emp", {"n", "4"}}});
    auto ordered = RunSelect(live, "SELECT * FROM Emp ORDER BY name");
    EXPECT_TRUE(ordered->ReadOnly());
    EXPECT_EQ(ordered->RecordCount(), 4);
}

TEST_F(SqlSelect, TemporaryResultIsDroppedWithItsCursor) {
    std::string name;
    {
        auto result = RunSelect({}, "SELECT x FROM Nums");
        name = result->TableName();
        EXPECT_EQ(name.rfind("TEMPORARY_TABLE_", 0), 0U) << name;
        EXPECT_TRUE(result->ReadOnly());
    }
    TSQLMemTable probe;
    probe.SetTableName(name);
    EXPECT_FALSE(probe.Exists());
}

TEST_F(SqlSelect, ParseAndExecutionErrors) {
    CheckErrors({
        {"SELECT * Emp", 30184, "Token 'FROM' expected, but 'Emp' found at line 1, column 10"},
        {"SELECT *", 30161, "Unexpected end of SQL command found at line 1, column 8"},
        {"SELECT TOP x * FROM Emp", 30158, "Integer expected, but 'x' found at line 1, column 12"},
        {"SELECT TOP 1, y * FROM Emp", 30159,
         "Integer expected, but 'y' found at line 1, column 15"},
        {"SELECT , FROM Emp", 30160, "Expression expected, but ',' found at line 1, column 8"},
        {"SELECT x AS FROM Nums", 30162,
         "Field pseudonym expected, but 'FROM' found at line 1, column 13"},
        {"SELECT x FROM WHERE", 30165,
         "Table name expected, but 'WHERE' found at line 1, column 15"},
        {"SELECT * FROM Emp LEFT Dept", 30175,
         "Token 'JOIN' expected, but 'Dept' found at line 1, column 24"},
        {"SELECT * FROM Emp INTO x", 11337, "INTO clause should be before FROM, line 1, column 19"},
        {"SELECT * FROM Emp GROUP id", 30188,
         "Token 'BY' expected, but 'id' found at line 1, column 25"},
        {"SELECT * FROM Emp ORDER id", 30193,
         "Token 'BY' expected, but 'id' found at line 1, column 25"},
        {"SELECT * FROM Emp ORDER BY ,", 30190,
         "Sort specification expected, but ',' found at line 1, column 28"},
        {"SELECT * FROM Emp x y", 30186, "Unexpected token 'y' found at line 1, column 21"},
        {"UPDATE Emp", 30194, "Token 'SELECT' expected, but 'UPDATE' found at line 1, column 1"},
        {"SELECT * FROM Missing", 10303,
         "Cannot open table Missing, InMemory = 1: Table 'Missing' does not exist - Native "
         "error: 11505"},
        {"SELECT * FROM Emp ORDER BY 9", 30196, "Invalid column number in ORDER BY clause = 9"},
        {"SELECT * FROM Emp ORDER BY 0", 30196, "Invalid column number in ORDER BY clause = 0"},
        {"SELECT * FROM Emp ORDER BY 99999999999999999999", 30196,
         "Invalid column number in ORDER BY clause = 2147483647"},
        {"SELECT TOP 99999999999999999999 * FROM Emp", 30158,
         "Integer expected, but '99999999999999999999' found at line 1, column 12"},
        {"SELECT name FROM Emp ORDER BY nope", 30195,
         "Column 'nope' from ORDER BY clause not found"},
        {"SELECT * FROM Emp GROUP BY nope", 10343,
         "Invalid field for join operation. Table name = '', FieldName = 'nope', i = 0, "
         "FieldExists = 0"},
        {"SELECT x FROM Nums UNION SELECT id, name FROM Emp", 10338,
         "Error - different lists length. L1 = 1, L2 = 2"},
        {"SELECT * FROM Emp WHERE nope = 1", 30144, "Search condition is not applicable"},
        {"SELECT x FROM Nums UNION CORRESPONDING SELECT id FROM Emp", 10337,
         "Empty field list, item count = 0"},
        {"SELECT x FROM Nums UNION CORRESPONDING BY (id) SELECT id FROM Emp", 10337,
         "Empty field list, item count = 0"},
        {"SELECT name FROM Emp WHERE id = (SELECT x FROM Nums)", 10849,
         "Subquery returns multiple rows"},
        {"SELECT * FROM Emp JOIN Dept USING (nope)", 10342,
         "Invalid field for join operation. Table name = '', FieldName = 'nope', i = 0, "
         "FieldExists = 0"},
        {"SELECT * FROM Emp JOIN Dept", 30161,
         "Unexpected end of SQL command found at line 1, column 24"},
        {"SELECT * FROM Emp JOIN Dept WHERE id = 1", 30189,
         "Unexpected token 'WHERE' found at line 1, column 29"},
    });
}

TEST_F(SqlSelect, DeepNestingIsRefusedNotOverflowingTheStack) {
    const std::string parens(5000, '(');
    const std::string closing(5000, ')');
    for (const std::string& sql :
         {"SELECT * FROM " + parens + "Nums" + closing, parens + "SELECT x FROM Nums" + closing}) {
        try {
            Query(sql);
            ADD_FAILURE() << "no error";
        } catch (const ESQLMemException& e) {
            EXPECT_EQ(e.Code(), kTooComplexCode) << e.what();
        }
    }
    std::string nested = "SELECT x FROM Nums";
    for (int i = 0; i < 40; ++i) {
        nested = "SELECT x FROM Nums WHERE x IN (" + nested + ")";
    }
    try {
        Query(nested);
        ADD_FAILURE() << "no error";
    } catch (const ESQLMemException& e) {
        EXPECT_EQ(e.Code(), kTooComplexCode) << e.what();
    }
    EXPECT_EQ(Query("SELECT x FROM Nums WHERE x IN (SELECT x FROM Nums2 WHERE x IN (SELECT x FROM "
                    "Nums WHERE x > 2))"),
              "x\n3\n");
}

// Token soup from the select grammar: every text either runs or raises an engine error;
// nothing else escapes (no standard-library exception, no crash under the sanitizers).
TEST_F(SqlSelect, RandomTokenSequencesRaiseOnlyEngineErrors) {
    const std::vector<std::string> words = {"SELECT",
                                            "DISTINCT",
                                            "TOP",
                                            "1",
                                            "2",
                                            ",",
                                            "*",
                                            "x",
                                            "id",
                                            "name",
                                            "Emp",
                                            "Nums",
                                            "Dept",
                                            "e",
                                            ".",
                                            "FROM",
                                            "WHERE",
                                            "GROUP",
                                            "BY",
                                            "HAVING",
                                            "ORDER",
                                            "DESC",
                                            "NOCASE",
                                            "JOIN",
                                            "LEFT",
                                            "FULL",
                                            "ON",
                                            "USING",
                                            "(",
                                            ")",
                                            "=",
                                            "<",
                                            "AND",
                                            "OR",
                                            "NOT",
                                            "IN",
                                            "UNION",
                                            "ALL",
                                            "EXCEPT",
                                            "INTERSECT",
                                            "CORRESPONDING",
                                            "COUNT",
                                            "SUM",
                                            "AS",
                                            "INTO",
                                            "'t'",
                                            "NULL",
                                            "IS",
                                            "INDEX",
                                            "NATURAL",
                                            "CROSS",
                                            "EXISTS"};
    std::mt19937 random(12345);
    for (int round = 0; round < 3000; ++round) {
        std::string sql = "SELECT";
        const int length = static_cast<int>(random() % 14);
        for (int i = 0; i < length; ++i) {
            sql += " " + words[random() % words.size()];
        }
        try {
            Query(sql);
        } catch (const tapir::Exception&) {
        } catch (const std::exception& e) {
            ADD_FAILURE() << sql << ": " << e.what();
        }
    }
}

TEST_F(SqlSelect, QueryComponentOpensTheSelectOfItsScript) {
    TSQLMemQuery query;
    query.SetSQL(
        "CREATE TABLE Pets (id INTEGER, kind VARCHAR(10));"
        "INSERT INTO Pets VALUES (1, 'cat'); INSERT INTO Pets VALUES (2, 'dog');"
        "INSERT INTO Pets VALUES (3, 'cat');"
        "SELECT kind, COUNT(*) AS n FROM Pets GROUP BY kind ORDER BY n DESC");
    query.Open();
    ASSERT_NE(query.Result(), nullptr);
    EXPECT_EQ(Print(*query.Result()), "kind|n\ncat|2\ndog|1\n");
    EXPECT_TRUE(query.ResultReadOnly());
    query.Close();
    query.SetSQL("SELECT * FROM Pets WHERE kind = 'dog'");
    query.SetRequestLive(true);
    query.Open();
    EXPECT_FALSE(query.ResultReadOnly());
    EXPECT_EQ(Print(*query.Result()), "id|kind\n2|dog\n");
}

// Big: 2000 rows, k = i % 100 (indexed), v = i.
class SqlSelectBig : public SqlSelect {
  protected:
    void SetUp() override {
        SqlSelect::SetUp();
        MakeTable("Big", {{"k", ftInteger, 0, false}, {"v", ftInteger, 0, false}},
                  {{"BigK", "k", 0, "", ""}});
        std::vector<std::vector<FieldValue>> rows;
        for (int64_t i = 0; i < 2000; ++i) {
            rows.push_back({i % 100, i});
        }
        AddRows("Big", rows);
    }

    struct ReadCase {
        const char* sql;
        std::vector<std::string> lines;
        int64_t most_rows_read;  // rows the scan may deliver at most
    };
    static void CheckReads(const std::vector<ReadCase>& cases) {
        for (const ReadCase& c : cases) {
            try {
                auto result = RunSelect({}, c.sql);
                EXPECT_EQ(Print(*result), Join(c.lines)) << c.sql;
                EXPECT_LE(result->RowsRead(), c.most_rows_read) << c.sql;
            } catch (const tapir::Exception& e) {
                ADD_FAILURE() << c.sql << ": " << e.what();
            }
        }
    }
};

// TOP over a plain scan stops reading once it has its rows; with an order, grouping or
// DISTINCT every row is still read.
TEST_F(SqlSelectBig, TopOverOneTableReadsOnlyTheRowsItReturns) {
    CheckReads({
        {"SELECT TOP 3 v FROM Big", {"v", "0", "1", "2"}, 3},
        {"SELECT TOP 2, 4 v FROM Big", {"v", "3", "4"}, 5},
        {"SELECT TOP 2 v, v * 2 AS w FROM Big WHERE v >= 1500",
         {"v|w", "1500|3000", "1501|3002"},
         2000},
        {"SELECT TOP 2 v FROM Big WHERE v - 1 >= 10", {"v", "11", "12"}, 13},
        {"SELECT TOP 3 v FROM Big WHERE k = 7", {"v", "7", "107", "207"}, 25},
        {"SELECT TOP 0 v FROM Big", {"v"}, 0},
        {"SELECT TOP 5, 1999 v FROM Big", {"v", "1998", "1999"}, 2000},
        {"SELECT TOP 2 v FROM Big ORDER BY v DESC", {"v", "1999", "1998"}, 2000},
        {"SELECT DISTINCT TOP 2 k FROM Big WHERE k > 97", {"k", "98", "99"}, 2000},
    });
    Check({{"SELECT TOP 2 x FROM Nums, Nums2", {"x", "1", "1"}}});
}

// A select list of only COUNT(*) is the scan's row count under its filter, whether an
// index serves the filter, the table's filter scans for it, or the rows are tested one
// by one.
TEST_F(SqlSelectBig, CountAllIsTheFilteredRowCount) {
    CheckReads({
        {"SELECT COUNT(*) AS n FROM Big", {"n", "2000"}, 0},
        {"SELECT COUNT(*) AS n FROM Big WHERE k = 42", {"n", "20"}, 25},
        {"SELECT COUNT(*) AS n FROM Big WHERE v < 10", {"n", "10"}, 2000},
        {"SELECT COUNT(*) AS n FROM Big WHERE v + 0 < 10", {"n", "10"}, 2000},
        {"SELECT COUNT(*) AS n FROM Big WHERE k = 42 AND v + 0 < 1000", {"n", "10"}, 25},
        {"SELECT COUNT(*) AS n FROM Big WHERE k = 1000", {"n", "0"}, 5},
        {"SELECT COUNT(*) AS n FROM Nothing", {"n", "0"}, 0},
        {"SELECT COUNT(*) + 1 AS n FROM Big WHERE k < 2", {"n", "41"}, 2000},
        {"SELECT COUNT(*) AS n FROM Big GROUP BY k HAVING k = 3", {"n", "20"}, 2000},
        {"SELECT COUNT(*) AS n FROM Emp e JOIN Dept d ON e.dept = d.dept", {"n", "3"}, 100},
    });
}

TEST_F(SqlSelect, OrderByBecomesTheResultIndex) {
    struct IndexCase {
        const char* sql;
        const char* fields;  // "" when the result has no index
        const char* descending;
        const char* case_insensitive;
        std::vector<std::string> lines;
    };
    const std::vector<IndexCase> cases = {
        {"SELECT name, dept FROM Emp ORDER BY dept DESC, name NOCASE",
         "dept;name",
         "dept",
         "name",
         {"name|dept", "Dan|30", "Bob|20", "ann|10", "cid|10", "eve|"}},
        {"SELECT DISTINCT x FROM Nums ORDER BY x DESC", "x", "x", "", {"x", "3", "2", "1"}},
        {"SELECT DISTINCT dept, id FROM Emp WHERE id < 3 ORDER BY id DESC",
         "id;dept",
         "id",
         "",
         {"dept|id", "20|2", "10|1"}},
        {"SELECT DISTINCT x FROM Nums2", "x", "", "", {"x", "2", "3", "4"}},
        {"SELECT TOP 2 id FROM Emp ORDER BY 1 DESC", "id", "id", "", {"id", "5", "4"}},
        // The order column is not in the result: the rows come sorted, without an index.
        {"SELECT id FROM Emp ORDER BY salary", "", "", "", {"id", "4", "5", "1", "3", "2"}},
        {"SELECT id FROM Emp", "", "", "", {"id", "1", "2", "3", "4", "5"}},
    };
    for (const IndexCase& c : cases) {
        auto result = RunSelect({}, c.sql);
        EXPECT_EQ(Print(*result), Join(c.lines)) << c.sql;
        if (std::string(c.fields).empty()) {
            EXPECT_TRUE(result->IndexName().empty()) << c.sql;
            EXPECT_TRUE(result->IndexDefs().empty()) << c.sql;
            continue;
        }
        EXPECT_EQ(result->IndexName().rfind("TEMPORARY_TABLE_INDEX_", 0), 0U) << c.sql;
        ASSERT_EQ(result->IndexDefs().size(), 1U) << c.sql;
        const TIndexDef& index = result->IndexDefs().front();
        EXPECT_EQ(index.Name, result->IndexName()) << c.sql;
        EXPECT_EQ(index.Fields, c.fields) << c.sql;
        // An index whose every field runs one way says so by its options.
        EXPECT_EQ(HasOption(index.Options, ixDescending) ? index.Fields : index.DescFields,
                  c.descending)
            << c.sql;
        EXPECT_EQ(HasOption(index.Options, ixCaseInsensitive) ? index.Fields : index.CaseInsFields,
                  c.case_insensitive)
            << c.sql;
    }
}

TEST_F(SqlSelect, IntoTableKeepsTheOrderIndex) {
    Check({{"SELECT name, salary INTO Ranked FROM Emp ORDER BY salary DESC",
            {"name|salary", "Bob|200", "cid|150", "ann|100", "eve|75.5", "Dan|50"}}});
    TSQLMemTable ranked;
    ranked.SetTableName("Ranked");
    ranked.Open();
    ASSERT_EQ(ranked.IndexDefs().size(), 1U);
    const TIndexDef index = ranked.IndexDefs().front();
    EXPECT_EQ(index.Name.rfind("TEMPORARY_TABLE_INDEX_", 0), 0U) << index.Name;
    EXPECT_EQ(index.Fields, "salary");
    EXPECT_TRUE(HasOption(index.Options, ixDescending) || index.DescFields == "salary");
    // The index is kept up to date by later changes to the table.
    ranked.Append();
    ranked.FieldByName("name").SetAsString("top");
    ranked.FieldByName("salary").SetAsFloat(999);
    ranked.Post();
    ranked.SetIndexName(index.Name);
    ranked.First();
    EXPECT_EQ(ranked.FieldByName("name").AsString(), "top");
}

TEST_F(SqlSelect, StatementProcessorHookMakesTheSelectCommand) {
    TSQLMemLexer lexer("SELECT x FROM Nums2 WHERE x > 2", nullptr);
    ASSERT_TRUE(lexer.GetNextCommand());
    std::unique_ptr<TSQLMemSQLCommand> command = MakeQueryCommand(lexer, {});
    ASSERT_NE(command, nullptr);
    command->Parse();
    bool read_only = false;
    command->ExecSQL(false, read_only, false);
    EXPECT_TRUE(read_only);
    ASSERT_NE(command->GetResultDataset(), nullptr);
    EXPECT_EQ(Print(*command->GetResultDataset()), "x\n3\n4\n");
    // A second run of the same command reads the tables afresh.
    AddRows("Nums2", {{int64_t{5}}});
    command->ExecSQL(false, read_only, false);
    EXPECT_EQ(Print(*command->GetResultDataset()), "x\n3\n4\n5\n");
}

}  // namespace
}  // namespace tapir::engine
