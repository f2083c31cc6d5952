#include "platform/profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/settings.h"

namespace tapir::platform {
namespace {

namespace fs = std::filesystem;

class ProfileFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tapir_profile_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "config.ini").string();
    }
    void TearDown() override {
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(dir_);
    }

    void WriteFile(const std::string& text) {
        std::ofstream out(path_, std::ios::binary);
        out << text;
    }
    std::string ReadFile() const {
        std::ifstream in(path_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    fs::path dir_;
    std::string path_;
};

TEST_F(ProfileFileTest, ReadsCaseInsensitivelyAndTrims) {
    WriteFile(
        "; comment\n"
        "[Other]\nIp=10.0.0.9\n"
        "  [ du7025 ]  \r\n"
        "  IP  =   192.168.1.1  \r\n"
        "Username=\"  root  \"\n"
        "Password='secret'\n"
        "Quoted=\"half\n"
        "Empty=\n"
        "NoEquals\n"
        "[Next]\nUsername=other\n");
    EXPECT_EQ(ReadProfileString(path_, "DU7025", "ip", "x"), "192.168.1.1");
    EXPECT_EQ(ReadProfileString(path_, "DU7025", "Username", "x"), "  root  ");
    EXPECT_EQ(ReadProfileString(path_, "DU7025", "Password", "x"), "secret");
    EXPECT_EQ(ReadProfileString(path_, "DU7025", "Quoted", "x"), "\"half");
    EXPECT_EQ(ReadProfileString(path_, "DU7025", "Empty", "x"), "");
    EXPECT_EQ(ReadProfileString(path_, "DU7025", "NoEquals", "x"), "x");
    EXPECT_EQ(ReadProfileString(path_, "DU7025", "Missing", "fallback"), "fallback");
    EXPECT_EQ(ReadProfileString(path_, "Nope", "Ip", "d"), "d");
    EXPECT_EQ(ReadProfileString(path_ + ".absent", "DU7025", "Ip", "d"), "d");
}

TEST_F(ProfileFileTest, LongValuesAreCutTo2047Bytes) {
    const std::string long_value(3000, 'a');
    WriteFile("[S]\nK=" + long_value + "\nU=" + std::string(2046, 'b') + "\xC3\xA9" + "\n");
    EXPECT_EQ(ReadProfileString(path_, "S", "K", ""), std::string(2047, 'a'));
    // A two-byte character straddling the limit is left out whole.
    EXPECT_EQ(ReadProfileString(path_, "S", "U", ""), std::string(2046, 'b'));
}

TEST_F(ProfileFileTest, IntegerText) {
    struct Case {
        const char* text;
        int32_t expected;
    };
    const Case cases[] = {
        {"0x10", 16},
        {"0X1f", 31},
        {"$10", 16},
        {"-$10", -16},
        {"-2", -2},
        {"+7", 7},
        {"abc", 99},
        {"", 99},
        {"0x", 99},
        {"0", 0},
        {"12abc", 99},
        {"1 2", 99},
        {"0xFFFFFFFF", -1},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
        {"2147483648", 99},
        {"0x100000000", 99},
        {"0xg", 99},
        {"-0x10", 99},
        {"$", 99},
        {"-", 99},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ParseProfileInteger(c.text, 99), c.expected);
    }
    WriteFile("[S]\nA= 0x10 \nB=\"-2\"\nC=yes\nD=2\nE=0\n");
    EXPECT_EQ(ReadProfileInteger(path_, "S", "A", 5), 16);
    EXPECT_EQ(ReadProfileInteger(path_, "S", "B", 5), -2);
    EXPECT_EQ(ReadProfileInteger(path_, "S", "C", 5), 5);
    EXPECT_TRUE(ReadProfileBool(path_, "S", "C", true));
    EXPECT_FALSE(ReadProfileBool(path_, "S", "C", false));
    EXPECT_TRUE(ReadProfileBool(path_, "S", "D", false));
    EXPECT_FALSE(ReadProfileBool(path_, "S", "E", true));
    EXPECT_TRUE(ReadProfileBool(path_, "S", "Missing", true));
}

TEST_F(ProfileFileTest, WriteKeepsEverythingElse) {
    const std::string original =
        "; settings\n"
        "[Other]\n"
        "Ip=10.0.0.9\n"
        "\n"
        "[du7025]\n"
        "IP=1.1.1.1\n"
        "Extra = keep me\n"
        "\n"
        "[Last]\n"
        "X=1\n";
    WriteFile(original);
    ASSERT_TRUE(WriteProfileString(path_, "DU7025", "Ip", "192.168.1.1"));
    ASSERT_TRUE(WriteProfileString(path_, "DU7025", "Username", "root"));
    ASSERT_TRUE(WriteProfileString(path_, "Brand", "New", "v"));
    EXPECT_EQ(ReadFile(),
              "; settings\n"
              "[Other]\n"
              "Ip=10.0.0.9\n"
              "\n"
              "[du7025]\n"
              "IP=192.168.1.1\n"
              "Extra = keep me\n"
              "Username=root\n"
              "\n"
              "[Last]\n"
              "X=1\n"
              "\n"
              "[Brand]\n"
              "New=v\n");
}

