#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "engine/index/sqlmem_btree_index.h"
#include "engine/pages/sqlmem_memory_page_manager.h"
#include "engine/pages/sqlmem_temporary_page_manager.h"
#include "engine/record/db_types.h"

namespace tapir::engine {
namespace {

constexpr ConnectionID kConnection = 1;

// A test row: null bitmap (1 byte), then int32 A at 1, int32 B at 5, date-time C at 9
// (day, milliseconds), 8-character text D at 17 (33 bytes), int16 logical E at 50.
constexpr int32_t kOffsetA = 1;
constexpr int32_t kOffsetB = 5;
constexpr int32_t kOffsetC = 9;
constexpr int32_t kOffsetD = 17;
constexpr int32_t kOffsetE = 50;
constexpr int32_t kRowSize = 52;

struct Row {
    std::vector<std::byte> bytes = std::vector<std::byte>(kRowSize);

    Row& SetNull(int field_no) {
        bytes[0] |= static_cast<std::byte>(1 << field_no);
        return *this;
    }
    Row& A(int32_t value) { return Put(kOffsetA, value); }
    Row& B(int32_t value) { return Put(kOffsetB, value); }
    Row& C(int32_t day, int32_t ms) {
        Put(kOffsetC, day);
        return Put(kOffsetC + 4, ms);
    }
    Row& D(const std::string& text) {
        std::memcpy(bytes.data() + kOffsetD, text.c_str(), text.size() + 1);
        return *this;
    }
    Row& E(int16_t value) { return Put(kOffsetE, value); }
    const std::byte* Data() const { return bytes.data(); }

    template <typename T>
    Row& Put(int32_t offset, T value) {
        std::memcpy(bytes.data() + offset, &value, sizeof(T));
        return *this;
    }
};

KeyColumn ColumnA(bool descending = false) {
    return {KeyFieldType::SignedInt32, 0, kOffsetA, 0, descending, false};
}
KeyColumn ColumnB() { return {KeyFieldType::SignedInt32, 0, kOffsetB, 1, false, false}; }
KeyColumn ColumnC(int field_no = 2) {
    return {KeyFieldType::DateTime, 0, kOffsetC, field_no, false, false};
}
KeyColumn ColumnD(bool case_insensitive = false) {
    return {KeyFieldType::Varchar, 8, kOffsetD, 3, false, case_insensitive};
}
KeyColumn ColumnE() { return {KeyFieldType::Logical, 0, kOffsetE, 4, false, false}; }

IndexRecordId Id(int32_t n) { return {n, 0}; }

void ExpectEngineError(const std::function<void()>& action, int code, const std::string& message) {
    try {
        action();
        ADD_FAILURE() << "no error, expected " << code;
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), code);
        EXPECT_EQ(error.BareMessage(), message);
    }
}

class BTreeFixture {
  public:
    explicit BTreeFixture(std::vector<KeyColumn> columns, int32_t page_size = 4096,
                          bool unique = false)
        : store_(page_size),
          index_(store_, BTreeIndexDef{"Idx", 1, unique, false, std::move(columns), -1, false}) {}

    TSQLMemMemoryPageManager store_;
    TSQLMemBTreeIndex index_;

    void Apply() { store_.ApplyChanges(kConnection); }

    void Insert(const Row& row, int32_t id) {
        index_.InsertRecord(kConnection, row.Data(), Id(id));
        Apply();
    }

    std::vector<int32_t> ScanIds(bool forward = true) {
        std::vector<int32_t> ids;
        TSQLMemKeyPath path;
        bool found = forward ? index_.GetFirstPosition(kConnection, path)
                             : index_.GetLastPosition(kConnection, path);
        while (found) {
            ids.push_back(index_.GetRecordID(kConnection, path).PageNo);
            found = forward ? index_.GetNextPosition(kConnection, path)
                            : index_.GetPriorPosition(kConnection, path);
        }
        return ids;
    }

    void ExpectSound() {
        const std::vector<std::string> problems = index_.CheckIntegrity(kConnection);
        EXPECT_TRUE(problems.empty()) << problems.front();
    }
};

// --- Byte layouts ---

TEST(BTreeKey, PartSizesFollowTheRowWidths) {
    TSQLMemBTreeKeyRef key;
    const std::vector<KeyColumn> columns = {ColumnC(), ColumnD(), ColumnA(), ColumnE()};
    key.Assign(columns);
    ASSERT_EQ(key.GetPartCount(), 4);
    EXPECT_EQ(key.Part(0).PartSize, 9);
    // Text keeps room for 4 bytes per character plus the terminator, after the flag.
    EXPECT_EQ(key.Part(1).PartSize, 1 + 4 * 8 + 1);
    EXPECT_EQ(key.Part(2).PartSize, 5);
    EXPECT_EQ(key.Part(3).PartSize, 3);
    EXPECT_EQ(key.Part(1).KeyOffset, 9);
    EXPECT_EQ(key.Part(2).KeyOffset, 43);
    EXPECT_EQ(key.KeySize(), 51);
    EXPECT_EQ(key.ReferenceSize(), 6);
    const std::vector<KeyColumn> blob = {{KeyFieldType::BFile, 0, 0, 0, false, false}};
    ExpectEngineError([&] { key.Assign(blob); }, 30050, "Unknown DataType: 'bftBFile'");
}

TEST(BTreeKey, KeyIsNullFlagThenFieldBytesPerPart) {
    TSQLMemBTreeKeyRef key;
    const std::vector<KeyColumn> columns = {ColumnC(), ColumnA()};
    key.Assign(columns);
    Row row;
    row.C(738000, 3600000).A(77).SetNull(0);
    std::vector<std::byte> bytes(static_cast<size_t>(key.KeySize()));
    key.MakeKey(row.Data(), bytes.data());
    const std::vector<uint8_t> expected = {0,    0xD0, 0x42, 0x0B, 0x00, 0x80, 0xEE,
                                           0x36, 0x00, 1,    77,   0,    0,    0};
    ASSERT_EQ(bytes.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(std::to_integer<uint8_t>(bytes[i]), expected[i]) << "byte " << i;
    }
}

