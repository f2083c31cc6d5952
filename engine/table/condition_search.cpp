#include "engine/table/condition_search.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "engine/record/db_types.h"
#include "engine/table/sqlmem_table_data.h"

namespace tapir::engine {

// --- Condition list ---

void TSQLMemScanSearchConditionArray::Delete(int32_t condition_no) {
    if (condition_no < 0 || condition_no >= Count()) {
        throw ESQLMemException::Formatted(
            10382, "Invalid condition number = " + std::to_string(condition_no) +
                       ", count = " + std::to_string(Count()));
    }
    bounds_.erase(bounds_.begin() + condition_no);
}

const TSQLMemSearchBound& TSQLMemScanSearchConditionArray::Bound(int32_t condition_no) const {
    if (condition_no < 0 || condition_no >= Count()) {
        throw ESQLMemException::Formatted(
            10382, "Invalid condition number = " + std::to_string(condition_no) +
                       ", count = " + std::to_string(Count()));
    }
    return bounds_[static_cast<size_t>(condition_no)];
}

void TSQLMemScanSearchConditionArray::ExtractConditionsFromExpressions(
    const std::vector<TSQLMemIndexDef>& indexes, const TSQLMemFieldDefs& fields,
    std::vector<TSQLMemSearchExpression*>& taken) {
    for (TSQLMemSearchExpression* expression : expressions_) {
        const int32_t before = Count();
        expression->ExtractIndexScanConditions(indexes, fields, *this);
        if (Count() != before) {
            taken.push_back(expression);
        }
    }
}

void TSQLMemScanSearchConditionArray::ReturnConditionsToExpressions(
    std::vector<TSQLMemSearchExpression*>& taken) {
    for (TSQLMemSearchExpression* expression : taken) {
        expression->ReturnConditionsToExpressions();
    }
    taken.clear();
}

// --- Bounds ---

bool IsRecordMatchCondition(TSQLMemBTreeIndex& index, const std::byte* row,
                            const TSQLMemSearchBound& bound) {
    const int compared =
        index.CompareRecordBuffersByIndex(row, bound.Key.data(), bound.KeyFieldCount);
    switch (bound.Condition) {
        case scEqual:
            return compared == 0;
        case scLower:
            return compared < 0;
        case scGreater:
            return compared > 0;
        case scLowerEqual:
            return compared <= 0;
        case scGreaterEqual:
            return compared >= 0;
        case scNone:
            return true;
    }
    return true;
}

namespace {

bool IsLowerBound(TSQLMemSearchCondition condition) {
    return condition == scGreater || condition == scGreaterEqual;
}

bool IsUpperBound(TSQLMemSearchCondition condition) {
    return condition == scLower || condition == scLowerEqual;
}

// The key field count a bound compares over: all parts for 0.
int32_t EffectiveCount(const TSQLMemBTreeIndex& index, int32_t count) {
    const int32_t parts = index.KeyRef().GetPartCount();
    return count <= 0 || count > parts ? parts : count;
}

// A lower and an upper bound on one index: the rows between their ends meet both.
bool IsRangePair(const TSQLMemSearchBound& a, const TSQLMemSearchBound& b) {
    return a.IndexNo == b.IndexNo && ((IsLowerBound(a.Condition) && IsUpperBound(b.Condition)) ||
                                      (IsUpperBound(a.Condition) && IsLowerBound(b.Condition)));
}

}  // namespace

bool MergeAndCheckSearchConditionsCompatibility(TSQLMemBTreeIndex& index,
                                                std::vector<TSQLMemSearchBound>& kept,
                                                TSQLMemSearchBound bound) {
    const int32_t new_count = EffectiveCount(index, bound.KeyFieldCount);
    for (TSQLMemSearchBound& old : kept) {
        const int32_t old_count = EffectiveCount(index, old.KeyFieldCount);
        const int32_t count = std::min(old_count, new_count);
        const int compared =
            index.CompareRecordBuffersByIndex(old.Key.data(), bound.Key.data(), count);
        // Over a shorter prefix than its own, a bound loses its strictness: (5, 3) > (5, 2)
        // holds for rows whose first field is 5.
        const auto strict = [&](const TSQLMemSearchBound& b, int32_t own) {
            return own == count && (b.Condition == scGreater || b.Condition == scLower);
        };
        // Disjoint: a lower bound of one above (or at, when strict) the upper bound of the
        // other. An equality counts as both.
        const auto disjoint = [&](const TSQLMemSearchBound& low, int32_t low_count,
                                  const TSQLMemSearchBound& high, int32_t high_count,
                                  int order /* low key vs high key */) {
            const bool low_side = IsLowerBound(low.Condition) || low.Condition == scEqual;
            const bool high_side = IsUpperBound(high.Condition) || high.Condition == scEqual;
            if (!low_side || !high_side) {
                return false;
            }
            return order > 0 ||
                   (order == 0 && (strict(low, low_count) || strict(high, high_count)));
        };
        if (disjoint(old, old_count, bound, new_count, compared) ||
            disjoint(bound, new_count, old, old_count, -compared)) {
            return false;
        }
        if (old_count != new_count) {
            continue;
        }
        // Same prefix: one of two bounds on the same side is tighter and replaces the
        // other; an equality is tighter than any bound it is compatible with.
        if (bound.Condition == scEqual && old.Condition == scEqual) {
            return true;  // the same key: nothing new
        }
        const bool both_lower = IsLowerBound(old.Condition) && IsLowerBound(bound.Condition);
        const bool both_upper = IsUpperBound(old.Condition) && IsUpperBound(bound.Condition);
        if (both_lower || both_upper) {
            bool tighter = both_lower ? compared < 0 : compared > 0;
            if (compared == 0) {
                tighter = bound.Condition == scGreater || bound.Condition == scLower;
            }
            if (tighter) {
                old = std::move(bound);
            }
            return true;
        }
    }
    kept.push_back(std::move(bound));
    return true;
}

namespace {

using Mode = TSQLMemSearchMode;

class Search {
  public:
    Search(TSQLMemTableData& table, const TSQLMemSearchView& view,
           const TSQLMemSearchRequest& request)
        : table_(table),
          view_(view),
          request_(request),
          mode_(request.Mode),
          forward_(mode_ == TSQLMemSearchMode::Next || mode_ == TSQLMemSearchMode::Bitmap ||
                   (mode_ == TSQLMemSearchMode::First && request.Forward)) {}

