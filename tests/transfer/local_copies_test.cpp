// The backup folder of the timer list and the handling of the local copies of the
// receiver's files: naming and pruning of the timer copies, stale channel files moved
// aside after a download, the uploaded list adopted as the local copy.

#include "transfer/local_copies.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/date_time.h"
#include "transfer/errors.h"
#include "transfer/timer_backup.h"

namespace tapir::transfer {
namespace {

namespace fs = std::filesystem;

class LocalCopiesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("tapir-local-copies-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_);
        dir_ = root_.string() + "/";
    }
    void TearDown() override { fs::remove_all(root_); }

    void Write(const std::string& path, const std::string& text) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    fs::path root_;
    std::string dir_;
};

TEST_F(LocalCopiesTest, BackupNameCarriesTheLocalDateAndTime) {
    EXPECT_EQ(TimerBackupName(platform::EncodeDateTime(2027, 1, 10, 9, 5, 7)),
              "timers-20270110-090507.xml");
    EXPECT_EQ(TimerBackupName(platform::EncodeDateTime(2031, 12, 31, 23, 59, 59)),
              "timers-20311231-235959.xml");
    EXPECT_EQ(PrepareTimerBackupPath(dir_, platform::EncodeDateTime(2027, 1, 10, 9, 5, 7)),
              dir_ + "backup/timers-20270110-090507.xml");
    EXPECT_TRUE(fs::is_directory(dir_ + "backup"));
}

TEST_F(LocalCopiesTest, BackupFolderThatCannotBeCreatedIsAnError) {
    Write(dir_ + "backup", "a file where the folder should be");
    EXPECT_THROW((void)PrepareTimerBackupPath(dir_, platform::EncodeDateTime(2027, 1, 10, 9, 5, 7)),
                 EFCreateError);
}

TEST_F(LocalCopiesTest, PruningKeepsTheTenNewestAndLeavesOtherFiles) {
    fs::create_directories(dir_ + "backup/stale-20270101-000000");
    for (int day = 1; day <= 13; ++day) {
        Write(PrepareTimerBackupPath(dir_, platform::EncodeDateTime(2027, 1, day, 12, 0, 0)),
              std::to_string(day));
    }
    Write(dir_ + "backup/notes.txt", "mine");
    Write(dir_ + "backup/timers-2027011-120000.xml", "not a copy's name");
    ASSERT_EQ(TimerBackups(dir_).size(), 13u);

    const auto removed = PruneTimerBackups(dir_);
    ASSERT_EQ(removed.size(), 3u);
    EXPECT_EQ(removed[0], dir_ + "backup/timers-20270101-120000.xml");
    EXPECT_EQ(removed[2], dir_ + "backup/timers-20270103-120000.xml");
    const auto kept = TimerBackups(dir_);
    ASSERT_EQ(kept.size(), 10u);
    EXPECT_EQ(kept.front(), dir_ + "backup/timers-20270104-120000.xml");
    EXPECT_EQ(kept.back(), dir_ + "backup/timers-20270113-120000.xml");
    EXPECT_TRUE(fs::exists(dir_ + "backup/notes.txt"));
    EXPECT_TRUE(fs::exists(dir_ + "backup/timers-2027011-120000.xml"));
    EXPECT_TRUE(fs::is_directory(dir_ + "backup/stale-20270101-000000"));
    EXPECT_TRUE(PruneTimerBackups(dir_).empty());
}

TEST_F(LocalCopiesTest, ChannelFileNamesFollowTheDownloadPatterns) {
    for (const char* name : {"services", "lamedb", "bouquets.tv", "bouquets.radio",
                             "userbouquet.favourites.tv", "userbouquet.x.radio"}) {
        EXPECT_TRUE(IsChannelFileName(name)) << name;
    }
    for (const char* name : {"timers.xml", "timers.new", "config.ini", "userbouquet", "lamedb5",
                             "bouquets.tv.part", ""}) {
        EXPECT_FALSE(IsChannelFileName(name)) << name;
    }
}

TEST_F(LocalCopiesTest, ChannelFilesTheReceiverDidNotListAreMovedAside) {
    for (const char* name :
         {"services", "lamedb", "bouquets.tv", "bouquets.radio", "userbouquet.old.tv",
          "userbouquet.favourites.tv", "timers.xml", "config.ini"}) {
        Write(dir_ + name, name);
    }
    const auto moved =
        MoveStaleCopies(dir_, {"lamedb", "/etc/enigma2/bouquets.tv", "userbouquet.favourites.tv"},
                        platform::EncodeDateTime(2027, 1, 10, 12, 0, 0));
    EXPECT_EQ(moved,
              (std::vector<std::string>{"bouquets.radio", "services", "userbouquet.old.tv"}));
    const std::string stale = dir_ + "backup/stale-20270110-120000/";
    for (const char* name : {"bouquets.radio", "services", "userbouquet.old.tv"}) {
        EXPECT_FALSE(fs::exists(dir_ + name)) << name;
        EXPECT_EQ(Read(stale + name), name);
    }
    // The listed channel files, the timer list and the program's own files stay.
    for (const char* name :
         {"lamedb", "bouquets.tv", "userbouquet.favourites.tv", "timers.xml", "config.ini"}) {
        EXPECT_EQ(Read(dir_ + name), name) << name;
    }
    // Nothing stale: no folder is made.
    EXPECT_TRUE(MoveStaleCopies(dir_, {"lamedb", "bouquets.tv", "userbouquet.favourites.tv"},
                                platform::EncodeDateTime(2027, 1, 12, 0, 0, 0))
                    .empty());
    EXPECT_FALSE(fs::exists(dir_ + "backup/stale-20270112-000000"));
}

TEST_F(LocalCopiesTest, UploadedListBecomesTheLocalCopy) {
    Write(dir_ + "timers.xml", "old list");
    Write(dir_ + "timers.new", "uploaded list");
    AdoptUploadedTimers(dir_, "timers.new");
    EXPECT_EQ(Read(dir_ + "timers.xml"), "uploaded list");
    EXPECT_EQ(Read(dir_ + "timers.new"), "uploaded list");
    EXPECT_FALSE(fs::exists(dir_ + "timers.xml.part"));

    fs::remove(dir_ + "timers.new");
    EXPECT_THROW(AdoptUploadedTimers(dir_, "timers.new"), EFOpenError);
    EXPECT_EQ(Read(dir_ + "timers.xml"), "uploaded list");
}

}  // namespace
}  // namespace tapir::transfer