TEST(BTreeKey, ComparesByTypeWithNullsFirstAndDescendingParts) {
    TSQLMemBTreeKeyRef key;
    std::vector<std::byte> left(64);
    std::vector<std::byte> right(64);
    auto compare = [&](const std::vector<KeyColumn>& columns, const Row& a, const Row& b) {
        key.Assign(columns);
        key.MakeKey(a.Data(), left.data());
        key.MakeKey(b.Data(), right.data());
        return key.CompareKeys(left.data(), right.data());
    };
    EXPECT_LT(compare({ColumnA()}, Row().A(-5), Row().A(3)), 0);
    EXPECT_LT(compare({ColumnA()}, Row().SetNull(0), Row().A(-100)), 0);
    EXPECT_EQ(compare({ColumnA()}, Row().SetNull(0).A(1), Row().SetNull(0).A(2)), 0);
    // Descending reverses the part, nulls included.
    EXPECT_GT(compare({ColumnA(true)}, Row().A(-5), Row().A(3)), 0);
    EXPECT_GT(compare({ColumnA(true)}, Row().SetNull(0), Row().A(3)), 0);
    // Date-time: the day decides, the time breaks ties.
    EXPECT_LT(compare({ColumnC()}, Row().C(10, 99999), Row().C(11, 0)), 0);
    EXPECT_LT(compare({ColumnC()}, Row().C(10, 5), Row().C(10, 6)), 0);
    // Logical: false below any true.
    EXPECT_LT(compare({ColumnE()}, Row().E(0), Row().E(-1)), 0);
    EXPECT_EQ(compare({ColumnE()}, Row().E(1), Row().E(7)), 0);
    // Text through the collation; case only matters without ignore-case.
    EXPECT_LT(compare({ColumnD()}, Row().D("apple"), Row().D("Banana")), 0);
    EXPECT_NE(compare({ColumnD()}, Row().D("abc"), Row().D("ABC")), 0);
    EXPECT_EQ(compare({ColumnD(true)}, Row().D("abc"), Row().D("ABC")), 0);
    EXPECT_LT(compare({ColumnD()}, Row().D(""), Row().D("a")), 0);
    // Partial comparison over the leading parts only.
    key.Assign(std::vector<KeyColumn>{ColumnA(), ColumnB()});
    key.MakeKey(Row().A(1).B(1).Data(), left.data());
    key.MakeKey(Row().A(1).B(2).Data(), right.data());
    EXPECT_LT(key.CompareKeys(left.data(), right.data()), 0);
    key.SetComparePartCount(1);
    EXPECT_EQ(key.CompareKeys(left.data(), right.data()), 0);
    const std::vector<KeyColumn> bytes_column = {{KeyFieldType::Bytes, 4, 1, 0, false, false}};
    key.Assign(bytes_column);
    ExpectEngineError([&] { (void)key.CompareKeys(left.data(), right.data()); }, 30047,
                      "Unknown DataType: 'bftBytes'");
}

// The grid order of the timers: Begin;End, two date-time fields.
std::vector<KeyColumn> BeginEnd() { return {ColumnC(2), {KeyFieldType::DateTime, 0, 25, 3}}; }

Row Timer(int32_t n) {
    Row row;
    row.C(700000 + n, 1000 * n);
    row.Put(25, int32_t{700000 + n});
    row.Put(29, int32_t{1000 * n + 500});
    return row;
}

TEST(BTreeLayout, TimerKeysFill169EntriesAndSplitAt170) {
    BTreeFixture tree(BeginEnd());
    EXPECT_EQ(tree.index_.KeyRef().KeySize(), 18);
    for (int32_t n = 0; n < 169; ++n) {
        tree.Insert(Timer(n), n);
    }
    const int32_t root_no = tree.index_.RootPageNo();
    {
        PageHandle root = tree.store_.GetPage(kConnection, root_no);
        const std::byte* bytes = root.Data();
        EXPECT_EQ(LoadLE16(bytes + kEntryCountOffset), 169);
        EXPECT_EQ(std::to_integer<int>(bytes[kIsLeafOffset]), 1);
        // Entry 3: key (flag, day, ms, flag, day, ms), then the identifier.
        const std::byte* entry = bytes + kBTreePageHeaderSize + 3 * 24;
        EXPECT_EQ(std::to_integer<int>(entry[0]), 0);
        EXPECT_EQ(LoadLE32(entry + 1), 700003u);
        EXPECT_EQ(LoadLE32(entry + 5), 3000u);
        EXPECT_EQ(std::to_integer<int>(entry[9]), 0);
        EXPECT_EQ(LoadLE32(entry + 14), 3500u);
        EXPECT_EQ(LoadLE32(entry + 18), 3u);
        EXPECT_EQ(LoadLE16(entry + 22), 0u);
    }
    tree.Insert(Timer(169), 169);
    EXPECT_EQ(tree.index_.RootPageNo(), root_no);
    PageHandle root = tree.store_.GetPage(kConnection, root_no);
    const std::byte* bytes = root.Data();
    const std::vector<uint8_t> header = {1,    0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                         0xFF, 1, 0,    18,   0,    2,    0,    0,    0};
    for (size_t i = 0; i < header.size(); ++i) {
        EXPECT_EQ(std::to_integer<uint8_t>(bytes[i]), header[i]) << "header byte " << i;
    }
    // Node entries are 22 bytes: the first with an all-zero key.
    const std::byte* first = bytes + kBTreePageHeaderSize;
    const std::byte* second = first + 22;
    EXPECT_TRUE(std::all_of(first, first + 18, [](std::byte b) { return b == std::byte{0}; }));
    EXPECT_EQ(LoadLE32(second + 1), 700085u);
    const auto left_no = static_cast<int32_t>(LoadLE32(first + 18));
    const auto right_no = static_cast<int32_t>(LoadLE32(second + 18));
    root.Release();
    PageHandle left = tree.store_.GetPage(kConnection, left_no);
    PageHandle right = tree.store_.GetPage(kConnection, right_no);
    EXPECT_EQ(LoadLE16(left.Data() + kEntryCountOffset), 85);
    EXPECT_EQ(LoadLE16(right.Data() + kEntryCountOffset), 85);
    EXPECT_EQ(std::to_integer<int>(left.Data()[kIsRootOffset]), 0);
    EXPECT_EQ(std::to_integer<int>(left.Data()[kHasKeysOffset]), 1);
    EXPECT_EQ(static_cast<int32_t>(LoadLE32(left.Data() + kLeftPageNoOffset)), -1);
    EXPECT_EQ(static_cast<int32_t>(LoadLE32(left.Data() + kRightPageNoOffset)), right_no);
    EXPECT_EQ(static_cast<int32_t>(LoadLE32(right.Data() + kLeftPageNoOffset)), left_no);
    EXPECT_EQ(static_cast<int32_t>(LoadLE32(right.Data() + kRightPageNoOffset)), -1);
    left.Release();
    right.Release();
    tree.ExpectSound();
}

