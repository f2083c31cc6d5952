#pragma once
// TSQLMemPage: one numbered page of a page store while it is lent out or cached, and
// PageHandle, the pin through which callers reach it: a handle holds one loan and returns
// it when it goes. A page belongs to the connection that borrowed it; the store's lock
// guards only the store's lists, not the page bytes.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tapir::engine {

class TSQLMemPageManager;

using ConnectionID = int32_t;

class TSQLMemPage {
  public:
    TSQLMemPage(TSQLMemPageManager& manager, uint16_t page_size, uint16_t header_size);
    TSQLMemPage(const TSQLMemPage&) = delete;
    TSQLMemPage& operator=(const TSQLMemPage&) = delete;

    TSQLMemPageManager& Manager() const { return *manager_; }
    int32_t PageNo() const { return page_no_; }
    void SetPageNo(int32_t page_no) { page_no_ = page_no; }
    int32_t PageSize() const { return page_size_; }
    int32_t PageHeaderSize() const { return header_size_; }
    // The page bytes (PageSize of them, or more after EnlargePageBuffer); nullptr before
    // the store first points the page at its bytes.
    std::byte* Buffer() const { return buffer_; }
    // Size of the buffer Buffer() points at.
    int32_t BufferSize() const { return buffer_size_; }
    bool OwnBuffer() const { return own_buffer_; }
    bool IsDirty() const { return is_dirty_; }
    void SetIsDirty(bool dirty) { is_dirty_ = dirty; }
    int32_t UseCount() const { return use_count_; }
    void SetUseCount(int32_t count) { use_count_ = count; }
    int32_t ConnectionID() const { return connection_id_; }

    // Points the page at bytes it does not own (a store slot); drops a private buffer.
    void UseSlot(std::byte* slot);
    // Gives the page a private buffer of `size` bytes, zero-filled.
    void UsePrivateBuffer(int32_t size);
    // Throws ESQLMemException 20038 "Invalid page buffer. Buffer is Nil" without a buffer and
    // 20039 "Invalid page modification" for a size below the page size. A private buffer
    // grows in place; a slot's bytes are copied into a new private buffer.
    void EnlargePageBuffer(int32_t new_size);

  private:
    friend class TSQLMemPageManager;

    TSQLMemPageManager* manager_;
    int32_t page_no_ = -1;
    std::byte* buffer_ = nullptr;
    int32_t buffer_size_ = 0;
    std::vector<std::byte> private_;
    bool own_buffer_ = false;
    bool is_dirty_ = false;
    int32_t use_count_ = 0;
    // The list holding the page: the store's cache or one connection's changed pages.
    void* list_ = nullptr;
    int32_t connection_id_ = 0;
    int32_t state_stamp_ = 0;
    // When the page was last returned to the cache (the store's clock).
    uint64_t returned_at_ = 0;
    uint16_t page_size_;
    uint16_t header_size_;
};

// Move-only pin of one page loan. Release() returns the loan and may throw the store's
// return errors; the destructor returns it too and swallows them (a destructor may not
// throw). Requires: the store outlives the handle.
class PageHandle {
  public:
    PageHandle() = default;
    explicit PageHandle(TSQLMemPage* page) : page_(page) {}
    PageHandle(const PageHandle&) = delete;
    PageHandle& operator=(const PageHandle&) = delete;
    PageHandle(PageHandle&& other) noexcept : page_(other.page_) { other.page_ = nullptr; }
    PageHandle& operator=(PageHandle&& other) noexcept;
    ~PageHandle();

    explicit operator bool() const { return page_ != nullptr; }
    TSQLMemPage& operator*() const { return *page_; }
    TSQLMemPage* operator->() const { return page_; }
    TSQLMemPage* Get() const { return page_; }
    std::byte* Data() const { return page_->Buffer(); }
    int32_t PageNo() const { return page_->PageNo(); }
    void MarkDirty() const { page_->SetIsDirty(true); }

    void Release();

  private:
    TSQLMemPage* page_ = nullptr;
};

// Base of typed page wrappers: holds one pinned page and forwards the page properties.
class TSQLMemPageController {
  public:
    TSQLMemPageController() = default;
    explicit TSQLMemPageController(PageHandle page) : page_(std::move(page)) {}

    int32_t GetPageNo() const { return page_->PageNo(); }
    void SetPageNo(int32_t page_no) { page_->SetPageNo(page_no); }
    int32_t GetPageSize() const { return page_->PageSize(); }
    std::byte* GetPageBuffer() const { return page_->Buffer(); }
    bool GetOwnBuffer() const { return page_->OwnBuffer(); }
    bool GetIsDirty() const { return page_->IsDirty(); }
    void SetIsDirty(bool dirty) { page_->SetIsDirty(dirty); }
    int32_t GetUseCount() const { return page_->UseCount(); }
    void SetUseCount(int32_t count) { page_->SetUseCount(count); }
    TSQLMemPageManager& GetPageManager() const { return page_->Manager(); }
    void EnlargePageBuffer(int32_t new_size) { page_->EnlargePageBuffer(new_size); }

    PageHandle& Handle() { return page_; }
    const PageHandle& Handle() const { return page_; }

  private:
    PageHandle page_;
};

}  // namespace tapir::engine
