// The B-tree index on its own: one million keys inserted, looked up, scanned both ways,
// located by record number and deleted, on the memory page store with the connection's
// changes applied after every change as the table does. Prints CPU time per workload and,
// where an ordered in-memory set of (key, identifier) pairs does the same work, its time
// in the same run and ratio = set time / B-tree time (above 1: the B-tree is faster).

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/index/sqlmem_btree_index.h"
#include "engine/pages/sqlmem_memory_page_manager.h"

namespace te = tapir::engine;

namespace {

constexpr int kRows = 1000000;
constexpr te::ConnectionID kConnection = 1;
// Row: null bitmap, int32 key at 1, int32 group at 5.
constexpr int kRowSize = 9;

double CpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Row {
    std::byte bytes[kRowSize]{};
    Row(int32_t key, int32_t group) {
        std::memcpy(bytes + 1, &key, 4);
        std::memcpy(bytes + 5, &group, 4);
    }
};

void Report(const char* workload, double seconds, int operations) {
    std::printf("%-38s %8.3f s  %8.0f ns/op\n", workload, seconds,
                seconds * 1e9 / static_cast<double>(operations));
}

void Report(const char* workload, double seconds, int operations, double peer_seconds) {
    std::printf("%-38s %8.3f s  %8.0f ns/op  set %8.3f s  ratio=%.2f\n", workload, seconds,
                seconds * 1e9 / static_cast<double>(operations), peer_seconds,
                peer_seconds / seconds);
}

// The peer: the same (key, identifier) order in a balanced binary tree.
using PeerIndex = std::set<std::pair<int32_t, int32_t>>;

te::BTreeIndexDef Definition(int32_t offset, int field_no) {
    te::BTreeIndexDef def;
    def.Name = "Bench";
    def.Columns = {{te::KeyFieldType::SignedInt32, 0, offset, field_no, false, false}};
    return def;
}

}  // namespace

int main() {
    std::mt19937 random(12345);
    std::vector<int32_t> keys(kRows);
    for (int32_t& key : keys) {
        key = static_cast<int32_t>(random());
    }
    std::vector<int32_t> order(kRows);
    std::iota(order.begin(), order.end(), 0);

    te::TSQLMemMemoryPageManager store;
    te::TSQLMemBTreeIndex index(store, Definition(1, 0));
    std::printf("B-tree index, %d keys, %d-byte pages\n", kRows, store.PageSize());

    PeerIndex peer;
    double start = CpuSeconds();
    for (int i = 0; i < kRows; ++i) {
        peer.emplace(keys[i], i);
    }
    const double peer_insert = CpuSeconds() - start;
    start = CpuSeconds();
    for (int i = 0; i < kRows; ++i) {
        index.InsertRecord(kConnection, Row(keys[i], i % 10).bytes, {i, 0});
        store.ApplyChanges(kConnection);
    }
    Report("insert (random keys)", CpuSeconds() - start, kRows, peer_insert);
    std::printf("  pages: %d (%.1f bytes per key)\n", store.GetPageCount(),
                static_cast<double>(store.GetPageCount()) * store.PageSize() / kRows);

    std::shuffle(order.begin(), order.end(), random);
    te::TSQLMemKeyPath path;
    int found = 0;
    start = CpuSeconds();
    for (const int i : order) {
        found += peer.count({keys[i], i}) != 0 ? 1 : 0;
    }
    const double peer_locate = CpuSeconds() - start;
    if (found != kRows) {
        std::printf("  PEER MISSING: %d of %d located\n", kRows - found, kRows);
        return 1;
    }
    found = 0;
    start = CpuSeconds();
    for (const int i : order) {
        found += index.GetIndexPosition(kConnection, {i, 0}, Row(keys[i], 0).bytes, path) ? 1 : 0;
    }
    Report("locate by key + identifier", CpuSeconds() - start, kRows, peer_locate);
    if (found != kRows) {
        std::printf("  MISSING: %d of %d located\n", kRows - found, kRows);
        return 1;
    }

    for (const bool forward : {true, false}) {
        int64_t peer_checksum = 0;
        start = CpuSeconds();
        if (forward) {
            for (const auto& entry : peer) {
                peer_checksum += entry.second;
            }
        } else {
            for (auto entry = peer.rbegin(); entry != peer.rend(); ++entry) {
                peer_checksum += entry->second;
            }
        }
        const double peer_scan = CpuSeconds() - start;
        int steps = 0;
        int64_t checksum = 0;
        start = CpuSeconds();
        bool more = forward ? index.GetFirstPosition(kConnection, path)
                            : index.GetLastPosition(kConnection, path);
        while (more) {
            checksum += index.GetRecordID(kConnection, path).PageNo;
            ++steps;
            more = forward ? index.GetNextPosition(kConnection, path)
                           : index.GetPriorPosition(kConnection, path);
        }
        Report(forward ? "ordered scan forward" : "ordered scan backward", CpuSeconds() - start,
               steps, peer_scan);
        if (steps != kRows || checksum != static_cast<int64_t>(kRows) * (kRows - 1) / 2 ||
            peer_checksum != checksum) {
            std::printf("  WRONG: %d steps\n", steps);
            return 1;
        }
    }

    constexpr int kRecNos = 1000;
    start = CpuSeconds();
    for (int i = 0; i < kRecNos; ++i) {
        (void)index.GetRecordIDByRecNo(kConnection, 1 + random() % kRows);
    }
    Report("record number -> identifier", CpuSeconds() - start, kRecNos);

    std::shuffle(order.begin(), order.end(), random);
    start = CpuSeconds();
    for (const int i : order) {
        peer.erase({keys[i], i});
    }
    const double peer_delete = CpuSeconds() - start;
    start = CpuSeconds();
    for (const int i : order) {
        index.DeleteRecord(kConnection, Row(keys[i], 0).bytes, {i, 0});
        store.ApplyChanges(kConnection);
    }
    Report("delete (random order)", CpuSeconds() - start, kRows, peer_delete);
    std::printf("  pages left: %d\n", store.GetPageCount());

    // Ten distinct values: long runs of equal keys.
    te::TSQLMemBTreeIndex groups(store, Definition(5, 1));
    start = CpuSeconds();
    for (int i = 0; i < kRows; ++i) {
        groups.InsertRecord(kConnection, Row(0, i % 10).bytes, {i, 0});
        store.ApplyChanges(kConnection);
    }
    Report("insert (10 distinct keys)", CpuSeconds() - start, kRows);
    int steps = 0;
    start = CpuSeconds();
    for (bool more = groups.GetFirstPosition(kConnection, path); more;
         more = groups.GetNextPosition(kConnection, path)) {
        (void)groups.GetRecordID(kConnection, path);
        ++steps;
    }
    Report("ordered scan (10 distinct keys)", CpuSeconds() - start, steps);
    te::TSQLMemKeyPath located;
    start = CpuSeconds();
    constexpr int kDuplicateLookups = 1000;
    for (int i = 0; i < kDuplicateLookups; ++i) {
        const int id = static_cast<int>(random() % kRows);
        (void)groups.GetIndexPosition(kConnection, {id, 0}, Row(0, id % 10).bytes, located);
    }
    Report("locate in a run of 100 000 equal keys", CpuSeconds() - start, kDuplicateLookups);
    groups.DropIndex(kConnection);
    store.ApplyChanges(kConnection);
    index.DropIndex(kConnection);
    store.ApplyChanges(kConnection);
    return 0;
}