// --- Oracle: random operations against a multimap ---

using OracleKey = std::pair<std::optional<int32_t>, int32_t>;

Row OracleRow(const OracleKey& key) {
    Row row;
    if (key.first) {
        row.A(*key.first);
    } else {
        row.SetNull(0);
    }
    row.B(key.second);
    return row;
}

struct OracleCase {
    int32_t page_size;
    int batches;
    int operations;
    int key_range;
    int min_depth;
};

class BTreeOracle : public ::testing::TestWithParam<OracleCase> {};

TEST_P(BTreeOracle, RandomOperationsMatchAMultimap) {
    const OracleCase param = GetParam();
    const uint32_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    BTreeFixture tree({ColumnA(), ColumnB()}, param.page_size);
    std::map<int32_t, OracleKey> rows;  // identifier -> key
    int32_t next_id = 0;
    auto random_key = [&] {
        std::uniform_int_distribution<int> pick(0, param.key_range);
        const int a = pick(random);
        return OracleKey{a == 0 ? std::nullopt : std::optional<int32_t>(a), pick(random) % 3};
    };
    auto random_id = [&] {
        auto it = rows.begin();
        std::advance(it, std::uniform_int_distribution<size_t>(0, rows.size() - 1)(random));
        return it->first;
    };
    int32_t root_no = -1;
    int32_t max_depth = 0;
    for (int batch = 0; batch < param.batches; ++batch) {
        // Grow in the first half, shrink to nothing in the second.
        const bool growing = batch < param.batches / 2;
        for (int op = 0; op < param.operations; ++op) {
            const int roll = std::uniform_int_distribution<int>(0, 9)(random);
            if (rows.empty() || (growing ? roll < 6 : roll < 2)) {
                const OracleKey key = random_key();
                tree.index_.InsertRecord(kConnection, OracleRow(key).Data(), Id(next_id));
                rows[next_id++] = key;
            } else if (roll < 8 || !growing) {
                const int32_t id = random_id();
                tree.index_.DeleteRecord(kConnection, OracleRow(rows[id]).Data(), Id(id));
                rows.erase(id);
            } else {
                const int32_t id = random_id();
                const OracleKey key = random_key();
                tree.index_.UpdateRecord(kConnection, OracleRow(rows[id]).Data(),
                                         OracleRow(key).Data(), Id(id));
                rows[id] = key;
            }
            tree.Apply();
            if (root_no == -1) {
                root_no = tree.index_.RootPageNo();
            }
            ASSERT_EQ(tree.index_.RootPageNo(), root_no);
        }
        SCOPED_TRACE("batch " + std::to_string(batch) + ", rows " + std::to_string(rows.size()));
        tree.ExpectSound();
        TSQLMemKeyPath first;
        if (tree.index_.GetFirstPosition(kConnection, first)) {
            max_depth = std::max(max_depth, first.ItemCount());
        }
        // Forward scan: keys in order, each identifier once.
        std::vector<int32_t> forward = tree.ScanIds(true);
        ASSERT_EQ(forward.size(), rows.size());
        std::multiset<OracleKey> expected_keys;
        for (const auto& [id, key] : rows) {
            expected_keys.insert(key);
        }
        std::vector<OracleKey> scanned;
        for (const int32_t id : forward) {
            ASSERT_TRUE(rows.contains(id));
            scanned.push_back(rows[id]);
        }
        EXPECT_TRUE(std::equal(scanned.begin(), scanned.end(), expected_keys.begin()));
        EXPECT_EQ(std::set<int32_t>(forward.begin(), forward.end()).size(), rows.size());
        std::vector<int32_t> backward = tree.ScanIds(false);
        std::reverse(backward.begin(), backward.end());
        EXPECT_EQ(backward, forward);
        // Record numbers both ways, on a sample.
        for (size_t i = 0; i < forward.size(); i += 1 + forward.size() / 25) {
            const int32_t id = forward[i];
            EXPECT_EQ(
                tree.index_.GetRecNoByRecordID(kConnection, Id(id), OracleRow(rows[id]).Data()),
                static_cast<int64_t>(i + 1));
            EXPECT_EQ(tree.index_.GetRecordIDByRecNo(kConnection, i + 1).PageNo, id);
        }
    }
    // Drain what is left in random order, checking as the tree shrinks.
    while (!rows.empty()) {
        const int32_t id = random_id();
        tree.index_.DeleteRecord(kConnection, OracleRow(rows[id]).Data(), Id(id));
        rows.erase(id);
        tree.Apply();
        if (rows.size() % 97 == 0) {
            tree.ExpectSound();
            ASSERT_EQ(tree.ScanIds().size(), rows.size());
        }
    }
    // The tree grew several levels and collapsed back.
    EXPECT_GE(max_depth, param.min_depth);
    // Everything deleted: the root is a single empty leaf on its old page.
    EXPECT_EQ(tree.store_.GetPageCount(), 1);
    PageHandle root = tree.store_.GetPage(kConnection, root_no);
    EXPECT_EQ(std::to_integer<int>(root.Data()[kIsLeafOffset]), 1);
    EXPECT_EQ(std::to_integer<int>(root.Data()[kIsRootOffset]), 1);
    EXPECT_EQ(LoadLE16(root.Data() + kEntryCountOffset), 0);
    root.Release();
    tree.index_.DropIndex(kConnection);
    tree.Apply();
    EXPECT_EQ(tree.store_.GetPageCount(), 0);
    EXPECT_NO_THROW(tree.store_.Close());
}

