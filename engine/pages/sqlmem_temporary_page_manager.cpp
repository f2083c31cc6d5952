#include "engine/pages/sqlmem_temporary_page_manager.h"

#include <sys/sysinfo.h>

#include <algorithm>
#include <vector>

#include "engine/record/db_types.h"

namespace tapir::engine {

namespace {

int SaveCode(TemporaryPageStreamCode code) { return static_cast<int>(code); }
int LoadCode(TemporaryPageStreamCode code) {
    return static_cast<int>(code) + kPageStreamLoadCodeOffset;
}

[[noreturn]] void ThrowNotReleased(int code) {
    throw ESQLMemException(code, "Not released page is allocated");
}

constexpr size_t kCopyBlockSize = 64 * 1024;

}  // namespace

int32_t TSQLMemTemporaryPageManager::DefaultMemoryPageLimit(int32_t page_size,
                                                            std::optional<int64_t> memory_cap) {
    struct sysinfo info {};
    int64_t free_memory = 0;
    if (::sysinfo(&info) == 0) {
        free_memory = static_cast<int64_t>(info.freeram) * info.mem_unit;
    }
    if (memory_cap && *memory_cap > 0) {
        free_memory = std::min(free_memory, *memory_cap);
    }
    const int64_t pages = free_memory / 10 / std::max(page_size, 1);
    return static_cast<int32_t>(std::clamp<int64_t>(pages, 0, INT32_MAX));
}

TSQLMemTemporaryPageManager::TSQLMemTemporaryPageManager(int32_t page_size,
                                                         std::optional<int64_t> memory_cap_bytes)
    : TSQLMemTemporaryPageManager(page_size, DefaultMemoryPageLimit(page_size, memory_cap_bytes)) {}

TSQLMemTemporaryPageManager::TSQLMemTemporaryPageManager(int32_t page_size,
                                                         int32_t memory_page_limit)
    : TSQLMemPageManager(page_size, SQLMemDefaultPageMangerCacheCapactiy),
      memory_(std::make_unique<TSQLMemMemoryPageManager>(page_size)),
      memory_page_limit_(std::max(memory_page_limit, 0)) {}

TSQLMemTemporaryPageManager::~TSQLMemTemporaryPageManager() = default;

int32_t TSQLMemTemporaryPageManager::GetPageCount() const {
    std::lock_guard lock(mutex_);
    return bits_.SetBitCount();
}

std::string TSQLMemTemporaryPageManager::FilePath() const {
    std::lock_guard lock(mutex_);
    return file_ ? file_->Path() : std::string();
}

void TSQLMemTemporaryPageManager::EnsureBits(int32_t count) {
    if (bits_.BitCount() < count) {
        bits_.Resize(std::max(count, bits_.BitCount() + kPageStoreGrowBy));
    }
}

bool TSQLMemTemporaryPageManager::IsAllocated(int32_t page_no) const {
    return page_no >= 0 && page_no < bits_.BitCount() && bits_.GetBit(page_no);
}

TemporaryFile& TSQLMemTemporaryPageManager::File() {
    if (!file_) {
        file_.emplace();
    }
    return *file_;
}

int32_t TSQLMemTemporaryPageManager::InternalAddPage(TSQLMemPage& page) {
    int32_t page_no = 0;
    if (next_page_no_ < memory_page_limit_) {
        page_no = memory_->InternalAddPage(page);
        next_page_no_ = std::max(next_page_no_, page_no + 1);
    } else {
        page_no = next_page_no_++;
        TemporaryFile& file = File();
        const int64_t size = static_cast<int64_t>(next_page_no_) * PageSize();
        if (file.Size() < size && !file.Resize(size)) {
            --next_page_no_;
            throw ESQLMemException::Formatted(10125, "Error writing to stream");
        }
        page.SetPageNo(page_no);
        page.UsePrivateBuffer(PageSize());
    }
    EnsureBits(page_no + 1);
    if (bits_.GetBit(page_no)) {
        ThrowNotReleased(20037);
    }
    bits_.SetBit(page_no, true);
    return page_no;
}

void TSQLMemTemporaryPageManager::InternalRemovePage(int32_t page_no) {
    if (!IsAllocated(page_no)) {
        return;
    }
    bits_.SetBit(page_no, false);
    if (memory_->IsAllocated(page_no)) {
        memory_->InternalRemovePage(page_no);
    }
}

void TSQLMemTemporaryPageManager::InternalReadPage(TSQLMemPage& page) {
    const int32_t page_no = page.PageNo();
    if (!IsAllocated(page_no)) {
        ThrowNotReleased(10396);
    }
    if (memory_->IsAllocated(page_no)) {
        memory_->InternalReadPage(page);
        return;
    }
    page.UsePrivateBuffer(PageSize());
    const size_t read = File().ReadAt(static_cast<int64_t>(page_no) * PageSize(),
                                      std::span(page.Buffer(), PageSize()));
    if (read != PageSize()) {
        throw ESQLMemException::Formatted(
            10128, "Cannot read from stream. Position = " +
                       std::to_string(static_cast<int64_t>(page_no) * PageSize()) +
                       ", Stream size = " + std::to_string(File().Size()) + ", Block size = " +
                       std::to_string(PageSize()) + ", Bytes Read = " + std::to_string(read));
    }
}

void TSQLMemTemporaryPageManager::InternalWritePage(TSQLMemPage& page) {
    const int32_t page_no = page.PageNo();
    if (!IsAllocated(page_no)) {
        ThrowNotReleased(10397);
    }
    if (memory_->IsAllocated(page_no)) {
        memory_->InternalWritePage(page);
        return;
    }
    const size_t written = File().WriteAt(static_cast<int64_t>(page_no) * PageSize(),
                                          std::span(page.Buffer(), PageSize()));
    if (written != PageSize()) {
        throw ESQLMemException::Formatted(10125, "Error writing to stream");
    }
}

void TSQLMemTemporaryPageManager::SaveToStream(ByteSink& sink) const {
    std::lock_guard lock(mutex_);
    using C = TemporaryPageStreamCode;
    memory_->SaveToStream(sink);
    bits_.SaveToStream(sink, {SaveCode(C::BitCount), SaveCode(C::SetBitCount), SaveCode(C::Bits)});
    SaveInt32(sink, next_page_no_, SaveCode(C::NextPageNo));
    SaveInt32(sink, memory_page_limit_, SaveCode(C::MemoryPageLimit));
    SaveInt16(sink, PageSize(), SaveCode(C::PageSize));
    SaveInt16(sink, PageHeaderSize(), SaveCode(C::PageHeaderSize));
    SaveInt32(sink, bits_.SetBitCount(), SaveCode(C::PageCount));
    const int64_t file_size = file_ ? file_->Size() : 0;
    SaveInt64(sink, file_size, SaveCode(C::FileSize));
    std::vector<std::byte> block(std::min<size_t>(kCopyBlockSize, static_cast<size_t>(file_size)));
    for (int64_t offset = 0; offset < file_size;) {
        const size_t step = static_cast<size_t>(
            std::min<int64_t>(static_cast<int64_t>(block.size()), file_size - offset));
        const size_t read = file_->ReadAt(offset, std::span(block.data(), step));
        if (read != step) {
            throw ESQLMemException::Formatted(10125, "Error writing to stream");
        }
        SaveDataToStream(sink, std::span(block.data(), step), SaveCode(C::FileBytes));
        offset += static_cast<int64_t>(step);
    }
}

void TSQLMemTemporaryPageManager::LoadFromStream(ByteSource& source) {
    std::lock_guard lock(mutex_);
    CheckNoPagesInUse();
    using C = TemporaryPageStreamCode;
    auto memory = std::make_unique<TSQLMemMemoryPageManager>(PageSize());
    memory->LoadFromStream(source);
    TSQLMemBitsArray bits;
    bits.LoadFromStream(source,
                        {LoadCode(C::BitCount), LoadCode(C::SetBitCount), LoadCode(C::Bits)});
    const int32_t next_page_no = LoadInt32(source, LoadCode(C::NextPageNo));
    const int32_t memory_page_limit = LoadInt32(source, LoadCode(C::MemoryPageLimit));
    const uint16_t page_size = LoadUInt16(source, LoadCode(C::PageSize));
    const uint16_t header_size = LoadUInt16(source, LoadCode(C::PageHeaderSize));
    const int32_t page_count = LoadInt32(source, LoadCode(C::PageCount));
    const int64_t file_size = LoadInt64(source, LoadCode(C::FileSize));
    const bool consistent = next_page_no >= 0 && memory_page_limit >= 0 &&
                            page_size == PageSize() && header_size == PageHeaderSize() &&
                            page_count == bits.SetBitCount() && next_page_no <= bits.BitCount() &&
                            file_size >= 0 && file_size <= source.Size() - source.Position();
    if (!consistent) {
        throw ESQLMemException(kInvalidPageStreamCode, "Invalid page store stream");
    }
    std::optional<TemporaryFile> file;
    if (file_size > 0) {
        file.emplace();
        std::vector<std::byte> block(
            std::min<size_t>(kCopyBlockSize, static_cast<size_t>(file_size)));
        for (int64_t offset = 0; offset < file_size;) {
            const size_t step = static_cast<size_t>(
                std::min<int64_t>(static_cast<int64_t>(block.size()), file_size - offset));
            LoadDataFromStream(source, std::span(block.data(), step), LoadCode(C::FileBytes));
            if (file->WriteAt(offset, std::span(block.data(), step)) != step) {
                throw ESQLMemException::Formatted(10125, "Error writing to stream");
            }
            offset += static_cast<int64_t>(step);
        }
    }
    DropAllPageObjects();
    memory_ = std::move(memory);
    bits_ = std::move(bits);
    next_page_no_ = next_page_no;
    memory_page_limit_ = memory_page_limit;
    if (file) {
        file_ = std::move(file);
    } else if (file_) {
        file_->Resize(0);
    }
}

void TSQLMemTemporaryPageManager::Close() const {
    TSQLMemPageManager::Close();
    if (GetPageCount() > 0) {
        throw ESQLMemException(20036, "Index pages are not released");
    }
}

}  // namespace tapir::engine
