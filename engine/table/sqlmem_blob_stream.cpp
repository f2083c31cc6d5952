#include "engine/table/sqlmem_blob_stream.h"

#include <algorithm>
#include <cstring>

#include "engine/table/sqlmem_dataset.h"

namespace tapir::engine {

TSQLMemBlobStream::TSQLMemBlobStream(TSQLMemDataSet* dataset, int column, TBlobStreamMode mode,
                                     std::vector<std::byte> content, uint64_t edit_serial)
    : TSQLMemStream(DefaultBLOBBlockSize),
      dataset_(dataset),
      column_(column),
      mode_(mode),
      content_(std::move(content)),
      edit_serial_(edit_serial),
      modified_(mode == bmWrite) {
    if (dataset_ != nullptr) {
        dataset_->blob_streams_.push_back(this);
    }
}

TSQLMemBlobStream::~TSQLMemBlobStream() {
    if (dataset_ == nullptr) {
        return;
    }
    std::erase(dataset_->blob_streams_, this);
    if (modified_) {
        dataset_->CommitBlobStream(column_, edit_serial_, std::move(content_));
    }
}

size_t TSQLMemBlobStream::Read(std::span<std::byte> bytes) {
    if (position_ >= content_.size()) {
        return 0;
    }
    const size_t count = std::min(bytes.size(), content_.size() - position_);
    std::memcpy(bytes.data(), content_.data() + position_, count);
    position_ += count;
    return count;
}

size_t TSQLMemBlobStream::Write(std::span<const std::byte> bytes) {
    if (mode_ == bmRead || bytes.empty()) {
        return 0;
    }
    if (content_.size() < position_ + bytes.size()) {
        content_.resize(position_ + bytes.size());
    }
    std::memcpy(content_.data() + position_, bytes.data(), bytes.size());
    position_ += bytes.size();
    modified_ = true;
    return bytes.size();
}

bool TSQLMemBlobStream::SetPosition(int64_t position) {
    if (position < 0) {
        return false;
    }
    position_ = static_cast<size_t>(position);
    return true;
}

bool TSQLMemBlobStream::SetSize(int64_t size) {
    if (mode_ == bmRead || size < 0) {
        return false;
    }
    content_.resize(static_cast<size_t>(size));
    modified_ = true;
    return true;
}

}  // namespace tapir::engine
