#include "engine/pages/blob_value.h"

#include <algorithm>
#include <limits>
#include <string>

#include "engine/pages/byte_stream.h"
#include "engine/pages/sqlmem_compressed_blob_stream.h"
#include "engine/pages/sqlmem_stream.h"
#include "engine/record/db_types.h"

namespace tapir::engine {

namespace {

[[noreturn]] void InvalidBlob(const std::string& what) {
    throw ESQLMemException::Formatted(kInvalidBlobCode, "Invalid BLOB value: " + what);
}

// Reading only: the compressed BLOB stream reads its storage through a memory stream,
// which borrows writable bytes.
TSQLMemMemoryStream StorageOver(const EngineVector<std::byte>& data) {
    return TSQLMemMemoryStream(
        std::span(const_cast<std::byte*>(data.data()), data.size()));  // never written
}

TSQLMemBLOBDescriptor DescriptorOf(TSQLMemCompressionAlgorithm algorithm, uint8_t level,
                                   int32_t block_size, uint32_t block_count, int64_t size) {
    TSQLMemBLOBDescriptor descriptor;
    descriptor.algorithm = algorithm;
    descriptor.level = level;
    descriptor.block_size = block_size;
    descriptor.block_count = block_count;
    descriptor.uncompressed_size = size;
    descriptor.start_position = 0;
    return descriptor;
}

}  // namespace

BlobValue BlobValue::Make(std::span<const std::byte> content, TSQLMemCompressionAlgorithm algorithm,
                          int level, int32_t block_size) {
    BlobValue value;
    value.size_ = static_cast<int64_t>(content.size());
    if (algorithm == acaNone || content.empty()) {
        value.data_.assign(content.begin(), content.end());
        return value;
    }
    value.algorithm_ = algorithm;
    value.level_ = static_cast<uint8_t>(std::clamp(level, 0, 9));
    value.block_size_ =
        block_size > 0 ? std::min(block_size, kMaxBLOBBlockSize) : BLOBBlockSizeForLevel(level);
    TSQLMemMemoryStream storage;
    TSQLMemCompressedBLOBStream stream(
        storage, DescriptorOf(algorithm, value.level_, value.block_size_, 0, 0));
    SaveDataToStream(stream, content, 10101);
    if (stream.Descriptor().block_count > std::numeric_limits<uint32_t>::max()) {
        InvalidBlob(std::to_string(stream.Descriptor().block_count) + " blocks");
    }
    value.block_count_ = static_cast<uint32_t>(stream.Descriptor().block_count);
    const std::span<const std::byte> kept = storage.Bytes();
    value.data_.assign(kept.begin(), kept.end());
    return value;
}

BlobValue BlobValue::FromStored(const Header& header, EngineVector<std::byte> data) {
    const uint8_t algorithm = std::to_integer<uint8_t>(header[kAlgorithmOffset]);
    const uint8_t level = std::to_integer<uint8_t>(header[kLevelOffset]);
    const uint16_t reserved = LoadLE16(header.data() + kReservedOffset);
    const auto block_size = static_cast<int32_t>(LoadLE32(header.data() + kBlockSizeOffset));
    const uint32_t block_count = LoadLE32(header.data() + kBlockCountOffset);
    if (algorithm > static_cast<uint8_t>(acaPPM) || level > 9 || reserved != 0) {
        InvalidBlob("algorithm " + std::to_string(algorithm) + ", level " + std::to_string(level));
    }
    if (data.empty()) {
        InvalidBlob("no content");
    }
    BlobValue value;
    value.algorithm_ = static_cast<TSQLMemCompressionAlgorithm>(algorithm);
    value.level_ = level;
    if (value.algorithm_ == acaNone) {
        if (block_size != 0 || block_count != 0) {
            InvalidBlob("blocks in a value kept as it is");
        }
        value.size_ = static_cast<int64_t>(data.size());
        value.data_ = std::move(data);
        return value;
    }
    if (block_size <= 0 || block_size > kMaxBLOBBlockSize || block_count == 0) {
        InvalidBlob("block size " + std::to_string(block_size) + ", " +
                    std::to_string(block_count) + " blocks");
    }
    value.block_size_ = block_size;
    value.block_count_ = block_count;
    value.data_ = std::move(data);
    // Walks the block headers: every block must lie within the kept bytes, and together
    // they must fill them.
    TSQLMemMemoryStream storage = StorageOver(value.data_);
    const TSQLMemCompressedBLOBStream stream(
        storage, DescriptorOf(value.algorithm_, level, block_size, block_count, 0));
    if (stream.StoredSize() != static_cast<int64_t>(value.data_.size())) {
        InvalidBlob(std::to_string(value.data_.size()) + " bytes kept for blocks of " +
                    std::to_string(stream.StoredSize()));
    }
    value.size_ = stream.Size();
    return value;
}

BlobValue::Header BlobValue::EncodeHeader() const {
    Header header{};
    header[kAlgorithmOffset] = static_cast<std::byte>(algorithm_);
    header[kLevelOffset] = static_cast<std::byte>(level_);
    StoreLE32(header.data() + kBlockSizeOffset, static_cast<uint32_t>(block_size_));
    StoreLE32(header.data() + kBlockCountOffset, block_count_);
    return header;
}

std::vector<std::byte> BlobValue::Read() const {
    if (algorithm_ == acaNone) {
        return {data_.begin(), data_.end()};
    }
    TSQLMemMemoryStream storage = StorageOver(data_);
    TSQLMemCompressedBLOBStream stream(
        storage, DescriptorOf(algorithm_, level_, block_size_, block_count_, 0));
    std::vector<std::byte> content;
    std::vector<std::byte> block(static_cast<size_t>(block_size_));
    for (;;) {
        const size_t read = stream.Read(block);
        if (read == 0) {
            break;
        }
        content.insert(content.end(), block.begin(), block.begin() + static_cast<ptrdiff_t>(read));
    }
    return content;
}

}  // namespace tapir::engine