TEST_F(ProfileFileTest, WriteKeepsCrLfFiles) {
    WriteFile("[S]\r\nA=1\r\n");
    ASSERT_TRUE(WriteProfileString(path_, "S", "B", "2"));
    EXPECT_EQ(ReadFile(), "[S]\r\nA=1\r\nB=2\r\n");
}

TEST_F(ProfileFileTest, ByteOrderMarkIsSkippedAndKept) {
    WriteFile("\xEF\xBB\xBF[DU7025]\r\nIp=10.0.0.1\r\n");
    EXPECT_EQ(ReadProfileString(path_, "DU7025", "Ip", ""), "10.0.0.1");
    ASSERT_TRUE(WriteProfileString(path_, "DU7025", "Ip", "10.0.0.2"));
    EXPECT_EQ(ReadFile(), "\xEF\xBB\xBF[DU7025]\r\nIp=10.0.0.2\r\n");
}

TEST_F(ProfileFileTest, ValuesRoundTripExactly) {
    for (const std::string value : {"plain", " padded ", "\"quoted\"", "'single'", "", "a=b;c"}) {
        SCOPED_TRACE(value);
        ASSERT_TRUE(WriteProfileString(path_, "S", "K", value));
        EXPECT_EQ(ReadProfileString(path_, "S", "K", "?"), value);
    }
}

TEST_F(ProfileFileTest, RefusesWhatWouldNotReadBack) {
    WriteFile("[S]\nA=1\n");
    EXPECT_FALSE(WriteProfileString(path_, "S", "A", "two\nlines"));
    EXPECT_FALSE(WriteProfileString(path_, "S", "a=b", "1"));
    EXPECT_FALSE(WriteProfileString(path_, "S]", "A", "1"));
    EXPECT_FALSE(WriteProfileString(path_, "", "A", "1"));
    EXPECT_FALSE(WriteProfileString(path_, "S", " ", "1"));
    EXPECT_EQ(ReadFile(), "[S]\nA=1\n");
}

TEST_F(ProfileFileTest, MissingDirectoryFails) {
    EXPECT_FALSE(WriteProfileString((dir_ / "missing_dir" / "x.ini").string(), "S", "A", "1"));
    // A directory where the file should be: reads give defaults, writes fail.
    fs::create_directory(dir_ / "is_a_dir");
    const std::string dir_path = (dir_ / "is_a_dir").string();
    EXPECT_EQ(ReadProfileString(dir_path, "S", "A", "d"), "d");
    EXPECT_FALSE(WriteProfileString(dir_path, "S", "A", "1"));
    EXPECT_TRUE(fs::is_directory(dir_path));
}

TEST_F(ProfileFileTest, ReadOnlyFileFailsAndStaysAsItWas) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "permissions do not bind root";
    }
    WriteFile("[S]\nA=1\n");
    ::chmod(path_.c_str(), 0444);
    EXPECT_FALSE(WriteProfileString(path_, "S", "A", "2"));
    EXPECT_EQ(ReadProfileString(path_, "S", "A", ""), "1");
}

// ---- Settings ----

using SettingsFileTest = ProfileFileTest;

TEST_F(SettingsFileTest, NewFileInTheStatedOrder) {
    Settings settings;
    settings.Ip = " 192.168.1.1 ";
    settings.Username = "root";
    settings.Password = "";
    settings.UTC_Offset = -2;
    settings.UTC_Auto = true;
    settings.FtpPort = 2121;  // never written
    WriteSettings(path_, settings);
    EXPECT_EQ(ReadFile(),
              "[DU7025]\n"
              "Ip=192.168.1.1\n"
              "Username=root\n"
              "Password=\n"
              "UTC_Offset=-2\n"
              "UTC_Auto=1\n");
    const Settings back = ReadSettings(path_);
    EXPECT_EQ(back.Ip, "192.168.1.1");
    EXPECT_EQ(back.UTC_Offset, -2);
    EXPECT_TRUE(back.UTC_Auto);
    EXPECT_EQ(back.FtpPort, 21);
}

TEST_F(SettingsFileTest, ExistingFileKeepsOtherKeysAndAppendsMissingOnes) {
    WriteFile(
        "[DU7025]\n"
        "utc_auto=1\n"
        "IP=old\n"
        "FtpPort=2121\n"
        "Prompt=box#\n"
        "\n"
        "[Window]\n"
        "Left=10\n");
    Settings settings = ReadSettings(path_);
    settings.Ip = "10.0.0.2";
    settings.UTC_Auto = false;
    settings.Password = "pw";
    WriteSettings(path_, settings);
    EXPECT_EQ(ReadFile(),
              "[DU7025]\n"
              "utc_auto=0\n"
              "IP=10.0.0.2\n"
              "FtpPort=2121\n"
              "Prompt=box#\n"
              "Username=\n"
              "Password=pw\n"
              "UTC_Offset=0\n"
              "\n"
              "[Window]\n"
              "Left=10\n");
    const Settings back = ReadSettings(path_);
    EXPECT_FALSE(back.UTC_Auto);
    EXPECT_EQ(back.FtpPort, 2121);
    EXPECT_EQ(back.TelnetPort, 23);
    EXPECT_EQ(back.Prompt, "box#");
}

