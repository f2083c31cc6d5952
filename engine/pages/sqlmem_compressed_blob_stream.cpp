#include "engine/pages/sqlmem_compressed_blob_stream.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "engine/record/db_types.h"

namespace tapir::engine {

namespace {

constexpr int kCodeStartPosition = 10080;
constexpr int kCodeStorageTooSmall = 10082;
constexpr int kCodeNextBlockPosition = 10083;
constexpr int kCodeCompressFailed = 10085;
constexpr int kCodeBlockReadShort = 10086;
constexpr int kCodeDecompressFailed = 10087;
constexpr int kCodeBlockSizeMismatch = 10088;
constexpr int kCodeChecksumMismatch = 10089;
constexpr int kCodeWritePosition = 10099;
constexpr int kCodeHeaderWriteShort = 10100;
constexpr int kCodeDataWriteShort = 10101;

constexpr int64_t kHeaderSize = static_cast<int64_t>(TSQLMemCompressedStreamBlockHeader::kSize);

void StoreLE64(std::byte* at, uint64_t value) {
    for (int i = 0; i < 8; ++i) at[i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
}

uint64_t LoadLE64(const std::byte* at) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | std::to_integer<uint64_t>(at[i]);
    return value;
}

[[noreturn]] void ThrowPosition(int code, int64_t target, const TSQLMemStream& storage) {
    throw ESQLMemException::Formatted(code,
                                      "Cannot set stream position to " + std::to_string(target) +
                                          ". Position = " + std::to_string(storage.Position()) +
                                          ", Size = " + std::to_string(storage.Size()));
}

[[noreturn]] void ThrowTooSmall(int64_t size, int64_t needed) {
    throw ESQLMemException::Formatted(
        kCodeStorageTooSmall, "Stream size = " + std::to_string(size) +
                                  " too small. Should be at least = " + std::to_string(needed));
}

[[noreturn]] void ThrowSizeMismatch(int64_t size, int64_t header_size) {
    throw ESQLMemException::Formatted(
        kCodeBlockSizeMismatch, "Decompress buffer failed. UncompSize = " + std::to_string(size) +
                                    ", Header.UncompSize = " + std::to_string(header_size));
}

// Reads all of `bytes` from the storage's position; the count actually read.
size_t ReadFully(TSQLMemStream& storage, std::span<std::byte> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const size_t step = storage.Read(bytes.subspan(done));
        if (step == 0) break;
        done += step;
    }
    return done;
}

}  // namespace

// ---- byte forms ----

void TSQLMemCompressedStreamBlockHeader::Encode(std::span<std::byte, kSize> bytes) const {
    StoreLE32(bytes.data() + kCompressedSizeOffset, static_cast<uint32_t>(compressed_size));
    StoreLE32(bytes.data() + kUncompressedSizeOffset, uncompressed_size);
    StoreLE32(bytes.data() + kChecksumOffset, checksum);
    StoreLE64(bytes.data() + kNextBlockOffsetOffset, static_cast<uint64_t>(next_block_offset));
}

TSQLMemCompressedStreamBlockHeader TSQLMemCompressedStreamBlockHeader::Decode(
    std::span<const std::byte, kSize> bytes) {
    TSQLMemCompressedStreamBlockHeader header;
    header.compressed_size = static_cast<int32_t>(LoadLE32(bytes.data() + kCompressedSizeOffset));
    header.uncompressed_size = LoadLE32(bytes.data() + kUncompressedSizeOffset);
    header.checksum = LoadLE32(bytes.data() + kChecksumOffset);
    header.next_block_offset =
        static_cast<int64_t>(LoadLE64(bytes.data() + kNextBlockOffsetOffset));
    return header;
}

