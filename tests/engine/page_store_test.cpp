#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/pages/bits_array.h"
#include "engine/pages/sqlmem_memory_page_manager.h"
#include "engine/pages/sqlmem_temporary_page_manager.h"
#include "engine/pages/sqlmem_temporary_record_manager.h"
#include "engine/record/db_types.h"

namespace tapir::engine {
namespace {

constexpr ConnectionID kFirst = 1;
constexpr ConnectionID kSecond = 2;

// Runs `action` and checks that it raises ESQLMemException with `code` and `message`.
void ExpectEngineError(const std::function<void()>& action, int code, const std::string& message) {
    try {
        action();
        ADD_FAILURE() << "no error, expected " << code;
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), code);
        EXPECT_EQ(error.BareMessage(), message);
    }
}

void Fill(const PageHandle& page, uint8_t value, int32_t size) {
    std::memset(page.Data(), value, static_cast<size_t>(size));
}

uint8_t FirstByte(const PageHandle& page) { return std::to_integer<uint8_t>(page.Data()[0]); }

bool FileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// Adds `count` pages for the connection, each filled with its own number, and applies.
std::vector<int32_t> AddFilledPages(TSQLMemPageManager& store, int count) {
    std::vector<int32_t> numbers;
    for (int i = 0; i < count; ++i) {
        PageHandle page = store.AddPage(kFirst);
        Fill(page, static_cast<uint8_t>(page.PageNo() + 1), store.PageSize());
        numbers.push_back(page.PageNo());
    }
    store.ApplyChanges(kFirst);
    return numbers;
}

void ReleaseAll(TSQLMemPageManager& store, const std::vector<int32_t>& numbers) {
    for (const int32_t number : numbers) {
        store.RemovePage(kFirst, number);
    }
    store.ApplyChanges(kFirst);
}

TEST(BitsArray, SetsFindsAndGrowsKeepingBits) {
    TSQLMemBitsArray bits;
    EXPECT_EQ(bits.Find(false), -1);
    bits.Resize(20);
    EXPECT_EQ(bits.Find(false), 0);
    EXPECT_EQ(bits.Find(true), -1);
    bits.SetBit(0, true);
    bits.SetBit(9, true);
    bits.SetBit(9, true);
    EXPECT_EQ(bits.SetBitCount(), 2);
    EXPECT_EQ(bits.Find(false), 1);
    EXPECT_EQ(bits.Find(true), 0);
    for (int i = 0; i < 20; ++i) {
        bits.SetBit(i, true);
    }
    EXPECT_EQ(bits.Find(false), -1);
    bits.Resize(30);
    EXPECT_EQ(bits.Find(false), 20);
    EXPECT_TRUE(bits.GetBit(19));
    EXPECT_EQ(bits.SetBitCount(), 20);
    bits.Resize(10);
    EXPECT_EQ(bits.SetBitCount(), 10);
    ExpectEngineError([&] { (void)bits.GetBit(10); }, 10394,
                      "Invalid bit no = 10, number of bits = 10");
    ExpectEngineError([&] { bits.SetBit(-1, true); }, 10395,
                      "Invalid bit no = -1, number of bits = 10");
}

TEST(BitsArray, StreamFormIsCountsThenLeastSignificantFirstBytes) {
    TSQLMemBitsArray bits;
    bits.Resize(10);
    bits.SetBit(1, true);
    bits.SetBit(8, true);
    VectorByteSink sink;
    bits.SaveToStream(sink, {1, 2, 3});
    const std::vector<uint8_t> expected = {10, 0, 0, 0, 2, 0, 0, 0, 0x02, 0x01};
    ASSERT_EQ(sink.Bytes().size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(std::to_integer<uint8_t>(sink.Bytes()[i]), expected[i]) << i;
    }
    // A set-bit count that disagrees with the bits is refused.
    std::vector<std::byte> damaged = sink.Bytes();
    damaged[4] = std::byte{3};
    SpanByteSource source(damaged);
    TSQLMemBitsArray loaded;
    ExpectEngineError(
        [&] {
            loaded.LoadFromStream(source, {1, 2, 3});
        },
        3, "Invalid bit array in stream");
}

class PageStoreTest : public ::testing::Test {
  protected:
    TSQLMemMemoryPageManager store_;
};

