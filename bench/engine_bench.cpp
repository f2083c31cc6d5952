// The table component against SQLite's in-memory database on the same data in one run:
// appends, point look-ups by primary key, range scans and an ordered scan over a
// secondary index, and random deletes. Each workload prints CPU time for both engines,
// time per operation, memory per row and ratio = sqlite time / tapir time (above 1:
// Tapir is faster). `--rows N` scales the workloads down; `--budget S` stops a Tapir
// workload after S CPU seconds and extrapolates its time from the part done.

#include <malloc.h>
#include <sqlite3.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_table.h"
#include "engine/record/sqlmem_memory_manager.h"
#include "engine/table/sqlmem_cursor.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table.h"

namespace te = tapir::engine;

namespace {

using bench::CpuSeconds;
using bench::kNameLength;
using bench::kSeed;

// Small blocks in the arenas plus blocks the allocator mapped on their own.
size_t HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

struct Options {
    int rows = 1000000;
    double budget = 120.0;  // CPU seconds per Tapir workload, appends excepted
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--rows" || arg == "--budget") && i + 1 < argc) {
            const double value = std::strtod(argv[++i], nullptr);
            if (arg == "--rows") {
                options.rows = static_cast<int>(value);
            } else {
                options.budget = value;
            }
        } else {
            std::fprintf(stderr, "usage: %s [--rows N] [--budget SECONDS]\n", argv[0]);
            std::exit(2);
        }
    }
    if (options.rows < 1000) {
        std::fprintf(stderr, "--rows must be at least 1000\n");
        std::exit(2);
    }
    return options;
}

using bench::MakeNames;
using bench::MakeStamps;

// One workload's figures for one engine.
struct Measure {
    double seconds = 0;
    int64_t operations = 0;  // done
    int64_t planned = 0;     // asked for; more than done when the budget stopped it
    double bytes_per_row = 0;
    double heap_per_row = -1;  // Tapir only: every heap byte, pages included

    double Extrapolated() const {
        return operations >= planned || operations == 0
                   ? seconds
                   : seconds * static_cast<double>(planned) / static_cast<double>(operations);
    }
};

void PrintLine(const std::string& workload, const Measure& tapir, const Measure& sqlite,
               int64_t rows) {
    const double tapir_time = tapir.Extrapolated();
    const double per_op =
        tapir_time * 1e9 / static_cast<double>(std::max<int64_t>(1, tapir.planned));
    const double sqlite_per_op =
        sqlite.seconds * 1e9 / static_cast<double>(std::max<int64_t>(1, sqlite.planned));
    std::string note;
    if (tapir.operations < tapir.planned) {
        note = " [tapir stopped after " + std::to_string(tapir.operations) + " of " +
               std::to_string(tapir.planned) + ", time extrapolated]";
    }
    char heap[32] = "";
    if (tapir.heap_per_row >= 0) {
        std::snprintf(heap, sizeof heap, " (heap %.0f)", tapir.heap_per_row);
    }
    std::printf(
        "%-38s tapir %9.3f s %9.0f ns/op %6.0f B/row%s | sqlite %8.3f s %8.0f "
        "ns/op %6.0f B/row%s rows=%lld ratio=%.2f\n",
        workload.c_str(), tapir_time, per_op, tapir.bytes_per_row, heap, sqlite.seconds,
        sqlite_per_op, sqlite.bytes_per_row, note.c_str(), static_cast<long long>(rows),
        tapir_time > 0 ? sqlite.seconds / tapir_time : 0.0);
    std::fflush(stdout);
}

// --- Tapir ----------------------------------------------------------------------------------

class TapirSide {
  public:
    explicit TapirSide(const std::string& table_name) : table_("Bench") {
        table_.SetTableName(table_name);
        bench::DefineBenchTable(table_);
        manager_base_ = te::TSQLMemMemoryManager::Instance().BytesInUse();
        heap_base_ = HeapInUse();
        table_.Open();
        name_ = &table_.FieldByName("Name");
        stamp_ = &table_.FieldByName("Stamp");
        id_ = &table_.FieldByName("Id");
    }
    ~TapirSide() {
        const std::string name = table_.TableName();
        table_.Close();
        te::DeleteTable("MEMORY", name);
    }
    TapirSide(const TapirSide&) = delete;
    TapirSide& operator=(const TapirSide&) = delete;

    void FillSizes(Measure& measure, int64_t rows) const {
        const double count = static_cast<double>(std::max<int64_t>(1, rows));
        measure.bytes_per_row =
            static_cast<double>(te::TSQLMemMemoryManager::Instance().BytesInUse()) -
            static_cast<double>(manager_base_);
        measure.bytes_per_row /= count;
    }
    // Every heap byte since the table was made: only meaningful right after an append,
    // before the benchmark's own look-up lists exist.
    void FillHeap(Measure& measure, int64_t rows) const {
        measure.heap_per_row =
            (static_cast<double>(HeapInUse()) - static_cast<double>(heap_base_)) /
            static_cast<double>(std::max<int64_t>(1, rows));
    }

