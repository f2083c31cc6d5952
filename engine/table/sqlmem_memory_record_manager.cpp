#include "engine/table/sqlmem_memory_record_manager.h"

#include <array>
#include <cstring>
#include <string>

#include "engine/record/db_types.h"

namespace tapir::engine {

namespace {

// Occupied slots in one bitmap byte: its zero bits.
constexpr std::array<uint8_t, 256> MakeZeroBitTable() {
    std::array<uint8_t, 256> table{};
    for (int value = 0; value < 256; ++value) {
        int zeros = 0;
        for (int bit = 0; bit < 8; ++bit) {
            zeros += ((value >> bit) & 1) == 0 ? 1 : 0;
        }
        table[value] = static_cast<uint8_t>(zeros);
    }
    return table;
}
constexpr std::array<uint8_t, 256> kZeroBits = MakeZeroBitTable();

}  // namespace

TSQLMemMemoryRecordManager::TSQLMemMemoryRecordManager(int32_t row_size, int32_t alloc_by)
    : row_size_(row_size), alloc_by_(alloc_by < 1 ? 1 : alloc_by) {
    if (row_size <= 0) {
        throw ESQLMemException::Formatted(10017,
                                          "Invalid record size = " + std::to_string(row_size));
    }
}

bool TSQLMemMemoryRecordManager::IsFree(int32_t slot) const {
    return (std::to_integer<unsigned>(free_bitmap_.Data()[slot / 8]) >> (slot % 8) & 1u) != 0;
}

int32_t TSQLMemMemoryRecordManager::NextUsed(int32_t slot) const {
    for (int32_t s = slot + 1; s <= highest_ && s < capacity_; ++s) {
        if (!IsFree(s)) {
            return s;
        }
    }
    return -1;
}

int32_t TSQLMemMemoryRecordManager::PriorUsed(int32_t slot) const {
    for (int32_t s = slot - 1; s >= lowest_ && s >= 0; --s) {
        if (!IsFree(s)) {
            return s;
        }
    }
    return -1;
}

TSQLMemRecordID TSQLMemMemoryRecordManager::AddRecord(const std::byte* row) {
    std::lock_guard lock(mutex_);
    const int32_t slot = row_count_ > 0 ? highest_ + 1 : 0;
    if (slot >= capacity_) {
        const int32_t new_capacity = capacity_ + alloc_by_;
        const size_t new_bitmap = static_cast<size_t>((new_capacity + 7) / 8);
        const size_t old_bitmap = free_bitmap_.Size();
        // Grow both blocks before touching either, so a refusal leaves the array as it was.
        MemoryBlock grown_slots(static_cast<size_t>(new_capacity) * row_size_, false);
        MemoryBlock grown_bitmap(new_bitmap, true);
        MemoryBlock grown_generations(static_cast<size_t>(new_capacity) * sizeof(uint64_t), true);
        if (capacity_ > 0) {
            std::memcpy(grown_slots.Data(), slots_.Data(),
                        static_cast<size_t>(capacity_) * row_size_);
            std::memcpy(grown_bitmap.Data(), free_bitmap_.Data(), old_bitmap);
            std::memcpy(grown_generations.Data(), generations_.Data(),
                        static_cast<size_t>(capacity_) * sizeof(uint64_t));
        }
        // New slots are free.
        for (int32_t s = capacity_; s < new_capacity; ++s) {
            grown_bitmap.Data()[s / 8] |= std::byte{static_cast<unsigned char>(1u << (s % 8))};
        }
        slots_ = std::move(grown_slots);
        free_bitmap_ = std::move(grown_bitmap);
        generations_ = std::move(grown_generations);
        capacity_ = new_capacity;
    }
    std::memcpy(slots_.Data() + static_cast<size_t>(slot) * row_size_, row,
                static_cast<size_t>(row_size_));
    free_bitmap_.Data()[slot / 8] &= ~std::byte{static_cast<unsigned char>(1u << (slot % 8))};
    const uint64_t generation = ++last_generation_;
    std::memcpy(generations_.Data() + static_cast<size_t>(slot) * sizeof(uint64_t), &generation,
                sizeof generation);
    if (row_count_ == 0) {
        lowest_ = slot;
        highest_ = slot;
    } else {
        lowest_ = std::min(lowest_, slot);
        highest_ = std::max(highest_, slot);
    }
    ++row_count_;
    return {slot, 0};
}

bool TSQLMemMemoryRecordManager::UpdateRecord(TSQLMemRecordID id, const std::byte* row) {
    std::lock_guard lock(mutex_);
    const int32_t slot = id.PageNo;
    if (!RecordExists(id)) {
        return false;
    }
    std::memcpy(slots_.Data() + static_cast<size_t>(slot) * row_size_, row,
                static_cast<size_t>(row_size_));
    return true;
}

bool TSQLMemMemoryRecordManager::DeleteRecord(TSQLMemRecordID id) {
    std::lock_guard lock(mutex_);
    const int32_t slot = id.PageNo;
    if (!RecordExists(id)) {
        return false;
    }
    free_bitmap_.Data()[slot / 8] |= std::byte{static_cast<unsigned char>(1u << (slot % 8))};
    --row_count_;
    if (row_count_ == 0) {
        lowest_ = 0;
        highest_ = 0;
    } else {
        if (slot == lowest_) {
            lowest_ = NextUsed(slot);
        }
        if (slot == highest_) {
            highest_ = PriorUsed(slot);
        }
    }
    dense_ = false;
    return true;
}

bool TSQLMemMemoryRecordManager::RecordExists(TSQLMemRecordID id) const {
    std::lock_guard lock(mutex_);
    const int32_t slot = id.PageNo;
    return id.PageItemNo == 0 && row_count_ > 0 && slot >= lowest_ && slot <= highest_ &&
           !IsFree(slot);
}

uint64_t TSQLMemMemoryRecordManager::Generation(TSQLMemRecordID id) const {
    std::lock_guard lock(mutex_);
    if (!RecordExists(id)) {
        return 0;
    }
    uint64_t generation = 0;
    std::memcpy(&generation,
                generations_.Data() + static_cast<size_t>(id.PageNo) * sizeof(uint64_t),
                sizeof generation);
    return generation;
}

const std::byte* TSQLMemMemoryRecordManager::RecordPointer(TSQLMemRecordID id) const {
    std::lock_guard lock(mutex_);
    if (!RecordExists(id)) {
        return nullptr;
    }
    return slots_.Data() + static_cast<size_t>(id.PageNo) * row_size_;
}

void TSQLMemMemoryRecordManager::GetRecord(TSQLMemNavigationInfo& info) const {
    std::lock_guard lock(mutex_);
    if (row_count_ == 0) {
        info.GetRecordResult = grrEOF;
        return;
    }
    int32_t slot = -1;
    const int32_t from = info.RecordID.PageNo;
    switch (info.GetRecordMode) {
        case grmCurrent:
            if (from < lowest_ || from > highest_ || IsFree(from)) {
                info.GetRecordResult = grrError;
                return;
            }
            slot = from;
            break;
        case grmNext:
            if (info.AtBeginning) {
                slot = lowest_;
            } else if (info.AtEnd || from >= capacity_ - 1) {
                info.GetRecordResult = grrEOF;
                return;
            } else {
                slot = NextUsed(std::max(from, lowest_ - 1));
            }
            if (slot < 0) {
                info.GetRecordResult = grrEOF;
                return;
            }
            break;
        case grmPrior:
            if (info.AtEnd) {
                slot = highest_;
            } else if (info.AtBeginning || from <= 0) {
                info.GetRecordResult = grrBOF;
                return;
            } else {
                slot = PriorUsed(std::min(from, highest_ + 1));
            }
            if (slot < 0) {
                info.GetRecordResult = grrBOF;
                return;
            }
            break;
    }
    if (info.RecordBuffer != nullptr) {
        std::memcpy(info.RecordBuffer, slots_.Data() + static_cast<size_t>(slot) * row_size_,
                    static_cast<size_t>(row_size_));
    }
    info.RecordID = {slot, 0};
    info.AtBeginning = false;
    info.AtEnd = false;
    info.GetRecordResult = grrOK;
}

void TSQLMemMemoryRecordManager::Empty() {
    std::lock_guard lock(mutex_);
    slots_.Reset();
    free_bitmap_.Reset();
    generations_.Reset();
    capacity_ = 0;
    row_count_ = 0;
    lowest_ = 0;
    highest_ = 0;
}

int32_t TSQLMemMemoryRecordManager::SlotOfRow(int64_t row_no) const {
    std::lock_guard lock(mutex_);
    if (dense_) {
        return static_cast<int32_t>(row_no);
    }
    const int32_t bitmap_bytes = (capacity_ + 7) / 8;
    int64_t remaining = row_no;  // rows to pass before the wanted one
    for (int32_t byte = 0;; ++byte) {
        if (byte >= bitmap_bytes) {
            throw ESQLMemException::Formatted(
                10457, "Invalid bit no = " + std::to_string(byte * 8) +
                           ", number of bits = " + std::to_string(capacity_));
        }
        const auto value = std::to_integer<uint8_t>(free_bitmap_.Data()[byte]);
        const int32_t used = kZeroBits[value];
        if (remaining >= used) {
            remaining -= used;
            continue;
        }
        for (int32_t bit = 0; bit < 8 && byte * 8 + bit < capacity_; ++bit) {
            if (((value >> bit) & 1) == 0) {
                if (remaining == 0) {
                    return byte * 8 + bit;
                }
                --remaining;
            }
        }
        throw ESQLMemException::Formatted(10457,
                                          "Invalid bit no = " + std::to_string(byte * 8 + 8) +
                                              ", number of bits = " + std::to_string(capacity_));
    }
}

int64_t TSQLMemMemoryRecordManager::RowsUpTo(int32_t slot) const {
    std::lock_guard lock(mutex_);
    if (row_count_ == 0 || slot < 0) {
        return 0;
    }
    if (dense_) {
        return std::min<int64_t>(slot + 1, row_count_);
    }
    const int32_t last = std::min(slot, capacity_ - 1);
    int64_t count = 0;
    int32_t byte = 0;
    for (; (byte + 1) * 8 - 1 <= last; ++byte) {
        count += kZeroBits[std::to_integer<uint8_t>(free_bitmap_.Data()[byte])];
    }
    for (int32_t s = byte * 8; s <= last; ++s) {
        count += IsFree(s) ? 0 : 1;
    }
    return count;
}

int64_t TSQLMemMemoryRecordManager::RecordCount() const {
    std::lock_guard lock(mutex_);
    return row_count_;
}
int32_t TSQLMemMemoryRecordManager::Capacity() const {
    std::lock_guard lock(mutex_);
    return capacity_;
}
int32_t TSQLMemMemoryRecordManager::LowestSlot() const {
    std::lock_guard lock(mutex_);
    return lowest_;
}
int32_t TSQLMemMemoryRecordManager::HighestSlot() const {
    std::lock_guard lock(mutex_);
    return highest_;
}
bool TSQLMemMemoryRecordManager::Dense() const {
    std::lock_guard lock(mutex_);
    return dense_;
}

}  // namespace tapir::engine
