#include "platform/program_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "platform/exception.h"

namespace tapir::platform {
namespace {

namespace fs = std::filesystem;

class ProgramDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("tapir-program-dir-" +
                 std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_ / "prefix" / "bin");
        fs::create_directories(root_ / "build" / "app");
    }
    void TearDown() override { fs::remove_all(root_); }

    void MarkInstalled() {
        fs::create_directories(root_ / "prefix" / "share" / "applications");
        std::ofstream(root_ / "prefix" / "share" / "applications" / "tapir.desktop")
            << "[Desktop Entry]\n";
    }

    EnvironmentReader Environment() const {
        return [this](const char* name) -> const char* {
            const auto found = environment_.find(name);
            return found == environment_.end() ? nullptr : found->second.c_str();
        };
    }

    std::string Bin() const { return (root_ / "prefix" / "bin").string(); }

    fs::path root_;
    std::map<std::string, std::string> environment_;
};

TEST_F(ProgramDirTest, BuildTreeAndWorkdirUseTheirOwnFolders) {
    const std::string build_app = (root_ / "build" / "app").string();
    EXPECT_FALSE(IsInstalledLayout(build_app));
    EXPECT_EQ(ResolveProgramDir("", build_app, Environment()), build_app + "/");
    // A bin folder without the desktop entry beside it is not an installation.
    EXPECT_FALSE(IsInstalledLayout(Bin()));
    EXPECT_EQ(ResolveProgramDir("", Bin() + "/", Environment()), Bin() + "/");
    MarkInstalled();
    EXPECT_EQ(ResolveProgramDir("/somewhere/else", Bin(), Environment()), "/somewhere/else/");
}

TEST_F(ProgramDirTest, InstalledProgramKeepsItsFilesInTheUsersConfigurationFolder) {
    MarkInstalled();
    EXPECT_TRUE(IsInstalledLayout(Bin()));
    EXPECT_TRUE(IsInstalledLayout(Bin() + "/"));
    {
        SCOPED_TRACE("XDG_CONFIG_HOME");
        environment_["XDG_CONFIG_HOME"] = (root_ / "xdg").string();
        environment_["HOME"] = (root_ / "home").string();
        const std::string dir = ResolveProgramDir("", Bin(), Environment());
        EXPECT_EQ(dir, (root_ / "xdg" / "tapir").string() + "/");
        EXPECT_TRUE(fs::is_directory(dir));
    }
    {
        SCOPED_TRACE("relative XDG_CONFIG_HOME is ignored");
        environment_["XDG_CONFIG_HOME"] = "relative/config";
        EXPECT_EQ(ResolveProgramDir("", Bin(), Environment()),
                  (root_ / "home" / ".config" / "tapir").string() + "/");
        EXPECT_TRUE(fs::is_directory(root_ / "home" / ".config" / "tapir"));
    }
    {
        SCOPED_TRACE("no usable variable");
        environment_.clear();
        try {
            ResolveProgramDir("", Bin(), Environment());
            FAIL() << "expected an error";
        } catch (const tapir::Exception& error) {
            EXPECT_EQ(error.KindName(), "EInOutError");
        }
    }
    {
        SCOPED_TRACE("folder cannot be made");
        std::ofstream(root_ / "blocked") << "a file where the folder should go";
        environment_["XDG_CONFIG_HOME"] = (root_ / "blocked").string();
        try {
            ResolveProgramDir("", Bin(), Environment());
            FAIL() << "expected an error";
        } catch (const tapir::Exception& error) {
            EXPECT_EQ(error.KindName(), "EInOutError");
            EXPECT_NE(error.Message().find("Cannot create folder " +
                                           (root_ / "blocked" / "tapir").string()),
                      std::string::npos)
                << error.Message();
        }
    }
}

}  // namespace
}  // namespace tapir::platform