    Measure Append(const std::vector<std::string>& names, const std::vector<double>& stamps,
                   int count) {
        Measure measure;
        measure.planned = count;
        const double start = CpuSeconds();
        for (int i = 0; i < count; ++i) {
            table_.Append();
            name_->SetAsString(names[static_cast<size_t>(i)]);
            stamp_->SetAsDateTime(stamps[static_cast<size_t>(i)]);
            table_.Post();
        }
        measure.seconds = CpuSeconds() - start;
        measure.operations = count;
        FillSizes(measure, count);
        FillHeap(measure, count);
        return measure;
    }

    // Runs `step(i)` for i in [0, planned) until done or the budget is spent.
    static Measure Timed(int64_t planned, double budget, const std::function<void(int64_t)>& step) {
        Measure measure;
        measure.planned = planned;
        const double start = CpuSeconds();
        int64_t done = 0;
        for (; done < planned; ++done) {
            step(done);
            if ((done & 255) == 255 && CpuSeconds() - start > budget) {
                ++done;
                break;
            }
        }
        measure.seconds = CpuSeconds() - start;
        measure.operations = done;
        return measure;
    }

    te::TSQLMemTable& Table() { return table_; }
    te::TField& Name() { return *name_; }
    te::TField& Stamp() { return *stamp_; }
    te::TField& Id() { return *id_; }

  private:
    te::TSQLMemTable table_;
    te::TField* name_ = nullptr;
    te::TField* stamp_ = nullptr;
    te::TField* id_ = nullptr;
    size_t manager_base_ = 0;
    size_t heap_base_ = 0;
};

// --- SQLite ---------------------------------------------------------------------------------

void Check(int code, sqlite3* db, const char* what) {
    if (code != SQLITE_OK && code != SQLITE_DONE && code != SQLITE_ROW) {
        throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
    }
}

class Statement {
  public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        Check(sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr), db, sql);
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return statement_; }
    // Steps once; true on a row.
    bool Step() {
        const int code = sqlite3_step(statement_);
        Check(code, db_, "step");
        return code == SQLITE_ROW;
    }
    void Reset() {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }

  private:
    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
};

class SqliteSide {
  public:
    SqliteSide() {
        base_ = sqlite3_memory_used();
        Check(sqlite3_open(":memory:", &db_), db_, "open");
        Exec(
            "CREATE TABLE t(id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT, stamp REAL);"
            "CREATE INDEX t_name ON t(name);");
    }
    ~SqliteSide() { sqlite3_close(db_); }
    SqliteSide(const SqliteSide&) = delete;
    SqliteSide& operator=(const SqliteSide&) = delete;

    void Exec(const char* sql) {
        Check(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr), db_, sql);
    }
    sqlite3* Db() const { return db_; }

    void FillSizes(Measure& measure, int64_t rows) const {
        measure.bytes_per_row = static_cast<double>(sqlite3_memory_used() - base_) /
                                static_cast<double>(std::max<int64_t>(1, rows));
    }

    Measure Append(const std::vector<std::string>& names, const std::vector<double>& stamps,
                   int count) {
        Measure measure;
        measure.planned = count;
        Statement insert(db_, "INSERT INTO t(name, stamp) VALUES(?1, ?2)");
        const double start = CpuSeconds();
        Exec("BEGIN");
        for (int i = 0; i < count; ++i) {
            const std::string& name = names[static_cast<size_t>(i)];
            sqlite3_bind_text(insert.get(), 1, name.data(), static_cast<int>(name.size()),
                              SQLITE_STATIC);
            sqlite3_bind_double(insert.get(), 2, stamps[static_cast<size_t>(i)]);
            insert.Step();
            insert.Reset();
        }
        Exec("COMMIT");
        measure.seconds = CpuSeconds() - start;
        measure.operations = count;
        FillSizes(measure, count);
        return measure;
    }

  private:
    sqlite3* db_ = nullptr;
    sqlite3_int64 base_ = 0;
};

// Keeps results alive so that no read is optimised away, and lets both engines' answers
// be compared.
struct Checksum {
    int64_t rows = 0;
    double sum = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    const int big = options.rows;
    const int small = big / 10;
    const int lookups = big / 10;
    const int scans = 1000;
    const int scan_rows = std::max(1, big / 1000);
    const int deletes = big / 10;

    std::mt19937 random(kSeed);
    const std::vector<std::string> names = MakeNames(big, random);
    const std::vector<double> stamps = MakeStamps(big, random);

