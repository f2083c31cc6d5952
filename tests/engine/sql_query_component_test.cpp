// The query component's parameter list (ParamCheck, DataSource) and the changes of every
// visible row in one pass: the dataset's UpdateVisibleRecords / DeleteVisibleRecords and
// the UPDATE and DELETE statements that use them.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/record/db_types.h"
#include "engine/sql/query/sqlmem_sql_select.h"
#include "engine/sql/statements/sqlmem_query.h"
#include "engine/table/data_source.h"
#include "engine/table/field.h"
#include "engine/table/sqlmem_cursor.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table.h"
#include "sql_script_helpers.h"

namespace tapir::engine {
namespace {

using Lines = std::vector<std::string>;

class QueryComponentTest : public ::testing::Test {
  protected:
    void SetUp() override { InstallQueryCommand(); }
    void TearDown() override { TSQLMemEngine::Instance().Reset(); }

    static int64_t Run(const std::string& sql) { return testing::RunScript(sql); }
    static Lines Rows(const std::string& table) { return testing::TableRows(table); }

    static Lines Names(const TSQLMemSQLParams& params) {
        Lines names;
        for (int32_t i = 0; i < params.Count(); ++i) {
            names.push_back(params.Items(i).Name());
        }
        return names;
    }

    // The first column of every row an opened query returns, as text.
    static Lines Column(TSQLMemQuery& query) {
        query.Open();
        Lines values;
        TSQLMemDataSet& result = *query.Result();
        for (result.First(); !result.Eof(); result.Next()) {
            values.push_back(result.Fields()[0]->AsString());
        }
        query.Close();
        return values;
    }

