#pragma once
// BlobStore: the BLOB values of one table's stored rows. A row's BLOB field holds, in
// its 8-byte slot, a reference into the store (little-endian uint64; 0 = none); the
// store owns the value, and only the stored row that holds its reference uses it, so a
// copy of a row buffer borrows the reference and never owns it. References are never
// reused, so a stale copy finds nothing rather than another row's value. Not guarded:
// the owning table's lock applies.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "engine/pages/blob_value.h"
#include "engine/record/record_buffer.h"

namespace tapir::engine {

// A stale or unknown reference in a row buffer.
inline constexpr int kBlobNotFoundCode = 10090;

class BlobStore {
  public:
    BlobStore() = default;
    BlobStore(const BlobStore&) = delete;
    BlobStore& operator=(const BlobStore&) = delete;
    BlobStore(BlobStore&&) noexcept = default;
    BlobStore& operator=(BlobStore&&) noexcept = default;

    // Takes the value; returns its new reference (never 0).
    uint64_t Add(BlobValue value);
    // nullptr when the reference names no value.
    const BlobValue* Find(uint64_t reference) const;
    // The value, or ESQLMemException kBlobNotFoundCode "BLOB value not found - Reference =
    // %d" when the reference names none (the row was changed since it was read).
    const BlobValue& Get(uint64_t reference) const;
    // Frees the value; an unknown reference (0 included) is nothing to free.
    void Free(uint64_t reference) noexcept;
    void Clear() noexcept;
    size_t Count() const { return values_.size(); }
    // Kept bytes of every value (what the store holds in engine memory).
    int64_t KeptBytes() const;

  private:
    std::unordered_map<uint64_t, BlobValue> values_;
    uint64_t last_reference_ = 0;
};

// The reference in a BLOB field's slot (0 when the field is null).
uint64_t GetBlobReference(const TSQLMemFieldDefs& defs, int32_t field_no, const std::byte* row);
// Writes the reference and the null bit (null for 0).
void SetBlobReference(const TSQLMemFieldDefs& defs, int32_t field_no, uint64_t reference,
                      std::byte* row);

// Content given to the BLOB fields of a row being inserted or edited, by field number:
// nullopt (or no entry) leaves the field as it is; empty content makes it null.
using BlobChanges = std::vector<std::optional<std::vector<std::byte>>>;

// How a BLOB field keeps its values: the field's algorithm and level (bzip2 has no level
// 0 and takes 1), and its BlobBlockSize when set to other than the default, else the
// block size the level calls for.
BlobValue MakeBlobValue(const TSQLMemFieldDef& field, std::span<const std::byte> content);

}  // namespace tapir::engine