void TSQLMemBLOBDescriptor::Encode(std::span<std::byte, kSize> bytes) const {
    std::fill(bytes.begin(), bytes.end(), std::byte{0});
    StoreLE32(bytes.data() + kBlockSizeOffset, static_cast<uint32_t>(block_size));
    StoreLE64(bytes.data() + kBlockCountOffset, static_cast<uint64_t>(block_count));
    StoreLE64(bytes.data() + kUncompressedSizeOffset, static_cast<uint64_t>(uncompressed_size));
    StoreLE64(bytes.data() + kStartPositionOffset, static_cast<uint64_t>(start_position));
    bytes[kAlgorithmOffset] = static_cast<std::byte>(algorithm);
    bytes[kLevelOffset] = static_cast<std::byte>(level);
}

TSQLMemBLOBDescriptor TSQLMemBLOBDescriptor::Decode(std::span<const std::byte, kSize> bytes) {
    TSQLMemBLOBDescriptor descriptor;
    descriptor.block_size = static_cast<int32_t>(LoadLE32(bytes.data() + kBlockSizeOffset));
    descriptor.block_count = static_cast<int64_t>(LoadLE64(bytes.data() + kBlockCountOffset));
    descriptor.uncompressed_size =
        static_cast<int64_t>(LoadLE64(bytes.data() + kUncompressedSizeOffset));
    descriptor.start_position = static_cast<int64_t>(LoadLE64(bytes.data() + kStartPositionOffset));
    descriptor.algorithm =
        static_cast<TSQLMemCompressionAlgorithm>(std::to_integer<uint8_t>(bytes[kAlgorithmOffset]));
    descriptor.level = std::to_integer<uint8_t>(bytes[kLevelOffset]);
    return descriptor;
}

int32_t BLOBBlockSizeForLevel(int level) {
    if (level <= 0) return DefaultBLOBBlockSize;
    if (level <= 3) return BlockSizeForFastest;
    if (level <= 6) return BlockSizeForNormal;
    return BlockSizeForMax;
}

// ---- TSQLMemCompressedBLOBStream ----

TSQLMemCompressedBLOBStream::TSQLMemCompressedBLOBStream(TSQLMemStream& storage,
                                                         const TSQLMemBLOBDescriptor& descriptor)
    : TSQLMemStream(DefaultBLOBBlockSize), storage_(storage), descriptor_(descriptor) {
    const int64_t storage_size = storage_.Size();
    if (descriptor_.start_position < 0 || descriptor_.start_position > storage_size) {
        ThrowPosition(kCodeStartPosition, descriptor_.start_position, storage_);
    }
    if (!Compressed()) {
        if (descriptor_.uncompressed_size < 0 ||
            descriptor_.uncompressed_size > storage_size - descriptor_.start_position) {
            ThrowTooSmall(storage_size, descriptor_.start_position +
                                            std::max<int64_t>(descriptor_.uncompressed_size, 0));
        }
        size_ = descriptor_.uncompressed_size;
        return;
    }
    value_block_size_ = descriptor_.block_size != 0 ? descriptor_.block_size
                                                    : BLOBBlockSizeForLevel(descriptor_.level);
    if (value_block_size_ <= 0 || value_block_size_ > kMaxBLOBBlockSize) {
        ThrowSizeMismatch(kMaxBLOBBlockSize, value_block_size_);
    }
    LoadHeaders();
    UpdateDescriptor();
}