    // Faults found in the indexes of a table, through a cursor of its own.
    static std::vector<std::string> IndexFaults(const std::string& table) {
        TSQLMemCursor::OpenParams params;
        params.definition.name = table;
        TSQLMemCursor cursor(params);
        return cursor.CheckIntegrity();
    }
};

// --- ParamCheck ----------------------------------------------------------------------------

TEST_F(QueryComponentTest, ParamCheckRebuildsTheListFromTheText) {
    TSQLMemQuery query;
    EXPECT_TRUE(query.ParamCheck());
    query.Params().SetParam("KEEP", TSQLMemVariant::FromInteger(7));
    query.Params().SetParam("gone", TSQLMemVariant::FromInteger(1));
    // Each name once, in the order of first use, letter case ignored; a colon inside a
    // string or a comment names no parameter.
    query.SetSQL(
        "SELECT * FROM t WHERE a = :keep AND b = ':quoted' -- :comment\n"
        "AND c = :New AND d = :KEEP; DELETE FROM u WHERE e = :new OR f = :last");
    EXPECT_EQ(Names(query.Params()), (Lines{"keep", "New", "last"}));
    // The value a same-named parameter had is kept; new ones have none.
    EXPECT_EQ(query.Params().Items(0).AsInteger(), 7);
    EXPECT_TRUE(query.Params().Items(1).IsNull());
    EXPECT_EQ(query.Params().Items(1).BaseType(), bftUnknown);

    // A text without parameters empties the list; one the lexer cannot cut keeps the
    // names found before the fault.
    query.SetSQL("SELECT 1");
    EXPECT_EQ(query.Params().Count(), 0);
    query.SetSQL("SELECT :a; SELECT :b FROM 'open");
    EXPECT_EQ(Names(query.Params()), (Lines{"a", "b"}));
}

TEST_F(QueryComponentTest, WithoutParamCheckTheListStaysAsMade) {
    Run("CREATE TABLE t (n INTEGER); INSERT INTO t VALUES (1); INSERT INTO t VALUES (2)");
    TSQLMemQuery query;
    query.SetParamCheck(false);
    query.Params().SetParam("n", TSQLMemVariant::FromInteger(2));
    query.Params().SetParam("unused", TSQLMemVariant::FromInteger(0));
    query.SetSQL("SELECT n FROM t WHERE n = :n");
    EXPECT_EQ(Names(query.Params()), (Lines{"n", "unused"}));
    EXPECT_EQ(Column(query), (Lines{"2"}));
    // A parameter missing from the list is still the lexer's error.
    query.SetSQL("SELECT n FROM t WHERE n = :other");
    EXPECT_THROW(query.Open(), ESQLMemException);
}

// --- DataSource ----------------------------------------------------------------------------

TEST_F(QueryComponentTest, ParametersWithoutValueComeFromTheDataSourcesCurrentRow) {
    Run("CREATE TABLE master (Id INTEGER, Label VARCHAR(10));"
        "INSERT INTO master VALUES (1, 'one'); INSERT INTO master VALUES (2, 'two');"
        "CREATE TABLE detail (id INTEGER, text VARCHAR(10));"
        "INSERT INTO detail VALUES (1, 'a'); INSERT INTO detail VALUES (2, 'b');"
        "INSERT INTO detail VALUES (2, 'c')");
    TSQLMemTable master;
    master.SetTableName("master");
    master.Open();
    TDataSource source;
    source.SetDataSet(&master);

    TSQLMemQuery query;
    query.SetSQL("SELECT text FROM detail WHERE id = :ID ORDER BY text");
    query.SetDataSource(&source);
    EXPECT_EQ(Column(query), (Lines{"a"}));
    master.Next();
    EXPECT_EQ(Column(query), (Lines{"b", "c"}));
    // The list itself is not changed: the next run reads the row current then.
    EXPECT_TRUE(query.Params().Items(0).IsNull());

    // A value given to the parameter wins over the data source, a typed null too.
    query.Params().Items(0).SetValue(TSQLMemVariant::FromInteger(1));
    EXPECT_EQ(Column(query), (Lines{"a"}));
    query.Params().Items(0).SetValue(TSQLMemVariant::Null(bftSignedInt32));
    EXPECT_EQ(Column(query), Lines{});

    // No such field, a closed dataset, or no data source: the parameter stays null.
    query.SetSQL("SELECT text FROM detail WHERE id = :nothing OR :nothing IS NULL");
    EXPECT_EQ(Column(query).size(), 3U);
    query.SetSQL("SELECT text FROM detail WHERE id = :id");
    master.Close();
    EXPECT_EQ(Column(query), Lines{});
    master.Open();
    EXPECT_EQ(Column(query), (Lines{"a"}));
    query.SetDataSource(nullptr);
    EXPECT_EQ(Column(query), Lines{});

    // Statements read them too.
    query.SetDataSource(&source);
    query.SetSQL("UPDATE detail SET text = :Label WHERE id = :Id");
    query.ExecSQL();
    EXPECT_EQ(query.RowsAffected(), 1);
    EXPECT_EQ(Rows("detail"), (Lines{"1|one", "2|b", "2|c"}));
    source.SetDataSet(nullptr);
}

// --- UPDATE and DELETE in one pass -----------------------------------------------------------

TEST_F(QueryComponentTest, OnePassUpdateGivesWhatTheRowPathGives) {
    // The same change three ways: constants (one pass, values converted once), the
    // values read from the row's own fields (one pass, values computed per row), and
    // read through a subquery (edited and posted row by row). Every row and the
    // one-row table hold in their source columns the values the constants name: text
    // cut to the column, empty text, a float into an integer, a null.
    const char* setup =
        "CREATE TABLE t (id INTEGER PRIMARY KEY, n INTEGER, s VARCHAR(5), f FLOAT, "
        "src_s VARCHAR(20), src_e VARCHAR(5), src_f FLOAT, src_null INTEGER);"
        "INSERT INTO t VALUES (1, 1, 'a', 1.5, 'abcdefghij', '', 2.75, NULL);"
        "INSERT INTO t VALUES (2, 2, 'b', 2.5, 'abcdefghij', '', 2.75, NULL);"
        "INSERT INTO t VALUES (3, 3, 'c', NULL, 'abcdefghij', '', 2.75, NULL);"
        "INSERT INTO t VALUES (4, 4, NULL, 4.5, 'abcdefghij', '', 2.75, NULL);"
        "CREATE TABLE one (src_s VARCHAR(20), src_e VARCHAR(5), src_f FLOAT, src_null INTEGER);"
        "INSERT INTO one VALUES ('abcdefghij', '', 2.75, NULL)";
    struct Forms {
        std::string constant, from_row, from_subquery;
    };
    const std::vector<Forms> forms = {
        {"UPDATE t SET s = 'abcdefghij', n = 2.75 WHERE id >= 2",
         "UPDATE t SET s = src_s, n = src_f WHERE id >= 2",
         "UPDATE t SET s = (SELECT src_s FROM one), n = (SELECT src_f FROM one) WHERE id >= 2"},
        {"UPDATE t SET s = '', f = NULL WHERE s <> 'b'",
         "UPDATE t SET s = src_e, f = src_null WHERE s <> 'b'",
         "UPDATE t SET s = (SELECT src_e FROM one), f = (SELECT src_null FROM one) "
         "WHERE s <> 'b'"},
        {"UPDATE t SET f = 2.75, n = NULL", "UPDATE t SET f = src_f, n = src_null",
         "UPDATE t SET f = (SELECT src_f FROM one), n = (SELECT src_null FROM one)"},
        // Each assignment sees the ones before it in the same row.
        {"UPDATE t SET n = 7, f = 7 WHERE id < 3", "UPDATE t SET n = 7, f = n WHERE id < 3",
         "UPDATE t SET n = (SELECT 7 FROM one), f = n WHERE id < 3"},
    };
    for (const Forms& form : forms) {
        SCOPED_TRACE(form.constant);
        Run(setup);
        const int64_t changed = Run(form.constant);
        const Lines expected = Rows("t");
        for (const std::string& other : {form.from_row, form.from_subquery}) {
            SCOPED_TRACE(other);
            TSQLMemEngine::Instance().Reset();
            Run(setup);
            EXPECT_EQ(Run(other), changed);
            EXPECT_EQ(Rows("t"), expected);
            EXPECT_TRUE(IndexFaults("t").empty());
        }
        TSQLMemEngine::Instance().Reset();
    }
}

TEST_F(QueryComponentTest, AValueThatCannotBeStoredStopsTheOnePassUpdate) {
    Run("CREATE TABLE t (id INTEGER PRIMARY KEY, n SMALLINT, big INTEGER);"
        "INSERT INTO t VALUES (1, 1, 5); INSERT INTO t VALUES (2, 2, 100000);"
        "INSERT INTO t VALUES (3, 3, 7)");
    // The second row's value does not fit the column: the first row keeps its change,
    // the view and the indexes stay sound.
    EXPECT_FALSE(testing::ScriptError("UPDATE t SET n = big").empty());
    EXPECT_EQ(Rows("t"), (Lines{"1|5|5", "2|2|100000", "3|3|7"}));
    EXPECT_TRUE(IndexFaults("t").empty());
    EXPECT_EQ(Run("UPDATE t SET n = big + 1 WHERE big < 50"), 2);
    EXPECT_EQ(Rows("t"), (Lines{"1|6|5", "2|2|100000", "3|8|7"}));
}

TEST_F(QueryComponentTest, OnePassUpdateOfAnIndexedKey) {
    Run("CREATE TABLE k (id INTEGER PRIMARY KEY, v INTEGER, w INTEGER);"
        "CREATE INDEX kv ON k (v)");
    for (int i = 1; i <= 50; ++i) {
        Run("INSERT INTO k VALUES (" + std::to_string(i) + ", " + std::to_string(i % 5) + ", 0)");
    }
    // The rows move within both indexes; the condition is served by the key's index.
    EXPECT_EQ(Run("UPDATE k SET v = 9 WHERE id > 10 AND id <= 20"), 10);
    EXPECT_EQ(Run("UPDATE k SET id = 1000 WHERE id = 7"), 1);
    EXPECT_TRUE(IndexFaults("k").empty());
    TSQLMemQuery query;
    query.SetSQL("SELECT COUNT(*) FROM k WHERE v = 9");
    EXPECT_EQ(Column(query), (Lines{"10"}));
    query.SetSQL("SELECT v FROM k WHERE id = 1000");
    EXPECT_EQ(Column(query), (Lines{"2"}));
    query.SetSQL("SELECT id FROM k WHERE id = 7");
    EXPECT_EQ(Column(query), Lines{});
}

TEST_F(QueryComponentTest, AViolationStopsTheOnePassUpdateWithTheRowsBeforeItChanged) {
    Run("CREATE TABLE u (id INTEGER PRIMARY KEY, code INTEGER UNIQUE);"
        "INSERT INTO u VALUES (1, 1); INSERT INTO u VALUES (2, 2); INSERT INTO u VALUES (3, 3);"
        "INSERT INTO u VALUES (4, 4)");
    TSQLMemQuery query;
    query.SetSQL("UPDATE u SET code = 50 WHERE id >= 2");
    try {
        query.ExecSQL();
        FAIL() << "a second row with code 50 was stored";
    } catch (const EDatabaseError& error) {
        EXPECT_NE(std::string(error.what()).find("Duplicate"), std::string::npos) << error.what();
    }
    EXPECT_EQ(Rows("u"), (Lines{"1|1", "2|50", "3|3", "4|4"}));
    EXPECT_TRUE(IndexFaults("u").empty());
    // The primary key the same way.
    query.SetSQL("UPDATE u SET id = 1 WHERE code > 3");
    EXPECT_THROW(query.ExecSQL(), EDatabaseError);
    EXPECT_EQ(Rows("u"), (Lines{"1|1", "2|50", "3|3", "4|4"}));
}

TEST_F(QueryComponentTest, DeleteThroughAnIndexedCondition) {
    Run("CREATE TABLE d (id INTEGER PRIMARY KEY, g INTEGER); CREATE INDEX dg ON d (g)");
    {
        TSQLMemTable table;
        table.SetTableName("d");
        table.Open();
        for (int i = 1; i <= 1000; ++i) {
            table.Append();
            table.Fields()[0]->SetAsInteger(i);
            table.Fields()[1]->SetAsInteger(i % 7);
            table.Post();
        }
    }
    EXPECT_EQ(Run("DELETE FROM d WHERE id > 100 AND id <= 300"), 200);
    EXPECT_EQ(Run("DELETE FROM d WHERE g = 3"), 114);
    EXPECT_EQ(Run("DELETE FROM d WHERE id > 5000"), 0);
    EXPECT_TRUE(IndexFaults("d").empty());
    TSQLMemQuery query;
    query.SetSQL("SELECT COUNT(*) FROM d");
    EXPECT_EQ(Column(query), (Lines{"686"}));
    query.SetSQL("SELECT COUNT(*) FROM d WHERE (id > 100 AND id <= 300) OR g = 3");
    EXPECT_EQ(Column(query), (Lines{"0"}));
    EXPECT_EQ(Run("DELETE FROM d"), 686);
    EXPECT_EQ(Rows("d"), Lines{});
}

// --- The dataset operations ------------------------------------------------------------------

class CountingLink : public TDataLink {
  public:
    void DataSetChanged() override { ++changes; }
    int changes = 0;
};

TEST_F(QueryComponentTest, DatasetChangesEveryVisibleRowAsRowByRowWithAHandlerWould) {
    const char* setup =
        "CREATE TABLE t (id INTEGER PRIMARY KEY, g INTEGER, s VARCHAR(4));"
        "CREATE INDEX tg ON t (g)";
    const auto fill = [] {
        TSQLMemTable table;
        table.SetTableName("t");
        table.Open();
        for (int i = 1; i <= 40; ++i) {
            table.Append();
            table.Fields()[0]->SetAsInteger(i);
            table.Fields()[1]->SetAsInteger(i % 4);
            table.Fields()[2]->SetAsString("r" + std::to_string(i));
            table.Post();
        }
    };
    // The same changes over a filtered view in index order: once in one pass, once row
    // by row with handlers that must see every row.
    Lines expected;
    for (const bool one_pass : {true, false}) {
        SCOPED_TRACE(one_pass ? "one pass" : "row by row");
        Run(setup);
        fill();
        TSQLMemTable table;
        table.SetTableName("t");
        table.SetIndexName("tg");
        table.Open();
        table.SetFilter("g = 1 OR g = 2");
        table.SetFiltered(true);
        int posts = 0;
        int deletes = 0;
        table.BeforePost = [&](TSQLMemDataSet&) { ++posts; };
        table.BeforeDelete = [&](TSQLMemDataSet&) { ++deletes; };
        if (one_pass) {
            // g = 3 leaves the view; s is cut to its four characters.
            EXPECT_EQ(table.UpdateVisibleRecords({"G", "s"}, {int64_t{3}, std::string("long")}),
                      20);
            EXPECT_EQ(posts, 0);
            EXPECT_EQ(table.RecordCount(), 0);
            table.SetFilter("g = 0");
            EXPECT_EQ(table.DeleteVisibleRecords(), 10);
            EXPECT_EQ(deletes, 0);
        } else {
            table.First();
            while (!table.Eof()) {
                table.Edit();
                table.FieldByName("g").SetAsInteger(3);
                table.FieldByName("s").SetAsString("long");
                table.Post();
            }
            EXPECT_EQ(posts, 20);
            table.SetFilter("g = 0");
            while (!table.IsEmpty()) {
                table.Delete();
            }
            EXPECT_EQ(deletes, 10);
        }
        table.Close();
        if (one_pass) {
            expected = Rows("t");
            EXPECT_EQ(expected.size(), 30U);
        } else {
            EXPECT_EQ(Rows("t"), expected);
        }
        EXPECT_TRUE(IndexFaults("t").empty());
        TSQLMemEngine::Instance().Reset();
    }
}

TEST_F(QueryComponentTest, DatasetBulkChangesTellTheDataSourcesAndRefuseWhatTheyMust) {
    Run("CREATE TABLE t (id INTEGER PRIMARY KEY, v INTEGER);"
        "INSERT INTO t VALUES (1, 10); INSERT INTO t VALUES (2, 20); INSERT INTO t VALUES (3, 30)");
    TSQLMemTable table;
    table.SetTableName("t");
    table.Open();
    TDataSource source;
    source.SetDataSet(&table);
    CountingLink link;
    link.SetDataSource(&source);

    // A pending edit is posted first; the first visible row is current afterwards.
    table.Last();
    table.Edit();
    table.FieldByName("v").SetAsInteger(31);
    link.changes = 0;
    EXPECT_EQ(table.UpdateVisibleRecords({"v"}, {int64_t{5}}), 3);
    EXPECT_EQ(table.State(), dsBrowse);
    EXPECT_GE(link.changes, 1);
    EXPECT_EQ(table.FieldByName("id").AsInteger(), 1);
    EXPECT_EQ(table.FieldByName("v").AsInteger(), 5);
    EXPECT_EQ(Rows("t"), (Lines{"1|5", "2|5", "3|5"}));

    // Unknown fields and lists of different lengths change nothing.
    EXPECT_THROW(table.UpdateVisibleRecords({"nope"}, {int64_t{1}}), EDatabaseError);
    EXPECT_THROW(table.UpdateVisibleRecords({"v"}, {}), EDatabaseError);
    // A failing row: the count so far is handed back with the error.
    int64_t done = -1;
    EXPECT_THROW(table.UpdateVisibleRecords({"id"}, {int64_t{9}}, &done), EDatabaseError);
    EXPECT_EQ(done, 1);
    EXPECT_EQ(Rows("t"), (Lines{"9|5", "2|5", "3|5"}));

    table.SetReadOnly(true);
    EXPECT_THROW(table.DeleteVisibleRecords(), EDatabaseError);
    table.SetReadOnly(false);
    link.changes = 0;
    EXPECT_EQ(table.DeleteVisibleRecords(&done), 3);
    EXPECT_EQ(done, 3);
    EXPECT_GE(link.changes, 1);
    EXPECT_TRUE(table.IsEmpty());
    EXPECT_TRUE(table.Eof());
    EXPECT_EQ(table.DeleteVisibleRecords(), 0);
    link.SetDataSource(nullptr);
    source.SetDataSet(nullptr);
}

}  // namespace
}  // namespace tapir::engine
