#pragma once
// The condition search of a table: every search for rows that meet conditions (the rows
// of a restricted view, FindKey, Locate, the next or prior visible row) goes through
// FindRecord. It gathers the conditions that apply, turns key bounds into one index range
// where it can, and tests every candidate row against what the range does not cover.
// Runs under the table's lock; the caller holds it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/index/sqlmem_btree_index.h"
#include "engine/record/record_buffer.h"
#include "engine/table/record_bitmap.h"
#include "engine/table/table_definition.h"

namespace tapir::engine {

class TSQLMemTableData;

// One key bound: a condition in the order of an index's keys, a buffer in row layout
// holding the bound's values, and how many leading key fields it sets (0 = all).
struct TSQLMemSearchBound {
    TSQLMemSearchCondition Condition = scNone;
    std::vector<std::byte> Key;
    int32_t KeyFieldCount = 0;
    int32_t IndexNo = -1;  // position among the table's indexes

    TSQLMemScanSearchCondition Scan() const { return {Condition, Key.data(), KeyFieldCount}; }
};

class TSQLMemScanSearchConditionArray;

// A per-row condition of the expression language. The search asks it for comparisons
// that an index can serve (they are taken out for the search and put back afterwards),
// and then tests each candidate row with what remains.
class TSQLMemSearchExpression {
  public:
    virtual ~TSQLMemSearchExpression() = default;
    // Offers the comparisons at the root (or directly under a root AND) to the indexes;
    // a comparison an index takes is removed from the expression and added to `bounds`.
    virtual void ExtractIndexScanConditions(const std::vector<TSQLMemIndexDef>& indexes,
                                            const TSQLMemFieldDefs& fields,
                                            TSQLMemScanSearchConditionArray& bounds) = 0;
    // Puts every comparison taken by ExtractIndexScanConditions back in place.
    virtual void ReturnConditionsToExpressions() = 0;
    // True when no row can meet the expression (e.g. equality with a text longer than
    // the field).
    virtual bool CannotMatch() const = 0;
    // The expression's value for a row (null bitmap + field data); null counts as false.
    virtual bool IsRecordMatch(const std::byte* row) = 0;
};

// The ordered conditions of one search: key bounds first, then expressions.
class TSQLMemScanSearchConditionArray {
  public:
    // Stores a copy.
    void AddCondition(TSQLMemSearchBound bound) { bounds_.push_back(std::move(bound)); }
    void AddExpression(TSQLMemSearchExpression* expression) { expressions_.push_back(expression); }
    // Throws ESQLMemException 10382 "Invalid condition number = %d, count = %d".
    void Delete(int32_t condition_no);
    int32_t Count() const { return static_cast<int32_t>(bounds_.size()); }
    const TSQLMemSearchBound& Bound(int32_t condition_no) const;
    std::vector<TSQLMemSearchBound>& Bounds() { return bounds_; }
    const std::vector<TSQLMemSearchExpression*>& Expressions() const { return expressions_; }
    // Offers every expression's comparisons to the indexes; `taken` lists the
    // expressions that gave some, for ReturnConditionsToExpressions.
    void ExtractConditionsFromExpressions(const std::vector<TSQLMemIndexDef>& indexes,
                                          const TSQLMemFieldDefs& fields,
                                          std::vector<TSQLMemSearchExpression*>& taken);
    static void ReturnConditionsToExpressions(std::vector<TSQLMemSearchExpression*>& taken);

  private:
    std::vector<TSQLMemSearchBound> bounds_;
    std::vector<TSQLMemSearchExpression*> expressions_;
};

// What a search is for.
enum class TSQLMemSearchMode {
    First,   // the first match in the cursor's order (direction: forward = first, else last)
    Next,    // the match after the cursor's row in its order
    Prior,   // the match before it
    Bitmap,  // every match, appended to a visible-row list in the cursor's order
};

// The cursor's side of a search: its order, position and view.
struct TSQLMemSearchView {
    tapir::engine::ConnectionID Connection = 0;
    int32_t IndexNo = -1;  // the cursor's current index; -1 natural order
    TSQLMemRecordID Position;
    bool AtBeginning = true;
    bool AtEnd = false;
    // The row the cursor stands on as it read it, and whether it is gone from storage
    // since (its slot may hold another row by now).
    const std::byte* PositionRow = nullptr;
    bool PositionGone = false;
    // The range over the current index.
    const std::byte* StartKey = nullptr;
    const std::byte* EndKey = nullptr;
    bool StartExclusive = false;
    bool EndExclusive = false;
    int32_t StartCount = 0;
    int32_t EndCount = 0;
    // Skip rows equal to the previous one on this many leading fields of the current
    // index (0 = off).
    int32_t DistinctCount = 0;
    // The cursor's filter expression and SQL filter, if any, and its per-row callback.
    TSQLMemSearchExpression* FilterExpression = nullptr;
    TSQLMemSearchExpression* SQLFilterExpression = nullptr;
    const std::function<bool(const std::byte*)>* Filter = nullptr;
};

struct TSQLMemSearchRequest {
    TSQLMemSearchMode Mode = TSQLMemSearchMode::First;
    bool Forward = true;  // direction for First
    // A key bound the caller gives (FindKey).
    const TSQLMemSearchBound* Condition = nullptr;
    // An extra expression (Locate).
    TSQLMemSearchExpression* Expression = nullptr;
    // Must also accept the row.
    const std::function<bool(const std::byte*)>* Callback = nullptr;
    // Filled in Bitmap mode.
    TSQLMemRecordBitmap* Bitmap = nullptr;
    // Counts the rows read and tested (for callers that want to know what a search cost).
    int64_t* RowsRead = nullptr;
    // When given and the answer was found by walking the cursor's own index: its entry
    // there, and *PathSet is set true.
    TSQLMemKeyPath* Path = nullptr;
    bool* PathSet = nullptr;
};

// Runs one search on `table`; true and `found` set when a row was found (Bitmap mode:
// true when any row was marked). Requires: the table's lock is held.
bool FindRecord(TSQLMemTableData& table, const TSQLMemSearchView& view,
                const TSQLMemSearchRequest& request, TSQLMemRecordID& found);

// Whether the row meets the bound (its key compared with the bound's over the bound's key
// field count).
bool IsRecordMatchCondition(TSQLMemBTreeIndex& index, const std::byte* row,
                            const TSQLMemSearchBound& bound);

// Merges `bound` into `kept` (bounds on the same index): false when the two cannot both
// hold, so that the search finds nothing.
bool MergeAndCheckSearchConditionsCompatibility(TSQLMemBTreeIndex& index,
                                                std::vector<TSQLMemSearchBound>& kept,
                                                TSQLMemSearchBound bound);

}  // namespace tapir::engine
