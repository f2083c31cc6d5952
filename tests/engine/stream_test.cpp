#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <array>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/pages/sqlmem_compressed_blob_stream.h"
#include "engine/pages/sqlmem_compression.h"
#include "engine/pages/sqlmem_stream.h"
#include "engine/record/db_types.h"

namespace tapir::engine {
namespace {

using Bytes = std::vector<std::byte>;

void ExpectEngineError(const std::function<void()>& action, int code, const std::string& message) {
    try {
        action();
        ADD_FAILURE() << "no error, expected " << code;
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), code);
        EXPECT_EQ(error.BareMessage(), message);
    }
}

int ErrorCode(const std::function<void()>& action) {
    try {
        action();
    } catch (const ESQLMemException& error) {
        return error.Code().value_or(-1);
    }
    return 0;
}

bool FileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

Bytes TextBytes(const std::string& text) {
    Bytes bytes(text.size());
    std::memcpy(bytes.data(), text.data(), text.size());
    return bytes;
}

// Repetitive text: compresses well.
Bytes Compressible(size_t size) {
    const std::string words = "timer channel service start duration repeat ";
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::byte>(words[(i * 7 + i / 13) % words.size()]);
    }
    return bytes;
}

// Random bytes: do not compress.
Bytes Incompressible(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (auto& value : bytes) value = static_cast<std::byte>(random() & 0xFF);
    return bytes;
}

Bytes Compress(TSQLMemCompressionAlgorithm algorithm, int level, const Bytes& input) {
    Bytes output;
    EXPECT_TRUE(SQLMemInternalCompressBuffer(algorithm, level, input, output));
    return output;
}

// ---- buffer compression ----

TEST(Compression, RoundTripsEveryAlgorithmLevelAndShape) {
    const std::vector<std::pair<std::string, Bytes>> inputs = {
        {"one byte", TextBytes("x")},
        {"compressible", Compressible(300000)},
        {"incompressible", Incompressible(70000, 7)},
    };
    struct Case {
        TSQLMemCompressionAlgorithm algorithm;
        int first_level;
    };
    for (const Case& c : {Case{acaZLIB, 0}, Case{acaBZIP, 1}}) {
        for (int level = c.first_level; level <= 9; ++level) {
            for (const auto& [name, input] : inputs) {
                SCOPED_TRACE(GetCompressionAlgorithmSQLName(c.algorithm) + " level " +
                             std::to_string(level) + " " + name);
                const Bytes packed = Compress(c.algorithm, level, input);
                ASSERT_FALSE(packed.empty());
                for (int64_t expected : {static_cast<int64_t>(input.size()), int64_t{0}}) {
                    Bytes unpacked;
                    ASSERT_TRUE(
                        SQLMemInternalDecompressBuffer(c.algorithm, packed, expected, unpacked));
                    EXPECT_EQ(unpacked, input);
                }
            }
        }
    }
    const Bytes text = Compressible(300000);
    EXPECT_LT(Compress(acaZLIB, 9, text).size(), text.size() / 10);
    EXPECT_LT(Compress(acaBZIP, 9, text).size(), text.size() / 10);
}

TEST(Compression, NoneEmptyPpmAndRejectedLevelsAnswerFalseWithoutOutput) {
    const Bytes input = Compressible(1000);
    Bytes output = TextBytes("stale");
    EXPECT_FALSE(SQLMemInternalCompressBuffer(acaNone, 5, input, output));
    EXPECT_TRUE(output.empty());
    output = TextBytes("stale");
    EXPECT_FALSE(SQLMemInternalCompressBuffer(acaZLIB, 5, Bytes{}, output));
    EXPECT_TRUE(output.empty());
    for (int level : {0, 1, 5, 9, 10}) {
        EXPECT_FALSE(SQLMemInternalCompressBuffer(acaPPM, level, input, output)) << level;
    }
    EXPECT_FALSE(SQLMemInternalCompressBuffer(acaBZIP, 0, input, output));
    EXPECT_FALSE(SQLMemInternalCompressBuffer(acaBZIP, 10, input, output));
    EXPECT_FALSE(SQLMemInternalCompressBuffer(acaZLIB, 10, input, output));
    EXPECT_FALSE(SQLMemInternalCompressBuffer(acaZLIB, -1, input, output));
    EXPECT_TRUE(output.empty());

    const Bytes packed = Compress(acaZLIB, 6, input);
    EXPECT_FALSE(SQLMemInternalDecompressBuffer(acaNone, packed, 1000, output));
    EXPECT_FALSE(SQLMemInternalDecompressBuffer(acaPPM, packed, 1000, output));
    EXPECT_FALSE(SQLMemInternalDecompressBuffer(acaZLIB, Bytes{}, 1000, output));
    EXPECT_TRUE(output.empty());
}

