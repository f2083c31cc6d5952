#pragma once
// TSQLMemKeyPath: a position in a B-tree, one item per level from the root down. A path
// that designates a record ends at a leaf entry. A cursor keeps one between steps, so
// that stepping costs no search; it stays valid until the index changes.

#include <array>
#include <cstddef>
#include <cstdint>

namespace tapir::engine {

struct KeyPathItem {
    int32_t PageNo = -1;
    int32_t EntryNo = 0;
    int32_t EntryCount = 0;
};

class TSQLMemKeyPath {
  public:
    static constexpr int32_t kMaxLevels = 32;

    void Clear() {
        item_count_ = 0;
        current_level_ = 0;
    }
    // Writes the item at CurrentLevel, then advances both counts. Throws a range-check
    // error (ERangeError) past 32 levels.
    void AddItem(int32_t page_no, int32_t entry_no, int32_t entry_count);
    void DeleteLastItem() {
        --item_count_;
        --current_level_;
    }
    void IncLevel() { ++current_level_; }
    void DecLevel() { --current_level_; }
    int32_t ItemCount() const { return item_count_; }
    int32_t CurrentLevel() const { return current_level_; }
    int32_t GetCurrentPageNo() const { return items_[static_cast<size_t>(current_level_)].PageNo; }
    void SetCurrentPageNo(int32_t page_no) {
        items_[static_cast<size_t>(current_level_)].PageNo = page_no;
    }
    KeyPathItem& Item(int32_t level) { return items_[static_cast<size_t>(level)]; }
    const KeyPathItem& Item(int32_t level) const { return items_[static_cast<size_t>(level)]; }
    KeyPathItem& Last() { return items_[static_cast<size_t>(item_count_ - 1)]; }
    const KeyPathItem& Last() const { return items_[static_cast<size_t>(item_count_ - 1)]; }
    bool PageExists(int32_t page_no) const;
    // -1, 0 or 1. Throws ESQLMemException 20051 "Invalid index key path" for paths of
    // different depth and 20052 for paths that reach different pages after equal entries.
    int Compare(const TSQLMemKeyPath& other) const;
    // Fraction 0 ... 1 of the index that lies before this position.
    double GetApproxRecNoInPercents() const;

  private:
    std::array<KeyPathItem, kMaxLevels> items_{};
    int32_t item_count_ = 0;
    int32_t current_level_ = 0;
};

}  // namespace tapir::engine
