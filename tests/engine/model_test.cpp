// Two components on one table doing random appends, edits, deletes, moves and bookmark
// jumps, checked after every step against a plain map of what the table should hold. A
// component may be left on a row the other one deleted (and whose slot a new row then
// took); whatever it does from there must touch no row it did not mean to.

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table.h"
#include "tests/engine/table_fixtures.h"

namespace tapir::engine {
namespace {

constexpr const char* kRowGone = "Record was changed or deleted by another dataset";

class TableModel : public ::testing::Test {
  protected:
    void SetUp() override { TSQLMemEngine::Instance().Reset(); }
    void TearDown() override { TSQLMemEngine::Instance().Reset(); }
};

struct Mark {
    TSQLMemBookmark bookmark;
    int64_t id;
};

uint32_t Seed() {
    if (const char* fixed = std::getenv("TAPIR_MODEL_SEED")) {
        return static_cast<uint32_t>(std::strtoul(fixed, nullptr, 10));
    }
    return std::random_device{}();
}

TEST_F(TableModel, TwoComponentsNeverTouchARowTheyDidNotMean) {
    const uint32_t seed = Seed();
    std::mt19937 random(seed);
    RecordProperty("seed", std::to_string(seed));
    SCOPED_TRACE("seed " + std::to_string(seed) + " (TAPIR_MODEL_SEED repeats it)");
    std::cout << "TableModel seed " << seed << "\n";

    TSQLMemTable first;
    testing::DefineBouquet(first, "Model");
    first.Open();
    TSQLMemTable second;
    testing::DefineBouquet(second, "Model");
    second.SetIndexFieldNames("Id");
    second.Open();
    TSQLMemTable* components[] = {&first, &second};

    std::map<int64_t, std::string> model;  // Id -> Bouquet text
    std::vector<Mark> marks;
    int text_no = 0;
    int stale_changes = 0;  // edits and deletes tried on rows already gone
    int dead_marks = 0;     // bookmarks tried after their row went
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
    auto shown_id = [](TSQLMemTable& table) {
        return static_cast<int64_t>(table.FieldByName("Id").AsLargeint());
    };
    // A row a component has just read must be a row of the model, as the model has it.
    auto check_shown = [&](TSQLMemTable& table) {
        if (table.IsEmpty() || (table.Eof() && table.Bof())) {
            return;
        }
        const auto row = model.find(shown_id(table));
        ASSERT_NE(row, model.end()) << "shows Id " << shown_id(table) << ", not in the table";
        EXPECT_EQ(table.FieldByName("Bouquet").AsString(), row->second);
    };

    for (int step = 0; step < 3000 && !HasFatalFailure(); ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        TSQLMemTable& table = *components[pick(2)];
        const bool has_row = !table.IsEmpty() && !(table.Eof() && table.Bof());
        switch (pick(8)) {
            case 0:
            case 1: {  // append
                const std::string text = "t" + std::to_string(++text_no);
                table.Append();
                table.FieldByName("Bouquet").SetAsString(text);
                table.Post();
                const int64_t id = shown_id(table);
                ASSERT_EQ(model.count(id), 0u) << "Id " << id << " drawn twice";
                model[id] = text;
                break;
            }
            case 2: {  // edit the shown row
                if (!has_row) {
                    break;
                }
                const int64_t id = shown_id(table);
                const std::string text = "e" + std::to_string(++text_no);
                table.Edit();
                table.FieldByName("Bouquet").SetAsString(text);
                if (model.count(id) != 0) {
                    table.Post();
                    model[id] = text;
                } else {
                    ++stale_changes;
                    try {
                        table.Post();
                        ADD_FAILURE() << "edit of deleted Id " << id << " was posted";
                    } catch (const EDatabaseError& error) {
                        EXPECT_EQ(error.Message(), kRowGone);
                    }
                    table.Cancel();
                }
                break;
            }
            case 3: {  // delete the shown row
                if (!has_row) {
                    break;
                }
                const int64_t id = shown_id(table);
                if (model.count(id) != 0) {
                    table.Delete();
                    model.erase(id);
                    check_shown(table);
                } else {
                    ++stale_changes;
                    try {
                        table.Delete();
                        ADD_FAILURE() << "delete of deleted Id " << id << " went through";
                    } catch (const EDatabaseError& error) {
                        EXPECT_EQ(error.Message(), kRowGone);
                    }
                }
                break;
            }
            case 4: {  // move
                const int move = pick(4);
                if (move < 2) {
                    move == 0 ? table.First() : table.Last();
                    // First and Last read the table as it is now.
                    EXPECT_EQ(table.IsEmpty(), model.empty());
                    check_shown(table);
                } else if ((move == 2 ? table.MoveBy(1) : table.MoveBy(-1)) != 0) {
                    check_shown(table);
                }
                break;
            }
            case 5: {  // keep a bookmark of the shown row (it may already be gone)
                if (has_row) {
                    marks.push_back({table.GetBookmark(), shown_id(table)});
                }
                break;
            }
            case 6: {  // jump to a bookmark
                if (marks.empty()) {
                    break;
                }
                const Mark& mark = marks[static_cast<size_t>(pick(static_cast<int>(marks.size())))];
                // A bookmark names a stored row, so either component can go to it.
                const bool alive = model.count(mark.id) != 0;
                EXPECT_EQ(table.BookmarkValid(mark.bookmark), alive) << "Id " << mark.id;
                if (alive) {
                    table.GotoBookmark(mark.bookmark);
                    EXPECT_EQ(shown_id(table), mark.id);
                    check_shown(table);
                } else {
                    ++dead_marks;
                    EXPECT_THROW(table.GotoBookmark(mark.bookmark), EDatabaseError);
                }
                break;
            }
            default: {  // re-read, then compare the whole table with the model
                table.Refresh();
                std::map<int64_t, std::string> seen;
                for (table.First(); !table.Eof(); table.Next()) {
                    seen[shown_id(table)] = table.FieldByName("Bouquet").AsString();
                }
                ASSERT_EQ(seen, model);
                ASSERT_EQ(table.RecordCount(), static_cast<int>(model.size()));
                break;
            }
        }
    }
    // The run reached the cases it is about.
    EXPECT_GT(stale_changes, 0);
    EXPECT_GT(dead_marks, 0);
}

}  // namespace
}  // namespace tapir::engine