TEST_F(SettingsFileTest, ReadingEdgeCases) {
    struct Case {
        const char* body;
        int32_t offset;
        bool automatic;
    };
    const Case cases[] = {
        {"UTC_Auto=0\n", 0, false},
        {"UTC_Auto=2\n", 0, true},
        {"UTC_Auto=yes\n", 0, true},
        {"UTC_Offset=0x10\n", 16, true},
        {"UTC_Offset=abc\n", 0, true},
        {"UTC_Offset=-2\n", -2, true},
        {"UTC_Auto=\nUTC_Offset=\n", 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        WriteFile(std::string("[DU7025]\n") + c.body);
        const Settings settings = ReadSettings(path_);
        EXPECT_EQ(settings.UTC_Offset, c.offset);
        EXPECT_EQ(settings.UTC_Auto, c.automatic);
    }
}

TEST_F(SettingsFileTest, FileWithoutTheSectionReadsDefaults) {
    WriteFile("[Other]\nIp=10.0.0.1\nUTC_Auto=0\nFtpPort=99\n");
    const Settings settings = ReadSettings(path_);
    EXPECT_EQ(settings.Ip, "");
    EXPECT_EQ(settings.Username, "");
    EXPECT_EQ(settings.Password, "");
    EXPECT_EQ(settings.UTC_Offset, 0);
    EXPECT_TRUE(settings.UTC_Auto);
    EXPECT_EQ(settings.FtpPort, 21);
    EXPECT_EQ(settings.TelnetPort, 23);
    EXPECT_EQ(settings.Prompt, "root@dm7025");
    EXPECT_EQ(settings.ConnectTimeout, 10);
    EXPECT_EQ(settings.ReplyTimeout, 30);
    EXPECT_EQ(ReadSettings(path_ + ".missing").Prompt, "root@dm7025");
}

TEST_F(SettingsFileTest, TimeLimits) {
    struct Case {
        const char* body;
        int connect;
        int reply;
    };
    const Case cases[] = {
        {"ConnectTimeout=2\nReplyTimeout=5\n", 2, 5},
        {"connecttimeout= 3 \nREPLYTIMEOUT=\"60\"\n", 3, 60},
        {"ConnectTimeout=0\nReplyTimeout=-5\n", 10, 30},  // never "no limit"
        {"ConnectTimeout=3601\nReplyTimeout=3600\n", 10, 3600},
        {"ConnectTimeout=abc\nReplyTimeout=\n", 10, 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        WriteFile(std::string("[DU7025]\n") + c.body);
        const Settings settings = ReadSettings(path_);
        EXPECT_EQ(settings.ConnectTimeout, c.connect);
        EXPECT_EQ(settings.ReplyTimeout, c.reply);
    }
    // Read only: saving the settings leaves the keys as they were.
    WriteFile("[DU7025]\nReplyTimeout=7\n");
    WriteSettings(path_, ReadSettings(path_));
    EXPECT_EQ(ReadSettings(path_).ReplyTimeout, 7);
    EXPECT_EQ(ReadFile().find("ConnectTimeout"), std::string::npos);
}

TEST_F(SettingsFileTest, OptionalPortsAndPrompt) {
    WriteFile("[DU7025]\nFtpPort=0x834\nTelnetPort=70000\nPrompt=\n");
    const Settings settings = ReadSettings(path_);
    EXPECT_EQ(settings.FtpPort, 2100);
    EXPECT_EQ(settings.TelnetPort, 23);  // out of range: default
    EXPECT_EQ(settings.Prompt, "root@dm7025");
}

TEST_F(SettingsFileTest, Caption) {
    Settings settings;
    EXPECT_EQ(MainCaption(settings), "Tapir  :   (v0.1)");
    settings.Ip = "192.168.1.1";
    EXPECT_EQ(MainCaption(settings), "Tapir  192.168.1.1:   (v0.1)");
}

TEST_F(SettingsFileTest, UnwritableFileRaises) {
    const std::string target = (dir_ / "no_such_dir" / "config.ini").string();
    try {
        WriteSettings(target, Settings{});
        FAIL() << "no error";
    } catch (const EIniFileException& e) {
        EXPECT_EQ(e.KindName(), "EIniFileException");
        EXPECT_EQ(e.Message(), "Unable to write to " + target);
    }
}

}  // namespace
}  // namespace tapir::platform