void TSQLMemCompressedBLOBStream::LoadHeaders() {
    blocks_.clear();
    size_ = 0;
    if (descriptor_.block_count <= 0) return;
    const int64_t storage_size = storage_.Size();
    // Every block needs at least a header, so the storage bounds the count before the
    // list is sized by it.
    const int64_t room = (storage_size - descriptor_.start_position) / kHeaderSize;
    blocks_.reserve(static_cast<size_t>(std::clamp<int64_t>(descriptor_.block_count, 0, room)));
    int64_t position = descriptor_.start_position;
    for (int64_t index = 0; index < descriptor_.block_count; ++index) {
        if (storage_size - position < kHeaderSize)
            ThrowTooSmall(storage_size, position + kHeaderSize);
        SeekStorage(position, kCodeNextBlockPosition);
        std::array<std::byte, TSQLMemCompressedStreamBlockHeader::kSize> raw{};
        if (ReadFully(storage_, raw) != raw.size())
            ThrowTooSmall(storage_size, position + kHeaderSize);
        const auto header = TSQLMemCompressedStreamBlockHeader::Decode(raw);
        if (header.compressed_size <= 0 ||
            header.compressed_size > storage_size - position - kHeaderSize) {
            ThrowTooSmall(storage_size,
                          position + kHeaderSize + std::max<int64_t>(header.compressed_size, 0));
        }
        const bool last = index + 1 == descriptor_.block_count;
        const int64_t uncompressed = header.uncompressed_size;
        if (uncompressed == 0 || uncompressed > value_block_size_ ||
            (!last && uncompressed != value_block_size_)) {
            ThrowSizeMismatch(value_block_size_, uncompressed);
        }
        blocks_.push_back({position, header});
        size_ += uncompressed;
        if (!last) {
            const int64_t next = header.next_block_offset;
            if (next < kHeaderSize + header.compressed_size || next > storage_size - position) {
                ThrowPosition(kCodeNextBlockPosition,
                              next > storage_size - position ? storage_size + 1 : position + next,
                              storage_);
            }
            position += next;
        }
    }
}

void TSQLMemCompressedBLOBStream::SeekStorage(int64_t position, int code) const {
    if (!storage_.SetPosition(position)) ThrowPosition(code, position, storage_);
}

std::vector<std::byte> TSQLMemCompressedBLOBStream::LoadBlock(size_t index) const {
    const Block& block = blocks_[index];
    const int64_t data_position = block.position + kHeaderSize;
    const auto compressed_size = static_cast<size_t>(block.header.compressed_size);
    const int64_t storage_size = storage_.Size();
    size_t read = 0;
    std::vector<std::byte> packed;
    // The storage may have shrunk since the headers were read.
    if (data_position <= storage_size &&
        static_cast<int64_t>(compressed_size) <= storage_size - data_position &&
        storage_.SetPosition(data_position)) {
        packed.resize(compressed_size);
        read = ReadFully(storage_, packed);
    }
    if (read != compressed_size) {
        throw ESQLMemException::Formatted(
            kCodeBlockReadShort,
            "Cannot read from stream. Position = " + std::to_string(data_position) +
                ", Stream size = " + std::to_string(storage_size) + ", Block size = " +
                std::to_string(compressed_size) + ", Bytes Read = " + std::to_string(read));
    }
    std::vector<std::byte> data;
    if (!SQLMemInternalDecompressBuffer(descriptor_.algorithm, packed,
                                        block.header.uncompressed_size, data)) {
        throw ESQLMemException::Formatted(
            kCodeDecompressFailed,
            "Decompress buffer failed. CompAlg = " +
                std::to_string(static_cast<int>(descriptor_.algorithm)) +
                ", InSize = " + std::to_string(compressed_size) +
                ", OutSize = " + std::to_string(block.header.uncompressed_size));
    }
    if (data.size() != block.header.uncompressed_size) {
        ThrowSizeMismatch(static_cast<int64_t>(data.size()), block.header.uncompressed_size);
    }
    const uint32_t checksum = CRC32(0, data);
    if (checksum != block.header.checksum) {
        throw ESQLMemException::Formatted(
            kCodeChecksumMismatch,
            "Decompress buffer failed. CheckSum = " + std::to_string(checksum) +
                ", Header.Crc32 = " + std::to_string(block.header.checksum));
    }
    return data;
}

void TSQLMemCompressedBLOBStream::SelectBlock(size_t index) {
    if (current_index_ == static_cast<int64_t>(index)) return;
    current_index_ = -1;
    current_ = index < blocks_.size() ? LoadBlock(index) : std::vector<std::byte>();
    current_index_ = static_cast<int64_t>(index);
}

