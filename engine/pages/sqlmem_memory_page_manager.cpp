#include "engine/pages/sqlmem_memory_page_manager.h"

#include <cstring>

#include "engine/record/db_types.h"

namespace tapir::engine {

namespace {

int SaveCode(MemoryPageStreamCode code) { return static_cast<int>(code); }
int LoadCode(MemoryPageStreamCode code) {
    return static_cast<int>(code) + kPageStreamLoadCodeOffset;
}

[[noreturn]] void ThrowNotReleased(int code) {
    throw ESQLMemException(code, "Not released page is allocated");
}

}  // namespace

TSQLMemMemoryPageManager::TSQLMemMemoryPageManager(int32_t page_size, int32_t cache_capacity)
    : TSQLMemPageManager(page_size, cache_capacity) {}

TSQLMemMemoryPageManager::~TSQLMemMemoryPageManager() = default;

int32_t TSQLMemMemoryPageManager::GetPageCount() const {
    std::lock_guard lock(mutex_);
    return page_count_;
}

int32_t TSQLMemMemoryPageManager::Capacity() const {
    std::lock_guard lock(mutex_);
    return capacity_;
}

int32_t TSQLMemMemoryPageManager::MaxPageNo() const {
    std::lock_guard lock(mutex_);
    return max_page_no_;
}

bool TSQLMemMemoryPageManager::IsAllocated(int32_t page_no) const {
    std::lock_guard lock(mutex_);
    return page_no >= 0 && page_no < bits_.BitCount() && bits_.GetBit(page_no);
}

int32_t TSQLMemMemoryPageManager::InternalAddPage(TSQLMemPage& page) {
    int32_t page_no = bits_.Find(false);
    if (page_no < 0) {
        page_no = max_page_no_ + 1;
        if (page_no >= capacity_) {
            capacity_ += grow_by_;
            bits_.Resize(capacity_);
        }
    }
    if (bits_.GetBit(page_no)) {
        ThrowNotReleased(20037);
    }
    // The slot first: past the engine's memory limit the store stays as it was.
    if (static_cast<size_t>(page_no) >= slots_.size()) {
        const size_t new_size = std::max(static_cast<size_t>(page_no) + 1,
                                         slots_.size() + static_cast<size_t>(grow_by_));
        while (slots_.size() < new_size) {
            slots_.emplace_back(PageSize(), true);
        }
    }
    ++page_count_;
    bits_.SetBit(page_no, true);
    max_page_no_ = std::max(max_page_no_, page_no);
    page.SetPageNo(page_no);
    page.UseSlot(slots_[static_cast<size_t>(page_no)].Data());
    return page_no;
}

void TSQLMemMemoryPageManager::InternalRemovePage(int32_t page_no) {
    if (page_no >= 0 && page_no < bits_.BitCount() && bits_.GetBit(page_no)) {
        bits_.SetBit(page_no, false);
        --page_count_;
    }
}

void TSQLMemMemoryPageManager::InternalReadPage(TSQLMemPage& page) {
    const int32_t page_no = page.PageNo();
    if (page_no < 0 || page_no >= bits_.BitCount() || !bits_.GetBit(page_no)) {
        ThrowNotReleased(10392);
    }
    page.UseSlot(slots_[static_cast<size_t>(page_no)].Data());
}

void TSQLMemMemoryPageManager::InternalWritePage(TSQLMemPage& page) {
    const int32_t page_no = page.PageNo();
    if (page_no < 0 || page_no >= bits_.BitCount() || !bits_.GetBit(page_no)) {
        ThrowNotReleased(10393);
    }
    std::byte* slot = slots_[static_cast<size_t>(page_no)].Data();
    if (page.Buffer() != slot && page.Buffer() != nullptr) {
        std::memcpy(slot, page.Buffer(), PageSize());
    }
}

void TSQLMemMemoryPageManager::SaveToStream(ByteSink& sink) const {
    std::lock_guard lock(mutex_);
    using C = MemoryPageStreamCode;
    SaveInt32(sink, capacity_, SaveCode(C::Capacity));
    SaveInt32(sink, max_page_no_, SaveCode(C::MaxPageNo));
    SaveInt32(sink, grow_by_, SaveCode(C::GrowBy));
    SaveInt16(sink, PageSize(), SaveCode(C::PageSize));
    SaveInt16(sink, PageHeaderSize(), SaveCode(C::PageHeaderSize));
    SaveInt32(sink, page_count_, SaveCode(C::PageCount));
    bits_.SaveToStream(sink, {SaveCode(C::BitCount), SaveCode(C::SetBitCount), SaveCode(C::Bits)});
    for (int32_t i = 0; i < capacity_; ++i) {
        SaveDataToStream(sink, std::span(slots_[static_cast<size_t>(i)].Data(), PageSize()),
                         SaveCode(C::Slots));
    }
}

void TSQLMemMemoryPageManager::LoadFromStream(ByteSource& source) {
    std::lock_guard lock(mutex_);
    CheckNoPagesInUse();
    using C = MemoryPageStreamCode;
    const int32_t capacity = LoadInt32(source, LoadCode(C::Capacity));
    const int32_t max_page_no = LoadInt32(source, LoadCode(C::MaxPageNo));
    const int32_t grow_by = LoadInt32(source, LoadCode(C::GrowBy));
    const uint16_t page_size = LoadUInt16(source, LoadCode(C::PageSize));
    const uint16_t header_size = LoadUInt16(source, LoadCode(C::PageHeaderSize));
    const int32_t page_count = LoadInt32(source, LoadCode(C::PageCount));
    TSQLMemBitsArray bits;
    bits.LoadFromStream(source,
                        {LoadCode(C::BitCount), LoadCode(C::SetBitCount), LoadCode(C::Bits)});
    const bool consistent =
        capacity >= 0 && max_page_no >= -1 && max_page_no < capacity && grow_by > 0 &&
        page_size == PageSize() && header_size == PageHeaderSize() && bits.BitCount() == capacity &&
        bits.SetBitCount() == page_count &&
        static_cast<int64_t>(capacity) * page_size <= source.Size() - source.Position();
    if (!consistent) {
        throw ESQLMemException(kInvalidPageStreamCode, "Invalid page store stream");
    }
    std::vector<MemoryBlock> slots;
    slots.reserve(static_cast<size_t>(capacity));
    for (int32_t i = 0; i < capacity; ++i) {
        slots.emplace_back(page_size, false);
        LoadDataFromStream(source, std::span(slots.back().Data(), page_size), LoadCode(C::Slots));
    }
    DropAllPageObjects();
    capacity_ = capacity;
    max_page_no_ = max_page_no;
    grow_by_ = grow_by;
    page_count_ = page_count;
    bits_ = std::move(bits);
    slots_ = std::move(slots);
}

void TSQLMemMemoryPageManager::Close() const {
    TSQLMemPageManager::Close();
    if (GetPageCount() > 0) {
        throw ESQLMemException(20023, "Index pages are not released");
    }
}

}  // namespace tapir::engine
