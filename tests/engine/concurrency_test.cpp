// Several threads, each with its own table components, on tables they share: appends,
// edits, deletes, scans in a second index's order and a filtered view run at once. The
// engine's locks must keep every row whole and every view consistent; built with
// ThreadSanitizer (make test SANITIZE=thread) this also proves the locking free of races.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table.h"
#include "tests/engine/table_fixtures.h"

namespace tapir::engine {
namespace {

constexpr const char* kTimers = "SharedTimers";
constexpr const char* kBouquets = "SharedBouquets";
constexpr int kRounds = 150;

class Concurrency : public ::testing::Test {
  protected:
    void SetUp() override { TSQLMemEngine::Instance().Reset(); }
    void TearDown() override { TSQLMemEngine::Instance().Reset(); }
};

void OpenTimers(TSQLMemTable& timers) {
    testing::DefineTimers(timers, kTimers);
    timers.Open();
}

// Runs each body on its own thread; an error raised by a body fails the test.
void RunTogether(const std::vector<std::function<void()>>& bodies) {
    std::vector<std::string> failures(bodies.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < bodies.size(); ++i) {
        threads.emplace_back([&, i] {
            try {
                bodies[i]();
            } catch (const std::exception& error) {
                failures[i] = error.what();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (size_t i = 0; i < failures.size(); ++i) {
        EXPECT_EQ(failures[i], "") << "thread " << i;
    }
}

bool IsRowGone(const EDatabaseError& error) {
    return error.Message() == "Record was changed or deleted by another dataset";
}

TEST_F(Concurrency, ComponentsOnSharedTablesWorkFromSeveralThreads) {
    std::atomic<int> appended{0};
    std::atomic<int> deleted{0};
    std::atomic<bool> writing{true};

    auto appender = [&](int thread_no) {
        return [&, thread_no] {
            TSQLMemTable timers;
            OpenTimers(timers);
            TSQLMemTable bouquets;
            testing::DefineBouquet(bouquets, kBouquets);
            bouquets.Open();
            for (int i = 0; i < kRounds; ++i) {
                timers.Append();
                timers.FieldByName("Zender").SetAsString("T" + std::to_string(thread_no) + "-" +
                                                         std::to_string(i % 10));
                timers.FieldByName("Name").SetAsString("name");
                timers.FieldByName("Begin").SetAsDateTime(45000.0 + i);
                timers.FieldByName("End").SetAsDateTime(45000.5 + i);
                timers.Post();
                ++appended;
                bouquets.Append();
                bouquets.FieldByName("Bouquet").SetAsString("b" + std::to_string(i));
                bouquets.Post();
            }
        };
    };
    auto editor = [&] {
        TSQLMemTable timers;
        OpenTimers(timers);
        for (int i = 0; i < kRounds; ++i) {
            timers.First();
            if (timers.IsEmpty()) {
                continue;
            }
            try {
                timers.Edit();
                timers.FieldByName("Name").SetAsString("edited " + std::to_string(i));
                timers.Post();
            } catch (const EDatabaseError& error) {
                // Another thread deleted the row meanwhile: nothing else may have changed.
                if (!IsRowGone(error)) {
                    throw;
                }
                timers.Cancel();
            }
        }
    };
    auto deleter = [&] {
        TSQLMemTable timers;
        OpenTimers(timers);
        for (int i = 0; i < kRounds; ++i) {
            timers.Last();
            if (timers.IsEmpty() || i % 3 != 0) {
                continue;
            }
            try {
                timers.Delete();
                ++deleted;
            } catch (const EDatabaseError& error) {
                if (!IsRowGone(error)) {
                    throw;
                }
                timers.Refresh();
            }
        }
    };
    auto scanner = [&] {
        // A second index's order and a filtered view, read while the rows change.
        TSQLMemTable timers;
        OpenTimers(timers);
        timers.SetIndexFieldNames("Zender");
        TSQLMemTable filtered;
        OpenTimers(filtered);
        filtered.OnFilterRecord = [](TSQLMemDataSet& dataset, bool& accept) {
            accept = dataset.FieldByName("Zender").AsString().starts_with("T1");
        };
        filtered.SetFiltered(true);
        do {
            std::string previous;
            for (timers.First(); !timers.Eof(); timers.Next()) {
                const std::string zender = timers.FieldByName("Zender").AsString();
                if (zender < previous) {
                    throw EDatabaseError("rows out of index order");
                }
                previous = zender;
            }
            filtered.Refresh();
            for (filtered.First(); !filtered.Eof(); filtered.Next()) {
                if (!filtered.FieldByName("Zender").AsString().starts_with("T1")) {
                    throw EDatabaseError("filtered view shows a hidden row");
                }
            }
            (void)filtered.RecordCount();
        } while (writing);
    };

    std::thread scanning([&] {
        try {
            scanner();
        } catch (const std::exception& error) {
            ADD_FAILURE() << "scanner: " << error.what();
        }
    });
    RunTogether({appender(1), appender(2), editor, deleter});
    writing = false;
    scanning.join();

    TSQLMemTable timers;
    OpenTimers(timers);
    EXPECT_EQ(timers.RecordCount(), appended - deleted);
    int in_order = 0;
    for (timers.First(); !timers.Eof(); timers.Next()) {
        EXPECT_EQ(timers.FieldByName("Begin").AsDateTime() + 0.5,
                  timers.FieldByName("End").AsDateTime())
            << "a row mixed from two writes";
        ++in_order;
    }
    EXPECT_EQ(in_order, timers.RecordCount());
    TSQLMemTable bouquets;
    testing::DefineBouquet(bouquets, kBouquets);
    bouquets.Open();
    EXPECT_EQ(bouquets.RecordCount(), 2 * kRounds);
    // Autoinc numbers were drawn once each.
    std::vector<bool> seen(2 * kRounds + 1, false);
    for (bouquets.First(); !bouquets.Eof(); bouquets.Next()) {
        const int id = bouquets.FieldByName("Id").AsInteger();
        ASSERT_TRUE(id >= 1 && id <= 2 * kRounds) << id;
        EXPECT_FALSE(seen[id]) << "Id " << id << " twice";
        seen[id] = true;
    }
}

}  // namespace
}  // namespace tapir::engine
