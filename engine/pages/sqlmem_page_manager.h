#pragma once
// TSQLMemPageManager: the base of the page stores that hold B-tree pages. It lends pages
// to one connection at a time, keeps a small cache of clean pages, and keeps each
// connection's changed, added and released pages apart until the connection applies or
// cancels them. Thread-safe: one recursive mutex guards the lists (rank: innermost, below
// the table's lock); page bytes belong to the borrowing connection.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/pages/byte_stream.h"
#include "engine/pages/sqlmem_page.h"

namespace tapir::engine {

// Engine configuration read when a store is created.
inline constexpr int32_t SQLMemDefaultMemoryPageSize = 4096;
inline constexpr int32_t SQLMemDefaultTemporaryPageSize = 4096;
inline constexpr int32_t SQLMemDefaultPageMangerCacheCapactiy = 30;
// Page slots a memory store adds at a time.
inline constexpr int32_t kPageStoreGrowBy = 50;

// Asked with a cached page's state stamp: true when the page must be re-read.
using PageCheckFunction = bool (*)(void* argument, int32_t state_stamp);

class TSQLMemPageManager {
  public:
    // Throws a range-check ESQLMemException 20064 when page_size does not fit in 16 bits.
    TSQLMemPageManager(int32_t page_size, int32_t cache_capacity);
    TSQLMemPageManager(const TSQLMemPageManager&) = delete;
    TSQLMemPageManager& operator=(const TSQLMemPageManager&) = delete;
    // Frees every page object. Call Close() first to have leftovers reported.
    virtual ~TSQLMemPageManager();

    // A new page lent to the connection: use count 1, dirty, in its changed-page list,
    // its number recorded as added.
    [[nodiscard]] PageHandle AddPage(ConnectionID connection);
    // Lends an existing page. Throws 20090 "Page is used by other session" when another
    // connection holds it, and the store's read errors for a number not allocated.
    [[nodiscard]] PageHandle GetPage(ConnectionID connection, int32_t page_no,
                                     PageCheckFunction check = nullptr,
                                     void* check_argument = nullptr);
    // Returns one loan (PageHandle does this). Throws 20065 "Invalid page number", 20040
    // "Used page was released too early" and 10665 "Error - invalid use count = %d, pageNo
    // = %d".
    void PutPage(TSQLMemPage* page);
    // Records the number as released by the connection; it is freed at ApplyChanges.
    void RemovePage(ConnectionID connection, int32_t page_no);
    // Writes the connection's changed pages back and frees its released numbers. Throws
    // 10822 "Page is not dirty, pageNo = %d" and 10823 "Cannot remove used page, pageNo =
    // %d, UseCount = %d".
    void ApplyChanges(ConnectionID connection);
    // Frees the numbers the connection added and drops its changed pages (10820, 10821
    // as above). Pages edited in their store slot keep their bytes.
    void CancelChanges(ConnectionID connection);

    void Lock() { mutex_.lock(); }
    void Unlock() { mutex_.unlock(); }

    uint16_t PageSize() const { return page_size_; }
    uint16_t PageHeaderSize() const { return page_header_size_; }
    int32_t CacheCapacity() const { return cache_capacity_; }
    // Pages of the shared cache, least recently returned first.
    std::vector<int32_t> CachedPageNumbers() const;
    // Numbers of the pages in the connection's changed-page list.
    std::vector<int32_t> ChangedPageNumbers(ConnectionID connection) const;

    virtual int32_t GetPageCount() const = 0;
    // The store state; always 0 here (no store is shared between processes).
    virtual int32_t UpdateState() { return 0; }
    virtual int32_t GetState() const { return 0; }
    virtual void LoadFromStream(ByteSource&) {}
    virtual void SaveToStream(ByteSink&) const {}

    // Raises what destroying the store now would reveal: 20097 "Cannot free not commited
    // pages, page manager classname = %s" with changed pages left, then the store's own
    // "Index pages are not released" when pages are still allocated.
    virtual void Close() const;
    virtual const char* ClassName() const = 0;

  protected:
    // Allocates a number and points the page at its bytes; returns the number.
    virtual int32_t InternalAddPage(TSQLMemPage& page) = 0;
    virtual void InternalRemovePage(int32_t page_no) = 0;
    virtual void InternalReadPage(TSQLMemPage& page) = 0;
    virtual void InternalWritePage(TSQLMemPage& page) = 0;
    virtual void FlushFileBuffers() {}

    // Before a store's content is replaced: throws 20097 (as Close) while a connection has
    // changed pages and 10823 "Cannot remove used page, ..." while a page is on loan.
    void CheckNoPagesInUse() const;
    // Forgets every page object; used when a store's content is replaced.
    void DropAllPageObjects();

    // Guards the cache and the connection lists; innermost engine lock.
    mutable std::recursive_mutex mutex_;

  private:
    using PageList = std::vector<std::unique_ptr<TSQLMemPage>>;
    struct ConnectionPages {
        ConnectionID connection = 0;
        PageList changed;
        std::vector<int32_t> added;
        std::vector<int32_t> released;
    };

    ConnectionPages& Connection(ConnectionID connection);
    ConnectionPages* FindConnection(ConnectionID connection);
    const ConnectionPages* FindConnection(ConnectionID connection) const;
    static TSQLMemPage* FindIn(PageList& list, int32_t page_no);
    // Moves the page object out of the list that holds it.
    std::unique_ptr<TSQLMemPage> Detach(TSQLMemPage* page);
    void DropPageObject(int32_t page_no, ConnectionPages& pages);
    std::unique_ptr<TSQLMemPage> NewPageObject();

    // Evicts the least recently returned unused pages while the cache is over capacity.
    void TrimCache();
    // Place in cache_ of a page number or a page object; -1 when not cached.
    int64_t CacheIndexOf(int32_t page_no) const;
    int64_t CacheIndexOf(const TSQLMemPage* page) const;
    void CachePush(std::unique_ptr<TSQLMemPage> page);
    std::unique_ptr<TSQLMemPage> CacheErase(size_t index);

    uint16_t page_size_;
    uint16_t page_header_size_ = 0;
    int32_t cache_capacity_;
    // Clean pages; their order is kept by returned_at_ rather than by place, so that a
    // return costs no reshuffle.
    PageList cache_;
    // Beside each cached page, in the same order: its number and its return time
    // (kInUse while lent), so that look-ups and eviction read one small array.
    static constexpr uint64_t kInUse = UINT64_MAX;
    struct CacheKey {
        int32_t page_no;
        uint64_t order;
    };
    std::vector<CacheKey> cache_keys_;
    uint64_t clock_ = 0;
    std::vector<ConnectionPages> connections_;
    // Page objects dropped from every list while still on loan; their return fails.
    PageList orphans_;
    // Page objects kept for reuse, so that lending does not allocate.
    PageList spare_;
};

// Scoped hold of a store's lock.
class PageManagerLock {
  public:
    explicit PageManagerLock(TSQLMemPageManager& manager) : manager_(manager) { manager_.Lock(); }
    PageManagerLock(const PageManagerLock&) = delete;
    PageManagerLock& operator=(const PageManagerLock&) = delete;
    ~PageManagerLock() { manager_.Unlock(); }

  private:
    TSQLMemPageManager& manager_;
};

}  // namespace tapir::engine