INSTANTIATE_TEST_SUITE_P(PageSizes, BTreeOracle,
                         ::testing::Values(OracleCase{256, 16, 400, 60, 3},
                                           OracleCase{512, 12, 700, 8, 3},
                                           OracleCase{4096, 6, 5000, 100000, 2}),
                         [](const auto& info) {
                             return "Page" + std::to_string(info.param.page_size) + "Keys" +
                                    std::to_string(info.param.key_range);
                         });

// --- Searches ---

class BTreeSearch : public ::testing::Test {
  protected:
    // Keys 0, 2, 4, ..., 398 in A, each with B = 0, 1, 2; small pages for depth.
    BTreeSearch() : tree_({ColumnA(), ColumnB()}, 256) {
        int32_t id = 0;
        for (int32_t a = 0; a < 400; a += 2) {
            for (int32_t b = 0; b < 3; ++b) {
                tree_.Insert(Row().A(a).B(b), id);
                keys_[id++] = {a, b};
            }
        }
    }

    std::pair<int32_t, int32_t> KeyAt(const TSQLMemKeyPath& path) {
        return keys_[tree_.index_.GetRecordID(kConnection, path).PageNo];
    }

    BTreeFixture tree_;
    std::map<int32_t, std::pair<int32_t, int32_t>> keys_;
};

TEST_F(BTreeSearch, FirstAndLastMatchOfEachCondition) {
    struct Case {
        TSQLMemSearchCondition condition;
        int32_t a;
        int32_t fields;
        std::optional<std::pair<int32_t, int32_t>> first;
        std::optional<std::pair<int32_t, int32_t>> last;
    };
    const std::vector<Case> cases = {
        {scEqual, 100, 1, {{100, 0}}, {{100, 2}}},
        {scEqual, 101, 1, std::nullopt, std::nullopt},
        {scEqual, 100, 2, {{100, 0}}, {{100, 0}}},
        {scLower, 100, 1, {{0, 0}}, {{98, 2}}},
        {scLower, 0, 1, std::nullopt, std::nullopt},
        {scGreater, 100, 1, {{102, 0}}, {{398, 2}}},
        {scGreater, 101, 1, {{102, 0}}, {{398, 2}}},
        {scGreater, 398, 1, std::nullopt, std::nullopt},
        {scLowerEqual, 100, 1, {{0, 0}}, {{100, 2}}},
        {scLowerEqual, 101, 1, {{0, 0}}, {{100, 2}}},
        {scLowerEqual, -1, 1, std::nullopt, std::nullopt},
        {scGreaterEqual, 100, 1, {{100, 0}}, {{398, 2}}},
        {scGreaterEqual, 399, 1, std::nullopt, std::nullopt},
        {scNone, 0, 1, {{0, 0}}, {{398, 2}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.condition)) + " " + std::to_string(c.a) +
                     " fields " + std::to_string(c.fields));
        const Row bound = Row().A(c.a).B(0);
        const TSQLMemScanSearchCondition condition{c.condition, bound.Data(), c.fields};
        TSQLMemKeyPath path;
        const bool first = tree_.index_.FindByCondition(kConnection, true, condition, path);
        ASSERT_EQ(first, c.first.has_value());
        if (first) {
            EXPECT_EQ(KeyAt(path), *c.first);
        }
        const bool last = tree_.index_.FindByCondition(kConnection, false, condition, path);
        ASSERT_EQ(last, c.last.has_value());
        if (last) {
            EXPECT_EQ(KeyAt(path), *c.last);
        }
        // The comparison is back on all parts afterwards.
        EXPECT_EQ(tree_.index_.KeyRef().ComparePartCount(), 2);
    }
}

TEST_F(BTreeSearch, RangeScanBothDirectionsStopsAtTheEnd) {
    const Row low = Row().A(50);
    const Row high = Row().A(60);
    const TSQLMemScanSearchCondition start{scGreaterEqual, low.Data(), 1};
    const TSQLMemScanSearchCondition end{scLowerEqual, high.Data(), 1};
    for (const bool forward : {true, false}) {
        SCOPED_TRACE(forward ? "forward" : "backward");
        TSQLMemBTreeSearchInfo info;
        std::vector<std::pair<int32_t, int32_t>> seen;
        IndexRecordId id;
        const TSQLMemScanSearchCondition& from = forward ? start : end;
        const TSQLMemScanSearchCondition& to = forward ? end : start;
        bool found =
            tree_.index_.FindRecord(kConnection, true, forward, &from, &to, nullptr, id, &info);
        while (found) {
            seen.push_back(keys_[id.PageNo]);
            found = tree_.index_.FindRecord(kConnection, false, forward, &from, &to, nullptr, id,
                                            &info);
        }
        ASSERT_EQ(seen.size(), 18u);
        EXPECT_EQ(seen.front(), forward ? std::make_pair(50, 0) : std::make_pair(60, 2));
        EXPECT_EQ(seen.back(), forward ? std::make_pair(60, 2) : std::make_pair(50, 0));
        EXPECT_TRUE(forward ? std::is_sorted(seen.begin(), seen.end())
                            : std::is_sorted(seen.rbegin(), seen.rend()));
        EXPECT_TRUE(info.Started);
        EXPECT_EQ(info.Forward, forward);
        ExpectEngineError(
            [&] {
                tree_.index_.FindRecord(kConnection, true, forward, &from, &to, nullptr, id, &info);
            },
            20078, "Index error: invalid params");
    }
    IndexRecordId id;
    ExpectEngineError(
        [&] {
            tree_.index_.FindRecord(kConnection, true, true, &start, &end, nullptr, id, nullptr);
        },
        20077, "Pointer is nil");
}