TEST(Compression, ProducesTheLibrariesOwnFormats) {
    const Bytes input = Incompressible(5000, 3);
    // zlib level 0: a stored stream, a little longer than its input, that zlib itself reads.
    const Bytes stored = Compress(acaZLIB, 0, input);
    EXPECT_GT(stored.size(), input.size());
    EXPECT_EQ(std::to_integer<int>(stored[0]), 0x78);
    Bytes plain(input.size());
    uLongf plain_size = plain.size();
    ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(plain.data()), &plain_size,
                         reinterpret_cast<const Bytef*>(stored.data()), stored.size()),
              Z_OK);
    EXPECT_EQ(plain, input);
    // bzip2 names its block size in its header.
    const Bytes bzip = Compress(acaBZIP, 3, input);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bzip.data()), 4), "BZh3");
}

TEST(Compression, DamagedOrOversizedDataFailsAndNeverDecodesWrongly) {
    const Bytes input = Compressible(20000);
    for (auto algorithm : {acaZLIB, acaBZIP}) {
        SCOPED_TRACE(GetCompressionAlgorithmSQLName(algorithm));
        const Bytes packed = Compress(algorithm, 6, input);
        Bytes output;
        for (size_t cut : {size_t{1}, packed.size() / 2, packed.size() - 1}) {
            const Bytes truncated(packed.begin(), packed.begin() + static_cast<long>(cut));
            EXPECT_FALSE(SQLMemInternalDecompressBuffer(algorithm, truncated, 20000, output))
                << cut;
            EXPECT_FALSE(SQLMemInternalDecompressBuffer(algorithm, truncated, 0, output)) << cut;
        }
        for (size_t at = 0; at < packed.size(); at += 3) {
            Bytes flipped = packed;
            flipped[at] ^= std::byte{0x10};
            const bool ok = SQLMemInternalDecompressBuffer(algorithm, flipped, 20000, output);
            EXPECT_TRUE(!ok || output == input) << "byte " << at;
        }
        // More output than expected fails; less is reported as it is.
        EXPECT_FALSE(SQLMemInternalDecompressBuffer(algorithm, packed, 19999, output));
        EXPECT_TRUE(output.empty());
        ASSERT_TRUE(SQLMemInternalDecompressBuffer(algorithm, packed, 50000, output));
        EXPECT_EQ(output.size(), 20000u);
    }
    // A small input that inflates hugely stops at the expected size.
    const Bytes zeros(8 << 20);
    const Bytes bomb = Compress(acaBZIP, 9, zeros);
    ASSERT_LT(bomb.size(), 1000u);
    Bytes output;
    EXPECT_FALSE(SQLMemInternalDecompressBuffer(acaBZIP, bomb, 4096, output));
    EXPECT_LT(output.capacity(), size_t{1} << 20);
}

TEST(Compression, ChecksumHasNoInversionAndContinues) {
    const Bytes abc = TextBytes("abc");
    EXPECT_EQ(CRC32(0, abc), 0xCA6598D0u);
    EXPECT_EQ(CRC32(CRC32(0, TextBytes("ab")), TextBytes("c")), 0xCA6598D0u);
    EXPECT_EQ(CRC32(0x1234u, Bytes{}), 0x1234u);
    // Differs from the inverted form zlib computes.
    EXPECT_EQ(crc32(0, reinterpret_cast<const Bytef*>(abc.data()), 3), 0x352441C2u);
}

TEST(Compression, AlgorithmNames) {
    EXPECT_EQ(GetCompressionAlgorithm("zlib"), acaZLIB);
    EXPECT_EQ(GetCompressionAlgorithm("ZLIB"), acaZLIB);
    EXPECT_EQ(GetCompressionAlgorithm("Bzip"), acaBZIP);
    EXPECT_EQ(GetCompressionAlgorithm("ppm"), acaPPM);
    EXPECT_EQ(GetCompressionAlgorithm("none"), acaNone);
    EXPECT_EQ(GetCompressionAlgorithm("gzip"), acaNone);
    EXPECT_EQ(GetCompressionAlgorithm(""), acaNone);
    EXPECT_EQ(GetCompressionAlgorithmSQLName(acaNone), "NONE");
    EXPECT_EQ(GetCompressionAlgorithmSQLName(acaBZIP), "BZIP");
    EXPECT_EQ(GetCompressionAlgorithmSQLName(acaPPM), "PPM");
    EXPECT_EQ(GetCompressionAlgorithmSQLName(static_cast<TSQLMemCompressionAlgorithm>(9)), "NONE");
}

// ---- streams ----

