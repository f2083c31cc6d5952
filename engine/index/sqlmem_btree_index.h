#pragma once
// TSQLMemBTreeIndex: an index of a table as a B-tree on the pages of a page store. Each
// leaf entry holds one record's key and its 6-byte identifier, ordered by key; the tree
// serves ordered navigation, range scans, record numbers and the uniqueness check.
// Not thread-safe: the caller holds the table's lock for each whole operation, and the
// page store serialises its own lists. Every page touched is given back before an
// operation returns, also when it fails; changed pages are written back when the caller
// applies the connection's changes in the store.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "engine/index/btree_key.h"
#include "engine/index/btree_page.h"
#include "engine/index/key_path.h"
#include "engine/pages/sqlmem_page_manager.h"

namespace tapir::engine {

// A record as the index stores it: int32 then uint16.
struct IndexRecordId {
    int32_t PageNo = -1;
    uint16_t PageItemNo = 0;
    friend bool operator==(const IndexRecordId&, const IndexRecordId&) = default;
};

enum class TSQLMemSearchCondition : int {
    scNone = 0,
    scEqual,
    scLower,
    scGreater,
    scLowerEqual,
    scGreaterEqual,
};
using enum TSQLMemSearchCondition;

enum class TSQLMemKeySearchType : int { kstFirst = 0, kstLast, kstAny };
using enum TSQLMemKeySearchType;

enum class TSQLMemKeyPathPosition : int { kppOnKey = 0, kppBeforeKey, kppEOF };
using enum TSQLMemKeyPathPosition;

// One bound of a range scan: the condition, a row buffer holding the bound's key values,
// and how many leading key fields it sets (0 = all).
struct TSQLMemScanSearchCondition {
    TSQLMemSearchCondition Condition = scNone;
    const std::byte* RecordBuffer = nullptr;
    int32_t KeyFieldCount = 0;
};

// Scan state of FindRecord.
struct TSQLMemBTreeSearchInfo {
    bool Forward = true;
    bool Started = false;
    bool HasEndPath = false;
    TSQLMemKeyPath EndPath;
    TSQLMemKeyPath CurrentPath;
};

// The seam through which a cursor's visible-row list takes part in record numbers and
// distinct: which records count, and hiding one.
class RecordVisibility {
  public:
    virtual ~RecordVisibility() = default;
    virtual bool IsVisible(IndexRecordId id) const = 0;
    virtual void Hide(IndexRecordId id) = 0;
};

// The table's records in storage order, for building an index over existing rows.
class IndexRecordSource {
  public:
    virtual ~IndexRecordSource() = default;
    // The next record and its identifier; false after the last. `record` stays valid
    // until the next call.
    virtual bool Next(IndexRecordId& id, const std::byte*& record) = 0;
};

// Index definition as the index keeps it.
struct BTreeIndexDef {
    std::string Name;
    int32_t ObjectID = 0;
    bool Unique = false;
    bool Primary = false;
    std::vector<KeyColumn> Columns;
    int32_t RootPageNo = -1;
    bool Temporary = false;
};

class TSQLMemBTreeIndex {
  public:
    // Raised as "Index error: damaged page, pageNo = %d" when a page's header does not
    // describe this index's entries inside the page, or its links or children loop.
    static constexpr int kDamagedPageCode = 20081;

    // Opens the index; no page is touched. Requires: `store` outlives the index.
    TSQLMemBTreeIndex(TSQLMemPageManager& store, BTreeIndexDef definition);
    TSQLMemBTreeIndex(const TSQLMemBTreeIndex&) = delete;
    TSQLMemBTreeIndex& operator=(const TSQLMemBTreeIndex&) = delete;

    const BTreeIndexDef& Definition() const { return def_; }
    int32_t RootPageNo() const { return def_.RootPageNo; }
    const TSQLMemBTreeKeyRef& KeyRef() const { return key_ref_; }

    // Creates the root, then inserts every record the source yields, one at a time.
    // Returns the root page number.
    int32_t CreateIndex(ConnectionID connection, IndexRecordSource& records);
    // Creates the empty root leaf when there is none; returns its number.
    int32_t CreateRoot(ConnectionID connection);
    // Releases every page of the tree, children before their node.
    void DropIndex(ConnectionID connection);