TEST_F(PageStoreTest, AddedPagesAreLentDirtyAndInTheChangedList) {
    PageHandle first = store_.AddPage(kFirst);
    PageHandle second = store_.AddPage(kFirst);
    EXPECT_EQ(first.PageNo(), 0);
    EXPECT_EQ(second.PageNo(), 1);
    EXPECT_EQ(first->UseCount(), 1);
    EXPECT_TRUE(first->IsDirty());
    EXPECT_FALSE(first->OwnBuffer());
    EXPECT_EQ(store_.GetPageCount(), 2);
    EXPECT_EQ(store_.Capacity(), 50);
    EXPECT_EQ(store_.ChangedPageNumbers(kFirst), (std::vector<int32_t>{0, 1}));
    EXPECT_TRUE(store_.CachedPageNumbers().empty());

    // A second loan by the same connection counts up; returns count down.
    PageHandle again = store_.GetPage(kFirst, 0);
    EXPECT_EQ(again.Get(), first.Get());
    EXPECT_EQ(first->UseCount(), 2);
    again.Release();
    EXPECT_EQ(first->UseCount(), 1);
    first.Release();
    second.Release();
    store_.ApplyChanges(kFirst);
    EXPECT_TRUE(store_.ChangedPageNumbers(kFirst).empty());
    EXPECT_EQ(store_.CachedPageNumbers(), (std::vector<int32_t>{0, 1}));
    ReleaseAll(store_, {0, 1});
    EXPECT_NO_THROW(store_.Close());
}

TEST_F(PageStoreTest, ReleasedNumberIsReusedOnlyAfterApply) {
    const std::vector<int32_t> numbers = AddFilledPages(store_, 5);
    store_.RemovePage(kFirst, 3);
    {
        PageHandle page = store_.AddPage(kFirst);
        EXPECT_EQ(page.PageNo(), 5);
    }
    store_.ApplyChanges(kFirst);
    EXPECT_EQ(store_.GetPageCount(), 5);
    {
        PageHandle page = store_.AddPage(kFirst);
        EXPECT_EQ(page.PageNo(), 3);
    }
    store_.ApplyChanges(kFirst);
    ReleaseAll(store_, {0, 1, 2, 3, 4, 5});
    EXPECT_EQ(store_.GetPageCount(), 0);
}

TEST_F(PageStoreTest, ApplyDropsReleasedPagesFromTheCache) {
    AddFilledPages(store_, 3);
    { PageHandle page = store_.GetPage(kFirst, 1); }
    EXPECT_EQ(store_.CachedPageNumbers(), (std::vector<int32_t>{0, 2, 1}));
    store_.RemovePage(kFirst, 1);
    EXPECT_EQ(store_.CachedPageNumbers(), (std::vector<int32_t>{0, 2, 1}));
    store_.ApplyChanges(kFirst);
    EXPECT_EQ(store_.CachedPageNumbers(), (std::vector<int32_t>{0, 2}));
    ExpectEngineError([&] { (void)store_.GetPage(kFirst, 1); }, 10392,
                      "Not released page is allocated");
    ReleaseAll(store_, {0, 2});
}

TEST_F(PageStoreTest, CacheKeepsThirtyCleanPagesAndEvictsTheOldestReturned) {
    const std::vector<int32_t> numbers = AddFilledPages(store_, 31);
    // After apply all 31 went to the cache; the next return trims it.
    { PageHandle page = store_.GetPage(kFirst, 30); }
    std::vector<int32_t> cached = store_.CachedPageNumbers();
    ASSERT_EQ(cached.size(), 30u);
    EXPECT_EQ(cached.front(), 1);
    EXPECT_EQ(cached.back(), 30);
    // The evicted page reads back from its slot with its bytes.
    PageHandle page = store_.GetPage(kFirst, 0);
    EXPECT_EQ(FirstByte(page), 1);
    page.Release();
    ReleaseAll(store_, numbers);
}

TEST_F(PageStoreTest, PagesOnLoanAreNotEvicted) {
    const std::vector<int32_t> numbers = AddFilledPages(store_, 31);
    PageHandle held = store_.GetPage(kFirst, 0);
    { PageHandle other = store_.GetPage(kFirst, 5); }
    const std::vector<int32_t> cached = store_.CachedPageNumbers();
    EXPECT_EQ(cached.size(), 30u);
    EXPECT_EQ(cached.front(), 0);
    held.Release();
    ReleaseAll(store_, numbers);
}

TEST_F(PageStoreTest, AnotherConnectionCannotBorrowALentPage) {
    AddFilledPages(store_, 2);
    PageHandle held = store_.GetPage(kFirst, 1);
    ExpectEngineError([&] { (void)store_.GetPage(kSecond, 1); }, 20090,
                      "Page is used by other session");
    held.Release();
    PageHandle now = store_.GetPage(kSecond, 1);
    EXPECT_EQ(now->ConnectionID(), kSecond);
    now.Release();
    ReleaseAll(store_, {0, 1});
}