    bool Run(TSQLMemRecordID& found);

  private:
    struct Chosen {
        int32_t index_no = -1;
        const TSQLMemSearchBound* start = nullptr;
        const TSQLMemSearchBound* end = nullptr;
    };

    void PrepareConditions();
    bool OptimizeSearchConditions();
    Chosen ChooseScanConditions();
    bool ChooseByHeuristics(Chosen& chosen);
    bool ChooseWithMinRangeRecordCount(Chosen& chosen);
    void OrderChosen(Chosen& chosen);

    // `check_chosen`: also test the bounds that delimit the scan (needed only for the
    // first row of a range, which may lie past the range's other end).
    bool Matches(const std::byte* row, const Chosen& chosen, bool check_chosen = false);
    bool Forward() const { return forward_; }
    bool Report(TSQLMemRecordID id, TSQLMemRecordID& found);

    bool HasEnd(TSQLMemBTreeIndex& index, const TSQLMemScanSearchCondition& end, bool forward);
    bool ScanWithoutCondition(const Chosen& chosen, TSQLMemRecordID& found);
    bool ScanConditionIndex(const Chosen& chosen, TSQLMemRecordID& found);
    bool FirstByBound(const Chosen& chosen, TSQLMemRecordID& found);
    bool ScanWithoutCurrentIndex(const Chosen& chosen, TSQLMemRecordID& found);
    bool ScanOtherIndex(const Chosen& chosen, TSQLMemRecordID& found);
    // Every row of the chosen range that matches, in the chosen index's order.
    std::vector<TSQLMemRecordID> CollectRange(const Chosen& chosen);

    const std::byte* Row(TSQLMemRecordID id) const { return table_.Records().RecordPointer(id); }

