#include "engine/table/sqlmem_memory_record_manager.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <string>

#include "engine/record/db_types.h"

namespace tapir::engine {

namespace {

constexpr uint64_t kAllBits = ~uint64_t{0};

// Bits 0..bit of a word.
constexpr uint64_t BitsUpTo(int bit) { return kAllBits >> (63 - bit); }

}  // namespace

TSQLMemMemoryRecordManager::TSQLMemMemoryRecordManager(int32_t row_size, int32_t alloc_by)
    : row_size_(row_size), alloc_by_(alloc_by < 1 ? 1 : alloc_by) {
    if (row_size <= 0) {
        throw ESQLMemException::Formatted(10017,
                                          "Invalid record size = " + std::to_string(row_size));
    }
}

void TSQLMemMemoryRecordManager::Grow() {
    if (capacity_ > std::numeric_limits<int32_t>::max() - alloc_by_) {
        throw ESQLMemException::Formatted(
            30015, "GetMem error: no slot numbers left above " + std::to_string(capacity_));
    }
    const int32_t new_capacity = capacity_ + alloc_by_;
    const size_t words = (static_cast<size_t>(new_capacity) + 63) / 64;
    // Everything that can fail comes first, into locals that give their memory back if a
    // later request is refused: until all of it is granted nothing of the array changes.
    MemoryBlock block(static_cast<size_t>(alloc_by_) * (sizeof(uint64_t) + row_size_), false);
    EngineVector<Chunk> directory;
    if (chunks_.size() == chunks_.capacity()) {
        directory.reserve(std::max<size_t>(8, chunks_.capacity() * 2));
    }
    EngineVector<uint64_t> bitmap;
    if (free_words_.capacity() < words) {
        bitmap.reserve(std::max(words, free_words_.capacity() * 2));
    }
    // From here on everything fits in memory already granted: nothing allocates, nothing
    // throws. Chunks move by their block pointers; the rows stay where they are.
    if (directory.capacity() > 0) {
        for (Chunk& chunk : chunks_) {
            directory.push_back(std::move(chunk));
        }
        chunks_.swap(directory);
    }
    if (bitmap.capacity() > 0) {
        bitmap.assign(free_words_.begin(), free_words_.end());
        free_words_.swap(bitmap);
    }
    chunks_.push_back(Chunk{std::move(block)});
    // The new slots are free; the bits past the old capacity in its last word already were.
    free_words_.resize(words, kAllBits);
    capacity_ = new_capacity;
}

bool TSQLMemMemoryRecordManager::Holds(int32_t slot) const {
    return row_count_ > 0 && slot >= lowest_ && slot <= highest_ && !IsFree(slot);
}

std::byte* TSQLMemMemoryRecordManager::ChunkOf(int32_t slot, int32_t& offset) const {
    const uint32_t chunk = static_cast<uint32_t>(slot) / static_cast<uint32_t>(alloc_by_);
    offset = slot - static_cast<int32_t>(chunk) * alloc_by_;
    return chunks_[chunk].block.Data();
}

std::byte* TSQLMemMemoryRecordManager::RowAt(int32_t slot) const {
    int32_t offset = 0;
    std::byte* chunk = ChunkOf(slot, offset);
    return chunk + static_cast<size_t>(offset) * row_size_;
}

std::byte* TSQLMemMemoryRecordManager::GenerationsOf(std::byte* chunk) const {
    return chunk + static_cast<size_t>(alloc_by_) * row_size_;
}

uint64_t TSQLMemMemoryRecordManager::GenerationAt(int32_t slot) const {
    int32_t offset = 0;
    std::byte* chunk = ChunkOf(slot, offset);
    uint64_t generation = 0;
    std::memcpy(&generation, GenerationsOf(chunk) + static_cast<size_t>(offset) * sizeof generation,
                sizeof generation);
    return generation;
}

int32_t TSQLMemMemoryRecordManager::NextUsed(int32_t slot) const {
    if (row_count_ == 0 || slot >= highest_) {
        return -1;
    }
    const int32_t from = std::max(slot + 1, 0);
    size_t word = static_cast<size_t>(from) / 64;
    const size_t last_word = static_cast<size_t>(highest_) / 64;
    uint64_t used = ~free_words_[word] & (kAllBits << (from % 64));
    while (used == 0) {
        if (++word > last_word) {
            return -1;
        }
        used = ~free_words_[word];
    }
    const auto found = static_cast<int32_t>(word * 64 + std::countr_zero(used));
    return found <= highest_ ? found : -1;
}

int32_t TSQLMemMemoryRecordManager::PriorUsed(int32_t slot) const {
    if (row_count_ == 0 || slot <= lowest_) {
        return -1;
    }
    const int32_t from = std::min(slot - 1, highest_);
    size_t word = static_cast<size_t>(from) / 64;
    const size_t first_word = static_cast<size_t>(lowest_) / 64;
    uint64_t used = ~free_words_[word] & BitsUpTo(from % 64);
    while (used == 0) {
        if (word == first_word) {
            return -1;
        }
        used = ~free_words_[--word];
    }
    const auto found = static_cast<int32_t>(word * 64 + 63 - std::countl_zero(used));
    return found >= lowest_ ? found : -1;
}

TSQLMemRecordID TSQLMemMemoryRecordManager::AddRecord(const std::byte* row) {
    std::lock_guard lock(mutex_);
    return AddRecordAt(row_count_ > 0 ? highest_ + 1 : 0, row);
}

TSQLMemRecordID TSQLMemMemoryRecordManager::AddRecordAt(int32_t slot, const std::byte* row) {
    std::lock_guard lock(mutex_);
    if (slot < 0 || (row_count_ > 0 && slot <= highest_)) {
        throw ESQLMemException::Formatted(10457,
                                          "Invalid bit no = " + std::to_string(slot) +
                                              ", number of bits = " + std::to_string(capacity_));
    }
    while (slot >= capacity_) {
        Grow();
    }
    int32_t offset = 0;
    std::byte* chunk = ChunkOf(slot, offset);
    std::memcpy(chunk + static_cast<size_t>(offset) * row_size_, row,
                static_cast<size_t>(row_size_));
    const uint64_t generation = ++last_generation_;
    std::memcpy(GenerationsOf(chunk) + static_cast<size_t>(offset) * sizeof generation, &generation,
                sizeof generation);
    free_words_[static_cast<size_t>(slot) / 64] &= ~(uint64_t{1} << (slot % 64));
    ++chunks_[static_cast<size_t>(slot / alloc_by_)].rows;
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
    if (id.PageItemNo != 0 || !Holds(id.PageNo)) {
        return false;
    }
    std::memcpy(RowAt(id.PageNo), row, static_cast<size_t>(row_size_));
    return true;
}

bool TSQLMemMemoryRecordManager::DeleteRecord(TSQLMemRecordID id) {
    std::lock_guard lock(mutex_);
    const int32_t slot = id.PageNo;
    if (id.PageItemNo != 0 || !Holds(slot)) {
        return false;
    }
    free_words_[static_cast<size_t>(slot) / 64] |= uint64_t{1} << (slot % 64);
    --chunks_[static_cast<size_t>(slot / alloc_by_)].rows;
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
    return id.PageItemNo == 0 && Holds(id.PageNo);
}

uint64_t TSQLMemMemoryRecordManager::Generation(TSQLMemRecordID id) const {
    std::lock_guard lock(mutex_);
    return id.PageItemNo == 0 && Holds(id.PageNo) ? GenerationAt(id.PageNo) : 0;
}

const std::byte* TSQLMemMemoryRecordManager::RecordPointer(TSQLMemRecordID id) const {
    std::lock_guard lock(mutex_);
    return id.PageItemNo == 0 && Holds(id.PageNo) ? RowAt(id.PageNo) : nullptr;
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
        std::memcpy(info.RecordBuffer, RowAt(slot), static_cast<size_t>(row_size_));
    }
    info.RecordID = {slot, 0};
    info.AtBeginning = false;
    info.AtEnd = false;
    info.GetRecordResult = grrOK;
}