void TSQLMemCompressedBLOBStream::InternalWriteBlock(size_t index,
                                                     std::span<const std::byte> data) {
    const int level = descriptor_.level;
    std::vector<std::byte> packed;
    if (!SQLMemInternalCompressBuffer(descriptor_.algorithm, level, data, packed) ||
        packed.size() >
            static_cast<size_t>(INT32_MAX) - TSQLMemCompressedStreamBlockHeader::kSize) {
        throw ESQLMemException::Formatted(
            kCodeCompressFailed, "Compress buffer failed. CompAlg = " +
                                     std::to_string(static_cast<int>(descriptor_.algorithm)) +
                                     ", CompMode = " + std::to_string(level) +
                                     ", InSize = " + std::to_string(data.size()) +
                                     ", OutSize = " + std::to_string(packed.size()));
    }
    TSQLMemCompressedStreamBlockHeader header;
    header.compressed_size = static_cast<int32_t>(packed.size());
    header.uncompressed_size = static_cast<uint32_t>(data.size());
    header.checksum = CRC32(0, data);
    header.next_block_offset = kHeaderSize + header.compressed_size;

    const int64_t position =
        index == 0 ? descriptor_.start_position
                   : blocks_[index - 1].position + blocks_[index - 1].header.next_block_offset;

    // A block that changes its compressed size in the middle of the value would overlap
    // or leave a gap before its successor: the successors' stored bytes move with it.
    std::vector<std::byte> tail;
    int64_t tail_start = 0;
    if (index + 1 < blocks_.size() &&
        blocks_[index].header.compressed_size != header.compressed_size) {
        tail_start = blocks_[index + 1].position;
        const Block& last = blocks_.back();
        const int64_t tail_end = last.position + kHeaderSize + last.header.compressed_size;
        tail.resize(static_cast<size_t>(tail_end - tail_start));
        SeekStorage(tail_start, kCodeWritePosition);
        const size_t read = ReadFully(storage_, tail);
        if (read != tail.size()) {
            throw ESQLMemException::Formatted(
                kCodeBlockReadShort,
                "Cannot read from stream. Position = " + std::to_string(tail_start) +
                    ", Stream size = " + std::to_string(storage_.Size()) + ", Block size = " +
                    std::to_string(tail.size()) + ", Bytes Read = " + std::to_string(read));
        }
    }

    std::array<std::byte, TSQLMemCompressedStreamBlockHeader::kSize> raw{};
    header.Encode(raw);
    SeekStorage(position, kCodeWritePosition);
    SaveDataToStream(storage_, raw, kCodeHeaderWriteShort);
    SaveDataToStream(storage_, packed, kCodeDataWriteShort);

    if (index == blocks_.size()) {
        blocks_.push_back({position, header});
    } else {
        blocks_[index] = {position, header};
    }
    if (!tail.empty()) {
        const int64_t new_tail_start = position + header.next_block_offset;
        SeekStorage(new_tail_start, kCodeWritePosition);
        SaveDataToStream(storage_, tail, kCodeDataWriteShort);
        for (size_t later = index + 1; later < blocks_.size(); ++later) {
            blocks_[later].position += new_tail_start - tail_start;
        }
    }
}

void TSQLMemCompressedBLOBStream::WriteAt(int64_t position, std::span<const std::byte> bytes) {
    if (!Compressed()) {
        SeekStorage(descriptor_.start_position + position, kCodeWritePosition);
        SaveDataToStream(storage_, bytes, kCodeDataWriteShort);
        size_ = std::max(size_, position + static_cast<int64_t>(bytes.size()));
        UpdateDescriptor();
        return;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const auto index = static_cast<size_t>(position / value_block_size_);
        const auto offset = static_cast<size_t>(position % value_block_size_);
        SelectBlock(index);
        const size_t piece =
            std::min(static_cast<size_t>(value_block_size_) - offset, bytes.size() - done);
        if (current_.size() < offset + piece) current_.resize(offset + piece);
        std::memcpy(current_.data() + offset, bytes.data() + done, piece);
        done += piece;
        position += static_cast<int64_t>(piece);
        size_ = std::max(size_, position);
        if (current_.size() == static_cast<size_t>(value_block_size_) || done == bytes.size()) {
            try {
                InternalWriteBlock(index, current_);
            } catch (...) {
                // The cached block no longer matches what is stored.
                current_index_ = -1;
                current_.clear();
                size_ = 0;
                for (const Block& block : blocks_) size_ += block.header.uncompressed_size;
                UpdateDescriptor();
                throw;
            }
        }
    }
    UpdateDescriptor();
}

