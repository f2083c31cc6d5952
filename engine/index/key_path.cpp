#include "engine/index/key_path.h"

#include "engine/record/db_types.h"

namespace tapir::engine {

void TSQLMemKeyPath::AddItem(int32_t page_no, int32_t entry_no, int32_t entry_count) {
    if (current_level_ < 0 || current_level_ >= kMaxLevels) {
        throw tapir::Exception("ERangeError", "Range check error");
    }
    items_[static_cast<size_t>(current_level_)] = {page_no, entry_no, entry_count};
    ++current_level_;
    ++item_count_;
}

bool TSQLMemKeyPath::PageExists(int32_t page_no) const {
    for (int32_t i = 0; i < item_count_; ++i) {
        if (items_[static_cast<size_t>(i)].PageNo == page_no) {
            return true;
        }
    }
    return false;
}

int TSQLMemKeyPath::Compare(const TSQLMemKeyPath& other) const {
    if (item_count_ != other.item_count_) {
        throw ESQLMemException(20051, "Invalid index key path");
    }
    for (int32_t i = 0; i < item_count_; ++i) {
        const KeyPathItem& mine = items_[static_cast<size_t>(i)];
        const KeyPathItem& theirs = other.items_[static_cast<size_t>(i)];
        if (mine.PageNo != theirs.PageNo) {
            throw ESQLMemException(20052, "Invalid index key path");
        }
        if (mine.EntryNo != theirs.EntryNo) {
            return mine.EntryNo < theirs.EntryNo ? -1 : 1;
        }
    }
    return 0;
}

double TSQLMemKeyPath::GetApproxRecNoInPercents() const {
    // Sum of EntryNo / (product of the counts of this level and those above), over one
    // common denominator, from the deepest level up.
    uint64_t numerator = 0;
    uint64_t denominator = 1;
    for (int32_t i = item_count_ - 1; i >= 0; --i) {
        const KeyPathItem& item = items_[static_cast<size_t>(i)];
        numerator += static_cast<uint64_t>(item.EntryNo) * denominator;
        denominator *= static_cast<uint64_t>(item.EntryCount > 0 ? item.EntryCount : 1);
    }
    return static_cast<double>(numerator) / static_cast<double>(denominator);
}

}  // namespace tapir::engine
