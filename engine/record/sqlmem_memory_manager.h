#pragma once
// TSQLMemMemoryManager: the one allocator of engine buffers. It counts the bytes in use
// and their peak, can enforce a total limit, and frames every block with guard words so
// that an overrun is caught when the block is freed. Thread-safe (its lock is the
// innermost engine lock).

#include <cstddef>
#include <cstdint>
#include <mutex>

namespace tapir::engine {

class TSQLMemMemoryManager {
  public:
    // The process-wide manager.
    static TSQLMemMemoryManager& Instance();

    TSQLMemMemoryManager() = default;
    TSQLMemMemoryManager(const TSQLMemMemoryManager&) = delete;
    TSQLMemMemoryManager& operator=(const TSQLMemMemoryManager&) = delete;

    // A block of `size` bytes (zero-filled when `zero`). Throws ESQLMemException 30286
    // "Cannot alocate 0 bytes" for size 0, 30004 "Memory limit exceeded (Limit = %d
    // bytes)" when the total would pass the limit, 30015 "GetMem error: %s" when the
    // platform has no memory.
    void* Allocate(size_t size, bool zero = false);
    // Resizes a block (nullptr: allocates); the contents up to the smaller size stay.
    // Same errors as Allocate; on error the old block is untouched.
    void* Reallocate(void* block, size_t new_size);
    // Frees a block (nullptr: nothing). A damaged guard word aborts the process: the heap
    // is corrupt and nothing can be trusted any more.
    void Free(void* block) noexcept;
    // Size of a block as requested.
    static size_t BlockSize(const void* block);

    size_t BytesInUse() const;
    size_t PeakBytes() const;
    // 0 = no limit.
    void SetLimit(size_t limit);
    size_t Limit() const;

  private:
    void Reserve(size_t bytes);
    void Release(size_t bytes) noexcept;

    // Guards the totals; rank 6 (innermost).
    mutable std::recursive_mutex mutex_;
    size_t in_use_ = 0;
    size_t peak_ = 0;
    size_t limit_ = 0;
};

// Move-only owner of one block of the memory manager.
class MemoryBlock {
  public:
    MemoryBlock() = default;
    MemoryBlock(size_t size, bool zero);
    MemoryBlock(const MemoryBlock&) = delete;
    MemoryBlock& operator=(const MemoryBlock&) = delete;
    MemoryBlock(MemoryBlock&& other) noexcept;
    MemoryBlock& operator=(MemoryBlock&& other) noexcept;
    ~MemoryBlock();

    std::byte* Data() const { return static_cast<std::byte*>(block_); }
    size_t Size() const { return size_; }
    // Resizes, keeping the contents; new bytes are zero. Size 0 frees the block.
    void Resize(size_t new_size);
    void Reset() noexcept;

  private:
    void* block_ = nullptr;
    size_t size_ = 0;
};

}  // namespace tapir::engine