    // Inserts (key of `record`, id); creates the root first when there is none.
    void InsertRecord(ConnectionID connection, const std::byte* record, IndexRecordId id);
    // Throws ESQLMemException 20027 "Index error: cannot delete entry. Entry not found".
    void DeleteRecord(ConnectionID connection, const std::byte* record, IndexRecordId id);
    // Moves the entry when the keys differ (20027 when the old one is absent).
    void UpdateRecord(ConnectionID connection, const std::byte* old_record,
                      const std::byte* new_record, IndexRecordId id);
    // False when the index is unique or primary and holds an entry with an equal key
    // (null parts equal null parts; case-insensitive parts ignore case).
    bool CanInsertRecord(ConnectionID connection, const std::byte* record);
    bool CanUpdateRecord(ConnectionID connection, const std::byte* old_record,
                         const std::byte* new_record);

    // Fills `path` with the entry of the record (its key from `record`; every entry is
    // tried when `record` is null). False when absent or when there is no root.
    bool GetIndexPosition(ConnectionID connection, IndexRecordId id, const std::byte* record,
                          TSQLMemKeyPath& path);
    bool GetFirstPosition(ConnectionID connection, TSQLMemKeyPath& path);
    bool GetLastPosition(ConnectionID connection, TSQLMemKeyPath& path);
    // One step; false when there is no next (prior) entry. Throws 20069 "Index error:
    // invalid position" on an empty path, 20070 (20071) "Index error: invalid page number"
    // when a needed neighbour link is missing. A step within a leaf fetches no page.
    bool GetNextPosition(ConnectionID connection, TSQLMemKeyPath& path);
    bool GetPriorPosition(ConnectionID connection, TSQLMemKeyPath& path);
    // Throws 20068 "Index error: invalid position" on an empty path.
    IndexRecordId GetRecordID(ConnectionID connection, const TSQLMemKeyPath& path);
    // Calls `visit` with the record identifier and the key bytes (KeySize) of every entry,
    // in key order, walking the leaves along their right links so that each page is
    // fetched once; stops when `visit` returns false. The key bytes are valid during the
    // call only. Throws 20070 when a leaf link leads to no page.
    void VisitEntries(ConnectionID connection,
                      const std::function<bool(IndexRecordId id, const std::byte* key)>& visit);
    // Throws 10384 / 10385 "Nil pointer occured" for a missing first / second path.
    static int CompareRecordPositionsInIndex(const TSQLMemKeyPath* first,
                                             const TSQLMemKeyPath* second);

    // 1-based rank in index order (visible records only when `visible` is given); -1 when
    // the record is not in the index.
    int64_t GetRecNoByRecordID(ConnectionID connection, IndexRecordId id, const std::byte* record,
                               const RecordVisibility* visible = nullptr);
    // Throws 20074 "Cannot retreive record from empty index" and 20075 "Cannot set RecNo
    // greater than RecordCount".
    IndexRecordId GetRecordIDByRecNo(ConnectionID connection, uint64_t rec_no,
                                     const RecordVisibility* visible = nullptr);
    // Hides every visible record whose key equals the previous visible key. Throws 20076
    // "Pointer is nil" without a list.
    void ApplyDistinctToRecordBitmap(ConnectionID connection, RecordVisibility* visible);

    // First or last entry matching the condition, into `path`.
    bool FindByCondition(ConnectionID connection, bool first,
                         const TSQLMemScanSearchCondition& condition, TSQLMemKeyPath& path);
    // One step of a range scan. Throws 20077 "Pointer is nil" without scan state, 20078
    // "Index error: invalid params" for GetFirst on a started scan and 20079 when the end
    // position cannot be found.
    bool FindRecord(ConnectionID connection, bool get_first, bool forward,
                    const TSQLMemScanSearchCondition* start, const TSQLMemScanSearchCondition* end,
                    const std::byte* record, IndexRecordId& id, TSQLMemBTreeSearchInfo* info);

