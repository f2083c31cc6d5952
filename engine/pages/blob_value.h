#pragma once
// BlobValue: one BLOB value as the engine keeps it in memory, a 12-byte header that says
// how the content is kept, and the kept bytes: the content itself, or the blocks of a
// compressed BLOB stream (block headers with checksums, each followed by its compressed
// bytes). A value is immutable once made; reading it checks every block it decompresses.
// Its bytes live in engine memory. Not guarded: the owner's lock applies.
//
// Header (little-endian):
//   OFFSET  SIZE  DESCRIPTION
//   0       1     algorithm (TSQLMemCompressionAlgorithm; none = the content as it is)
//   1       1     compression level 0 ... 9
//   2       2     reserved, zero
//   4       4     block size (int32): uncompressed bytes per block; 0 when not compressed
//   8       4     block count (uint32); 0 when not compressed

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/pages/sqlmem_compression.h"
#include "engine/record/engine_allocator.h"

namespace tapir::engine {

class BlobValue {
  public:
    static constexpr size_t kHeaderSize = 12;
    static constexpr size_t kAlgorithmOffset = 0;
    static constexpr size_t kLevelOffset = 1;
    static constexpr size_t kReservedOffset = 2;
    static constexpr size_t kBlockSizeOffset = 4;
    static constexpr size_t kBlockCountOffset = 8;
    using Header = std::array<std::byte, kHeaderSize>;

    BlobValue() = default;

    // Keeps `content` with `algorithm` at `level` in blocks of `block_size` uncompressed
    // bytes (0: the size the level calls for); none keeps it as it is. Throws
    // ESQLMemException 10085 when the algorithm fails (PPM, bzip2 at level 0), 30004 past
    // the memory manager's limit.
    static BlobValue Make(std::span<const std::byte> content, TSQLMemCompressionAlgorithm algorithm,
                          int level, int32_t block_size);
    // Takes a header and kept bytes as a stored form carries them, after checking that
    // they describe a readable value: ESQLMemException kInvalidBlobCode for a header
    // that contradicts itself or an empty value, and the block-walk errors of the
    // compressed BLOB stream (10080, 10082, 10083, 10088) for blocks that do not fit the
    // bytes. The block checksums are checked when the value is read.
    static BlobValue FromStored(const Header& header, EngineVector<std::byte> data);

    Header EncodeHeader() const;
    // The kept bytes (what follows the header in a stored form).
    std::span<const std::byte> Data() const { return data_; }
    // Content bytes.
    int64_t Size() const { return size_; }
    TSQLMemCompressionAlgorithm Algorithm() const { return algorithm_; }
    uint8_t Level() const { return level_; }
    int32_t BlockSize() const { return block_size_; }
    uint32_t BlockCount() const { return block_count_; }

    // The content. A damaged block raises ESQLMemException 10086 (short), 10087 (does
    // not decompress), 10088 (wrong size) or 10089 "Decompress buffer failed. CheckSum =
    // %d, Header.Crc32 = %d"; memory grows only with blocks really decompressed.
    std::vector<std::byte> Read() const;

  private:
    TSQLMemCompressionAlgorithm algorithm_ = acaNone;
    uint8_t level_ = 0;
    int32_t block_size_ = 0;
    uint32_t block_count_ = 0;
    int64_t size_ = 0;
    EngineVector<std::byte> data_;
};

// A stored BLOB header or value that cannot be taken.
inline constexpr int kInvalidBlobCode = 10091;

}  // namespace tapir::engine