Bytes ReadAll(TSQLMemStream& stream) {
    Bytes bytes(static_cast<size_t>(stream.Size()));
    EXPECT_TRUE(stream.SetPosition(0));
    LoadDataFromStream(stream, bytes, 1);
    return bytes;
}

void WriteAll(TSQLMemStream& stream, const Bytes& bytes) { SaveDataToStream(stream, bytes, 1); }

TEST(EngineStreams, MemoryStreamGrowsFillsGapsAndBorrowedBufferComesOutShort) {
    TSQLMemMemoryStream stream;
    WriteAll(stream, TextBytes("abc"));
    ASSERT_TRUE(stream.SetPosition(6));
    WriteAll(stream, TextBytes("z"));
    EXPECT_EQ(stream.Size(), 7);
    EXPECT_EQ(ReadAll(stream), Bytes({std::byte{'a'}, std::byte{'b'}, std::byte{'c'}, std::byte{0},
                                      std::byte{0}, std::byte{0}, std::byte{'z'}}));
    EXPECT_FALSE(stream.SetPosition(-1));

    std::array<std::byte, 4> buffer{};
    TSQLMemMemoryStream borrowed(buffer);
    ASSERT_TRUE(borrowed.SetPosition(2));
    ExpectEngineError([&] { SaveDataToStream(borrowed, TextBytes("xyz"), 10500); }, 10500,
                      "Cannot write to stream. Position = 2, Stream size = 4, Block size = 3, "
                      "Bytes Write = 2");
    EXPECT_EQ(buffer[3], std::byte{'y'});
    EXPECT_FALSE(borrowed.SetSize(5));
    Bytes five(5);
    ASSERT_TRUE(borrowed.SetPosition(0));
    ExpectEngineError([&] { LoadDataFromStream(borrowed, five, 10501); }, 10501,
                      "Cannot read from stream. Position = 0, Stream size = 4, Block size = 5, "
                      "Bytes Read = 4");
}

TEST(EngineStreams, TemporaryStreamSpillsPastItsLimitAndRemovesTheFile) {
    const Bytes content = Incompressible(static_cast<size_t>(DefaultTemporaryLimit) + 5000, 11);
    std::string file_name;
    {
        TSQLMemTemporaryStream stream;
        WriteAll(stream, Bytes(content.begin(), content.begin() + DefaultTemporaryLimit));
        EXPECT_FALSE(stream.InFile());
        EXPECT_EQ(stream.FileName(), "");
        WriteAll(stream, Bytes(content.begin() + DefaultTemporaryLimit, content.end()));
        ASSERT_TRUE(stream.InFile());
        file_name = stream.FileName();
        EXPECT_EQ(file_name.rfind(SQLMemDefaultTempDir() + "/SQLMem", 0), 0u) << file_name;
        EXPECT_TRUE(FileExists(file_name));
        EXPECT_EQ(stream.Size(), static_cast<int64_t>(content.size()));
        EXPECT_EQ(ReadAll(stream), content);
        // Overwrites inside the file, and a cut.
        ASSERT_TRUE(stream.SetPosition(10));
        WriteAll(stream, TextBytes("QQ"));
        ASSERT_TRUE(stream.SetSize(20));
        Bytes expected(content.begin(), content.begin() + 20);
        expected[10] = expected[11] = std::byte{'Q'};
        EXPECT_EQ(ReadAll(stream), expected);
    }
    EXPECT_FALSE(FileExists(file_name));

    TSQLMemTemporaryStream small(100);
    ASSERT_TRUE(small.SetPosition(90));
    WriteAll(small, TextBytes("0123456789"));
    EXPECT_FALSE(small.InFile());
    WriteAll(small, TextBytes("!"));
    EXPECT_TRUE(small.InFile());
    const Bytes all = ReadAll(small);
    ASSERT_EQ(all.size(), 101u);
    EXPECT_EQ(all[0], std::byte{0});
    EXPECT_EQ(all[90], std::byte{'0'});
    EXPECT_EQ(all[100], std::byte{'!'});
}

TEST(EngineStreams, TempFileNamesAreNewAndUnique) {
    const std::string first = GetTempFileName();
    const std::string second = GetTempFileName();
    EXPECT_NE(first, second);
    for (const std::string& name : {first, second}) {
        EXPECT_EQ(name.rfind(SQLMemDefaultTempDir() + "/SQLMem", 0), 0u) << name;
        EXPECT_TRUE(FileExists(name));
        ::unlink(name.c_str());
    }
}

