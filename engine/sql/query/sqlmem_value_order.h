#pragma once
// How the query operators order and match values: nulls first and equal to each other,
// everything else by the variant's own comparison. Integers and doubles of the same kind
// compare directly, without the variant's general type resolution; the hashing operators
// (joins, grouping, DISTINCT) use IntegerKey for keys that are whole numbers.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/record/sqlmem_variant.h"

namespace tapir::engine {

// Whether `type` holds a whole number the variant compares as a 64-bit integer.
constexpr bool IsIntegerKind(TSQLMemBaseFieldType type) {
    switch (type) {
        case bftSignedInt8:
        case bftSignedInt16:
        case bftSignedInt32:
        case bftSignedInt64:
        case bftUnsignedInt8:
        case bftUnsignedInt16:
        case bftUnsignedInt32:
            return true;
        default:
            return false;
    }
}

// -1, 0 or 1: `a` sorts before, with or after `b` (nulls first; null equals null).
inline int CompareOrderValues(const TSQLMemVariant& a, const TSQLMemVariant& b,
                              bool ignore_case = false) {
    if (!a.IsNull() && !b.IsNull()) {
        const TSQLMemBaseFieldType ta = a.BaseType();
        const TSQLMemBaseFieldType tb = b.BaseType();
        if (IsIntegerKind(ta) && IsIntegerKind(tb)) {
            const int64_t x = a.AsInteger();
            const int64_t y = b.AsInteger();
            return x < y ? -1 : (x > y ? 1 : 0);
        }
        if (ta == bftDouble && tb == bftDouble) {
            const double x = a.AsFloat();
            const double y = b.AsFloat();
            return x < y ? -1 : (x > y ? 1 : 0);
        }
    }
    switch (a.Compare(b, ignore_case, false, false)) {
        case cmprLower:
            return -1;
        case cmprGreater:
            return 1;
        default:
            return 0;
    }
}

// The value as a hashing key: true with `key` set for a non-null whole number; false for
// null and every other type.
inline bool IntegerKey(const TSQLMemVariant& value, int64_t& key) {
    if (value.IsNull() || !IsIntegerKind(value.BaseType())) {
        return false;
    }
    key = value.AsInteger();
    return true;
}

// Mixes one 64-bit key into a running hash.
inline uint64_t MixKey(uint64_t hash, int64_t key) {
    uint64_t x = static_cast<uint64_t>(key) + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2);
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return hash ^ x;
}

// The integer keys of `row` at `columns`; false when one of them is null or no whole
// number.
template <typename Row>
inline bool RowIntegerKeys(const Row& row, const std::vector<int32_t>& columns,
                           std::vector<int64_t>& keys, uint64_t& hash) {
    keys.clear();
    hash = 0;
    for (const int32_t column : columns) {
        int64_t key = 0;
        if (!IntegerKey(row[static_cast<size_t>(column)], key)) {
            return false;
        }
        keys.push_back(key);
        hash = MixKey(hash, key);
    }
    return true;
}

// Whether every value of `rows` at `columns` is null or a whole number: such keys can be
// hashed without changing which values match.
template <typename Row>
inline bool AllIntegerOrNull(const std::vector<Row>& rows, const std::vector<int32_t>& columns) {
    for (const Row& row : rows) {
        for (const int32_t column : columns) {
            const TSQLMemVariant& value = row[static_cast<size_t>(column)];
            if (!value.IsNull() && !IsIntegerKind(value.BaseType())) {
                return false;
            }
        }
    }
    return true;
}

// Row numbers chained by the hash of their keys: an open-addressing table from hash to
// the first row of its chain, and for each row the next row of the same hash. Rows
// prepended from the last to the first make every chain run in row order. Rows of
// different keys can share a hash; the reader compares the keys.
class TSQLMemHashChains {
  public:
    static constexpr size_t kEnd = static_cast<size_t>(-1);

    // Empties the chains for rows 0 ... `rows` - 1.
    void Reset(size_t rows) {
        size_t capacity = 16;
        while (capacity < rows * 2) {
            capacity *= 2;
        }
        slots_.assign(capacity, Slot{});
        next_.assign(rows, kEnd);
    }
    void Prepend(uint64_t hash, size_t row) {
        Slot& slot = Find(hash);
        slot.hash = hash;
        next_[row] = slot.head;
        slot.head = row;
    }
    size_t First(uint64_t hash) const {
        if (slots_.empty()) {
            return kEnd;
        }
        return const_cast<TSQLMemHashChains*>(this)->Find(hash).head;
    }
    size_t Next(size_t row) const { return next_[row]; }

  private:
    struct Slot {
        uint64_t hash = 0;
        size_t head = kEnd;
    };
    // The slot of `hash`, or the empty slot where it belongs.
    Slot& Find(uint64_t hash) {
        const size_t mask = slots_.size() - 1;
        for (size_t at = static_cast<size_t>(hash) & mask;; at = (at + 1) & mask) {
            Slot& slot = slots_[at];
            if (slot.head == kEnd || slot.hash == hash) {
                return slot;
            }
        }
    }

    std::vector<Slot> slots_;
    std::vector<size_t> next_;
};

}  // namespace tapir::engine
