#include "engine/pages/bits_array.h"

#include <bit>
#include <string>

#include "engine/record/db_types.h"

namespace tapir::engine {

namespace {

[[noreturn]] void ThrowInvalidBit(int code, int32_t bit_no, int32_t count) {
    throw ESQLMemException::Formatted(code, "Invalid bit no = " + std::to_string(bit_no) +
                                                ", number of bits = " + std::to_string(count));
}

}  // namespace

void TSQLMemBitsArray::Resize(int32_t count) {
    if (count < 0) {
        count = 0;
    }
    if (count < bit_count_) {
        for (int32_t i = count; i < bit_count_; ++i) {
            if (GetBit(i)) {
                --set_bit_count_;
            }
        }
    }
    bytes_.resize((static_cast<size_t>(count) + 7) / 8, 0);
    if (count < bit_count_ && count % 8 != 0) {
        bytes_.back() &= static_cast<uint8_t>((1u << (count % 8)) - 1);
    }
    bit_count_ = count;
}

bool TSQLMemBitsArray::GetBit(int32_t bit_no) const {
    if (bit_no < 0 || bit_no >= bit_count_) {
        ThrowInvalidBit(10394, bit_no, bit_count_);
    }
    return (bytes_[bit_no / 8] >> (bit_no % 8)) & 1;
}

void TSQLMemBitsArray::SetBit(int32_t bit_no, bool value) {
    if (bit_no < 0 || bit_no >= bit_count_) {
        ThrowInvalidBit(10395, bit_no, bit_count_);
    }
    uint8_t& byte = bytes_[bit_no / 8];
    const auto mask = static_cast<uint8_t>(1u << (bit_no % 8));
    const bool was = (byte & mask) != 0;
    if (was == value) {
        return;
    }
    if (value) {
        byte |= mask;
        ++set_bit_count_;
    } else {
        byte &= static_cast<uint8_t>(~mask);
        --set_bit_count_;
    }
}

int32_t TSQLMemBitsArray::Find(bool value) const {
    for (size_t i = 0; i < bytes_.size(); ++i) {
        const uint8_t byte = value ? bytes_[i] : static_cast<uint8_t>(~bytes_[i]);
        if (byte != 0) {
            const auto bit_no = static_cast<int32_t>(i * 8) + std::countr_zero(byte);
            return bit_no < bit_count_ ? bit_no : -1;
        }
    }
    return -1;
}

void TSQLMemBitsArray::SaveToStream(ByteSink& sink, const BitsArrayStreamCodes& codes) const {
    SaveInt32(sink, bit_count_, codes.bit_count);
    SaveInt32(sink, set_bit_count_, codes.set_bit_count);
    if (!bytes_.empty()) {
        SaveDataToStream(sink, std::as_bytes(std::span(bytes_)), codes.bits);
    }
}

void TSQLMemBitsArray::LoadFromStream(ByteSource& source, const BitsArrayStreamCodes& codes) {
    const int32_t bit_count = LoadInt32(source, codes.bit_count);
    const int32_t set_bit_count = LoadInt32(source, codes.set_bit_count);
    if (bit_count < 0 || set_bit_count < 0 || set_bit_count > bit_count ||
        bit_count - 7 > source.Size() * 8) {
        throw ESQLMemException(codes.bits, "Invalid bit array in stream");
    }
    std::vector<uint8_t> bytes((static_cast<size_t>(bit_count) + 7) / 8, 0);
    if (!bytes.empty()) {
        LoadDataFromStream(source, std::as_writable_bytes(std::span(bytes)), codes.bits);
    }
    int32_t counted = 0;
    for (int32_t i = 0; i < bit_count; ++i) {
        counted += (bytes[i / 8] >> (i % 8)) & 1;
    }
    if (counted != set_bit_count) {
        throw ESQLMemException(codes.bits, "Invalid bit array in stream");
    }
    bit_count_ = bit_count;
    set_bit_count_ = set_bit_count;
    bytes_ = std::move(bytes);
}

}  // namespace tapir::engine