TEST(EngineStreams, FileStreamModes) {
    const std::string name = GetTempFileName();
    {
        TSQLMemFileStream file(name, FileOpenMode::Create);
        WriteAll(file, TextBytes("abcdef"));
        ASSERT_TRUE(file.SetSize(3));
    }
    {
        TSQLMemFileStream file(name, FileOpenMode::OpenReadWrite);
        ASSERT_TRUE(file.SetPosition(1));
        WriteAll(file, TextBytes("X"));
        EXPECT_EQ(ReadAll(file), TextBytes("aXc"));
    }
    {
        TSQLMemFileStream file(name, FileOpenMode::OpenRead);
        EXPECT_EQ(file.Write(TextBytes("zz")), 0u);
        EXPECT_EQ(ReadAll(file), TextBytes("aXc"));
    }
    {
        TSQLMemFileStream file(name, FileOpenMode::Create);
        EXPECT_EQ(file.Size(), 0);
    }
    ::unlink(name.c_str());
    ExpectEngineError([&] { TSQLMemFileStream file(name, FileOpenMode::OpenReadWrite); }, 10081,
                      "Cannot open file " + name);
}

// Random reads, writes, seeks and resizes, of sizes around the file stream's buffer, must
// leave the file stream exactly like a memory stream given the same calls.
TEST(EngineStreams, BufferedFileStreamMatchesMemoryStream) {
    const std::string name = GetTempFileName();
    std::mt19937 random(20261210);
    const std::array<size_t, 6> sizes = {1, 7, 4096, TSQLMemFileStream::kBufferSize - 3,
                                         TSQLMemFileStream::kBufferSize,
                                         TSQLMemFileStream::kBufferSize * 2 + 5};
    {
        TSQLMemFileStream file(name, FileOpenMode::Create);
        TSQLMemMemoryStream memory;
        for (int step = 0; step < 400; ++step) {
            const size_t size = sizes[random() % sizes.size()] + random() % 3;
            switch (random() % 5) {
                case 0:
                case 1: {
                    Bytes bytes(size);
                    for (std::byte& b : bytes) b = static_cast<std::byte>(random());
                    ASSERT_EQ(file.Write(bytes), memory.Write(bytes)) << step;
                    break;
                }
                case 2: {
                    Bytes from_file(size), from_memory(size);
                    ASSERT_EQ(file.Read(from_file), memory.Read(from_memory)) << step;
                    ASSERT_EQ(from_file, from_memory) << step;
                    break;
                }
                case 3: {
                    const int64_t to = static_cast<int64_t>(random() % (memory.Size() + 10));
                    ASSERT_TRUE(file.SetPosition(to));
                    ASSERT_TRUE(memory.SetPosition(to));
                    break;
                }
                default:
                    if (random() % 4 == 0) {
                        const int64_t to = static_cast<int64_t>(random() % (memory.Size() + 100));
                        ASSERT_TRUE(file.SetSize(to));
                        ASSERT_TRUE(memory.SetSize(to));
                    }
                    break;
            }
            ASSERT_EQ(file.Position(), memory.Position()) << step;
            ASSERT_EQ(file.Size(), memory.Size()) << step;
        }
        ASSERT_TRUE(file.Flush());
        TSQLMemFileStream reader(name, FileOpenMode::OpenRead);
        const auto expected = memory.Bytes();
        EXPECT_EQ(ReadAll(reader), Bytes(expected.begin(), expected.end()));
    }
    ::unlink(name.c_str());
}

// A write the disk refuses is buffered first, so the failure must show at the flush and
// on every write after it, and a copy into such a file must raise the write error.
TEST(EngineStreams, FileStreamReportsFailedWrites) {
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full is not available";
    {
        TSQLMemFileStream full("/dev/full", FileOpenMode::OpenReadWrite);
        EXPECT_EQ(full.Write(TextBytes("buffered")), 8u);
        EXPECT_FALSE(full.Flush());
        EXPECT_EQ(full.Write(TextBytes("more")), 0u);
        EXPECT_FALSE(full.Sync());
    }
    TSQLMemMemoryStream content;
    WriteAll(content, TextBytes("some bytes that cannot be stored"));
    EXPECT_EQ(ErrorCode([&] { (void)content.SaveToFile("/dev/full"); }), 10147);
}

class StreamCopy : public ::testing::Test {
  protected:
    void SetUp() override {
        content = Incompressible(3500, 5);
        WriteAll(source, content);
        source.SetBlockSize(1000);
        source.OnProgress = [this](TSQLMemStream& sender, int percent, bool& abort) {
            EXPECT_EQ(&sender, &source);
            percents.push_back(percent);
            abort = percents.size() == abort_after;
        };
    }

    Bytes content;
    TSQLMemMemoryStream source;
    std::vector<int> percents;
    size_t abort_after = 0;
};