    TSQLMemTableData& table_;
    const TSQLMemSearchView& view_;
    const TSQLMemSearchRequest& request_;
    Mode mode_;
    bool forward_;
    TSQLMemScanSearchConditionArray conditions_;
    std::vector<TSQLMemSearchExpression*> taken_;
    // Bounds after merging, grouped by index in the order the indexes were first named.
    std::vector<TSQLMemSearchBound> bounds_;
};

TSQLMemSearchBound MakeBound(TSQLMemSearchCondition condition, const std::byte* key, int32_t size,
                             int32_t count, int32_t index_no) {
    TSQLMemSearchBound bound;
    bound.Condition = condition;
    bound.Key.assign(key, key + size);
    bound.KeyFieldCount = count;
    bound.IndexNo = index_no;
    return bound;
}

void Search::PrepareConditions() {
    const int32_t size = table_.FieldDefs().KeyBufferSize();
    if (request_.Condition != nullptr) {
        conditions_.AddCondition(*request_.Condition);
    }
    if (request_.Expression != nullptr) {
        conditions_.AddExpression(request_.Expression);
    }
    if (view_.FilterExpression != nullptr) {
        conditions_.AddExpression(view_.FilterExpression);
    }
    if (view_.SQLFilterExpression != nullptr) {
        conditions_.AddExpression(view_.SQLFilterExpression);
    }
    if (view_.IndexNo >= 0) {
        if (view_.StartKey != nullptr) {
            conditions_.AddCondition(MakeBound(view_.StartExclusive ? scGreater : scGreaterEqual,
                                               view_.StartKey, size, view_.StartCount,
                                               view_.IndexNo));
        }
        if (view_.EndKey != nullptr) {
            conditions_.AddCondition(MakeBound(view_.EndExclusive ? scLower : scLowerEqual,
                                               view_.EndKey, size, view_.EndCount, view_.IndexNo));
        }
        const bool stepping = mode_ == Mode::Next || mode_ == Mode::Prior;
        if (stepping && view_.PositionRow != nullptr && !view_.AtBeginning && !view_.AtEnd) {
            if (view_.PositionGone) {
                // The row the cursor stood on is gone: go on from where its key stood.
                conditions_.AddCondition(MakeBound(mode_ == Mode::Next ? scGreater : scLower,
                                                   view_.PositionRow, size, 0, view_.IndexNo));
                mode_ = Mode::First;
            }
            if (view_.DistinctCount > 0) {
                conditions_.AddCondition(MakeBound(mode_ == Mode::Next ? scGreater : scLower,
                                                   view_.PositionRow, size, view_.DistinctCount,
                                                   view_.IndexNo));
            }
        }
    }
}

bool Search::OptimizeSearchConditions() {
    for (TSQLMemSearchExpression* expression : conditions_.Expressions()) {
        if (expression->CannotMatch()) {
            return false;
        }
    }
    // Group by index in the order the indexes are first named, merging each bound into
    // those kept for its index.
    std::vector<TSQLMemSearchBound>& given = conditions_.Bounds();
    for (const TSQLMemSearchBound& bound : given) {
        if (bound.IndexNo < 0 || bound.IndexNo >= static_cast<int32_t>(table_.IndexDefs().size())) {
            throw ESQLMemException(20059, "Pointer is nil");
        }
        if (table_.Index(bound.IndexNo).KeyRef().GetPartCount() == 0) {
            throw ESQLMemException(20057, "Invalid index for search");
        }
    }
    if (given.size() == 1) {
        bounds_.push_back(std::move(given.front()));
        return true;
    }
    std::vector<bool> merged(given.size(), false);
    for (size_t first = 0; first < given.size(); ++first) {
        if (merged[first]) {
            continue;
        }
        const int32_t index_no = given[first].IndexNo;
        TSQLMemBTreeIndex& index = table_.Index(index_no);
        std::vector<TSQLMemSearchBound> kept;
        for (size_t i = first; i < given.size(); ++i) {
            if (!merged[i] && given[i].IndexNo == index_no) {
                merged[i] = true;
                if (!MergeAndCheckSearchConditionsCompatibility(index, kept, std::move(given[i]))) {
                    return false;
                }
            }
        }
        for (TSQLMemSearchBound& bound : kept) {
            bounds_.push_back(std::move(bound));
        }
    }
    return true;
}

bool Search::ChooseByHeuristics(Chosen& chosen) {
    for (const TSQLMemSearchBound& bound : bounds_) {
        if (bound.Condition != scEqual) {
            continue;
        }
        if (table_.IndexIsUniqueForSearch(bound.IndexNo)) {
            chosen = {bound.IndexNo, &bound, nullptr};
            return true;
        }
    }
    if (bounds_.size() == 1 && bounds_.front().IndexNo == view_.IndexNo) {
        chosen = {bounds_.front().IndexNo, &bounds_.front(), nullptr};
        return true;
    }
    return false;
}

bool Search::ChooseWithMinRangeRecordCount(Chosen& chosen) {
    const int64_t rows = table_.RecordCount();
    int64_t best = rows;
    bool have = false;
    for (size_t i = 0; i < bounds_.size(); ++i) {
        const TSQLMemSearchBound& first = bounds_[i];
        const TSQLMemSearchBound* second = nullptr;
        if (i + 1 < bounds_.size() && IsRangePair(first, bounds_[i + 1])) {
            second = &bounds_[i + 1];
        }
        TSQLMemBTreeIndex& index = table_.Index(first.IndexNo);
        const int64_t estimate = index.GetApproxRangeRecordCount(
            view_.Connection, static_cast<uint64_t>(rows), first.Scan(),
            second != nullptr ? second->Scan() : first.Scan());
        if (estimate < best) {
            best = estimate;
            chosen = {first.IndexNo, &first, second};
            have = true;
        }
    }
    if (!have) {
        return false;
    }
    // A range that still holds many rows is worth less than reading the rows in order.
    double budget = static_cast<double>(rows);
    if (view_.IndexNo < 0) {
        int64_t current = 0;
        if (view_.AtEnd) {
            current = rows;
        } else if (!view_.AtBeginning && view_.Position.PageNo >= 0) {
            current = table_.Records().RowsUpTo(view_.Position.PageNo);
        }
        budget = static_cast<double>(rows - current) / 5.0;
    }
    if (static_cast<double>(best) * static_cast<double>(best) > budget) {
        chosen = {};
        return false;
    }
    return true;
}

void Search::OrderChosen(Chosen& chosen) {
    if (chosen.end == nullptr) {
        return;
    }
    // The scan starts at the bound met first in its direction.
    const int order =
        TSQLMemBTreeIndex::CompareConditions(chosen.start->Scan(), chosen.end->Scan());
    if ((order > 0) == Forward()) {
        std::swap(chosen.start, chosen.end);
    }
}

Search::Chosen Search::ChooseScanConditions() {
    Chosen chosen;
    if (bounds_.empty()) {
        return chosen;
    }
    if (!ChooseByHeuristics(chosen) && !ChooseWithMinRangeRecordCount(chosen)) {
        // The first bound that names an index, with its partner on that index when the
        // next bound is one: a range is never wider than its half.
        const TSQLMemSearchBound* partner = nullptr;
        if (bounds_.size() > 1 && IsRangePair(bounds_.front(), bounds_[1])) {
            partner = &bounds_[1];
        }
        chosen = {bounds_.front().IndexNo, &bounds_.front(), partner};
    }
    OrderChosen(chosen);
    return chosen;
}

bool Search::Matches(const std::byte* row, const Chosen& chosen, bool check_chosen) {
    if (request_.RowsRead != nullptr) {
        ++*request_.RowsRead;
    }
    for (const TSQLMemSearchBound& bound : bounds_) {
        if (!check_chosen && (&bound == chosen.start || &bound == chosen.end)) {
            continue;
        }
        if (!IsRecordMatchCondition(table_.Index(bound.IndexNo), row, bound)) {
            return false;
        }
    }
    for (TSQLMemSearchExpression* expression : conditions_.Expressions()) {
        if (!expression->IsRecordMatch(row)) {
            return false;
        }
    }
    if (view_.Filter != nullptr && *view_.Filter && !(*view_.Filter)(row)) {
        return false;
    }
    if (request_.Callback != nullptr && *request_.Callback && !(*request_.Callback)(row)) {
        return false;
    }
    return true;
}

// Bitmap mode marks and goes on (false); the other modes stop at the row (true).
bool Search::Report(TSQLMemRecordID id, TSQLMemRecordID& found) {
    if (mode_ == Mode::Bitmap) {
        request_.Bitmap->Append(id);
        found = id;
        return false;
    }
    found = id;
    return true;
}

bool Search::ScanWithoutCondition(const Chosen& chosen, TSQLMemRecordID& found) {
    const bool forward = Forward();
    const bool from_end =
        mode_ == Mode::First || mode_ == Mode::Bitmap || view_.AtBeginning || view_.AtEnd;
    if (view_.IndexNo >= 0) {
        TSQLMemBTreeIndex& index = table_.Index(view_.IndexNo);
        TSQLMemKeyPath path;
        bool on = false;
        if (from_end) {
            if ((forward && view_.AtEnd && mode_ == Mode::Next) ||
                (!forward && view_.AtBeginning && mode_ == Mode::Prior)) {
                return false;
            }
            on = forward ? index.GetFirstPosition(view_.Connection, path)
                         : index.GetLastPosition(view_.Connection, path);
        } else {
            const std::byte* row = Row(view_.Position);
            if (row == nullptr ||
                !index.GetIndexPosition(view_.Connection, {view_.Position.PageNo, 0}, row, path)) {
                return false;
            }
            on = forward ? index.GetNextPosition(view_.Connection, path)
                         : index.GetPriorPosition(view_.Connection, path);
        }
        for (; on; on = forward ? index.GetNextPosition(view_.Connection, path)
                                : index.GetPriorPosition(view_.Connection, path)) {
            const IndexRecordId entry = index.GetRecordID(view_.Connection, path);
            const TSQLMemRecordID id{entry.PageNo, 0};
            if (Matches(Row(id), chosen) && Report(id, found)) {
                return true;
            }
        }
        return mode_ == Mode::Bitmap && !request_.Bitmap->Empty();
    }
    const TSQLMemMemoryRecordManager& records = table_.Records();
    TSQLMemNavigationInfo info;
    info.ConnectionID = view_.Connection;
    info.GetRecordMode = forward ? grmNext : grmPrior;
    info.RecordID = from_end ? TSQLMemRecordID{} : view_.Position;
    info.AtBeginning = from_end ? forward : false;
    info.AtEnd = from_end ? !forward : false;
    if (mode_ == Mode::Next && view_.AtEnd) {
        return false;
    }
    if (mode_ == Mode::Prior && view_.AtBeginning) {
        return false;
    }
    for (;;) {
        records.GetRecord(info);
        if (info.GetRecordResult != grrOK) {
            break;
        }
        const TSQLMemRecordID id = info.RecordID;
        if (Matches(Row(id), chosen) && Report(id, found)) {
            return true;
        }
        info.AtBeginning = false;
        info.AtEnd = false;
    }
    return mode_ == Mode::Bitmap && !request_.Bitmap->Empty();
}

bool Search::HasEnd(TSQLMemBTreeIndex& index, const TSQLMemScanSearchCondition& end, bool forward) {
    // A range whose far end holds no entry is empty; the range scan would refuse it.
    TSQLMemKeyPath path;
    return index.FindByCondition(view_.Connection, !forward, end, path);
}

bool Search::FirstByBound(const Chosen& chosen, TSQLMemRecordID& found) {
    // One bound: its matches are one run of the index; walk it from its first entry in
    // the direction and stop where the bound no longer holds.
    TSQLMemBTreeIndex& index = table_.Index(chosen.index_no);
    const bool forward = Forward();
    TSQLMemKeyPath path;
    bool on = index.FindByCondition(view_.Connection, forward, chosen.start->Scan(), path);
    while (on) {
        const IndexRecordId entry = index.GetRecordID(view_.Connection, path);
        const TSQLMemRecordID id{entry.PageNo, 0};
        const std::byte* row = Row(id);
        if (!IsRecordMatchCondition(index, row, *chosen.start)) {
            return false;
        }
        if (Matches(row, chosen)) {
            found = id;
            if (chosen.index_no == view_.IndexNo && request_.Path != nullptr &&
                request_.PathSet != nullptr) {
                *request_.Path = path;
                *request_.PathSet = true;
            }
            return true;
        }
        on = forward ? index.GetNextPosition(view_.Connection, path)
                     : index.GetPriorPosition(view_.Connection, path);
    }
    return false;
}

bool Search::ScanConditionIndex(const Chosen& chosen, TSQLMemRecordID& found) {
    TSQLMemBTreeIndex& index = table_.Index(chosen.index_no);
    const bool forward = Forward();
    if (mode_ == Mode::First && chosen.end == nullptr) {
        return FirstByBound(chosen, found);
    }
    const TSQLMemScanSearchCondition start = chosen.start->Scan();
    const TSQLMemScanSearchCondition end =
        chosen.end != nullptr ? chosen.end->Scan() : chosen.start->Scan();
    TSQLMemBTreeSearchInfo info;
    const bool from_end =
        mode_ == Mode::First || mode_ == Mode::Bitmap || view_.AtBeginning || view_.AtEnd;
    if ((mode_ == Mode::Next && view_.AtEnd) || (mode_ == Mode::Prior && view_.AtBeginning)) {
        return false;
    }
    IndexRecordId entry{view_.Position.PageNo, 0};
    const std::byte* record = from_end ? nullptr : Row(view_.Position);
    if (!from_end && record == nullptr) {
        return false;
    }
    if (chosen.end != nullptr && !HasEnd(index, end, forward)) {
        return false;
    }
    bool on =
        index.FindRecord(view_.Connection, from_end, forward, &start, &end, record, entry, &info);
    bool first_row = true;
    while (on) {
        const TSQLMemRecordID id{entry.PageNo, 0};
        if (Matches(Row(id), chosen, first_row) && Report(id, found)) {
            return true;
        }
        first_row = false;
        on =
            index.FindRecord(view_.Connection, false, forward, &start, &end, nullptr, entry, &info);
    }
    return mode_ == Mode::Bitmap && !request_.Bitmap->Empty();
}

std::vector<TSQLMemRecordID> Search::CollectRange(const Chosen& chosen) {
    TSQLMemBTreeIndex& index = table_.Index(chosen.index_no);
    const TSQLMemScanSearchCondition start = chosen.start->Scan();
    const TSQLMemScanSearchCondition end =
        chosen.end != nullptr ? chosen.end->Scan() : chosen.start->Scan();
    // Collected forward whatever the direction, so the bounds go lower first.
    const TSQLMemScanSearchCondition* lower = &start;
    const TSQLMemScanSearchCondition* upper = &end;
    if (chosen.end != nullptr && TSQLMemBTreeIndex::CompareConditions(start, end) > 0) {
        std::swap(lower, upper);
    }
    std::vector<TSQLMemRecordID> ids;
    TSQLMemBTreeSearchInfo info;
    IndexRecordId entry;
    if (chosen.end != nullptr && !HasEnd(index, *upper, true)) {
        return ids;
    }
    bool on = index.FindRecord(view_.Connection, true, true, lower, upper, nullptr, entry, &info);
    bool first_row = true;
    while (on) {
        const TSQLMemRecordID id{entry.PageNo, 0};
        if (Matches(Row(id), chosen, first_row)) {
            ids.push_back(id);
        }
        first_row = false;
        on = index.FindRecord(view_.Connection, false, true, lower, upper, nullptr, entry, &info);
    }
    return ids;
}

bool Search::ScanWithoutCurrentIndex(const Chosen& chosen, TSQLMemRecordID& found) {
    std::vector<TSQLMemRecordID> ids = CollectRange(chosen);
    std::sort(ids.begin(), ids.end(), [](const TSQLMemRecordID& a, const TSQLMemRecordID& b) {
        return a.PageNo < b.PageNo;
    });
    if (mode_ == Mode::Bitmap) {
        for (const TSQLMemRecordID& id : ids) {
            request_.Bitmap->Append(id);
        }
        return !ids.empty();
    }
    const bool forward = Forward();
    const bool from_end = mode_ == Mode::First || view_.AtBeginning || view_.AtEnd;
    if ((mode_ == Mode::Next && view_.AtEnd) || (mode_ == Mode::Prior && view_.AtBeginning)) {
        return false;
    }
    if (forward) {
        for (const TSQLMemRecordID& id : ids) {
            if (from_end || id.PageNo > view_.Position.PageNo) {
                found = id;
                return true;
            }
        }
    } else {
        for (auto it = ids.rbegin(); it != ids.rend(); ++it) {
            if (from_end || it->PageNo < view_.Position.PageNo) {
                found = *it;
                return true;
            }
        }
    }
    return false;
}

bool Search::ScanOtherIndex(const Chosen& chosen, TSQLMemRecordID& found) {
    const std::vector<TSQLMemRecordID> ids = CollectRange(chosen);
    // Sorted by the cursor's index: each row's place in that index.
    TSQLMemBTreeIndex& order = table_.Index(view_.IndexNo);
    std::vector<std::pair<TSQLMemKeyPath, TSQLMemRecordID>> placed;
    placed.reserve(ids.size());
    for (const TSQLMemRecordID& id : ids) {
        TSQLMemKeyPath path;
        if (order.GetIndexPosition(view_.Connection, {id.PageNo, 0}, Row(id), path)) {
            placed.emplace_back(path, id);
        }
    }
    std::sort(placed.begin(), placed.end(),
              [](const auto& a, const auto& b) { return a.first.Compare(b.first) < 0; });
    if (mode_ == Mode::Bitmap) {
        for (const auto& item : placed) {
            request_.Bitmap->Append(item.second);
        }
        return !placed.empty();
    }
    if ((mode_ == Mode::Next && view_.AtEnd) || (mode_ == Mode::Prior && view_.AtBeginning)) {
        return false;
    }
    const bool forward = Forward();
    const bool from_end = mode_ == Mode::First || view_.AtBeginning || view_.AtEnd;
    TSQLMemKeyPath current;
    if (!from_end) {
        const std::byte* row = Row(view_.Position);
        if (row == nullptr ||
            !order.GetIndexPosition(view_.Connection, {view_.Position.PageNo, 0}, row, current)) {
            return false;
        }
    }
    if (forward) {
        for (const auto& item : placed) {
            if (from_end || item.first.Compare(current) > 0) {
                found = item.second;
                return true;
            }
        }
    } else {
        for (auto it = placed.rbegin(); it != placed.rend(); ++it) {
            if (from_end || it->first.Compare(current) < 0) {
                found = it->second;
                return true;
            }
        }
    }
    return false;
}

bool Search::Run(TSQLMemRecordID& found) {
    if (table_.RecordCount() == 0) {
        return false;
    }
    PrepareConditions();
    // Comparisons an index takes leave their expressions for the search only.
    conditions_.ExtractConditionsFromExpressions(table_.IndexDefs(), table_.FieldDefs(), taken_);
    struct ReturnTaken {
        std::vector<TSQLMemSearchExpression*>& taken;
        ~ReturnTaken() { TSQLMemScanSearchConditionArray::ReturnConditionsToExpressions(taken); }
    } return_taken{taken_};
    if (!OptimizeSearchConditions()) {
        return false;
    }
    const Chosen chosen = ChooseScanConditions();
    if (chosen.start == nullptr) {
        return ScanWithoutCondition(chosen, found);
    }
    if (chosen.index_no == view_.IndexNo) {
        return ScanConditionIndex(chosen, found);
    }
    if (view_.IndexNo < 0) {
        return ScanWithoutCurrentIndex(chosen, found);
    }
    return ScanOtherIndex(chosen, found);
}

}  // namespace

bool FindRecord(TSQLMemTableData& table, const TSQLMemSearchView& view,
                const TSQLMemSearchRequest& request, TSQLMemRecordID& found) {
    if (request.Mode == TSQLMemSearchMode::Bitmap && request.Bitmap == nullptr) {
        throw ESQLMemException(20076, "Pointer is nil");
    }
    Search search(table, view, request);
    return search.Run(found);
}

}  // namespace tapir::engine