TEST_F(BTreeSearch, RangeScanResumesFromAGivenRecord) {
    const Row low = Row().A(50);
    const Row high = Row().A(54);
    const TSQLMemScanSearchCondition start{scGreaterEqual, low.Data(), 1};
    const TSQLMemScanSearchCondition end{scLowerEqual, high.Data(), 1};
    // A record before the range: the scan starts at the range's first entry.
    TSQLMemBTreeSearchInfo before;
    IndexRecordId id = Id(0);
    ASSERT_TRUE(tree_.index_.FindRecord(kConnection, false, true, &start, &end,
                                        Row().A(0).B(0).Data(), id, &before));
    EXPECT_EQ(keys_[id.PageNo], std::make_pair(50, 0));
    // A record inside: the scan goes on after it.
    TSQLMemBTreeSearchInfo inside;
    id = Id(79);  // (52, 1)
    ASSERT_TRUE(tree_.index_.FindRecord(kConnection, false, true, &start, &end,
                                        Row().A(52).B(1).Data(), id, &inside));
    EXPECT_EQ(keys_[id.PageNo], std::make_pair(52, 2));
    // No end condition: the start condition bounds the scan too.
    TSQLMemBTreeSearchInfo equal;
    const TSQLMemScanSearchCondition only{scEqual, low.Data(), 1};
    int count = 0;
    for (bool found =
             tree_.index_.FindRecord(kConnection, true, true, &only, nullptr, nullptr, id, &equal);
         found; found = tree_.index_.FindRecord(kConnection, false, true, &only, nullptr, nullptr,
                                                id, &equal)) {
        EXPECT_EQ(keys_[id.PageNo].first, 50);
        ++count;
    }
    EXPECT_EQ(count, 3);
}

TEST_F(BTreeSearch, ApproximateRangeSizeIsNearTheTruth) {
    const Row low = Row().A(100);
    const Row high = Row().A(299);
    const TSQLMemScanSearchCondition upper{scLowerEqual, high.Data(), 1};
    const TSQLMemScanSearchCondition lower{scGreaterEqual, low.Data(), 1};
    EXPECT_EQ(TSQLMemBTreeIndex::CompareConditions(lower, upper), -1);
    EXPECT_EQ(TSQLMemBTreeIndex::CompareConditions(upper, lower), 1);
    // 100 keys times 3 of 600 records; the estimate walks entry positions per level.
    const int64_t estimate = tree_.index_.GetApproxRangeRecordCount(kConnection, 600, upper, lower);
    EXPECT_NEAR(static_cast<double>(estimate), 300.0, 45.0);
    EXPECT_EQ(tree_.index_.GetApproxRangeRecordCount(kConnection, 600, lower, upper), estimate);
    const Row none = Row().A(1000);
    const TSQLMemScanSearchCondition beyond{scGreaterEqual, none.Data(), 1};
    EXPECT_EQ(tree_.index_.GetApproxRangeRecordCount(kConnection, 600, beyond, upper), 0);
}

TEST_F(BTreeSearch, PositionsCompareAndStepErrors) {
    TSQLMemKeyPath first;
    TSQLMemKeyPath last;
    ASSERT_TRUE(tree_.index_.GetFirstPosition(kConnection, first));
    ASSERT_TRUE(tree_.index_.GetLastPosition(kConnection, last));
    EXPECT_EQ(TSQLMemBTreeIndex::CompareRecordPositionsInIndex(&first, &last), -1);
    EXPECT_EQ(TSQLMemBTreeIndex::CompareRecordPositionsInIndex(&last, &first), 1);
    EXPECT_EQ(TSQLMemBTreeIndex::CompareRecordPositionsInIndex(&first, &first), 0);
    EXPECT_FALSE(tree_.index_.GetPriorPosition(kConnection, first));
    EXPECT_FALSE(tree_.index_.GetNextPosition(kConnection, last));
    ExpectEngineError(
        [&] { (void)TSQLMemBTreeIndex::CompareRecordPositionsInIndex(nullptr, &last); }, 10384,
        "Nil pointer occured");
    ExpectEngineError(
        [&] { (void)TSQLMemBTreeIndex::CompareRecordPositionsInIndex(&last, nullptr); }, 10385,
        "Nil pointer occured");
    TSQLMemKeyPath empty;
    ExpectEngineError([&] { (void)tree_.index_.GetNextPosition(kConnection, empty); }, 20069,
                      "Index error: invalid position");
    ExpectEngineError([&] { (void)tree_.index_.GetRecordID(kConnection, empty); }, 20068,
                      "Index error: invalid position");
    ExpectEngineError([&] { (void)empty.Compare(first); }, 20051, "Invalid index key path");
    ExpectEngineError([&] { (void)tree_.index_.GetRecordIDByRecNo(kConnection, 601); }, 20075,
                      "Cannot set RecNo greater than RecordCount");
    ExpectEngineError([&] { tree_.index_.ApplyDistinctToRecordBitmap(kConnection, nullptr); },
                      20076, "Pointer is nil");
    ExpectEngineError(
        [&] { tree_.index_.DeleteRecord(kConnection, Row().A(100).B(0).Data(), Id(9999)); }, 20027,
        "Index error: cannot delete entry. Entry not found");
    EXPECT_EQ(tree_.index_.GetRecNoByRecordID(kConnection, Id(9999), Row().A(1).Data()), -1);
    // Located without a key: every entry is tried.
    TSQLMemKeyPath found;
    ASSERT_TRUE(tree_.index_.GetIndexPosition(kConnection, Id(301), nullptr, found));
    EXPECT_EQ(tree_.index_.GetRecordID(kConnection, found).PageNo, 301);
}