TEST_F(StreamCopy, SavesBlockWiseWithProgressAndRestoresBothPositions) {
    ASSERT_TRUE(source.SetPosition(123));
    TSQLMemMemoryStream target;
    WriteAll(target, TextBytes("0123456789"));
    ASSERT_TRUE(target.SetPosition(4));
    EXPECT_TRUE(source.SaveToStream(target));
    EXPECT_EQ(percents, std::vector<int>({28, 57, 85, 100, 100}));
    EXPECT_EQ(source.Position(), 123);
    EXPECT_EQ(target.Position(), 4);
    const Bytes written = ReadAll(target);
    ASSERT_EQ(written.size(), 4u + content.size());
    EXPECT_TRUE(std::equal(content.begin(), content.end(), written.begin() + 4));
}

TEST_F(StreamCopy, AbortStopsAfterTheCurrentBlock) {
    abort_after = 2;
    TSQLMemMemoryStream target;
    EXPECT_FALSE(source.SaveToStream(target));
    EXPECT_EQ(percents, std::vector<int>({28, 57}));
    EXPECT_EQ(target.Size(), 2000);
}

TEST_F(StreamCopy, LoadsARangeOfASourceAndThroughFiles) {
    TSQLMemMemoryStream part;
    WriteAll(part, TextBytes("old content"));
    ASSERT_TRUE(source.SetPosition(77));
    EXPECT_TRUE(part.LoadFromStreamWithPosition(source, 1500, 1000));
    EXPECT_EQ(part.Position(), 0);
    EXPECT_EQ(source.Position(), 77);
    EXPECT_EQ(ReadAll(part), Bytes(content.begin() + 1000, content.begin() + 2500));

    const std::string name = GetTempFileName();
    EXPECT_TRUE(source.SaveToFile(name));
    TSQLMemTemporaryStream back;
    EXPECT_TRUE(back.LoadFromFile(name));
    EXPECT_EQ(ReadAll(back), content);
    ::unlink(name.c_str());
    ExpectEngineError([&] { (void)back.LoadFromFile(name); }, 10081, "Cannot open file " + name);
}

TEST_F(StreamCopy, ShortTransfersAndZeroBlockSizeRaise) {
    TSQLMemMemoryStream part;
    ExpectEngineError([&] { (void)part.LoadFromStreamWithPosition(source, 1000, 3000); }, 10146,
                      "Cannot read from stream. Position = 3000, Stream size = 3500, "
                      "Block size = 1000, Bytes Read = 500");
    EXPECT_EQ(source.Position(), 3500);  // written content leaves it at the end
    std::array<std::byte, 1500> buffer{};
    TSQLMemMemoryStream small(buffer);
    ExpectEngineError([&] { (void)source.SaveToStream(small); }, 10147,
                      "Cannot write to stream. Position = 1000, Stream size = 1500, "
                      "Block size = 1000, Bytes Write = 500");
    EXPECT_EQ(small.Position(), 0);
    source.SetBlockSize(0);
    ExpectEngineError([&] { (void)source.SaveToStream(part); }, 10418,
                      "Stream block size = 0 is not allowed");
    part.SetBlockSize(0);
    ExpectEngineError([&] { (void)part.LoadFromStream(source); }, 10419,
                      "Stream block size = 0 is not allowed");
}

// ---- compressed BLOB values ----

TSQLMemCompressedStreamBlockHeader HeaderAt(TSQLMemStream& storage, int64_t position) {
    std::array<std::byte, TSQLMemCompressedStreamBlockHeader::kSize> raw{};
    EXPECT_TRUE(storage.SetPosition(position));
    LoadDataFromStream(storage, raw, 1);
    return TSQLMemCompressedStreamBlockHeader::Decode(raw);
}

void PutBytes(TSQLMemStream& storage, int64_t position, const Bytes& bytes) {
    ASSERT_TRUE(storage.SetPosition(position));
    WriteAll(storage, bytes);
}

TSQLMemBLOBDescriptor Described(TSQLMemCompressionAlgorithm algorithm, int level,
                                int32_t block_size = 0, int64_t start = 0) {
    TSQLMemBLOBDescriptor descriptor;
    descriptor.algorithm = algorithm;
    descriptor.level = static_cast<uint8_t>(level);
    descriptor.block_size = block_size;
    descriptor.start_position = start;
    return descriptor;
}

Bytes ReadValue(TSQLMemStream& storage, const TSQLMemBLOBDescriptor& descriptor) {
    TSQLMemCompressedBLOBStream value(storage, descriptor);
    Bytes bytes(static_cast<size_t>(value.Size()));
    LoadDataFromStream(value, bytes, 1);
    return bytes;
}