TEST_F(PageStoreTest, ReturnErrors) {
    AddFilledPages(store_, 1);
    TSQLMemPage* raw = nullptr;
    {
        PageHandle page = store_.GetPage(kFirst, 0);
        raw = page.Get();
    }
    ExpectEngineError([&] { store_.PutPage(raw); }, 10665,
                      "Error - invalid use count = -1, pageNo = 0");
    TSQLMemPage unnumbered(store_, store_.PageSize(), 0);
    ExpectEngineError([&] { store_.PutPage(&unnumbered); }, 20065, "Invalid page number");

    // A page dropped from every list while on loan cannot be returned.
    PageHandle held = store_.GetPage(kFirst, 0);
    store_.RemovePage(kFirst, 0);
    store_.ApplyChanges(kFirst);
    ExpectEngineError([&] { held.Release(); }, 20040, "Used page was released too early");
    EXPECT_EQ(store_.GetPageCount(), 0);
}

TEST_F(PageStoreTest, ApplyAndCancelRefusePagesStillOnLoan) {
    PageHandle page = store_.AddPage(kFirst);
    ExpectEngineError([&] { store_.ApplyChanges(kFirst); }, 10823,
                      "Cannot remove used page, pageNo = 0, UseCount = 1");
    ExpectEngineError([&] { store_.CancelChanges(kFirst); }, 10821,
                      "Cannot remove used page, pageNo = 0, UseCount = 1");
    page.Release();
    store_.CancelChanges(kFirst);
    EXPECT_EQ(store_.GetPageCount(), 0);
    EXPECT_TRUE(store_.ChangedPageNumbers(kFirst).empty());
}

TEST_F(PageStoreTest, ChangedPagesMustBeDirtyAtApplyAndCancel) {
    PageHandle page = store_.AddPage(kFirst);
    page->SetIsDirty(false);
    page.Release();
    ExpectEngineError([&] { store_.ApplyChanges(kFirst); }, 10822, "Page is not dirty, pageNo = 0");
    ExpectEngineError([&] { store_.CancelChanges(kFirst); }, 10820,
                      "Page is not dirty, pageNo = 0");
}

TEST_F(PageStoreTest, CancelFreesAddedPagesAndKeepsInPlaceEditsOnly) {
    AddFilledPages(store_, 2);
    {
        PageHandle added = store_.AddPage(kFirst);
        EXPECT_EQ(added.PageNo(), 2);
        // Edited in its slot.
        PageHandle in_place = store_.GetPage(kFirst, 0);
        Fill(in_place, 0xAA, 4);
        in_place.MarkDirty();
        // Edited in a private (enlarged) buffer.
        PageHandle enlarged = store_.GetPage(kFirst, 1);
        enlarged->EnlargePageBuffer(store_.PageSize() + 24);
        EXPECT_TRUE(enlarged->OwnBuffer());
        EXPECT_EQ(FirstByte(enlarged), 2);
        Fill(enlarged, 0xBB, 4);
        enlarged.MarkDirty();
    }
    // Handles go in reverse order, so the pages reach the list in that order.
    EXPECT_EQ(store_.ChangedPageNumbers(kFirst), (std::vector<int32_t>{2, 1, 0}));
    store_.CancelChanges(kFirst);
    EXPECT_EQ(store_.GetPageCount(), 2);
    EXPECT_EQ(FirstByte(store_.GetPage(kFirst, 0)), 0xAA);
    EXPECT_EQ(FirstByte(store_.GetPage(kFirst, 1)), 2);
    {
        PageHandle added = store_.AddPage(kFirst);
        EXPECT_EQ(added.PageNo(), 2);
    }
    store_.ApplyChanges(kFirst);
    ReleaseAll(store_, {0, 1, 2});
}

