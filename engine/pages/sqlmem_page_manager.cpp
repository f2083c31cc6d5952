#include "engine/pages/sqlmem_page_manager.h"

#include <algorithm>
#include <string>

#include "engine/record/db_types.h"

namespace tapir::engine {

namespace {

[[noreturn]] void ThrowNotDirty(int code, int32_t page_no) {
    throw ESQLMemException::Formatted(code,
                                      "Page is not dirty, pageNo = " + std::to_string(page_no));
}

[[noreturn]] void ThrowUsed(int code, const TSQLMemPage& page) {
    throw ESQLMemException::Formatted(
        code, "Cannot remove used page, pageNo = " + std::to_string(page.PageNo()) +
                  ", UseCount = " + std::to_string(page.UseCount()));
}

}  // namespace

TSQLMemPageManager::TSQLMemPageManager(int32_t page_size, int32_t cache_capacity)
    : page_size_(0), cache_capacity_(cache_capacity) {
    if (page_size <= 0 || page_size > 0xFFFF) {
        throw tapir::Exception("ERangeError", "Range check error");
    }
    page_size_ = static_cast<uint16_t>(page_size);
}

TSQLMemPageManager::~TSQLMemPageManager() = default;

TSQLMemPageManager::ConnectionPages* TSQLMemPageManager::FindConnection(ConnectionID connection) {
    for (ConnectionPages& pages : connections_) {
        if (pages.connection == connection) {
            return &pages;
        }
    }
    return nullptr;
}

const TSQLMemPageManager::ConnectionPages* TSQLMemPageManager::FindConnection(
    ConnectionID connection) const {
    for (const ConnectionPages& pages : connections_) {
        if (pages.connection == connection) {
            return &pages;
        }
    }
    return nullptr;
}

TSQLMemPageManager::ConnectionPages& TSQLMemPageManager::Connection(ConnectionID connection) {
    if (ConnectionPages* found = FindConnection(connection)) {
        return *found;
    }
    ConnectionPages& pages = connections_.emplace_back();
    pages.connection = connection;
    pages.changed.reserve(static_cast<size_t>(cache_capacity_));
    pages.added.reserve(100);
    pages.released.reserve(100);
    return pages;
}

TSQLMemPage* TSQLMemPageManager::FindIn(PageList& list, int32_t page_no) {
    for (const auto& page : list) {
        if (page->PageNo() == page_no) {
            return page.get();
        }
    }
    return nullptr;
}

int64_t TSQLMemPageManager::CacheIndexOf(int32_t page_no) const {
    for (size_t i = 0; i < cache_keys_.size(); ++i) {
        if (cache_keys_[i].page_no == page_no) {
            return static_cast<int64_t>(i);
        }
    }
    return -1;
}

int64_t TSQLMemPageManager::CacheIndexOf(const TSQLMemPage* page) const {
    for (size_t i = 0; i < cache_.size(); ++i) {
        if (cache_[i].get() == page) {
            return static_cast<int64_t>(i);
        }
    }
    return -1;
}

void TSQLMemPageManager::CachePush(std::unique_ptr<TSQLMemPage> page) {
    page->list_ = &cache_;
    cache_keys_.push_back({page->page_no_, page->use_count_ > 0 ? kInUse : page->returned_at_});
    cache_.push_back(std::move(page));
}

std::unique_ptr<TSQLMemPage> TSQLMemPageManager::CacheErase(size_t index) {
    std::unique_ptr<TSQLMemPage> owned = std::move(cache_[index]);
    cache_.erase(cache_.begin() + static_cast<std::ptrdiff_t>(index));
    cache_keys_.erase(cache_keys_.begin() + static_cast<std::ptrdiff_t>(index));
    owned->list_ = nullptr;
    return owned;
}

std::unique_ptr<TSQLMemPage> TSQLMemPageManager::Detach(TSQLMemPage* page) {
    auto* list = static_cast<PageList*>(page->list_);
    if (list == nullptr) {
        return nullptr;
    }
    if (list == &cache_) {
        const int64_t index = CacheIndexOf(page);
        return index < 0 ? nullptr : CacheErase(static_cast<size_t>(index));
    }
    auto it = std::find_if(list->begin(), list->end(),
                           [page](const auto& held) { return held.get() == page; });
    if (it == list->end()) {
        return nullptr;
    }
    std::unique_ptr<TSQLMemPage> owned = std::move(*it);
    list->erase(it);
    owned->list_ = nullptr;
    return owned;
}

std::unique_ptr<TSQLMemPage> TSQLMemPageManager::NewPageObject() {
    if (!spare_.empty()) {
        std::unique_ptr<TSQLMemPage> page = std::move(spare_.back());
        spare_.pop_back();
        return page;
    }
    return std::make_unique<TSQLMemPage>(*this, page_size_, page_header_size_);
}

void TSQLMemPageManager::DropPageObject(int32_t page_no, ConnectionPages& pages) {
    if (TSQLMemPage* page = FindIn(pages.changed, page_no)) {
        std::unique_ptr<TSQLMemPage> owned = Detach(page);
        if (owned->UseCount() > 0) {
            orphans_.push_back(std::move(owned));
        }
    }
    const int64_t cached = CacheIndexOf(page_no);
    if (cached >= 0) {
        std::unique_ptr<TSQLMemPage> owned = CacheErase(static_cast<size_t>(cached));
        if (owned->UseCount() > 0) {
            orphans_.push_back(std::move(owned));
        }
    }
}

PageHandle TSQLMemPageManager::AddPage(ConnectionID connection) {
    std::lock_guard lock(mutex_);
    ConnectionPages& pages = Connection(connection);
    std::unique_ptr<TSQLMemPage> page = NewPageObject();
    page->page_no_ = -1;
    page->UseSlot(nullptr);
    const int32_t page_no = InternalAddPage(*page);
    if (page_no < 0) {
        throw ESQLMemException(20064, "Invalid page number");
    }
    page->page_no_ = page_no;
    page->connection_id_ = connection;
    page->use_count_ = 1;
    page->is_dirty_ = true;
    page->state_stamp_ = GetState();
    page->list_ = &pages.changed;
    pages.added.push_back(page_no);
    TSQLMemPage* raw = page.get();
    pages.changed.push_back(std::move(page));
    return PageHandle(raw);
}

PageHandle TSQLMemPageManager::GetPage(ConnectionID connection, int32_t page_no,
                                       PageCheckFunction check, void* check_argument) {
    std::lock_guard lock(mutex_);
    ConnectionPages& pages = Connection(connection);
    TSQLMemPage* page = FindIn(pages.changed, page_no);
    int64_t cached = -1;
    if (page == nullptr) {
        cached = CacheIndexOf(page_no);
        page = cached >= 0 ? cache_[static_cast<size_t>(cached)].get() : nullptr;
        if (page == nullptr) {
            std::unique_ptr<TSQLMemPage> fresh = NewPageObject();
            fresh->page_no_ = page_no;
            fresh->use_count_ = 0;
            fresh->is_dirty_ = false;
            fresh->UseSlot(nullptr);
            InternalReadPage(*fresh);
            fresh->state_stamp_ = GetState();
            fresh->returned_at_ = ++clock_;
            page = fresh.get();
            cached = static_cast<int64_t>(cache_.size());
            CachePush(std::move(fresh));
        } else if (check == nullptr || check(check_argument, page->state_stamp_)) {
            if (page->state_stamp_ != GetState() && !page->is_dirty_) {
                InternalReadPage(*page);
                page->state_stamp_ = GetState();
            }
        }
    }
    if (page->use_count_ > 0 && page->connection_id_ != connection) {
        throw ESQLMemException(20090, "Page is used by other session");
    }
    page->connection_id_ = connection;
    ++page->use_count_;
    if (cached >= 0) {
        cache_keys_[static_cast<size_t>(cached)].order = kInUse;
    }
    return PageHandle(page);
}

void TSQLMemPageManager::PutPage(TSQLMemPage* page) {
    std::lock_guard lock(mutex_);
    if (page == nullptr || page->PageNo() < 0) {
        throw ESQLMemException(20065, "Invalid page number");
    }
    if (page->list_ == nullptr) {
        auto it = std::find_if(orphans_.begin(), orphans_.end(),
                               [page](const auto& held) { return held.get() == page; });
        if (it != orphans_.end() && --page->use_count_ <= 0) {
            orphans_.erase(it);
        }
        throw ESQLMemException(20040, "Used page was released too early");
    }
    --page->use_count_;
    if (page->use_count_ < 0) {
        const int32_t count = page->use_count_;
        page->use_count_ = 0;
        throw ESQLMemException::Formatted(10665,
                                          "Error - invalid use count = " + std::to_string(count) +
                                              ", pageNo = " + std::to_string(page->PageNo()));
    }
    if (page->use_count_ == 0 && page->list_ == &cache_) {
        if (page->is_dirty_) {
            std::unique_ptr<TSQLMemPage> owned = Detach(page);
            ConnectionPages& pages = Connection(owned->connection_id_);
            owned->list_ = &pages.changed;
            pages.changed.push_back(std::move(owned));
        } else {
            page->returned_at_ = ++clock_;
            const int64_t index = CacheIndexOf(page);
            if (index >= 0) {
                cache_keys_[static_cast<size_t>(index)].order = page->returned_at_;
            }
        }
    }
    TrimCache();
}

void TSQLMemPageManager::TrimCache() {
    while (cache_.size() > static_cast<size_t>(cache_capacity_)) {
        size_t oldest = cache_keys_.size();
        uint64_t oldest_order = kInUse;
        for (size_t i = 0; i < cache_keys_.size(); ++i) {
            if (cache_keys_[i].order < oldest_order) {
                oldest_order = cache_keys_[i].order;
                oldest = i;
            }
        }
        if (oldest == cache_keys_.size()) {
            return;  // every cached page is on loan
        }
        std::unique_ptr<TSQLMemPage> evicted = CacheErase(oldest);
        evicted->UseSlot(nullptr);
        if (spare_.size() < static_cast<size_t>(cache_capacity_)) {
            spare_.push_back(std::move(evicted));
        }
    }
}

void TSQLMemPageManager::RemovePage(ConnectionID connection, int32_t page_no) {
    std::lock_guard lock(mutex_);
    Connection(connection).released.push_back(page_no);
}

void TSQLMemPageManager::ApplyChanges(ConnectionID connection) {
    std::lock_guard lock(mutex_);
    ConnectionPages* pages = FindConnection(connection);
    if (pages == nullptr) {
        return;
    }
    const int32_t state = UpdateState();
    for (const auto& page : pages->changed) {
        if (!page->is_dirty_) {
            ThrowNotDirty(10822, page->PageNo());
        }
        if (page->use_count_ > 0) {
            ThrowUsed(10823, *page);
        }
    }
    for (auto& page : pages->changed) {
        InternalWritePage(*page);
        page->is_dirty_ = false;
        page->state_stamp_ = state;
        page->returned_at_ = ++clock_;
        CachePush(std::move(page));
    }
    pages->changed.clear();
    for (const int32_t page_no : pages->released) {
        DropPageObject(page_no, *pages);
        InternalRemovePage(page_no);
    }
    pages->released.clear();
    pages->added.clear();
    FlushFileBuffers();
}

void TSQLMemPageManager::CancelChanges(ConnectionID connection) {
    std::lock_guard lock(mutex_);
    ConnectionPages* pages = FindConnection(connection);
    if (pages == nullptr) {
        return;
    }
    for (const auto& page : pages->changed) {
        if (!page->is_dirty_) {
            ThrowNotDirty(10820, page->PageNo());
        }
        if (page->use_count_ > 0) {
            ThrowUsed(10821, *page);
        }
    }
    for (const int32_t page_no : pages->added) {
        DropPageObject(page_no, *pages);
        InternalRemovePage(page_no);
    }
    pages->added.clear();
    pages->changed.clear();
    pages->released.clear();
}

std::vector<int32_t> TSQLMemPageManager::CachedPageNumbers() const {
    std::lock_guard lock(mutex_);
    std::vector<const TSQLMemPage*> pages;
    for (const auto& page : cache_) {
        pages.push_back(page.get());
    }
    std::stable_sort(pages.begin(), pages.end(), [](const TSQLMemPage* a, const TSQLMemPage* b) {
        return a->returned_at_ < b->returned_at_;
    });
    std::vector<int32_t> numbers;
    for (const TSQLMemPage* page : pages) {
        numbers.push_back(page->PageNo());
    }
    return numbers;
}

std::vector<int32_t> TSQLMemPageManager::ChangedPageNumbers(ConnectionID connection) const {
    std::lock_guard lock(mutex_);
    std::vector<int32_t> numbers;
    if (const ConnectionPages* pages = FindConnection(connection)) {
        for (const auto& page : pages->changed) {
            numbers.push_back(page->PageNo());
        }
    }
    return numbers;
}

void TSQLMemPageManager::Close() const {
    std::lock_guard lock(mutex_);
    for (const ConnectionPages& pages : connections_) {
        if (!pages.changed.empty()) {
            throw ESQLMemException::Formatted(
                20097, std::string("Cannot free not commited pages, page manager classname = ") +
                           ClassName());
        }
    }
}

void TSQLMemPageManager::CheckNoPagesInUse() const {
    std::lock_guard lock(mutex_);
    TSQLMemPageManager::Close();
    for (const auto& page : cache_) {
        if (page->use_count_ > 0) {
            ThrowUsed(10823, *page);
        }
    }
}

void TSQLMemPageManager::DropAllPageObjects() {
    std::lock_guard lock(mutex_);
    cache_.clear();
    cache_keys_.clear();
    connections_.clear();
    spare_.clear();
}

}  // namespace tapir::engine