TEST(CompressedBLOB, BlockSizesFollowTheLevel) {
    EXPECT_EQ(BLOBBlockSizeForLevel(0), DefaultBLOBBlockSize);
    EXPECT_EQ(BLOBBlockSizeForLevel(1), BlockSizeForFastest);
    EXPECT_EQ(BLOBBlockSizeForLevel(3), BlockSizeForFastest);
    EXPECT_EQ(BLOBBlockSizeForLevel(4), BlockSizeForNormal);
    EXPECT_EQ(BLOBBlockSizeForLevel(6), BlockSizeForNormal);
    EXPECT_EQ(BLOBBlockSizeForLevel(7), BlockSizeForMax);
    EXPECT_EQ(BLOBBlockSizeForLevel(9), BlockSizeForMax);

    const Bytes content = Compressible(250000);
    {
        TSQLMemMemoryStream storage;
        TSQLMemCompressedBLOBStream value(storage, Described(acaZLIB, 5));
        WriteAll(value, content);
        EXPECT_EQ(value.Descriptor().block_count, 1);
        EXPECT_EQ(value.Descriptor().block_size, BlockSizeForNormal);
        EXPECT_GT(value.CompressionRate(), 90.0);
        EXPECT_EQ(ReadValue(storage, value.Descriptor()), content);
    }
    TSQLMemMemoryStream storage;
    WriteAll(storage, TextBytes("prefix"));
    TSQLMemCompressedBLOBStream value(storage, Described(acaZLIB, 0, 0, 6));
    WriteAll(value, content);
    const TSQLMemBLOBDescriptor descriptor = value.Descriptor();
    EXPECT_EQ(descriptor.block_count, 3);
    EXPECT_EQ(descriptor.block_size, DefaultBLOBBlockSize);
    EXPECT_EQ(descriptor.uncompressed_size, 250000);
    EXPECT_EQ(value.StoredSize(), storage.Size() - 6);
    int64_t position = 6;
    size_t offset = 0;
    for (uint32_t expected : {102400u, 102400u, 45200u}) {
        const auto header = HeaderAt(storage, position);
        EXPECT_EQ(header.uncompressed_size, expected);
        EXPECT_EQ(header.next_block_offset, 20 + header.compressed_size);
        EXPECT_EQ(header.checksum, CRC32(0, std::span(content).subspan(offset, expected)));
        position += header.next_block_offset;
        offset += expected;
    }
    EXPECT_EQ(position, storage.Size());

    // The descriptor's byte form keeps every field.
    std::array<std::byte, TSQLMemBLOBDescriptor::kSize> raw{};
    descriptor.Encode(raw);
    const auto decoded = TSQLMemBLOBDescriptor::Decode(raw);
    EXPECT_EQ(decoded.block_size, descriptor.block_size);
    EXPECT_EQ(decoded.block_count, 3);
    EXPECT_EQ(decoded.uncompressed_size, 250000);
    EXPECT_EQ(decoded.start_position, 6);
    EXPECT_EQ(decoded.algorithm, acaZLIB);
    EXPECT_EQ(decoded.level, 0);
    EXPECT_EQ(std::to_integer<int>(raw[28]), 1);
    EXPECT_EQ(std::to_integer<int>(raw[30]) | std::to_integer<int>(raw[31]), 0);

    // Reads across the block boundaries, from a freshly opened value.
    TSQLMemCompressedBLOBStream reopened(storage, decoded);
    EXPECT_EQ(ReadAll(storage).size(), static_cast<size_t>(storage.Size()));
    for (int64_t at : {int64_t{0}, int64_t{102390}, int64_t{204795}, int64_t{249990}}) {
        ASSERT_TRUE(reopened.SetPosition(at));
        Bytes piece(30);
        const size_t read = reopened.Read(piece);
        const size_t expected = std::min<size_t>(30, 250000 - static_cast<size_t>(at));
        ASSERT_EQ(read, expected) << at;
        EXPECT_TRUE(std::equal(piece.begin(), piece.begin() + static_cast<long>(read),
                               content.begin() + at))
            << at;
    }
}

// Random writes, overwrites, extensions and cuts against a plain vector, reopening the
// value from its descriptor now and then.
class BLOBOracle : public ::testing::TestWithParam<TSQLMemCompressionAlgorithm> {};

