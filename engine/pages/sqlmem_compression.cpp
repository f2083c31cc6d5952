#include "engine/pages/sqlmem_compression.h"

#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <climits>

#include "engine/record/db_types.h"

namespace tapir::engine {

namespace {

constexpr size_t kOutputGrowth = 256;

struct AlgorithmName {
    TSQLMemCompressionAlgorithm algorithm;
    const char* name;
};
constexpr std::array<AlgorithmName, 4> kAlgorithmNames = {{
    {acaNone, "NONE"},
    {acaZLIB, "ZLIB"},
    {acaBZIP, "BZIP"},
    {acaPPM, "PPM"},
}};

size_t RoundUp(size_t value, size_t unit) { return (value + unit - 1) / unit * unit; }

// The first output buffer of a compression: a tenth more than the input plus a little,
// in whole units of the growth step.
size_t FirstCompressedSize(size_t input_size) {
    return RoundUp(input_size + input_size / 10 + 12, kOutputGrowth);
}

// Owners of the library stream records; End runs on every way out.
class DeflateStream {
  public:
    explicit DeflateStream(int level) { ok_ = deflateInit(&stream, level) == Z_OK; }
    DeflateStream(const DeflateStream&) = delete;
    DeflateStream& operator=(const DeflateStream&) = delete;
    ~DeflateStream() {
        if (ok_) deflateEnd(&stream);
    }
    bool Ok() const { return ok_; }
    z_stream stream{};

  private:
    bool ok_ = false;
};

class InflateStream {
  public:
    InflateStream() { ok_ = inflateInit(&stream) == Z_OK; }
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;
    ~InflateStream() {
        if (ok_) inflateEnd(&stream);
    }
    bool Ok() const { return ok_; }
    z_stream stream{};

  private:
    bool ok_ = false;
};

class BzCompressStream {
  public:
    explicit BzCompressStream(int block_size) {
        ok_ = BZ2_bzCompressInit(&stream, block_size, 0, 0) == BZ_OK;
    }
    BzCompressStream(const BzCompressStream&) = delete;
    BzCompressStream& operator=(const BzCompressStream&) = delete;
    ~BzCompressStream() {
        if (ok_) BZ2_bzCompressEnd(&stream);
    }
    bool Ok() const { return ok_; }
    bz_stream stream{};

  private:
    bool ok_ = false;
};

class BzDecompressStream {
  public:
    BzDecompressStream() { ok_ = BZ2_bzDecompressInit(&stream, 0, 0) == BZ_OK; }
    BzDecompressStream(const BzDecompressStream&) = delete;
    BzDecompressStream& operator=(const BzDecompressStream&) = delete;
    ~BzDecompressStream() {
        if (ok_) BZ2_bzDecompressEnd(&stream);
    }
    bool Ok() const { return ok_; }
    bz_stream stream{};

  private:
    bool ok_ = false;
};

uint64_t BzTotalOut(const bz_stream& stream) {
    return (uint64_t{stream.total_out_hi32} << 32) | stream.total_out_lo32;
}

bool ZlibCompress(int level, std::span<const std::byte> input, std::vector<std::byte>& output) {
    // zlib would take -1 as its default level; the engine's levels are 0 … 9 only.
    if (level < 0 || level > 9) return false;
    DeflateStream deflater(level);
    if (!deflater.Ok()) return false;
    z_stream& zs = deflater.stream;
    output.resize(FirstCompressedSize(input.size()));
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(input.data()));
    zs.avail_in = static_cast<uInt>(input.size());
    for (;;) {
        if (zs.total_out == output.size()) output.resize(output.size() + kOutputGrowth);
        zs.next_out = reinterpret_cast<Bytef*>(output.data() + zs.total_out);
        zs.avail_out = static_cast<uInt>(output.size() - zs.total_out);
        const int result = deflate(&zs, Z_FINISH);
        if (result == Z_STREAM_END) break;
        if (result != Z_OK && result != Z_BUF_ERROR) return false;
    }
    output.resize(zs.total_out);
    return true;
}

bool BzipCompress(int level, std::span<const std::byte> input, std::vector<std::byte>& output) {
    if (level < 1 || level > 9) return false;
    BzCompressStream compressor(level);
    if (!compressor.Ok()) return false;
    bz_stream& bs = compressor.stream;
    output.resize(FirstCompressedSize(input.size()));
    bs.next_in = reinterpret_cast<char*>(const_cast<std::byte*>(input.data()));
    bs.avail_in = static_cast<unsigned>(input.size());
    for (;;) {
        const uint64_t produced = BzTotalOut(bs);
        if (produced == output.size()) output.resize(output.size() + kOutputGrowth);
        bs.next_out = reinterpret_cast<char*>(output.data() + produced);
        bs.avail_out = static_cast<unsigned>(output.size() - produced);
        const int result = BZ2_bzCompress(&bs, BZ_FINISH);
        if (result == BZ_STREAM_END) break;
        if (result != BZ_FINISH_OK) return false;
    }
    output.resize(BzTotalOut(bs));
    return true;
}

// Output sizing shared by both decoders: the buffer starts near what the input can
// plausibly give and doubles, never past one byte over the limit, so that data which
// decodes to more than allowed is seen without holding all of it.
struct DecodeBudget {
    size_t limit;
    size_t first;
};

DecodeBudget BudgetFor(size_t input_size, int64_t expected_size) {
    if (expected_size > 0) {
        const auto limit = static_cast<size_t>(expected_size);
        return {limit, std::min(limit, input_size * 4 + 65536)};
    }
    const auto limit = static_cast<size_t>(kMaxUnsizedDecompression);
    return {limit, std::min(limit, RoundUp(input_size, kOutputGrowth))};
}

// Doubles `output` for the next round; false when it already holds more than the limit.
bool GrowOutput(std::vector<std::byte>& output, const DecodeBudget& budget) {
    if (output.size() > budget.limit) return false;
    output.resize(std::min(std::max<size_t>(output.size() * 2, kOutputGrowth), budget.limit + 1));
    return true;
}

bool ZlibDecompress(std::span<const std::byte> input, int64_t expected_size,
                    std::vector<std::byte>& output) {
    InflateStream inflater;
    if (!inflater.Ok()) return false;
    z_stream& zs = inflater.stream;
    const DecodeBudget budget = BudgetFor(input.size(), expected_size);
    output.resize(budget.first);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(input.data()));
    zs.avail_in = static_cast<uInt>(input.size());
    for (;;) {
        if (zs.total_out == output.size() && !GrowOutput(output, budget)) return false;
        zs.next_out = reinterpret_cast<Bytef*>(output.data() + zs.total_out);
        zs.avail_out = static_cast<uInt>(output.size() - zs.total_out);
        const int result = inflate(&zs, Z_NO_FLUSH);
        if (result == Z_STREAM_END) break;
        if (result != Z_OK && result != Z_BUF_ERROR) return false;
        // Room was left yet the stream did not end: the input ran out.
        if (zs.avail_out != 0) return false;
    }
    if (zs.total_out > budget.limit) return false;
    output.resize(zs.total_out);
    return true;
}

