#include "engine/table/blob_store.h"

#include <algorithm>
#include <string>

#include "engine/pages/byte_stream.h"
#include "engine/pages/sqlmem_compressed_blob_stream.h"

namespace tapir::engine {

uint64_t BlobStore::Add(BlobValue value) {
    const uint64_t reference = last_reference_ + 1;
    values_.emplace(reference, std::move(value));
    last_reference_ = reference;
    return reference;
}

const BlobValue* BlobStore::Find(uint64_t reference) const {
    const auto found = values_.find(reference);
    return found != values_.end() ? &found->second : nullptr;
}

const BlobValue& BlobStore::Get(uint64_t reference) const {
    const BlobValue* value = Find(reference);
    if (value == nullptr) {
        throw ESQLMemException::Formatted(
            kBlobNotFoundCode, "BLOB value not found - Reference = " + std::to_string(reference));
    }
    return *value;
}

void BlobStore::Free(uint64_t reference) noexcept { values_.erase(reference); }

void BlobStore::Clear() noexcept { values_.clear(); }

int64_t BlobStore::KeptBytes() const {
    int64_t total = 0;
    for (const auto& [reference, value] : values_) {
        total += static_cast<int64_t>(value.Data().size());
    }
    return total;
}

uint64_t GetBlobReference(const TSQLMemFieldDefs& defs, int32_t field_no, const std::byte* row) {
    if (IsFieldNull(row, field_no)) {
        return 0;
    }
    const std::byte* slot = row + defs[field_no].MemoryOffset;
    return static_cast<uint64_t>(LoadLE32(slot)) |
           (static_cast<uint64_t>(LoadLE32(slot + 4)) << 32);
}

void SetBlobReference(const TSQLMemFieldDefs& defs, int32_t field_no, uint64_t reference,
                      std::byte* row) {
    std::byte* slot = row + defs[field_no].MemoryOffset;
    StoreLE32(slot, static_cast<uint32_t>(reference & 0xFFFFFFFFu));
    StoreLE32(slot + 4, static_cast<uint32_t>(reference >> 32));
    SetFieldNull(row, field_no, reference == 0);
}

BlobValue MakeBlobValue(const TSQLMemFieldDef& field, std::span<const std::byte> content) {
    const auto algorithm = static_cast<TSQLMemCompressionAlgorithm>(
        std::clamp(field.BlobCompressionAlgorithm, 0, static_cast<int>(acaPPM)));
    int level = std::clamp(field.BlobCompressionMode, 0, 9);
    if (algorithm == acaBZIP && level == 0) {
        level = 1;
    }
    const int32_t block_size =
        field.BlobBlockSize > 0 && field.BlobBlockSize != DefaultBLOBBlockSize
            ? field.BlobBlockSize
            : BLOBBlockSizeForLevel(level);
    return BlobValue::Make(content, algorithm, level, block_size);
}

}  // namespace tapir::engine