    std::printf(
        "Table component vs SQLite %s \":memory:\", CPU time, seed %u. Table: autoinc primary "
        "key, %d-character name, date-time; non-unique secondary index on the name.\n",
        sqlite3_libversion(), kSeed, kNameLength);
    std::printf(
        "Name order: Tapir compares with ICU collation; SQLite uses its default BINARY "
        "collation (names are lower-case a-z of one length, so both orders agree). "
        "SQLite: prepared statements, one transaction per workload. B/row: Tapir engine "
        "memory manager (heap: every heap byte), SQLite sqlite3_memory_used().\n");
    std::fflush(stdout);

    try {
        // Append into fresh tables of both sizes.
        {
            Measure tapir;
            {
                TapirSide side("BenchSmall");
                tapir = side.Append(names, stamps, small);
            }
            SqliteSide sqlite;
            const Measure lite = sqlite.Append(names, stamps, small);
            PrintLine("append", tapir, lite, small);
        }
        TapirSide tapir_side("BenchLarge");
        SqliteSide sqlite_side;
        {
            const Measure tapir = tapir_side.Append(names, stamps, big);
            const Measure lite = sqlite_side.Append(names, stamps, big);
            PrintLine("append", tapir, lite, big);
        }
        te::TSQLMemTable& table = tapir_side.Table();
        sqlite3* db = sqlite_side.Db();

        // Point look-ups by primary key in random order.
        {
            std::vector<int64_t> ids(static_cast<size_t>(lookups));
            std::uniform_int_distribution<int64_t> pick(1, big);
            for (int64_t& id : ids) {
                id = pick(random);
            }
            table.SetIndexName("Id");
            Checksum tapir_sum;
            Measure tapir = TapirSide::Timed(lookups, options.budget, [&](int64_t i) {
                if (table.FindKey({ids[static_cast<size_t>(i)]})) {
                    ++tapir_sum.rows;
                    tapir_sum.sum += tapir_side.Stamp().AsDateTime();
                }
            });
            tapir_side.FillSizes(tapir, big);
            Checksum lite_sum;
            Statement select(db, "SELECT name, stamp FROM t WHERE id = ?1");
            Measure lite;
            lite.planned = lookups;
            const double start = CpuSeconds();
            sqlite_side.Exec("BEGIN");
            for (const int64_t id : ids) {
                sqlite3_bind_int64(select.get(), 1, id);
                if (select.Step()) {
                    ++lite_sum.rows;
                    lite_sum.sum += sqlite3_column_double(select.get(), 1);
                }
                select.Reset();
            }
            sqlite_side.Exec("COMMIT");
            lite.seconds = CpuSeconds() - start;
            lite.operations = lookups;
            sqlite_side.FillSizes(lite, big);
            if (tapir.operations == lookups && tapir_sum.rows != lite_sum.rows) {
                std::printf("  MISMATCH: tapir found %lld, sqlite %lld\n",
                            static_cast<long long>(tapir_sum.rows),
                            static_cast<long long>(lite_sum.rows));
            }
            PrintLine(std::to_string(lookups) + " point look-ups (FindKey)", tapir, lite, big);
        }

        // Range scans over the secondary index.
        {
            std::vector<std::string> sorted = names;
            std::sort(sorted.begin(), sorted.end());
            std::uniform_int_distribution<int> pick(0, big - scan_rows);
            std::vector<std::pair<std::string, std::string>> bounds;
            for (int i = 0; i < scans; ++i) {
                const int at = pick(random);
                bounds.emplace_back(sorted[static_cast<size_t>(at)],
                                    sorted[static_cast<size_t>(at + scan_rows - 1)]);
            }
            table.SetIndexName("Name");
            Checksum tapir_sum;
            Measure tapir = TapirSide::Timed(scans, options.budget, [&](int64_t i) {
                const auto& [low, high] = bounds[static_cast<size_t>(i)];
                table.SetRange({low}, {high});
                if (table.Eof()) {
                    table.First();  // the same range as before is not applied again
                }
                while (!table.Eof()) {
                    ++tapir_sum.rows;
                    tapir_sum.sum += tapir_side.Stamp().AsDateTime();
                    tapir_sum.sum += static_cast<double>(tapir_side.Name().AsString().size());
                    table.Next();
                }
            });
            table.CancelRange();
            tapir_side.FillSizes(tapir, big);
            Checksum lite_sum;
            Statement select(db,
                             "SELECT id, name, stamp FROM t WHERE name BETWEEN ?1 AND ?2 "
                             "ORDER BY name");
            Measure lite;
            lite.planned = scans;
            const double start = CpuSeconds();
            sqlite_side.Exec("BEGIN");
            for (const auto& [low, high] : bounds) {
                sqlite3_bind_text(select.get(), 1, low.data(), static_cast<int>(low.size()),
                                  SQLITE_STATIC);
                sqlite3_bind_text(select.get(), 2, high.data(), static_cast<int>(high.size()),
                                  SQLITE_STATIC);
                while (select.Step()) {
                    ++lite_sum.rows;
                    lite_sum.sum += sqlite3_column_double(select.get(), 2);
                    lite_sum.sum += static_cast<double>(sqlite3_column_bytes(select.get(), 1));
                }
                select.Reset();
            }
            sqlite_side.Exec("COMMIT");
            lite.seconds = CpuSeconds() - start;
            lite.operations = scans;
            sqlite_side.FillSizes(lite, big);
            if (tapir.operations == scans && tapir_sum.rows != lite_sum.rows) {
                std::printf("  MISMATCH: tapir read %lld rows, sqlite %lld\n",
                            static_cast<long long>(tapir_sum.rows),
                            static_cast<long long>(lite_sum.rows));
            }
            PrintLine(std::to_string(scans) + " range scans of " + std::to_string(scan_rows) +
                          " (SetRange)",
                      tapir, lite, big);
        }

        // Ordered full scan by the secondary index.
        {
            table.SetIndexName("Name");
            Checksum tapir_sum;
            std::string previous;
            bool ordered = true;
            Measure tapir = TapirSide::Timed(1, 1e300, [&](int64_t) {
                table.First();
                while (!table.Eof()) {
                    std::string name = tapir_side.Name().AsString();
                    ordered = ordered && previous <= name;
                    ++tapir_sum.rows;
                    tapir_sum.sum += tapir_side.Stamp().AsDateTime();
                    previous = std::move(name);
                    table.Next();
                }
            });
            tapir.planned = tapir.operations = big;
            tapir_side.FillSizes(tapir, big);
            Checksum lite_sum;
            Statement select(db, "SELECT id, name, stamp FROM t ORDER BY name");
            Measure lite;
            lite.planned = lite.operations = big;
            const double start = CpuSeconds();
            sqlite_side.Exec("BEGIN");
            while (select.Step()) {
                ++lite_sum.rows;
                lite_sum.sum += sqlite3_column_double(select.get(), 2);
                lite_sum.sum += static_cast<double>(sqlite3_column_bytes(select.get(), 1));
            }
            sqlite_side.Exec("COMMIT");
            lite.seconds = CpuSeconds() - start;
            sqlite_side.FillSizes(lite, big);
            if (!ordered || tapir_sum.rows != lite_sum.rows) {
                std::printf("  MISMATCH: tapir read %lld rows%s, sqlite %lld\n",
                            static_cast<long long>(tapir_sum.rows), ordered ? "" : " out of order",
                            static_cast<long long>(lite_sum.rows));
            }
            PrintLine("ordered scan by name", tapir, lite, big);
        }

        // Delete 10 % of the rows, chosen at random, by primary key.
        {
            std::vector<int64_t> ids(static_cast<size_t>(big));
            std::iota(ids.begin(), ids.end(), int64_t{1});
            std::shuffle(ids.begin(), ids.end(), random);
            ids.resize(static_cast<size_t>(deletes));
            table.SetIndexName("Id");
            int64_t tapir_missing = 0;
            Measure tapir = TapirSide::Timed(deletes, options.budget, [&](int64_t i) {
                if (table.FindKey({ids[static_cast<size_t>(i)]})) {
                    table.Delete();
                } else {
                    ++tapir_missing;
                }
            });
            tapir_side.FillSizes(tapir, big - tapir.operations);
            Statement remove(db, "DELETE FROM t WHERE id = ?1");
            Measure lite;
            lite.planned = lite.operations = deletes;
            const double start = CpuSeconds();
            sqlite_side.Exec("BEGIN");
            for (const int64_t id : ids) {
                sqlite3_bind_int64(remove.get(), 1, id);
                remove.Step();
                remove.Reset();
            }
            sqlite_side.Exec("COMMIT");
            lite.seconds = CpuSeconds() - start;
            sqlite_side.FillSizes(lite, big - deletes);
            PrintLine("delete 10% at random (FindKey+Delete)", tapir, lite, big);
            if (tapir_missing != 0) {
                std::printf("  MISMATCH: %lld rows to delete not found\n",
                            static_cast<long long>(tapir_missing));
            }
            te::TSQLMemCursor::OpenParams params;
            params.definition.name = table.TableName();
            te::TSQLMemCursor checker(params);
            const std::vector<std::string> problems = checker.CheckIntegrity();
            if (problems.empty()) {
                std::printf("integrity ok (%lld rows left)\n",
                            static_cast<long long>(checker.RecordCount()));
            } else {
                std::printf("integrity: %zu problems\n", problems.size());
                for (size_t i = 0; i < problems.size() && i < 20; ++i) {
                    std::printf("  %s\n", problems[i].c_str());
                }
            }
        }
    } catch (const std::exception& error) {
        std::printf("bench failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
