#include "engine/pages/sqlmem_page.h"

#include <algorithm>
#include <cstring>

#include "engine/pages/sqlmem_page_manager.h"
#include "engine/record/db_types.h"

namespace tapir::engine {

TSQLMemPage::TSQLMemPage(TSQLMemPageManager& manager, uint16_t page_size, uint16_t header_size)
    : manager_(&manager), page_size_(page_size), header_size_(header_size) {}

void TSQLMemPage::UseSlot(std::byte* slot) {
    private_.clear();
    private_.shrink_to_fit();
    own_buffer_ = false;
    buffer_ = slot;
    buffer_size_ = page_size_;
}

void TSQLMemPage::UsePrivateBuffer(int32_t size) {
    private_.assign(static_cast<size_t>(std::max<int32_t>(size, page_size_)), std::byte{0});
    own_buffer_ = true;
    buffer_ = private_.data();
    buffer_size_ = static_cast<int32_t>(private_.size());
}

void TSQLMemPage::EnlargePageBuffer(int32_t new_size) {
    if (buffer_ == nullptr) {
        throw ESQLMemException(20038, "Invalid page buffer. Buffer is Nil");
    }
    if (new_size < page_size_) {
        throw ESQLMemException(20039, "Invalid page modification");
    }
    if (own_buffer_) {
        private_.resize(static_cast<size_t>(new_size), std::byte{0});
    } else {
        std::vector<std::byte> copy(static_cast<size_t>(new_size), std::byte{0});
        std::memcpy(copy.data(), buffer_, static_cast<size_t>(buffer_size_));
        private_ = std::move(copy);
        own_buffer_ = true;
    }
    buffer_ = private_.data();
    buffer_size_ = static_cast<int32_t>(private_.size());
}

PageHandle& PageHandle::operator=(PageHandle&& other) noexcept {
    if (this != &other) {
        if (page_ != nullptr) {
            try {
                Release();
            } catch (...) {
            }
        }
        page_ = other.page_;
        other.page_ = nullptr;
    }
    return *this;
}

PageHandle::~PageHandle() {
    if (page_ != nullptr) {
        try {
            Release();
        } catch (...) {
            // A return error cannot leave a destructor; Release() reports it to callers
            // that give pages back explicitly.
        }
    }
}

void PageHandle::Release() {
    TSQLMemPage* page = page_;
    page_ = nullptr;
    if (page != nullptr) {
        page->Manager().PutPage(page);
    }
}

}  // namespace tapir::engine