// A visible-row list for record numbers and distinct.
class VisibleSet : public RecordVisibility {
  public:
    bool IsVisible(IndexRecordId id) const override { return visible.contains(id.PageNo); }
    void Hide(IndexRecordId id) override { visible.erase(id.PageNo); }
    std::set<int32_t> visible;
};

TEST_F(BTreeSearch, RecordNumbersAndDistinctThroughTheVisibleRows) {
    VisibleSet rows;
    for (const auto& [id, key] : keys_) {
        if (key.first % 4 == 0) {
            rows.visible.insert(id);
        }
    }
    // (8, 1) is the 8th visible record: keys 0 and 4 come first with 3 entries each.
    EXPECT_EQ(tree_.index_.GetRecNoByRecordID(kConnection, Id(13), Row().A(8).B(1).Data(), &rows),
              8);
    EXPECT_EQ(tree_.index_.GetRecordIDByRecNo(kConnection, 8, &rows).PageNo, 13);
    BTreeFixture by_a({ColumnA()}, 256);
    for (const auto& [id, key] : keys_) {
        by_a.Insert(Row().A(key.first), id);
    }
    by_a.index_.ApplyDistinctToRecordBitmap(kConnection, &rows);
    EXPECT_EQ(rows.visible.size(), 100u);
    std::set<int32_t> firsts;
    for (const int32_t id : rows.visible) {
        EXPECT_TRUE(firsts.insert(keys_[id].first).second);
    }
}

// --- Duplicates, uniqueness, navigation of an empty index ---

TEST(BTreeDuplicates, RunsOfEqualKeysOverManyLeavesAreFoundAndDeleted) {
    BTreeFixture tree({ColumnC()}, 256);
    constexpr int kCount = 600;
    for (int32_t id = 0; id < kCount; ++id) {
        tree.Insert(Row().C(5, 5), id);
        if (id % 7 == 0) {
            tree.Insert(Row().C(4, id), 10000 + id);
        }
    }
    tree.ExpectSound();
    std::mt19937 random(7);
    std::vector<int32_t> ids(kCount);
    std::iota(ids.begin(), ids.end(), 0);
    std::shuffle(ids.begin(), ids.end(), random);
    for (size_t i = 0; i < ids.size(); ++i) {
        TSQLMemKeyPath path;
        ASSERT_TRUE(
            tree.index_.GetIndexPosition(kConnection, Id(ids[i]), Row().C(5, 5).Data(), path));
        if (i % 2 == 0) {
            tree.index_.UpdateRecord(kConnection, Row().C(5, 5).Data(), Row().C(6, 0).Data(),
                                     Id(ids[i]));
        } else {
            tree.index_.DeleteRecord(kConnection, Row().C(5, 5).Data(), Id(ids[i]));
        }
        tree.Apply();
    }
    tree.ExpectSound();
    EXPECT_EQ(tree.ScanIds().size(), static_cast<size_t>(kCount / 2 + (kCount + 6) / 7));
}

// Existing rows handed to CreateIndex one by one.
class RowSource : public IndexRecordSource {
  public:
    explicit RowSource(const std::vector<Row>& rows) : rows_(rows) {}
    bool Next(IndexRecordId& id, const std::byte*& record) override {
        if (next_ == rows_.size()) {
            return false;
        }
        id = Id(static_cast<int32_t>(next_));
        record = rows_[next_++].Data();
        return true;
    }

  private:
    const std::vector<Row>& rows_;
    size_t next_ = 0;
};

TEST(BTreeDescending, CreateIndexOrdersADescendingPartWithNullsLast) {
    std::vector<Row> rows;
    for (int32_t n = 0; n < 300; ++n) {
        Row row;
        if (n % 50 == 7) {
            row.SetNull(0);
        } else {
            row.A(n % 60);
        }
        rows.push_back(row.B(n));
    }
    BTreeFixture tree({ColumnA(true), ColumnB()}, 256);
    RowSource source(rows);
    const int32_t root = tree.index_.CreateIndex(kConnection, source);
    tree.Apply();
    EXPECT_EQ(root, tree.index_.RootPageNo());
    tree.ExpectSound();
    const std::vector<int32_t> ids = tree.ScanIds();
    ASSERT_EQ(ids.size(), rows.size());
    // A falls (nulls last), B rises within equal A.
    auto sort_key = [](int32_t n) {
        const bool is_null = n % 50 == 7;
        return std::make_tuple(is_null, is_null ? 0 : -(n % 60), n);
    };
    for (size_t i = 1; i < ids.size(); ++i) {
        EXPECT_LT(sort_key(ids[i - 1]), sort_key(ids[i])) << i;
    }
    EXPECT_EQ(ids.back() % 50, 7);
}