TEST_F(PageStoreTest, ApplyWritesEnlargedBuffersBackToTheSlot) {
    AddFilledPages(store_, 1);
    {
        PageHandle page = store_.GetPage(kFirst, 0);
        page->EnlargePageBuffer(store_.PageSize() + 10);
        page->EnlargePageBuffer(store_.PageSize() + 20);
        EXPECT_EQ(page->BufferSize(), store_.PageSize() + 20);
        Fill(page, 0x5C, store_.PageSize() + 20);
        page.MarkDirty();
        ExpectEngineError([&] { page->EnlargePageBuffer(100); }, 20039,
                          "Invalid page modification");
    }
    store_.ApplyChanges(kFirst);
    VectorByteSink sink;
    store_.SaveToStream(sink);
    const auto& bytes = sink.Bytes();
    // The slot follows the 20-byte header and the bit array of 50 bits (8 + 7 bytes).
    const size_t slot = 20 + 15;
    EXPECT_EQ(std::to_integer<uint8_t>(bytes[slot]), 0x5C);
    EXPECT_EQ(std::to_integer<uint8_t>(bytes[slot + store_.PageSize() - 1]), 0x5C);
    EXPECT_EQ(std::to_integer<uint8_t>(bytes[slot + store_.PageSize()]), 0);
    TSQLMemPage bare(store_, store_.PageSize(), 0);
    ExpectEngineError([&] { bare.EnlargePageBuffer(8192); }, 20038,
                      "Invalid page buffer. Buffer is Nil");
    ReleaseAll(store_, {0});
}

TEST_F(PageStoreTest, CloseReportsUncommittedAndAllocatedPages) {
    { PageHandle page = store_.AddPage(kFirst); }
    ExpectEngineError([&] { store_.Close(); }, 20097,
                      "Cannot free not commited pages, page manager classname = "
                      "TSQLMemMemoryPageManager");
    store_.ApplyChanges(kFirst);
    ExpectEngineError([&] { store_.Close(); }, 20023, "Index pages are not released");
    ReleaseAll(store_, {0});
    EXPECT_NO_THROW(store_.Close());
}

TEST(PageStore, PageSizeMustFitSixteenBits) {
    EXPECT_THROW(TSQLMemMemoryPageManager(70000), tapir::Exception);
    EXPECT_NO_THROW(TSQLMemMemoryPageManager(65535));
}

TEST(PageStoreStream, EmptyMemoryStoreIsHeaderAndEmptyBitArray) {
    TSQLMemMemoryPageManager store;
    VectorByteSink sink;
    store.SaveToStream(sink);
    const std::vector<uint8_t> expected = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 50, 0, 0, 0, 0, 0x10,
                                           0, 0, 0, 0, 0,    0,    0,    0,    0,  0, 0, 0, 0, 0};
    ASSERT_EQ(sink.Bytes().size(), 28u);
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(std::to_integer<uint8_t>(sink.Bytes()[i]), expected[i]) << "byte " << i;
    }
}

TEST(PageStoreStream, MemoryStoreRoundTripKeepsNumbersBitsAndBytes) {
    TSQLMemMemoryPageManager store(512);
    const std::vector<int32_t> numbers = AddFilledPages(store, 60);
    store.RemovePage(kFirst, 7);
    store.ApplyChanges(kFirst);
    VectorByteSink sink;
    store.SaveToStream(sink);
    EXPECT_EQ(sink.Bytes().size(), 20u + 8u + 13u + 100u * 512u);

    TSQLMemMemoryPageManager loaded(512);
    SpanByteSource source(sink.Bytes());
    loaded.LoadFromStream(source);
    EXPECT_EQ(loaded.GetPageCount(), 59);
    EXPECT_EQ(loaded.Capacity(), 100);
    EXPECT_EQ(loaded.MaxPageNo(), 59);
    EXPECT_FALSE(loaded.IsAllocated(7));
    EXPECT_EQ(FirstByte(loaded.GetPage(kFirst, 42)), 43);
    VectorByteSink again;
    loaded.SaveToStream(again);
    EXPECT_EQ(again.Bytes(), sink.Bytes());
    {
        PageHandle reused = loaded.AddPage(kFirst);
        EXPECT_EQ(reused.PageNo(), 7);
    }
    loaded.ApplyChanges(kFirst);
    ReleaseAll(loaded, numbers);
    ReleaseAll(store, numbers);
}

TEST(PageStoreStream, LoadingIsRefusedWhilePagesAreInUse) {
    TSQLMemMemoryPageManager source_store(256);
    VectorByteSink sink;
    source_store.SaveToStream(sink);
    TSQLMemMemoryPageManager store(256);
    const std::vector<int32_t> numbers = AddFilledPages(store, 2);
    {
        PageHandle lent = store.GetPage(kFirst, 1);
        SpanByteSource source(sink.Bytes());
        ExpectEngineError([&] { store.LoadFromStream(source); }, 10823,
                          "Cannot remove used page, pageNo = 1, UseCount = 1");
        EXPECT_EQ(FirstByte(lent), 2);
    }
    { PageHandle added = store.AddPage(kFirst); }
    SpanByteSource source(sink.Bytes());
    EXPECT_THROW(store.LoadFromStream(source), ESQLMemException);
    store.CancelChanges(kFirst);
    SpanByteSource again(sink.Bytes());
    store.LoadFromStream(again);
    EXPECT_EQ(store.GetPageCount(), 0);
}

