#pragma once
// Byte sinks and sources through which the page stores write and read their stream form,
// plus the verified transfers every stored field goes through: a transfer that moves
// fewer bytes than asked raises ESQLMemException with that field's own code.
// Not thread-safe; a stream belongs to the one operation that uses it.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tapir::engine {

class ByteSink {
  public:
    virtual ~ByteSink() = default;
    // Writes as many bytes as it can; returns how many were written.
    virtual size_t Write(std::span<const std::byte> bytes) = 0;
    // Current position and total size, as the transfer messages show them.
    virtual int64_t Position() const = 0;
    virtual int64_t Size() const = 0;
};

class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // Reads up to bytes.size() bytes; returns how many were read (0 at the end).
    virtual size_t Read(std::span<std::byte> bytes) = 0;
    virtual int64_t Position() const = 0;
    virtual int64_t Size() const = 0;
};

// A growing in-memory sink.
class VectorByteSink final : public ByteSink {
  public:
    size_t Write(std::span<const std::byte> bytes) override;
    int64_t Position() const override { return static_cast<int64_t>(bytes_.size()); }
    int64_t Size() const override { return static_cast<int64_t>(bytes_.size()); }
    const std::vector<std::byte>& Bytes() const { return bytes_; }

  private:
    std::vector<std::byte> bytes_;
};

// Reads from borrowed bytes, which must outlive the source.
class SpanByteSource final : public ByteSource {
  public:
    explicit SpanByteSource(std::span<const std::byte> bytes) : bytes_(bytes) {}
    size_t Read(std::span<std::byte> bytes) override;
    int64_t Position() const override { return static_cast<int64_t>(position_); }
    int64_t Size() const override { return static_cast<int64_t>(bytes_.size()); }

  private:
    std::span<const std::byte> bytes_;
    size_t position_ = 0;
};

// Writes all of `bytes`; throws ESQLMemException `code` "Cannot write to stream. Position
// = %d, Stream size = %d, Block size = %d, Bytes Write = %d" when the sink takes fewer.
void SaveDataToStream(ByteSink& sink, std::span<const std::byte> bytes, int code);
// Fills all of `bytes`; throws ESQLMemException `code` "Cannot read from stream.
// Position = %d, Stream size = %d, Block size = %d, Bytes Read = %d" when short.
void LoadDataFromStream(ByteSource& source, std::span<std::byte> bytes, int code);

// Little-endian fixed-width fields through the verified transfers.
void SaveInt16(ByteSink& sink, uint16_t value, int code);
void SaveInt32(ByteSink& sink, int32_t value, int code);
void SaveInt64(ByteSink& sink, int64_t value, int code);
uint16_t LoadUInt16(ByteSource& source, int code);
int32_t LoadInt32(ByteSource& source, int code);
int64_t LoadInt64(ByteSource& source, int code);

// Little-endian encode/decode of fields inside a byte buffer.
inline void StoreLE16(std::byte* at, uint16_t value) {
    at[0] = static_cast<std::byte>(value & 0xFF);
    at[1] = static_cast<std::byte>(value >> 8);
}
inline void StoreLE32(std::byte* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
    }
}
inline uint16_t LoadLE16(const std::byte* at) {
    return static_cast<uint16_t>(std::to_integer<uint16_t>(at[0]) |
                                 (std::to_integer<uint16_t>(at[1]) << 8));
}
inline uint32_t LoadLE32(const std::byte* at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | std::to_integer<uint32_t>(at[i]);
    }
    return value;
}

}  // namespace tapir::engine
