#pragma once
// Whole-buffer compression for saved table bodies and compressed BLOB blocks, the block
// checksum, and the block sizes the engine's streams work in. The buffer functions never
// throw: any failure is a false result. zlib and bzip2 calls keep their state per call,
// so they may run in parallel.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tapir::engine {

// Stored in BLOB descriptors and table stream headers: the numbers are part of the format.
enum class TSQLMemCompressionAlgorithm : uint8_t {
    acaNone = 0,
    acaZLIB = 1,
    acaBZIP = 2,
    acaPPM = 3
};
using enum TSQLMemCompressionAlgorithm;

// Named levels; the compression calls take the numeric level 0 … 9.
enum class TSQLMemCompressionLevel : uint8_t { aclNone = 0, aclFastest, aclNormal, aclMaximum };
using enum TSQLMemCompressionLevel;

// Block sizes in bytes.
inline constexpr int32_t DefaultMemoryBlockSize = 102400;
inline constexpr int32_t DefaultFileBlockSize = 102400;
inline constexpr int32_t DefaultTemporaryBlockSize = 102400;
inline constexpr int64_t DefaultTemporaryLimit = 1048576;
inline constexpr int32_t DefaultBLOBBlockSize = 102400;
inline constexpr int32_t BlockSizeForFastest = 524288;
inline constexpr int32_t BlockSizeForNormal = 1048576;
inline constexpr int32_t BlockSizeForMax = 1572864;

// PPM model order and sub-allocator memory (MB) by level 1 … 9 (index 0 unused). The
// names stay known so stored algorithm numbers are understood, but this build has no PPM
// coder: every PPM compression and decompression answers false.
inline constexpr std::array<int, 10> PPM_MO = {0, 2, 3, 4, 5, 7, 8, 10, 13, 16};
inline constexpr std::array<int, 10> PPM_SA = {0, 2, 3, 7, 16, 30, 30, 45, 100, 100};

// The value of a name ("NONE", "ZLIB", "BZIP", "PPM", any case); 0 (none) for any other.
TSQLMemCompressionAlgorithm GetCompressionAlgorithm(const std::string& name);
// The upper-case name of an algorithm; "NONE" for a number outside the table.
std::string GetCompressionAlgorithmSQLName(TSQLMemCompressionAlgorithm algorithm);

// Compresses `input` into `output` (replaced). zlib: the level is the deflate level 0 … 9
// (0 gives a stored stream); bzip2: the level is the block size in 100 000-byte units,
// 1 … 9. Returns false, with `output` empty, for algorithm none, empty input, PPM, a level
// the algorithm rejects, or any failure of the algorithm.
[[nodiscard]] bool SQLMemInternalCompressBuffer(TSQLMemCompressionAlgorithm algorithm, int level,
                                                std::span<const std::byte> input,
                                                std::vector<std::byte>& output);

// Decompresses `input` into `output` (replaced). `expected_size` > 0 is the size the data
// must decompress to: the buffer grows towards it only as the data really produces bytes,
// and data producing more than that fails. Without an expected size the output may grow
// to kMaxUnsizedDecompression bytes. Returns true when the output is not empty; false,
// with `output` empty, for algorithm none, empty input, PPM or damaged data.
[[nodiscard]] bool SQLMemInternalDecompressBuffer(TSQLMemCompressionAlgorithm algorithm,
                                                  std::span<const std::byte> input,
                                                  int64_t expected_size,
                                                  std::vector<std::byte>& output);
inline constexpr int64_t kMaxUnsizedDecompression = int64_t{256} << 20;

// CRC-32 over the reflected polynomial 0xEDB88320, continued from `initial`, with neither
// pre- nor post-inversion ("abc" from 0 gives 0xCA6598D0).
uint32_t CRC32(uint32_t initial, std::span<const std::byte> bytes);

}  // namespace tapir::engine