TEST(PageStoreStream, DamagedMemoryStreamsRaiseErrors) {
    TSQLMemMemoryPageManager store(256);
    const std::vector<int32_t> numbers = AddFilledPages(store, 3);
    VectorByteSink sink;
    store.SaveToStream(sink);
    const std::vector<std::byte>& good = sink.Bytes();

    // Every truncation fails with the read error of the field it cuts.
    for (size_t length :
         {size_t{0}, size_t{3}, size_t{10}, size_t{19}, size_t{25}, size_t{40}, good.size() - 1}) {
        SCOPED_TRACE(length);
        TSQLMemMemoryPageManager target(256);
        SpanByteSource source(std::span(good.data(), length));
        try {
            target.LoadFromStream(source);
            ADD_FAILURE() << "truncated stream loaded";
        } catch (const ESQLMemException& error) {
            EXPECT_GE(error.Code().value_or(0), 10750);
            EXPECT_LE(error.Code().value_or(0), 10763);
        }
        EXPECT_EQ(target.GetPageCount(), 0);
    }
    {
        SpanByteSource source(std::span(good.data(), 3));
        TSQLMemMemoryPageManager target(256);
        ExpectEngineError([&] { target.LoadFromStream(source); }, 10750,
                          "Cannot read from stream. Position = 0, Stream size = 3, Block size = "
                          "4, Bytes Read = 3");
    }
    struct Damage {
        size_t offset;
        uint8_t value;
    };
    for (const Damage damage :
         {Damage{13, 0x10}, Damage{0, 0xFF}, Damage{16, 9}, Damage{3, 0x7F}, Damage{4, 0x70}}) {
        SCOPED_TRACE(damage.offset);
        std::vector<std::byte> bad = good;
        bad[damage.offset] = static_cast<std::byte>(damage.value);
        SpanByteSource source(bad);
        TSQLMemMemoryPageManager target(256);
        EXPECT_THROW(target.LoadFromStream(source), ESQLMemException);
    }
    ReleaseAll(store, numbers);
}

class TemporaryStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("tapir_pages_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        const char* old = std::getenv("TMPDIR");
        old_tmpdir_ = old ? std::optional<std::string>(old) : std::nullopt;
        ::setenv("TMPDIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        if (old_tmpdir_) {
            ::setenv("TMPDIR", old_tmpdir_->c_str(), 1);
        } else {
            ::unsetenv("TMPDIR");
        }
        std::filesystem::remove_all(dir_);
    }

    std::filesystem::path dir_;
    std::optional<std::string> old_tmpdir_;
};

TEST_F(TemporaryStoreTest, SpillsPagesPastTheBudgetToATemporaryFile) {
    std::string path;
    {
        TSQLMemTemporaryPageManager store(1024, 4);
        EXPECT_EQ(store.MemoryPageLimit(), 4);
        std::vector<int32_t> numbers = AddFilledPages(store, 4);
        EXPECT_TRUE(store.FilePath().empty());
        std::vector<int32_t> spilled = AddFilledPages(store, 36);
        EXPECT_EQ(spilled.front(), 4);
        EXPECT_EQ(spilled.back(), 39);
        path = store.FilePath();
        ASSERT_FALSE(path.empty());
        EXPECT_EQ(std::filesystem::path(path).parent_path(), dir_);
        EXPECT_EQ(std::filesystem::path(path).filename().string().rfind("SQLMem", 0), 0u);
        EXPECT_EQ(std::filesystem::file_size(path), 40u * 1024u);
        EXPECT_EQ(store.GetPageCount(), 40);
        // Pages 0..9 were evicted from the cache: they read back from memory and file.
        for (const int32_t number : {0, 3, 4, 9}) {
            PageHandle page = store.GetPage(kFirst, number);
            EXPECT_EQ(FirstByte(page), number + 1) << number;
            EXPECT_EQ(std::to_integer<uint8_t>(page.Data()[1023]), number + 1) << number;
        }
        // Released file pages are not handed out again; memory pages are.
        ReleaseAll(store, {2, 5});
        {
            PageHandle page = store.AddPage(kFirst);
            EXPECT_EQ(page.PageNo(), 40);
        }
        store.ApplyChanges(kFirst);
        numbers.insert(numbers.end(), spilled.begin(), spilled.end());
        numbers.push_back(40);
        std::erase(numbers, 2);
        std::erase(numbers, 5);
        ReleaseAll(store, numbers);
        EXPECT_NO_THROW(store.Close());
        EXPECT_TRUE(FileExists(path));
    }
    EXPECT_FALSE(FileExists(path));
}