size_t TSQLMemCompressedBLOBStream::Read(std::span<std::byte> bytes) {
    if (position_ >= size_ || bytes.empty()) return 0;
    const auto count = static_cast<size_t>(
        std::min<int64_t>(static_cast<int64_t>(bytes.size()), size_ - position_));
    if (!Compressed()) {
        SeekStorage(descriptor_.start_position + position_, kCodeStartPosition);
        const size_t read = ReadFully(storage_, bytes.first(count));
        position_ += static_cast<int64_t>(read);
        return read;
    }
    size_t done = 0;
    while (done < count) {
        const auto index = static_cast<size_t>(position_ / value_block_size_);
        const auto offset = static_cast<size_t>(position_ % value_block_size_);
        SelectBlock(index);
        if (offset >= current_.size()) break;
        const size_t piece = std::min(current_.size() - offset, count - done);
        std::memcpy(bytes.data() + done, current_.data() + offset, piece);
        done += piece;
        position_ += static_cast<int64_t>(piece);
    }
    return done;
}

size_t TSQLMemCompressedBLOBStream::Write(std::span<const std::byte> bytes) {
    if (bytes.empty()) return 0;
    if (position_ > size_ && !SetSize(position_)) return 0;
    WriteAt(position_, bytes);
    position_ += static_cast<int64_t>(bytes.size());
    return bytes.size();
}

bool TSQLMemCompressedBLOBStream::SetPosition(int64_t position) {
    if (position < 0) return false;
    position_ = position;
    return true;
}

bool TSQLMemCompressedBLOBStream::SetSize(int64_t size) {
    if (size < 0) return false;
    if (size > size_) {
        const std::vector<std::byte> zeros(
            static_cast<size_t>(std::min<int64_t>(size - size_, DefaultBLOBBlockSize)));
        while (size_ < size) {
            const auto piece = static_cast<size_t>(
                std::min<int64_t>(static_cast<int64_t>(zeros.size()), size - size_));
            WriteAt(size_, std::span(zeros).first(piece));
        }
        return true;
    }
    if (size == size_) return true;
    if (Compressed()) {
        if (size == 0) {
            blocks_.clear();
            current_index_ = -1;
            current_.clear();
        } else {
            const auto index = static_cast<size_t>((size - 1) / value_block_size_);
            SelectBlock(index);
            current_.resize(
                static_cast<size_t>(size - static_cast<int64_t>(index) * value_block_size_));
            blocks_.resize(index + 1);
            InternalWriteBlock(index, current_);
        }
    }
    size_ = size;
    UpdateDescriptor();
    return true;
}

void TSQLMemCompressedBLOBStream::UpdateDescriptor() {
    descriptor_.uncompressed_size = size_;
    if (Compressed()) {
        descriptor_.block_size = static_cast<int32_t>(value_block_size_);
        descriptor_.block_count = static_cast<int64_t>(blocks_.size());
    }
}

int64_t TSQLMemCompressedBLOBStream::StoredSize() const {
    if (!Compressed()) return size_;
    int64_t total = 0;
    for (const Block& block : blocks_) total += kHeaderSize + block.header.compressed_size;
    return total;
}

double TSQLMemCompressedBLOBStream::CompressionRate() const {
    if (!Compressed() || size_ == 0) return 0.0;
    int64_t compressed = 0;
    for (const Block& block : blocks_) compressed += block.header.compressed_size;
    return 100.0 * (1.0 - static_cast<double>(compressed) / static_cast<double>(size_));
}

}  // namespace tapir::engine
