#include "engine/record/sqlmem_memory_manager.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/record/db_types.h"

namespace tapir::engine {

namespace {

// Block frame: [size:8][guard:8] data [guard:8]. The header keeps the data 16-aligned.
constexpr uint64_t kHeadGuard = 0x5441504952484541ULL;
constexpr uint64_t kTailGuard = 0x5441504952544149ULL;
constexpr size_t kHeaderSize = 16;
constexpr size_t kTrailerSize = 8;

std::byte* FrameOf(const void* block) {
    return static_cast<std::byte*>(const_cast<void*>(block)) - kHeaderSize;
}

void WriteFrame(std::byte* frame, size_t size) {
    const uint64_t stored_size = size;
    std::memcpy(frame, &stored_size, 8);
    std::memcpy(frame + 8, &kHeadGuard, 8);
    std::memcpy(frame + kHeaderSize + size, &kTailGuard, 8);
}

void CheckFrame(const std::byte* frame) {
    uint64_t size = 0;
    uint64_t head = 0;
    uint64_t tail = 0;
    std::memcpy(&size, frame, 8);
    std::memcpy(&head, frame + 8, 8);
    if (head == kHeadGuard) {
        std::memcpy(&tail, frame + kHeaderSize + size, 8);
    }
    if (head != kHeadGuard || tail != kTailGuard) {
        // A guard word was overwritten: memory is corrupt; going on would spread it.
        std::abort();
    }
}

}  // namespace

TSQLMemMemoryManager& TSQLMemMemoryManager::Instance() {
    static TSQLMemMemoryManager manager;
    return manager;
}

void TSQLMemMemoryManager::Reserve(size_t bytes) {
    std::lock_guard lock(mutex_);
    if (limit_ != 0 && in_use_ + bytes > limit_) {
        throw ESQLMemException::Formatted(
            30004, "Memory limit exceeded (Limit = " + std::to_string(limit_) + " bytes)");
    }
    in_use_ += bytes;
    if (in_use_ > peak_) {
        peak_ = in_use_;
    }
}

void TSQLMemMemoryManager::Release(size_t bytes) noexcept {
    std::lock_guard lock(mutex_);
    in_use_ -= bytes;
}

void* TSQLMemMemoryManager::Allocate(size_t size, bool zero) {
    if (size == 0) {
        throw ESQLMemException(30286, "Cannot alocate 0 bytes");
    }
    Reserve(size);
    void* frame = zero ? std::calloc(1, size + kHeaderSize + kTrailerSize)
                       : std::malloc(size + kHeaderSize + kTrailerSize);
    if (frame == nullptr) {
        Release(size);
        throw ESQLMemException::Formatted(30015, "GetMem error: Out of memory");
    }
    auto* bytes = static_cast<std::byte*>(frame);
    WriteFrame(bytes, size);
    return bytes + kHeaderSize;
}

void* TSQLMemMemoryManager::Reallocate(void* block, size_t new_size) {
    if (block == nullptr) {
        return Allocate(new_size, false);
    }
    if (new_size == 0) {
        throw ESQLMemException(30286, "Cannot alocate 0 bytes");
    }
    std::byte* frame = FrameOf(block);
    CheckFrame(frame);
    const size_t old_size = BlockSize(block);
    if (new_size > old_size) {
        Reserve(new_size - old_size);
    }
    void* moved = std::realloc(frame, new_size + kHeaderSize + kTrailerSize);
    if (moved == nullptr) {
        if (new_size > old_size) {
            Release(new_size - old_size);
        }
        throw ESQLMemException::Formatted(30015, "GetMem error: Out of memory");
    }
    if (new_size < old_size) {
        Release(old_size - new_size);
    }
    auto* bytes = static_cast<std::byte*>(moved);
    WriteFrame(bytes, new_size);
    return bytes + kHeaderSize;
}

void TSQLMemMemoryManager::Free(void* block) noexcept {
    if (block == nullptr) {
        return;
    }
    std::byte* frame = FrameOf(block);
    CheckFrame(frame);
    Release(BlockSize(block));
    std::free(frame);
}

size_t TSQLMemMemoryManager::BlockSize(const void* block) {
    uint64_t size = 0;
    std::memcpy(&size, FrameOf(block), 8);
    return static_cast<size_t>(size);
}

size_t TSQLMemMemoryManager::BytesInUse() const {
    std::lock_guard lock(mutex_);
    return in_use_;
}

size_t TSQLMemMemoryManager::PeakBytes() const {
    std::lock_guard lock(mutex_);
    return peak_;
}

void TSQLMemMemoryManager::SetLimit(size_t limit) {
    std::lock_guard lock(mutex_);
    limit_ = limit;
}

size_t TSQLMemMemoryManager::Limit() const {
    std::lock_guard lock(mutex_);
    return limit_;
}

// --- MemoryBlock ---

MemoryBlock::MemoryBlock(size_t size, bool zero)
    : block_(TSQLMemMemoryManager::Instance().Allocate(size, zero)), size_(size) {}

MemoryBlock::MemoryBlock(MemoryBlock&& other) noexcept : block_(other.block_), size_(other.size_) {
    other.block_ = nullptr;
    other.size_ = 0;
}

MemoryBlock& MemoryBlock::operator=(MemoryBlock&& other) noexcept {
    if (this != &other) {
        Reset();
        block_ = other.block_;
        size_ = other.size_;
        other.block_ = nullptr;
        other.size_ = 0;
    }
    return *this;
}

MemoryBlock::~MemoryBlock() { Reset(); }

void MemoryBlock::Resize(size_t new_size) {
    if (new_size == 0) {
        Reset();
        return;
    }
    void* moved = TSQLMemMemoryManager::Instance().Reallocate(block_, new_size);
    if (new_size > size_) {
        std::memset(static_cast<std::byte*>(moved) + size_, 0, new_size - size_);
    }
    block_ = moved;
    size_ = new_size;
}

void MemoryBlock::Reset() noexcept {
    TSQLMemMemoryManager::Instance().Free(block_);
    block_ = nullptr;
    size_ = 0;
}

}  // namespace tapir::engine