TEST_F(TemporaryStoreTest, CloseReportsAllocatedPages) {
    TSQLMemTemporaryPageManager store(1024, 1);
    AddFilledPages(store, 2);
    ExpectEngineError([&] { store.Close(); }, 20036, "Index pages are not released");
    ReleaseAll(store, {0, 1});
    EXPECT_NO_THROW(store.Close());
}

TEST_F(TemporaryStoreTest, StreamRoundTripCarriesTheFile) {
    TSQLMemTemporaryPageManager store(512, 3);
    const std::vector<int32_t> numbers = AddFilledPages(store, 8);
    VectorByteSink sink;
    store.SaveToStream(sink);

    TSQLMemTemporaryPageManager loaded(512, 100);
    SpanByteSource source(sink.Bytes());
    loaded.LoadFromStream(source);
    EXPECT_EQ(loaded.MemoryPageLimit(), 3);
    EXPECT_EQ(loaded.NextPageNo(), 8);
    EXPECT_EQ(loaded.GetPageCount(), 8);
    for (const int32_t number : numbers) {
        EXPECT_EQ(FirstByte(loaded.GetPage(kFirst, number)), number + 1) << number;
    }
    VectorByteSink again;
    loaded.SaveToStream(again);
    EXPECT_EQ(again.Bytes(), sink.Bytes());

    // A stream cut inside the file bytes raises the read error of that field.
    SpanByteSource cut(std::span(sink.Bytes().data(), sink.Bytes().size() - 10));
    TSQLMemTemporaryPageManager target(512, 3);
    try {
        target.LoadFromStream(cut);
        ADD_FAILURE() << "cut stream loaded";
    } catch (const ESQLMemException& error) {
        EXPECT_TRUE(error.Code() == kInvalidPageStreamCode ||
                    error.Code() == static_cast<int>(TemporaryPageStreamCode::FileBytes) + 50);
    }
    ReleaseAll(loaded, numbers);
    ReleaseAll(store, numbers);
}

TEST_F(TemporaryStoreTest, RecordStoreSpillsPastItsMemoryLimitAndReadsEveryRecordBack) {
    constexpr int32_t kSize = 12;
    auto record = [](int n) {
        std::vector<std::byte> bytes(kSize, static_cast<std::byte>(n));
        bytes[0] = std::byte{0xEE};
        return bytes;
    };
    std::string path;
    {
        TSQLMemTemporaryRecordManager store(kSize, {2, 4, 3});
        EXPECT_EQ(store.MemoryRecordLimit(), 3);
        for (int n = 0; n < 10; ++n) {
            EXPECT_EQ(store.AddRecord(record(n).data()), static_cast<uint64_t>(n));
            EXPECT_EQ(store.FilePath().empty(), n < 4) << n;
        }
        EXPECT_EQ(store.RecordCount(), 10u);
        path = store.FilePath();
        EXPECT_EQ(std::filesystem::path(path).parent_path(), dir_);
        EXPECT_EQ(std::filesystem::path(path).filename().string().rfind("SQLMem", 0), 0u);
        // Records 3..8 are in the file; the last one still waits in the write buffer.
        EXPECT_EQ(std::filesystem::file_size(path), 6u * kSize);
        std::vector<std::byte> out(kSize);
        for (int n = 9; n >= 0; --n) {
            store.GetRecord(static_cast<uint64_t>(n), out.data());
            EXPECT_EQ(out, record(n)) << n;
        }
        ExpectEngineError([&] { store.GetRecord(10, out.data()); }, 10129,
                          "Invalid record number = 10, record count = 10");
        store.Empty();
        EXPECT_EQ(store.RecordCount(), 0u);
        EXPECT_FALSE(FileExists(path));
        EXPECT_EQ(store.AddRecord(record(1).data()), 0u);
    }
    ExpectEngineError([] { TSQLMemTemporaryRecordManager(0, {}); }, 10124,
                      "Invalid record size = 0");
}

}  // namespace
}  // namespace tapir::engine