TEST_P(BLOBOracle, MatchesAPlainBufferThroughOverwritesAndCuts) {
    const uint32_t seed = 20261209;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const TSQLMemCompressionAlgorithm algorithm = GetParam();
    TSQLMemMemoryStream storage;
    WriteAll(storage, TextBytes("head"));
    TSQLMemBLOBDescriptor descriptor = Described(algorithm, 6, 1000, 4);
    std::vector<std::byte> model;
    for (int round = 0; round < 60; ++round) {
        TSQLMemCompressedBLOBStream value(storage, descriptor);
        ASSERT_EQ(value.Size(), static_cast<int64_t>(model.size()));
        const int kind = static_cast<int>(random() % 10);
        const auto size = static_cast<int64_t>(model.size());
        if (kind < 6) {
            // Compressible and random pieces, so that blocks change their stored size.
            const size_t length = 1 + random() % 2500;
            const Bytes piece =
                (random() % 2 == 0) ? Compressible(length) : Incompressible(length, random());
            const int64_t at = static_cast<int64_t>(random() % static_cast<uint32_t>(size + 300));
            ASSERT_TRUE(value.SetPosition(at));
            WriteAll(value, piece);
            if (model.size() < static_cast<size_t>(at) + length) model.resize(at + length);
            std::copy(piece.begin(), piece.end(), model.begin() + at);
        } else if (kind < 8) {
            const int64_t new_size =
                static_cast<int64_t>(random() % static_cast<uint32_t>(size + 1500));
            ASSERT_TRUE(value.SetSize(new_size));
            model.resize(static_cast<size_t>(new_size));
        }
        descriptor = value.Descriptor();
        EXPECT_EQ(descriptor.block_count, algorithm == acaNone ? 0 : (value.Size() + 999) / 1000);
        ASSERT_EQ(ReadValue(storage, descriptor), model) << "round " << round;
    }
    EXPECT_EQ(ReadAll(storage)[0], std::byte{'h'});
}

INSTANTIATE_TEST_SUITE_P(Algorithms, BLOBOracle, ::testing::Values(acaZLIB, acaBZIP, acaNone),
                         [](const auto& info) {
                             return GetCompressionAlgorithmSQLName(info.param);
                         });

class DamagedBLOB : public ::testing::Test {
  protected:
    void SetUp() override {
        content = Compressible(2500);
        TSQLMemCompressedBLOBStream value(storage, Described(acaZLIB, 6, 1000));
        WriteAll(value, content);
        descriptor = value.Descriptor();
        ASSERT_EQ(descriptor.block_count, 3);
        second = HeaderAt(storage, 0).next_block_offset;
    }

    void PatchHeader(int64_t position,
                     const std::function<void(TSQLMemCompressedStreamBlockHeader&)>& change) {
        auto header = HeaderAt(storage, position);
        change(header);
        std::array<std::byte, TSQLMemCompressedStreamBlockHeader::kSize> raw{};
        header.Encode(raw);
        PutBytes(storage, position, Bytes(raw.begin(), raw.end()));
    }

    Bytes content;
    TSQLMemMemoryStream storage;
    TSQLMemBLOBDescriptor descriptor;
    int64_t second = 0;
};

TEST_F(DamagedBLOB, WrongChecksumAndSizeAreCaughtWhenTheBlockIsRead) {
    const auto header = HeaderAt(storage, second);
    PatchHeader(second, [](auto& h) { h.checksum ^= 1; });
    TSQLMemCompressedBLOBStream value(storage, descriptor);
    Bytes some(10);
    EXPECT_EQ(value.Read(some), 10u);  // the first block is sound
    ASSERT_TRUE(value.SetPosition(1500));
    ExpectEngineError([&] { (void)value.Read(some); }, 10089,
                      "Decompress buffer failed. CheckSum = " + std::to_string(header.checksum) +
                          ", Header.Crc32 = " + std::to_string(header.checksum ^ 1));

    const int64_t last = second + header.next_block_offset;
    PatchHeader(last, [](auto& h) { h.uncompressed_size = 900; });
    TSQLMemCompressedBLOBStream longer(storage, descriptor);
    ASSERT_TRUE(longer.SetPosition(2100));
    ExpectEngineError([&] { (void)longer.Read(some); }, 10088,
                      "Decompress buffer failed. UncompSize = 500, Header.UncompSize = 900");
}

TEST_F(DamagedBLOB, FlippedDataFailsToDecompress) {
    const auto header = HeaderAt(storage, 0);
    Bytes data(static_cast<size_t>(header.compressed_size));
    ASSERT_TRUE(storage.SetPosition(20));
    LoadDataFromStream(storage, data, 1);
    data[data.size() / 2] ^= std::byte{0x55};
    PutBytes(storage, 20, data);
    TSQLMemCompressedBLOBStream value(storage, descriptor);
    Bytes some(10);
    ExpectEngineError([&] { (void)value.Read(some); }, 10087,
                      "Decompress buffer failed. CompAlg = 1, InSize = " +
                          std::to_string(header.compressed_size) + ", OutSize = 1000");
}

