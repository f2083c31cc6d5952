#pragma once
// A standard allocator over the engine's memory manager, for containers whose size grows
// with the rows (index entries, visible-row lists): their bytes count against the
// manager's limit like row storage does, and running past it raises ESQLMemException
// 30004 instead of growing without bound. Thread-safe as the manager is.

#include <cstddef>
#include <vector>

#include "engine/record/sqlmem_memory_manager.h"

namespace tapir::engine {

template <typename T>
class EngineAllocator {
  public:
    using value_type = T;

    EngineAllocator() noexcept = default;
    template <typename U>
    EngineAllocator(const EngineAllocator<U>&) noexcept {}

    // Throws ESQLMemException 30004 past the manager's limit, 30015 when the platform has
    // no memory.
    T* allocate(size_t count) {
        return static_cast<T*>(
            TSQLMemMemoryManager::Instance().Allocate(count == 0 ? 1 : count * sizeof(T)));
    }
    void deallocate(T* block, size_t) noexcept { TSQLMemMemoryManager::Instance().Free(block); }

    template <typename U>
    friend bool operator==(const EngineAllocator&, const EngineAllocator<U>&) noexcept {
        return true;
    }
};

// A vector whose elements live in engine memory.
template <typename T>
using EngineVector = std::vector<T, EngineAllocator<T>>;

}  // namespace tapir::engine