TEST(BTreeUnique, NullsAndCaseInsensitiveTextCountAsDuplicates) {
    BTreeFixture tree({ColumnA(), ColumnD(true)}, 4096, true);
    const Row all_null = Row().SetNull(0).SetNull(3);
    EXPECT_TRUE(tree.index_.CanInsertRecord(kConnection, all_null.Data()));
    tree.Insert(all_null, 1);
    EXPECT_FALSE(tree.index_.CanInsertRecord(kConnection, Row().SetNull(0).SetNull(3).A(9).Data()));
    tree.Insert(Row().A(1).D("Zender"), 2);
    EXPECT_FALSE(tree.index_.CanInsertRecord(kConnection, Row().A(1).D("zENDER").Data()));
    EXPECT_TRUE(tree.index_.CanInsertRecord(kConnection, Row().A(1).D("Zenders").Data()));
    EXPECT_TRUE(tree.index_.CanUpdateRecord(kConnection, Row().A(1).D("Zender").Data(),
                                            Row().A(1).D("ZENDER").Data()));
    EXPECT_FALSE(
        tree.index_.CanUpdateRecord(kConnection, Row().A(2).Data(), Row().A(1).D("zender").Data()));
    BTreeFixture plain({ColumnA()});
    plain.Insert(Row().A(1), 1);
    EXPECT_TRUE(plain.index_.CanInsertRecord(kConnection, Row().A(1).Data()));
}

TEST(BTreeEmpty, EmptyIndexAnswersNothing) {
    BTreeFixture tree({ColumnA()});
    TSQLMemKeyPath path;
    EXPECT_FALSE(tree.index_.GetFirstPosition(kConnection, path));
    EXPECT_EQ(tree.index_.GetRecNoByRecordID(kConnection, Id(1), Row().Data()), -1);
    ExpectEngineError([&] { (void)tree.index_.GetRecordIDByRecNo(kConnection, 1); }, 20074,
                      "Cannot retreive record from empty index");
    tree.index_.CreateRoot(kConnection);
    tree.Apply();
    EXPECT_FALSE(tree.index_.GetLastPosition(kConnection, path));
    ExpectEngineError([&] { (void)tree.index_.GetRecordIDByRecNo(kConnection, 1); }, 20074,
                      "Cannot retreive record from empty index");
    EXPECT_TRUE(tree.index_.CheckIntegrity(kConnection).empty());
}

TEST(BTreeTemporaryStore, PagesSpilledToTheFileKeepTheTreeSound) {
    // Four pages in memory, the rest in the temporary file; pages leave the cache often.
    TSQLMemTemporaryPageManager store(256, 4);
    TSQLMemBTreeIndex index(store, BTreeIndexDef{"Tmp", 2, false, false, {ColumnA()}, -1, true});
    std::mt19937 random(99);
    std::vector<int32_t> values(3000);
    std::iota(values.begin(), values.end(), 0);
    std::shuffle(values.begin(), values.end(), random);
    for (const int32_t value : values) {
        index.InsertRecord(kConnection, Row().A(value).Data(), Id(value));
        store.ApplyChanges(kConnection);
    }
    EXPECT_FALSE(store.FilePath().empty());
    for (size_t i = 0; i < values.size(); i += 2) {
        index.DeleteRecord(kConnection, Row().A(values[i]).Data(), Id(values[i]));
        store.ApplyChanges(kConnection);
    }
    const std::vector<std::string> problems = index.CheckIntegrity(kConnection);
    EXPECT_TRUE(problems.empty()) << problems.front();
    std::vector<int32_t> kept;
    for (size_t i = 1; i < values.size(); i += 2) {
        kept.push_back(values[i]);
    }
    std::sort(kept.begin(), kept.end());
    std::vector<int32_t> scanned;
    TSQLMemKeyPath path;
    for (bool more = index.GetFirstPosition(kConnection, path); more;
         more = index.GetNextPosition(kConnection, path)) {
        scanned.push_back(index.GetRecordID(kConnection, path).PageNo);
    }
    EXPECT_EQ(scanned, kept);
    index.DropIndex(kConnection);
    store.ApplyChanges(kConnection);
    EXPECT_NO_THROW(store.Close());
}

TEST(BTreeIntegrity, DamagedPagesRaiseErrorsInsteadOfReadingOutside) {
    BTreeFixture tree({ColumnA()}, 256);
    for (int32_t n = 0; n < 200; ++n) {
        tree.Insert(Row().A(n), n);
    }
    TSQLMemKeyPath first;
    ASSERT_TRUE(tree.index_.GetFirstPosition(kConnection, first));
    const int32_t leaf_no = first.Last().PageNo;
    auto patch = [&](int32_t page_no, int32_t offset, uint32_t value, int size) {
        PageHandle page = tree.store_.GetPage(kConnection, page_no);
        if (size == 2) {
            StoreLE16(page.Data() + offset, static_cast<uint16_t>(value));
        } else {
            StoreLE32(page.Data() + offset, value);
        }
        page.MarkDirty();
        page.Release();
        tree.Apply();
    };
    const std::string message = "Index error: damaged page, pageNo = " + std::to_string(leaf_no);
    // An entry count that reaches past the page.
    patch(leaf_no, kEntryCountOffset, 60000, 2);
    ExpectEngineError([&] { (void)tree.ScanIds(); }, 20081, message);
    ExpectEngineError([&] { tree.Insert(Row().A(-1), 999); }, 20081, message);
    patch(leaf_no, kEntryCountOffset, 7, 2);
    // A key size of another index.
    patch(leaf_no, kKeyPrefixSizeOffset, 9, 2);
    ExpectEngineError([&] { (void)tree.index_.GetRecordIDByRecNo(kConnection, 1); }, 20081,
                      message);
    patch(leaf_no, kKeyPrefixSizeOffset, 5, 2);
    // A leaf level whose links run in a circle.
    TSQLMemKeyPath last;
    ASSERT_TRUE(tree.index_.GetLastPosition(kConnection, last));
    patch(last.Last().PageNo, kRightPageNoOffset, static_cast<uint32_t>(leaf_no), 4);
    EXPECT_THROW((void)tree.index_.GetRecordIDByRecNo(kConnection, 100000), ESQLMemException);
}

