#pragma once
// TSQLMemBitsArray: the allocation map of a page store, one bit per page number.
// Not guarded; the owning store's lock applies.
//
// Stream form (little-endian):
//   OFFSET  SIZE              DESCRIPTION
//   0       4                 BitCount (int32)
//   4       4                 SetBitCount (int32): number of bits set
//   8       ceil(BitCount/8)  the bits; bit i is bit (i mod 8) of byte (i div 8), least
//                             significant first; absent when BitCount is 0

#include <cstdint>
#include <vector>

#include "engine/pages/byte_stream.h"

namespace tapir::engine {

// Error codes of the stream form, one per field.
struct BitsArrayStreamCodes {
    int bit_count;
    int set_bit_count;
    int bits;
};

class TSQLMemBitsArray {
  public:
    TSQLMemBitsArray() = default;

    int32_t BitCount() const { return bit_count_; }
    // Number of bits set.
    int32_t SetBitCount() const { return set_bit_count_; }
    // Grows or shrinks to `count` bits; kept bits stay, new ones are clear.
    void Resize(int32_t count);

    // Throws ESQLMemException 10394 "Invalid bit no = %d, number of bits = %d" out of range.
    bool GetBit(int32_t bit_no) const;
    // Throws ESQLMemException 10395 (same message) out of range.
    void SetBit(int32_t bit_no, bool value);
    // The lowest bit with `value`, or -1 when none.
    int32_t Find(bool value) const;

    void SaveToStream(ByteSink& sink, const BitsArrayStreamCodes& codes) const;
    // Throws the read error of the field, or ESQLMemException `codes.bits` "Invalid bit
    // array in stream" when the counts do not agree with the bits.
    void LoadFromStream(ByteSource& source, const BitsArrayStreamCodes& codes);

  private:
    int32_t bit_count_ = 0;
    int32_t set_bit_count_ = 0;
    std::vector<uint8_t> bytes_;
};

}  // namespace tapir::engine