void TSQLMemMemoryRecordManager::Empty() {
    std::lock_guard lock(mutex_);
    EngineVector<Chunk>().swap(chunks_);
    EngineVector<uint64_t>().swap(free_words_);
    capacity_ = 0;
    row_count_ = 0;
    lowest_ = 0;
    highest_ = 0;
}

int64_t TSQLMemMemoryRecordManager::CountUsed(int32_t first, int32_t last) const {
    const size_t first_word = static_cast<size_t>(first) / 64;
    const size_t last_word = static_cast<size_t>(last) / 64;
    const uint64_t head = kAllBits << (first % 64);
    const uint64_t tail = BitsUpTo(last % 64);
    if (first_word == last_word) {
        return std::popcount(~free_words_[first_word] & head & tail);
    }
    int64_t count = std::popcount(~free_words_[first_word] & head);
    for (size_t word = first_word + 1; word < last_word; ++word) {
        count += std::popcount(~free_words_[word]);
    }
    return count + std::popcount(~free_words_[last_word] & tail);
}

int32_t TSQLMemMemoryRecordManager::SlotOfRow(int64_t row_no) const {
    std::lock_guard lock(mutex_);
    if (dense_) {
        return static_cast<int32_t>(row_no);
    }
    if (row_no >= 0 && row_no < row_count_) {
        int64_t remaining = row_no;  // rows to pass before the wanted one
        size_t chunk = 0;
        while (chunk < chunks_.size() && remaining >= chunks_[chunk].rows) {
            remaining -= chunks_[chunk].rows;
            ++chunk;
        }
        if (chunk < chunks_.size()) {
            // The row is in this chunk; a word may begin in the chunk before it.
            const int64_t first = static_cast<int64_t>(chunk) * alloc_by_;
            size_t word = static_cast<size_t>(first) / 64;
            uint64_t used = ~free_words_[word] & (kAllBits << (first % 64));
            for (;;) {
                const int count = std::popcount(used);
                if (remaining < count) {
                    break;
                }
                remaining -= count;
                if (++word == free_words_.size()) {
                    used = 0;
                    break;
                }
                used = ~free_words_[word];
            }
            if (used != 0) {
                for (; remaining > 0; --remaining) {
                    used &= used - 1;  // drop the lowest occupied slot
                }
                return static_cast<int32_t>(word * 64 + std::countr_zero(used));
            }
        }
    }
    // Counting ran through the whole bitmap (whole bytes of it) without reaching the row.
    throw ESQLMemException::Formatted(
        10457, "Invalid bit no = " + std::to_string((capacity_ + 7) / 8 * 8) +
                   ", number of bits = " + std::to_string(capacity_));
}

int64_t TSQLMemMemoryRecordManager::RowsUpTo(int32_t slot) const {
    std::lock_guard lock(mutex_);
    if (row_count_ == 0 || slot < lowest_) {
        return 0;
    }
    if (dense_) {
        return std::min<int64_t>(static_cast<int64_t>(slot) + 1, row_count_);
    }
    if (slot >= highest_) {
        return row_count_;
    }
    const int32_t chunk = slot / alloc_by_;
    int64_t count = 0;
    for (int32_t before = 0; before < chunk; ++before) {
        count += chunks_[static_cast<size_t>(before)].rows;
    }
    return count + CountUsed(chunk * alloc_by_, slot);
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
void TSQLMemMemoryRecordManager::SetDense(bool dense) {
    std::lock_guard lock(mutex_);
    dense_ = dense;
}

bool TSQLMemMemoryRecordManager::Dense() const {
    std::lock_guard lock(mutex_);
    return dense_;
}

}  // namespace tapir::engine
