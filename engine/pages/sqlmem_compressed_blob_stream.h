#pragma once
// TSQLMemCompressedBLOBStream: one BLOB value kept in a storage stream, either plain or
// as a run of separately compressed blocks, read and written like any engine stream. It
// is not thread-safe; its storage stream's Lock serves callers that share the storage.
//
// A compressed value is a run of blocks from the value's start position, each a header
// followed by its compressed bytes (little-endian):
//
//   OFFSET  SIZE  DESCRIPTION
//   0       4     compressed size: int32, bytes of compressed data after the header
//   4       4     uncompressed size: uint32, bytes the block decompresses to
//   8       4     checksum: uint32, CRC32 (from 0) of the uncompressed bytes
//   12      8     next block offset: int64, from this header to the next one; written as
//                 20 + compressed size
//
// Every block but the last holds exactly the value's block size of uncompressed bytes.
// A value whose algorithm is none is its bytes as they are, at the start position.
//
// The value's descriptor, as the owning record keeps it (little-endian, 32 bytes):
//
//   OFFSET  SIZE  DESCRIPTION
//   0       4     block size: int32 (0 = chosen by level on the first write)
//   4       8     block count: int64
//   12      8     uncompressed size: int64 (the size of a plain value)
//   20      8     start position in the storage stream: int64
//   28      1     algorithm (TSQLMemCompressionAlgorithm)
//   29      1     level 0 … 9
//   30      2     padding, zero

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/pages/sqlmem_compression.h"
#include "engine/pages/sqlmem_stream.h"

namespace tapir::engine {

struct TSQLMemCompressedStreamBlockHeader {
    static constexpr size_t kSize = 20;
    static constexpr size_t kCompressedSizeOffset = 0;
    static constexpr size_t kUncompressedSizeOffset = 4;
    static constexpr size_t kChecksumOffset = 8;
    static constexpr size_t kNextBlockOffsetOffset = 12;

    int32_t compressed_size = 0;
    uint32_t uncompressed_size = 0;
    uint32_t checksum = 0;
    int64_t next_block_offset = 0;

    void Encode(std::span<std::byte, kSize> bytes) const;
    static TSQLMemCompressedStreamBlockHeader Decode(std::span<const std::byte, kSize> bytes);
};

struct TSQLMemBLOBDescriptor {
    static constexpr size_t kSize = 32;
    static constexpr size_t kBlockSizeOffset = 0;
    static constexpr size_t kBlockCountOffset = 4;
    static constexpr size_t kUncompressedSizeOffset = 12;
    static constexpr size_t kStartPositionOffset = 20;
    static constexpr size_t kAlgorithmOffset = 28;
    static constexpr size_t kLevelOffset = 29;

    int32_t block_size = 0;
    int64_t block_count = 0;
    int64_t uncompressed_size = 0;
    int64_t start_position = 0;
    TSQLMemCompressionAlgorithm algorithm = acaNone;
    uint8_t level = 0;

    void Encode(std::span<std::byte, kSize> bytes) const;
    static TSQLMemBLOBDescriptor Decode(std::span<const std::byte, kSize> bytes);
};

// The block size a compressed value gets when its descriptor leaves it to the level:
// 0 → DefaultBLOBBlockSize, 1 … 3 → BlockSizeForFastest, 4 … 6 → BlockSizeForNormal,
// 7 … 9 (and above) → BlockSizeForMax.
int32_t BLOBBlockSizeForLevel(int level);

// No block may claim more than this, whatever a stored descriptor says.
inline constexpr int32_t kMaxBLOBBlockSize = 16 << 20;

class TSQLMemCompressedBLOBStream final : public TSQLMemStream {
  public:
    // Opens the value `descriptor` describes in `storage`, which must outlive this
    // stream; a block count of 0 starts an empty value. Reading the block headers throws
    // ESQLMemException 10080 when the start position lies outside the storage, 10082
    // "Stream size = %d too small. Should be at least = %d" when a header or its data
    // runs past the storage's end, 10083 when a next-block offset points backwards or
    // outside, and 10088 when a block's size does not fit the value's block size.
    TSQLMemCompressedBLOBStream(TSQLMemStream& storage, const TSQLMemBLOBDescriptor& descriptor);

    // Reading a block throws 10086 (short read of its data), 10087 (decompression
    // failed), 10088 (size differs from the header) or 10089 (checksum differs).
    size_t Read(std::span<std::byte> bytes) override;
    // Writes through the blocks: each touched block is compressed and stored as soon as
    // it is full or the write ends. Throws 10085 when compression fails (PPM, bzip2 at
    // level 0), 10099 when the storage position cannot be set and 10100 / 10101 on a short
    // write of a header / of data; the read errors above when a stored block is changed.
    size_t Write(std::span<const std::byte> bytes) override;
    int64_t Position() const override { return position_; }
    int64_t Size() const override { return size_; }
    [[nodiscard]] bool SetPosition(int64_t position) override;
    // Shortening cuts the block holding the new end and drops the blocks after it;
    // lengthening writes zeros. Throws as Write does.
    [[nodiscard]] bool SetSize(int64_t size) override;

    // The descriptor as the value now stands.
    const TSQLMemBLOBDescriptor& Descriptor() const { return descriptor_; }
    // Bytes the value takes in the storage stream: headers and data, or the plain bytes.
    int64_t StoredSize() const;
    // 100 × (1 - compressed / uncompressed); 0 for an empty or plain value.
    double CompressionRate() const;

  private:
    struct Block {
        int64_t position;
        TSQLMemCompressedStreamBlockHeader header;
    };

    bool Compressed() const { return descriptor_.algorithm != acaNone; }
    void LoadHeaders();
    // Makes `index` the current block (decompressed); an index one past the last block
    // starts a new, empty block.
    void SelectBlock(size_t index);
    std::vector<std::byte> LoadBlock(size_t index) const;
    // Compresses and stores `data` as block `index` (one past the last appends). A block
    // whose compressed size changes moves the blocks after it.
    void InternalWriteBlock(size_t index, std::span<const std::byte> data);
    void WriteAt(int64_t position, std::span<const std::byte> bytes);
    void SeekStorage(int64_t position, int code) const;
    void UpdateDescriptor();

    TSQLMemStream& storage_;
    TSQLMemBLOBDescriptor descriptor_;
    int64_t value_block_size_ = 0;
    std::vector<Block> blocks_;
    int64_t size_ = 0;
    int64_t position_ = 0;
    // The decompressed block last read or written, and its index (-1: none).
    int64_t current_index_ = -1;
    std::vector<std::byte> current_;
};

}  // namespace tapir::engine