TEST_F(DamagedBLOB, TruncatedStorageAndHostileDescriptorsRaiseWhenOpened) {
    const int64_t full = storage.Size();
    {
        TSQLMemCompressedBLOBStream value(storage, descriptor);
        ASSERT_TRUE(storage.SetSize(full - 5));
        ASSERT_TRUE(value.SetPosition(2400));
        Bytes some(10);
        const auto last = HeaderAt(storage, second + HeaderAt(storage, second).next_block_offset);
        ExpectEngineError(
            [&] { (void)value.Read(some); }, 10086,
            "Cannot read from stream. Position = " + std::to_string(full - last.compressed_size) +
                ", Stream size = " + std::to_string(full - 5) +
                ", Block size = " + std::to_string(last.compressed_size) + ", Bytes Read = 0");
    }
    ExpectEngineError([&] { TSQLMemCompressedBLOBStream value(storage, descriptor); }, 10082,
                      "Stream size = " + std::to_string(full - 5) +
                          " too small. Should be at least = " + std::to_string(full));
    ASSERT_TRUE(storage.SetSize(full));

    TSQLMemBLOBDescriptor hostile = descriptor;
    hostile.block_count = int64_t{1} << 60;
    EXPECT_EQ(ErrorCode([&] { TSQLMemCompressedBLOBStream value(storage, hostile); }), 10088);
    hostile = descriptor;
    hostile.start_position = full + 1;
    ExpectEngineError([&] { TSQLMemCompressedBLOBStream value(storage, hostile); }, 10080,
                      "Cannot set stream position to " + std::to_string(full + 1) +
                          ". Position = " + std::to_string(storage.Position()) +
                          ", Size = " + std::to_string(full));
    hostile = descriptor;
    hostile.block_size = 1 << 30;
    EXPECT_EQ(ErrorCode([&] { TSQLMemCompressedBLOBStream value(storage, hostile); }), 10088);

    PatchHeader(0, [](auto& h) { h.next_block_offset = 5; });
    EXPECT_EQ(ErrorCode([&] { TSQLMemCompressedBLOBStream value(storage, descriptor); }), 10083);
    PatchHeader(0, [](auto& h) { h.next_block_offset = int64_t{1} << 40; });
    EXPECT_EQ(ErrorCode([&] { TSQLMemCompressedBLOBStream value(storage, descriptor); }), 10083);
    PatchHeader(0, [](auto& h) {
        h.next_block_offset = 20 + h.compressed_size;
        h.compressed_size = 1 << 30;
    });
    EXPECT_EQ(ErrorCode([&] { TSQLMemCompressedBLOBStream value(storage, descriptor); }), 10082);
}

TEST_F(DamagedBLOB, AnyFlippedStoredByteRaisesOrReadsTheTrueContent) {
    const Bytes pristine = ReadAll(storage);
    for (size_t at = 0; at < pristine.size(); ++at) {
        for (std::byte mask : {std::byte{0x01}, std::byte{0x80}}) {
            Bytes damaged = pristine;
            damaged[at] ^= mask;
            TSQLMemMemoryStream copy;
            WriteAll(copy, damaged);
            try {
                EXPECT_EQ(ReadValue(copy, descriptor), content) << "byte " << at;
            } catch (const ESQLMemException& error) {
                const int code = error.Code().value_or(0);
                EXPECT_TRUE(code >= 10080 && code <= 10089) << "byte " << at << ": " << code;
            }
        }
    }
}

TEST(CompressedBLOB, WriteFailuresRaiseTheirCodes) {
    TSQLMemMemoryStream storage;
    {
        TSQLMemCompressedBLOBStream value(storage, Described(acaBZIP, 0));
        ExpectEngineError([&] { WriteAll(value, TextBytes("0123456789")); }, 10085,
                          "Compress buffer failed. CompAlg = 2, CompMode = 0, InSize = 10, "
                          "OutSize = 0");
        EXPECT_EQ(value.Descriptor().block_count, 0);
    }
    TSQLMemCompressedBLOBStream ppm(storage, Described(acaPPM, 5));
    EXPECT_EQ(ErrorCode([&] { WriteAll(ppm, TextBytes("abc")); }), 10085);

    std::array<std::byte, 10> tiny{};
    TSQLMemMemoryStream tiny_storage(tiny);
    TSQLMemCompressedBLOBStream no_room_for_header(tiny_storage, Described(acaZLIB, 1, 0, 0));
    EXPECT_EQ(ErrorCode([&] { WriteAll(no_room_for_header, TextBytes("abc")); }), 10100);
    std::array<std::byte, 25> small{};
    TSQLMemMemoryStream small_storage(small);
    TSQLMemCompressedBLOBStream no_room_for_data(small_storage, Described(acaZLIB, 1));
    EXPECT_EQ(ErrorCode([&] { WriteAll(no_room_for_data, Incompressible(100, 1)); }), 10101);
    TSQLMemCompressedBLOBStream plain(small_storage, Described(acaNone, 0, 0, 20));
    EXPECT_EQ(ErrorCode([&] { WriteAll(plain, TextBytes("0123456789")); }), 10101);
}

}  // namespace
}  // namespace tapir::engine