    int CompareRecordBuffersByIndex(const std::byte* left, const std::byte* right,
                                    int32_t key_field_count);
    static int CompareConditions(const TSQLMemScanSearchCondition& first,
                                 const TSQLMemScanSearchCondition& second);
    int64_t GetApproxRangeRecordCount(ConnectionID connection, uint64_t table_record_count,
                                      const TSQLMemScanSearchCondition& first,
                                      const TSQLMemScanSearchCondition& second);

    // Diagnostic: every broken tree-shape rule found, empty for a sound tree.
    std::vector<std::string> CheckIntegrity(ConnectionID connection);

  private:
    struct KeyPosition {
        int32_t position = 0;
        TSQLMemKeyPathPosition where = kppEOF;
    };
    struct ChildRange {
        int32_t first = 0;
        int32_t last = -1;
    };
    enum class Repair { Left, Right };

    // Fetches and checks a page; throws kDamagedPageCode for a damaged header.
    TSQLMemBTreePage Fetch(ConnectionID connection, int32_t page_no);
    [[noreturn]] static void ThrowDamagedPage(int32_t page_no);
    void CountLinkStep(int64_t& steps, int32_t page_no) const;
    TSQLMemBTreePage Add(ConnectionID connection);

    KeyPosition GetKeyPosition(const TSQLMemBTreePage& page, const std::byte* key, int32_t low,
                               TSQLMemKeySearchType type) const;
    ChildRange GetChildPagesToCheck(const TSQLMemBTreePage& node, const std::byte* key,
                                    TSQLMemSearchCondition condition) const;
    bool FindInSubtree(ConnectionID connection, int32_t page_no, bool first,
                       TSQLMemSearchCondition condition, const std::byte* key,
                       TSQLMemKeyPath& path);
    bool LocateInSubtree(ConnectionID connection, int32_t page_no, const std::byte* key,
                         const std::byte* reference, TSQLMemKeyPath& path);

    void InsertKey(ConnectionID connection, const std::byte* key, const std::byte* reference);
    void InsertEntry(ConnectionID connection, TSQLMemKeyPath& path, int32_t level,
                     TSQLMemBTreePage& page, int32_t position, const std::byte* key,
                     const std::byte* reference);
    void Split(ConnectionID connection, TSQLMemKeyPath& path, int32_t level,
               TSQLMemBTreePage& page);
    void DeleteKey(ConnectionID connection, const std::byte* key, const std::byte* reference);
    void RemoveEntry(TSQLMemBTreePage& page, int32_t entry);
    void AfterRemove(ConnectionID connection, TSQLMemKeyPath& path, int32_t level,
                     TSQLMemBTreePage& page);
    bool TryMerge(ConnectionID connection, TSQLMemKeyPath& path, int32_t level,
                  TSQLMemBTreePage& page);
    void DeleteNodeEntry(ConnectionID connection, TSQLMemKeyPath& path, int32_t level,
                         Repair repair);
    void GetFirstKey(ConnectionID connection, const TSQLMemBTreePage& page, std::byte* key);
    bool Underflows(const TSQLMemBTreePage& page) const;
    bool CanMergeWithPage(const TSQLMemBTreePage& page, const TSQLMemBTreePage& other) const;
    void FreeSubtree(ConnectionID connection, int32_t page_no, int32_t level);
    void LeftmostLeaf(ConnectionID connection, TSQLMemKeyPath& path, bool rightmost);

    void CheckSubtree(ConnectionID connection, int32_t page_no, int32_t level,
                      const std::byte* lower, const std::byte* upper,
                      std::vector<std::vector<int32_t>>& levels, int32_t& leaf_depth,
                      std::vector<std::string>& problems);

    TSQLMemPageManager& store_;
    BTreeIndexDef def_;
    TSQLMemBTreeKeyRef key_ref_;
    int32_t page_size_;
    // Scratch kept between operations so that hot paths do not allocate.
    std::vector<std::byte> key_;
    std::vector<std::byte> other_key_;
    std::vector<std::byte> first_key_;
    TSQLMemKeyPath path_;
};

}  // namespace tapir::engine
