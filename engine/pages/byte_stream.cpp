#include "engine/pages/byte_stream.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "engine/record/db_types.h"

namespace tapir::engine {

size_t VectorByteSink::Write(std::span<const std::byte> bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return bytes.size();
}

size_t SpanByteSource::Read(std::span<std::byte> bytes) {
    const size_t count = std::min(bytes.size(), bytes_.size() - position_);
    if (count > 0) {
        std::memcpy(bytes.data(), bytes_.data() + position_, count);
    }
    position_ += count;
    return count;
}

void SaveDataToStream(ByteSink& sink, std::span<const std::byte> bytes, int code) {
    const int64_t position = sink.Position();
    const size_t written = sink.Write(bytes);
    if (written != bytes.size()) {
        throw ESQLMemException::Formatted(
            code, "Cannot write to stream. Position = " + std::to_string(position) +
                      ", Stream size = " + std::to_string(sink.Size()) + ", Block size = " +
                      std::to_string(bytes.size()) + ", Bytes Write = " + std::to_string(written));
    }
}

void LoadDataFromStream(ByteSource& source, std::span<std::byte> bytes, int code) {
    const int64_t position = source.Position();
    size_t read = 0;
    while (read < bytes.size()) {
        const size_t step = source.Read(bytes.subspan(read));
        if (step == 0) {
            break;
        }
        read += step;
    }
    if (read != bytes.size()) {
        throw ESQLMemException::Formatted(
            code, "Cannot read from stream. Position = " + std::to_string(position) +
                      ", Stream size = " + std::to_string(source.Size()) + ", Block size = " +
                      std::to_string(bytes.size()) + ", Bytes Read = " + std::to_string(read));
    }
}

namespace {

template <typename T>
void SaveLE(ByteSink& sink, T value, int code) {
    std::array<std::byte, sizeof(T)> bytes{};
    auto raw = static_cast<std::make_unsigned_t<T>>(value);
    for (size_t i = 0; i < sizeof(T); ++i) {
        bytes[i] = static_cast<std::byte>((raw >> (8 * i)) & 0xFF);
    }
    SaveDataToStream(sink, bytes, code);
}

template <typename T>
T LoadLE(ByteSource& source, int code) {
    std::array<std::byte, sizeof(T)> bytes{};
    LoadDataFromStream(source, bytes, code);
    std::make_unsigned_t<T> raw = 0;
    for (size_t i = sizeof(T); i-- > 0;) {
        raw = static_cast<std::make_unsigned_t<T>>((raw << 8) | std::to_integer<uint8_t>(bytes[i]));
    }
    return static_cast<T>(raw);
}

}  // namespace

void SaveInt16(ByteSink& sink, uint16_t value, int code) { SaveLE<uint16_t>(sink, value, code); }
void SaveInt32(ByteSink& sink, int32_t value, int code) { SaveLE<int32_t>(sink, value, code); }
void SaveInt64(ByteSink& sink, int64_t value, int code) { SaveLE<int64_t>(sink, value, code); }
uint16_t LoadUInt16(ByteSource& source, int code) { return LoadLE<uint16_t>(source, code); }
int32_t LoadInt32(ByteSource& source, int code) { return LoadLE<int32_t>(source, code); }
int64_t LoadInt64(ByteSource& source, int code) { return LoadLE<int64_t>(source, code); }

}  // namespace tapir::engine
