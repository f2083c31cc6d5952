#include "engine/index/btree_key.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/record/db_types.h"
#include "engine/record/field_types.h"
#include "platform/collation.h"

namespace tapir::engine {

namespace {

template <typename T>
T Read(const std::byte* at) {
    T value;
    std::memcpy(&value, at, sizeof(T));
    return value;
}

template <typename T>
int Order(T left, T right) {
    return left < right ? -1 : (right < left ? 1 : 0);
}

int Sign(int value) { return value < 0 ? -1 : (value > 0 ? 1 : 0); }

std::string_view Text(const std::byte* at, int32_t width) {
    const char* chars = reinterpret_cast<const char*>(at);
    return std::string_view(chars, ::strnlen(chars, static_cast<size_t>(width)));
}

// UTF-16 text copied into aligned storage; the row keeps it unaligned.
std::u16string_view WideText(const std::byte* at, int32_t width, std::u16string& scratch) {
    const size_t units = static_cast<size_t>(width) / 2;
    scratch.resize(units);
    std::memcpy(scratch.data(), at, units * 2);
    const size_t end = scratch.find(u'\0');
    return std::u16string_view(scratch.data(), end == std::u16string::npos ? units : end);
}

}  // namespace

std::string KeyFieldTypeName(KeyFieldType type) {
    // Key part types carry the numbers of the storage types, whose names the record layer
    // keeps.
    const int number = static_cast<int>(type);
    if (number < 0 || number > static_cast<int>(TSQLMemBaseFieldType::bftBFile)) {
        return std::to_string(number);
    }
    return std::string(BaseTypeName(static_cast<TSQLMemBaseFieldType>(number)));
}

int32_t KeyFieldWidth(KeyFieldType type, int32_t size) {
    using enum KeyFieldType;
    switch (type) {
        case Char:
        case Varchar:
            return 4 * size + 1;
        case WideChar:
        case WideVarchar:
            return (size + 1) * 2;
        case SignedInt8:
        case UnsignedInt8:
            return 1;
        case SignedInt16:
        case UnsignedInt16:
        case Logical:
            return 2;
        case SignedInt32:
        case UnsignedInt32:
        case Single:
        case Date:
        case Time:
            return 4;
        case SignedInt64:
        case Double:
        case Currency:
        case DateTime:
        case Blob:
        case Clob:
        case WideClob:
            return 8;
        case Extended:
            return 10;
        case Bytes:
        case VarBytes:
            return size;
        case Unknown:
        case BFile:
            break;
    }
    throw ESQLMemException::Formatted(30050, "Unknown DataType: '" + KeyFieldTypeName(type) + "'");
}

void TSQLMemBTreeKeyRef::Assign(std::span<const KeyColumn> columns) {
    parts_.clear();
    int32_t offset = 0;
    for (const KeyColumn& column : columns) {
        TSQLMemKeyPart part;
        part.KeyOffset = offset;
        part.RecordOffset = column.record_offset;
        part.FieldNo = column.field_no;
        part.PartSize = KeyFieldWidth(column.type, column.size) + 1;
        part.DataType = column.type;
        part.Descending = column.descending;
        part.CaseInsensitive = column.case_insensitive;
        offset += part.PartSize;
        parts_.push_back(part);
    }
    key_size_ = offset;
    compare_part_count_ = GetPartCount();
}

void TSQLMemBTreeKeyRef::SetComparePartCount(int32_t count) {
    compare_part_count_ = (count <= 0 || count > GetPartCount()) ? GetPartCount() : count;
}

void TSQLMemBTreeKeyRef::MakeKey(const std::byte* record, std::byte* key) const {
    for (const TSQLMemKeyPart& part : parts_) {
        const uint8_t bitmap = std::to_integer<uint8_t>(record[part.FieldNo / 8]);
        const bool is_null = ((bitmap >> (part.FieldNo % 8)) & 1) != 0;
        key[part.KeyOffset] = is_null ? std::byte{1} : std::byte{0};
        std::memcpy(key + part.KeyOffset + 1, record + part.RecordOffset,
                    static_cast<size_t>(part.PartSize - 1));
    }
}

namespace {

// Kept in this file so that the key comparison loop inlines it.
inline int ComparePartData(const TSQLMemKeyPart& part, const std::byte* left,
                           const std::byte* right) {
    using enum KeyFieldType;
    const int32_t width = part.PartSize - 1;
    switch (part.DataType) {
        case Char:
        case Varchar:
        case Clob:
            return Sign(
                platform::CompareText(Text(left, width), Text(right, width), part.CaseInsensitive));
        case WideChar:
        case WideVarchar:
        case WideClob: {
            thread_local std::u16string left_scratch;
            thread_local std::u16string right_scratch;
            return Sign(platform::CompareWideText(WideText(left, width, left_scratch),
                                                  WideText(right, width, right_scratch),
                                                  part.CaseInsensitive));
        }
        case SignedInt8:
            return Order(Read<int8_t>(left), Read<int8_t>(right));
        case SignedInt16:
            return Order(Read<int16_t>(left), Read<int16_t>(right));
        case SignedInt32:
        case Date:
        case Time:
            return Order(Read<int32_t>(left), Read<int32_t>(right));
        case SignedInt64:
            return Order(Read<int64_t>(left), Read<int64_t>(right));
        case UnsignedInt8:
            return Order(Read<uint8_t>(left), Read<uint8_t>(right));
        case UnsignedInt16:
            return Order(Read<uint16_t>(left), Read<uint16_t>(right));
        case UnsignedInt32:
            return Order(Read<uint32_t>(left), Read<uint32_t>(right));
        case Single:
            return Order(Read<float>(left), Read<float>(right));
        case Double:
        case Currency:
            return Order(Read<double>(left), Read<double>(right));
        case Extended:
            if constexpr (std::numeric_limits<long double>::digits == 64) {
                long double a = 0;
                long double b = 0;
                std::memcpy(&a, left, 10);
                std::memcpy(&b, right, 10);
                return Order(a, b);
            } else {
                return Order(Read<double>(left), Read<double>(right));
            }
        case DateTime: {
            const int day = Order(Read<int32_t>(left), Read<int32_t>(right));
            return day != 0 ? day : Order(Read<int32_t>(left + 4), Read<int32_t>(right + 4));
        }
        case Logical:
            return Order(Read<int16_t>(left) != 0, Read<int16_t>(right) != 0);
        default:
            break;
    }
    throw ESQLMemException::Formatted(
        30047, "Unknown DataType: '" + KeyFieldTypeName(part.DataType) + "'");
}

}  // namespace

int CompareKeyPartData(const TSQLMemKeyPart& part, const std::byte* left, const std::byte* right) {
    return ComparePartData(part, left, right);
}

int TSQLMemBTreeKeyRef::CompareKeys(const std::byte* left, const std::byte* right) const {
    for (int32_t i = 0; i < compare_part_count_; ++i) {
        const TSQLMemKeyPart& part = parts_[static_cast<size_t>(i)];
        const bool left_null = left[part.KeyOffset] == std::byte{1};
        const bool right_null = right[part.KeyOffset] == std::byte{1};
        int result = 0;
        if (left_null || right_null) {
            result = left_null == right_null ? 0 : (left_null ? -1 : 1);
        } else {
            result = ComparePartData(part, left + part.KeyOffset + 1, right + part.KeyOffset + 1);
        }
        if (result != 0) {
            return part.Descending ? -result : result;
        }
    }
    return 0;
}

}  // namespace tapir::engine