TEST(BTreeIntegrity, ReportsAKeyOutOfOrder) {
    BTreeFixture tree({ColumnA()});
    for (int32_t n = 0; n < 10; ++n) {
        tree.Insert(Row().A(n), n);
    }
    {
        PageHandle root = tree.store_.GetPage(kConnection, tree.index_.RootPageNo());
        // Entry 4's value (after the header, 4 entries of 11 bytes, and the null flag).
        StoreLE32(root.Data() + kBTreePageHeaderSize + 4 * 11 + 1, 100);
        root.MarkDirty();
    }
    tree.Apply();
    const std::vector<std::string> problems = tree.index_.CheckIntegrity(kConnection);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("out of order"), std::string::npos);
}

}  // namespace
}  // namespace tapir::engine

namespace tapir::engine {
namespace {

// --- Oracle with a descending part with nulls and a case-insensitive text part ---

struct MixedKey {
    std::optional<int32_t> a;  // descending
    std::string d;             // case-insensitive
};

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The index's order: A descending (the whole part reversed, nulls included), then D
// without regard to case. Negative, 0 or positive.
int CompareMixed(const MixedKey& x, const MixedKey& y) {
    if (x.a != y.a) {
        const bool less = !x.a.has_value() || (y.a.has_value() && *x.a < *y.a);
        return less ? 1 : -1;
    }
    const std::string lx = Lower(x.d);
    const std::string ly = Lower(y.d);
    return lx < ly ? -1 : (lx == ly ? 0 : 1);
}

Row MixedRow(const MixedKey& key) {
    Row row;
    if (key.a) {
        row.A(*key.a);
    } else {
        row.SetNull(0);
    }
    row.D(key.d);
    return row;
}

// Random inserts, deletes and key changes on a four-level tree of tiny pages, checked after
// every step.
void RunMixedOracle(uint32_t seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    // Small pages: five entries a leaf, so that a few hundred rows make four levels.
    BTreeFixture tree({ColumnA(true), ColumnD(true)}, 256);
    const std::vector<std::string> words = {"abc", "ABC", "Abc", "xyz", "XYZ", "mno"};
    std::map<int32_t, MixedKey> rows;
    int32_t next_id = 0;
    const auto random_key = [&] {
        const int a = std::uniform_int_distribution<int>(0, 4)(random);
        return MixedKey{a == 0 ? std::nullopt : std::optional<int32_t>(a),
                        words[random() % words.size()]};
    };
    const auto random_id = [&] {
        auto it = rows.begin();
        std::advance(it, std::uniform_int_distribution<size_t>(0, rows.size() - 1)(random));
        return it->first;
    };
    int32_t max_depth = 0;
    for (int step = 0; step < 1600; ++step) {
        const bool growing = step < 1000;
        const int roll = std::uniform_int_distribution<int>(0, 9)(random);
        if (rows.empty() || (growing ? roll < 7 : roll < 2)) {
            const MixedKey key = random_key();
            tree.index_.InsertRecord(kConnection, MixedRow(key).Data(), Id(next_id));
            rows[next_id++] = key;
        } else if (roll < 9) {
            const int32_t id = random_id();
            tree.index_.DeleteRecord(kConnection, MixedRow(rows[id]).Data(), Id(id));
            rows.erase(id);
        } else {
            const int32_t id = random_id();
            const MixedKey key = random_key();  // the key may change or not
            tree.index_.UpdateRecord(kConnection, MixedRow(rows[id]).Data(), MixedRow(key).Data(),
                                     Id(id));
            rows[id] = key;
        }
        tree.Apply();
        const std::vector<std::string> problems = tree.index_.CheckIntegrity(kConnection);
        ASSERT_TRUE(problems.empty()) << "step " << step << ": " << problems.front();
        TSQLMemKeyPath first;
        if (tree.index_.GetFirstPosition(kConnection, first)) {
            max_depth = std::max(max_depth, first.ItemCount());
        }
        if (step % 50 != 49) {
            continue;
        }
        SCOPED_TRACE("step " + std::to_string(step) + ", rows " + std::to_string(rows.size()));
        const std::vector<int32_t> forward = tree.ScanIds(true);
        ASSERT_EQ(forward.size(), rows.size());
        ASSERT_EQ(std::set<int32_t>(forward.begin(), forward.end()).size(), rows.size());
        for (size_t i = 1; i < forward.size(); ++i) {
            ASSERT_TRUE(rows.contains(forward[i]));
            ASSERT_LE(CompareMixed(rows[forward[i - 1]], rows[forward[i]]), 0) << "at " << i;
        }
        std::vector<int32_t> backward = tree.ScanIds(false);
        std::reverse(backward.begin(), backward.end());
        ASSERT_EQ(backward, forward);
        for (size_t i = 0; i < forward.size(); i += 1 + forward.size() / 10) {
            const int32_t id = forward[i];
            EXPECT_EQ(
                tree.index_.GetRecNoByRecordID(kConnection, Id(id), MixedRow(rows[id]).Data()),
                static_cast<int64_t>(i + 1));
            EXPECT_EQ(tree.index_.GetRecordIDByRecNo(kConnection, i + 1).PageNo, id);
        }
    }
    EXPECT_GE(max_depth, 4);
}

TEST(BTreeMixedOracle, DescendingNullsAndCaseInsensitiveRunsStaySoundAtEveryStep) {
    // TAPIR_TEST_SEED repeats a run that failed.
    const char* fixed = std::getenv("TAPIR_TEST_SEED");
    RunMixedOracle(fixed != nullptr ? static_cast<uint32_t>(std::stoul(fixed))
                                    : std::random_device{}());
}

// Seeds that once broke the tree. 211763721: an emptied leftmost inner node merged into its
// right neighbour, which became leftmost without the all-zero first key.
TEST(BTreeMixedOracle, SeedsThatOnceFailed) {
    for (const uint32_t seed : {211763721u}) {
        RunMixedOracle(seed);
    }
}

}  // namespace
}  // namespace tapir::engine
