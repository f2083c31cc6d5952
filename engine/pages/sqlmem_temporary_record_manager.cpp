#include "engine/pages/sqlmem_temporary_record_manager.h"

#include <sys/sysinfo.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "engine/record/db_types.h"

namespace tapir::engine {

namespace {

int64_t FreeMemory() {
    struct sysinfo info {};
    if (::sysinfo(&info) != 0) {
        return 0;
    }
    return static_cast<int64_t>(info.freeram) * info.mem_unit;
}

}  // namespace

TSQLMemTemporaryRecordManager::TSQLMemTemporaryRecordManager(int32_t record_size, Options options)
    : record_size_(record_size),
      grow_by_(std::max(options.grow_by_records, 1)),
      buffer_capacity_(std::max(options.write_buffer_records, 1)),
      memory_limit_(0) {
    if (record_size <= 0) {
        throw ESQLMemException::Formatted(10124,
                                          "Invalid record size = " + std::to_string(record_size));
    }
    memory_limit_ = options.memory_record_limit ? std::max<int64_t>(*options.memory_record_limit, 0)
                                                : FreeMemory() / 10 / record_size;
    buffer_.resize(static_cast<size_t>(buffer_capacity_) * static_cast<size_t>(record_size));
}

uint64_t TSQLMemTemporaryRecordManager::AddRecord(const std::byte* record) {
    std::lock_guard lock(mutex_);
    const uint64_t ordinal = record_count_;
    const auto size = static_cast<size_t>(record_size_);
    if (static_cast<int64_t>(ordinal) < memory_limit_) {
        if (memory_.size() < (ordinal + 1) * size) {
            const uint64_t records = std::min<uint64_t>(ordinal + static_cast<uint64_t>(grow_by_),
                                                        static_cast<uint64_t>(memory_limit_));
            memory_.resize(static_cast<size_t>(records) * size);
        }
        std::memcpy(memory_.data() + ordinal * size, record, size);
    } else {
        FlushBuffer();
        if (buffered_ >= buffer_capacity_) {
            throw ESQLMemException::Formatted(
                10126, "Invalid record count = " + std::to_string(buffered_ + 1) + ". Limit is " +
                           std::to_string(buffer_capacity_));
        }
        std::memcpy(buffer_.data() + static_cast<size_t>(buffered_) * size, record, size);
        ++buffered_;
    }
    ++record_count_;
    return ordinal;
}

void TSQLMemTemporaryRecordManager::FlushBuffer() {
    if (buffered_ == 0) {
        return;
    }
    if (!file_) {
        file_.emplace();
    }
    const int64_t first = static_cast<int64_t>(record_count_) - memory_limit_ - buffered_;
    const int64_t offset = first * record_size_;
    const int64_t file_size = file_->Size();
    if (offset < 0 || offset > file_size) {
        throw ESQLMemException::Formatted(
            10128, "Cannot set stream position to " + std::to_string(offset) + ". Position = " +
                       std::to_string(file_size) + ", Size = " + std::to_string(file_size));
    }
    const size_t bytes = static_cast<size_t>(buffered_) * static_cast<size_t>(record_size_);
    if (file_->WriteAt(offset, std::span(buffer_.data(), bytes)) != bytes) {
        throw ESQLMemException(10125, "Error writing to stream");
    }
    buffered_ = 0;
}

void TSQLMemTemporaryRecordManager::GetRecord(uint64_t ordinal, std::byte* out) const {
    std::lock_guard lock(mutex_);
    if (ordinal >= record_count_) {
        throw ESQLMemException::Formatted(10129,
                                          "Invalid record number = " + std::to_string(ordinal) +
                                              ", record count = " + std::to_string(record_count_));
    }
    const auto size = static_cast<size_t>(record_size_);
    if (static_cast<int64_t>(ordinal) < memory_limit_) {
        std::memcpy(out, memory_.data() + ordinal * size, size);
        return;
    }
    const uint64_t first_buffered = record_count_ - static_cast<uint64_t>(buffered_);
    if (ordinal >= first_buffered) {
        std::memcpy(out, buffer_.data() + (ordinal - first_buffered) * size, size);
        return;
    }
    const int64_t offset = (static_cast<int64_t>(ordinal) - memory_limit_) * record_size_;
    if (!file_ || file_->ReadAt(offset, std::span(out, size)) != size) {
        throw ESQLMemException::Formatted(
            10128, "Cannot set stream position to " + std::to_string(offset) +
                       ". Position = " + std::to_string(file_ ? file_->Size() : 0) +
                       ", Size = " + std::to_string(file_ ? file_->Size() : 0));
    }
}

uint64_t TSQLMemTemporaryRecordManager::RecordCount() const {
    std::lock_guard lock(mutex_);
    return record_count_;
}

std::string TSQLMemTemporaryRecordManager::FilePath() const {
    std::lock_guard lock(mutex_);
    return file_ ? file_->Path() : std::string();
}

void TSQLMemTemporaryRecordManager::Empty() {
    std::lock_guard lock(mutex_);
    memory_.clear();
    memory_.shrink_to_fit();
    buffered_ = 0;
    record_count_ = 0;
    file_.reset();
}

}  // namespace tapir::engine