bool BzipDecompress(std::span<const std::byte> input, int64_t expected_size,
                    std::vector<std::byte>& output) {
    BzDecompressStream decompressor;
    if (!decompressor.Ok()) return false;
    bz_stream& bs = decompressor.stream;
    const DecodeBudget budget = BudgetFor(input.size(), expected_size);
    output.resize(budget.first);
    bs.next_in = reinterpret_cast<char*>(const_cast<std::byte*>(input.data()));
    bs.avail_in = static_cast<unsigned>(input.size());
    for (;;) {
        const uint64_t produced = BzTotalOut(bs);
        if (produced == output.size() && !GrowOutput(output, budget)) return false;
        bs.next_out = reinterpret_cast<char*>(output.data() + produced);
        bs.avail_out = static_cast<unsigned>(output.size() - produced);
        const int result = BZ2_bzDecompress(&bs);
        if (result == BZ_STREAM_END) break;
        if (result != BZ_OK) return false;
        if (bs.avail_out != 0) return false;
    }
    if (BzTotalOut(bs) > budget.limit) return false;
    output.resize(BzTotalOut(bs));
    return true;
}

constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t value = n;
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1) != 0 ? 0xEDB88320u ^ (value >> 1) : value >> 1;
        }
        table[n] = value;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

TSQLMemCompressionAlgorithm GetCompressionAlgorithm(const std::string& name) {
    const std::string upper = UpperName(name);
    for (const AlgorithmName& entry : kAlgorithmNames) {
        if (upper == entry.name) return entry.algorithm;
    }
    return acaNone;
}

std::string GetCompressionAlgorithmSQLName(TSQLMemCompressionAlgorithm algorithm) {
    for (const AlgorithmName& entry : kAlgorithmNames) {
        if (entry.algorithm == algorithm) return entry.name;
    }
    return "NONE";
}

bool SQLMemInternalCompressBuffer(TSQLMemCompressionAlgorithm algorithm, int level,
                                  std::span<const std::byte> input,
                                  std::vector<std::byte>& output) {
    output.clear();
    // The libraries count input in 32-bit units; the engine never compresses more at once.
    if (input.empty() || input.size() > UINT_MAX) return false;
    bool ok = false;
    try {
        switch (algorithm) {
            case acaZLIB:
                ok = ZlibCompress(level, input, output);
                break;
            case acaBZIP:
                ok = BzipCompress(level, input, output);
                break;
            case acaNone:
            case acaPPM:
                break;
        }
    } catch (...) {
        ok = false;
    }
    if (!ok) output.clear();
    return ok;
}

bool SQLMemInternalDecompressBuffer(TSQLMemCompressionAlgorithm algorithm,
                                    std::span<const std::byte> input, int64_t expected_size,
                                    std::vector<std::byte>& output) {
    output.clear();
    if (input.empty() || input.size() > UINT_MAX) return false;
    bool ok = false;
    try {
        switch (algorithm) {
            case acaZLIB:
                ok = ZlibDecompress(input, expected_size, output);
                break;
            case acaBZIP:
                ok = BzipDecompress(input, expected_size, output);
                break;
            case acaNone:
            case acaPPM:
                break;
        }
    } catch (...) {
        ok = false;
    }
    if (!ok) output.clear();
    return ok && !output.empty();
}

uint32_t CRC32(uint32_t initial, std::span<const std::byte> bytes) {
    uint32_t crc = initial;
    for (const std::byte value : bytes) {
        crc = kCrcTable[(crc ^ std::to_integer<uint32_t>(value)) & 0xFF] ^ (crc >> 8);
    }
    return crc;
}

}  // namespace tapir::engine
