// The download, upload and restart flows against real servers started on loopback ports:
// vsftpd, pyftpdlib, busybox telnetd, and the receiver simulator.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/settings.h"
#include "tests/transfer/loopback_peer.h"
#include "tests/transfer/server_process.h"
#include "tools/boxsim/box_simulator.h"
#include "transfer/box_transfer.h"
#include "transfer/errors.h"

namespace tapir::transfer {
namespace {

namespace fs = std::filesystem;
using testing::ServerProcess;
using testing::UnusedPort;

const fs::path kReceiverFiles = fs::path(TAPIR_SOURCE_DIR) / "testdata";

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

// A fresh directory under /tmp that other users may enter (servers may run as another user).
fs::path MakeTempDir(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        return {};
    }
    fs::permissions(pattern, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
    return pattern;
}

std::set<std::string> ReceiverFileNames() {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(kReceiverFiles)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

bool IsUserbouquet(const std::string& name) { return name.rfind("userbouquet", 0) == 0; }

enum class FtpServerKind { Vsftpd, Pyftpdlib, Boxsim };

std::string KindName(const ::testing::TestParamInfo<FtpServerKind>& info) {
    switch (info.param) {
        case FtpServerKind::Vsftpd:
            return "Vsftpd";
        case FtpServerKind::Pyftpdlib:
            return "Pyftpdlib";
        case FtpServerKind::Boxsim:
            return "Boxsim";
    }
    return "Unknown";
}

// One FTP server serving <root>/etc/enigma2 (a copy of the test receiver files) and a fresh
// program directory for the client.
class FtpServerTest : public ::testing::TestWithParam<FtpServerKind> {
  protected:
    void SetUp() override {
        root_ = MakeTempDir("tapir-ftp-root");
        program_dir_ = MakeTempDir("tapir-ftp-local");
        ASSERT_FALSE(root_.empty());
        ASSERT_FALSE(program_dir_.empty());
        box_dir_ = root_ / "etc" / "enigma2";
        fs::create_directories(box_dir_);
        fs::permissions(root_ / "etc", fs::perms(0755));
        for (const auto& entry : fs::directory_iterator(kReceiverFiles)) {
            fs::copy_file(entry.path(), box_dir_ / entry.path().filename());
        }
        settings_.Ip = "127.0.0.1";
        settings_.Password = "Secret-7025";
        switch (GetParam()) {
            case FtpServerKind::Vsftpd:
                StartVsftpd();
                break;
            case FtpServerKind::Pyftpdlib:
                StartPyftpdlib();
                break;
            case FtpServerKind::Boxsim:
                StartBoxsim();
                break;
        }
        ftp_.OnStatus = FtpStatusLogger([this](const std::string& line) { log_.push_back(line); });
    }

    void TearDown() override {
        simulator_.reset();
        server_.reset();
        if (!user_.empty()) {
            (void)std::system(("userdel " + user_ + " >/dev/null 2>&1").c_str());
        }
        std::error_code ignored;
        fs::remove_all(root_, ignored);
        fs::remove_all(program_dir_, ignored);
        fs::remove(config_path_, ignored);
        fs::remove(server_log_, ignored);
    }

    void StartVsftpd() {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "vsftpd needs a throwaway local user; run as root";
        }
        if (!fs::exists("/usr/sbin/vsftpd")) {
            GTEST_SKIP() << "vsftpd is not installed (scripts/install-deps.sh)";
        }
        user_ = "tapirftp" + std::to_string(::getpid());
        settings_.Username = user_;
        const std::string create = "useradd -M -d " + root_.string() + " -s /bin/sh " + user_ +
                                   " && echo '" + user_ + ":" + settings_.Password +
                                   "' | chpasswd && chown -R " + user_ + " " +
                                   (root_ / "etc").string();
        ASSERT_EQ(std::system(create.c_str()), 0) << "could not create the test user";
        fs::create_directories("/var/run/vsftpd/empty");
        const std::uint16_t port = UnusedPort();
        config_path_ = root_.string() + ".conf";
        server_log_ = root_.string() + ".log";
        WriteFile(config_path_,
                  "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n"
                  "listen_port=" +
                      std::to_string(port) +
                      "\nbackground=NO\nanonymous_enable=NO\nlocal_enable=YES\n"
                      "write_enable=YES\nlocal_umask=022\nseccomp_sandbox=NO\n"
                      "chroot_local_user=YES\nallow_writeable_chroot=YES\n"
                      "local_root=" +
                      root_.string() +
                      "\nconnect_from_port_20=NO\n"
                      "secure_chroot_dir=/var/run/vsftpd/empty\n"
                      "xferlog_enable=NO\n");
        server_ = std::make_unique<ServerProcess>(
            std::vector<std::string>{"/usr/sbin/vsftpd", config_path_}, server_log_);
        ASSERT_TRUE(server_->WaitUntilListening(port)) << server_->Log();
        settings_.FtpPort = port;
    }

    void StartPyftpdlib() {
        if (std::system("/usr/bin/python3 -c 'import pyftpdlib' >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "python3-pyftpdlib is not installed (scripts/install-deps.sh)";
        }
        settings_.Username = "tapir";
        const std::uint16_t port = UnusedPort();
        server_log_ = root_.string() + ".log";
        server_ = std::make_unique<ServerProcess>(
            std::vector<std::string>{"/usr/bin/python3", "-m", "pyftpdlib", "-i", "127.0.0.1", "-p",
                                     std::to_string(port), "-w", "-d", root_.string(), "-u",
                                     settings_.Username, "-P", settings_.Password},
            server_log_);
        ASSERT_TRUE(server_->WaitUntilListening(port)) << server_->Log();
        settings_.FtpPort = port;
    }

    void StartBoxsim() {
        settings_.Username = "root";
        boxsim::Options options;
        options.dir = box_dir_;
        options.user = settings_.Username;
        options.password = settings_.Password;
        simulator_ = std::make_unique<boxsim::BoxSimulator>(options);
        simulator_->Start();
        settings_.FtpPort = simulator_->FtpPort();
    }

    // The files a download should fetch from this server: all of them, except that pyftpdlib
    // refuses a wildcard listing (550), which counts as no match.
    std::set<std::string> ExpectedDownload() const {
        std::set<std::string> names = ReceiverFileNames();
        if (GetParam() == FtpServerKind::Pyftpdlib) {
            std::erase_if(names, IsUserbouquet);
        }
        return names;
    }

    std::string ProgramDir() const { return program_dir_.string() + "/"; }

    // pyftpdlib converts line ends in type A (bare LF to CR LF when sending, CR LF to LF when
    // storing); vsftpd and the simulator send and store bytes unchanged. The client itself
    // never converts, and uploads in type I.
    std::string AsSent(const std::string& stored) const {
        if (GetParam() != FtpServerKind::Pyftpdlib) {
            return stored;
        }
        std::string sent;
        for (std::size_t i = 0; i < stored.size(); ++i) {
            if (stored[i] == '\n' && (i == 0 || stored[i - 1] != '\r')) {
                sent += '\r';
            }
            sent += stored[i];
        }
        return sent;
    }
    fs::path root_;
    fs::path box_dir_;
    fs::path program_dir_;
    std::string user_;
    std::string config_path_;
    std::string server_log_;
    platform::Settings settings_;
    std::unique_ptr<ServerProcess> server_;
    std::unique_ptr<boxsim::BoxSimulator> simulator_;
    TIdFTP ftp_;
    std::vector<std::string> log_;
};

TEST_P(FtpServerTest, DownloadFetchesEveryListedFileByteForByte) {
    WriteFile(program_dir_ / "services", "copy from an earlier run");
    const std::vector<std::string> list = DownloadBoxFiles(ftp_, settings_, ProgramDir());
    EXPECT_FALSE(ftp_.Connected());

    const std::set<std::string> expected = ExpectedDownload();
    EXPECT_EQ(std::set<std::string>(list.begin(), list.end()), expected);
    EXPECT_EQ(list.size(), expected.size());
    // Listing order: bouquet files, then the named files in pattern order.
    std::vector<std::string> named(list.begin(), list.end());
    std::erase_if(named, IsUserbouquet);
    EXPECT_EQ(named,
              (std::vector<std::string>{"lamedb", "bouquets.tv", "bouquets.radio", "timers.xml"}));
    EXPECT_TRUE(std::is_partitioned(list.begin(), list.end(), IsUserbouquet));
    for (const std::string& name : expected) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ReadFile(program_dir_ / name), AsSent(ReadFile(kReceiverFiles / name)));
    }
    // The box has no "services": the earlier copy stays, and nothing else is left behind.
    EXPECT_EQ(ReadFile(program_dir_ / "services"), "copy from an earlier run");
    EXPECT_EQ(std::distance(fs::directory_iterator(program_dir_), fs::directory_iterator()),
              static_cast<long>(expected.size()) + 1);
    ASSERT_GE(log_.size(), 4u);
    EXPECT_EQ(log_.front(), "asStatusText : Connecting to 127.0.0.1.");
    EXPECT_EQ(log_.back(), "asStatusText : Not connected.");
}

TEST_P(FtpServerTest, WrongPasswordShowsServerRefusal) {
    settings_.Password = "wrong";
    try {
        (void)DownloadBoxFiles(ftp_, settings_, ProgramDir());
        FAIL() << "download succeeded";
    } catch (const tapir::Exception& error) {
        EXPECT_EQ(error.KindName(), "EIdProtocolReplyError");
        EXPECT_EQ(error.Code(), 530);
        const std::string alert = DownloadAlertText(error);
        EXPECT_NE(alert.find("\n\nEIdProtocolReplyError530 "), std::string::npos) << alert;
    }
    EXPECT_FALSE(ftp_.Connected());
    EXPECT_TRUE(fs::is_empty(program_dir_));
}

TEST_P(FtpServerTest, UploadStoresTimersFileUnchangedAndCanRepeat) {
    const std::string first = "<?xml version=\"1.0\" ?>\r\n<timers>\r\n</timers>\r\n";
    const std::string second = ReadFile(kReceiverFiles / "timers.xml") + "\n<!-- LF only -->\n";
    WriteFile(program_dir_ / "timers.new", first);
    UploadTimersFile(ftp_, settings_, ProgramDir());
    EXPECT_FALSE(ftp_.Connected());
    EXPECT_EQ(ReadFile(box_dir_ / "timers.xml"), first);
    WriteFile(program_dir_ / "timers.new", second);
    UploadTimersFile(ftp_, settings_, ProgramDir());
    EXPECT_EQ(ReadFile(box_dir_ / "timers.xml"), second);
    // Stored under a temporary name and renamed into place: nothing else is left on the box,
    // and the check fetched nothing into the program's folder.
    EXPECT_FALSE(fs::exists(box_dir_ / "timers.xml.tapir-upload"));
    EXPECT_EQ(std::distance(fs::directory_iterator(program_dir_), fs::directory_iterator()), 1);
}

TEST_P(FtpServerTest, FetchBoxFileTellsAbsentFromPresent) {
    const std::string backup = (program_dir_ / "backup.xml").string();
    EXPECT_TRUE(FetchBoxFile(ftp_, settings_, "timers.xml", backup));
    EXPECT_EQ(ReadFile(backup), ReadFile(box_dir_ / "timers.xml"));  // binary: unchanged
    EXPECT_FALSE(ftp_.Connected());
    fs::remove(box_dir_ / "timers.xml");
    WriteFile(backup, "kept");
    EXPECT_FALSE(FetchBoxFile(ftp_, settings_, "timers.xml", backup));
    EXPECT_EQ(ReadFile(backup), "kept");
    EXPECT_FALSE(ftp_.Connected());
}

TEST_P(FtpServerTest, FailedUploadDisconnectsSoItCanBeTriedAgain) {
    try {
        UploadTimersFile(ftp_, settings_, ProgramDir());
        FAIL() << "upload without timers.new succeeded";
    } catch (const EFOpenError& error) {
        EXPECT_EQ(error.Message(), "Cannot open file " + ProgramDir() + "timers.new");
    }
    EXPECT_FALSE(ftp_.Connected());
    WriteFile(program_dir_ / "timers.new", "<timers>\r\n</timers>\r\n");
    UploadTimersFile(ftp_, settings_, ProgramDir());
    EXPECT_EQ(ReadFile(box_dir_ / "timers.xml"), "<timers>\r\n</timers>\r\n");
}

TEST_P(FtpServerTest, RefusedCommandsRaiseReplyErrors) {
    ftp_.SetHost(settings_.Ip);
    ftp_.SetPort(static_cast<std::uint16_t>(settings_.FtpPort));
    ftp_.SetUser(settings_.Username);
    ftp_.SetPassword(settings_.Password);
    ftp_.Connect(true);
    {
        SCOPED_TRACE("CWD to a missing directory");
        try {
            ftp_.ChangeDir("/etc/no-such-dir");
            FAIL() << "CWD succeeded";
        } catch (const EIdProtocolReplyError& error) {
            EXPECT_EQ(error.Code(), 550);
            EXPECT_EQ(error.Message().substr(0, 4), "550 ");
        }
    }
    ftp_.ChangeDir(kBoxDirectory);
    {
        SCOPED_TRACE("RETR of a missing file keeps the earlier local copy");
        WriteFile(program_dir_ / "services", "earlier");
        try {
            ftp_.Get("services", ProgramDir() + "services");
            FAIL() << "RETR succeeded";
        } catch (const EIdProtocolReplyError& error) {
            EXPECT_EQ(error.Code(), 550);
        }
        EXPECT_EQ(ReadFile(program_dir_ / "services"), "earlier");
    }
    {
        SCOPED_TRACE("the connection still works afterwards");
        std::vector<std::string> names;
        ftp_.ListNames(names, "timers.xml");
        EXPECT_EQ(names, std::vector<std::string>{"timers.xml"});
        ftp_.Get("timers.xml", ProgramDir() + "timers.xml");
        EXPECT_EQ(ReadFile(program_dir_ / "timers.xml"),
                  AsSent(ReadFile(kReceiverFiles / "timers.xml")));
    }
    ftp_.Disconnect();
}

INSTANTIATE_TEST_SUITE_P(RealServers, FtpServerTest,
                         ::testing::Values(FtpServerKind::Vsftpd, FtpServerKind::Pyftpdlib,
                                           FtpServerKind::Boxsim),
                         KindName);

TEST(DownloadBoxFiles, UnreachableBoxGivesConnectionRefusedAlert) {
    platform::Settings settings;
    settings.Ip = "127.0.0.1";
    settings.FtpPort = UnusedPort();
    TIdFTP ftp;
    try {
        (void)DownloadBoxFiles(ftp, settings, "/nonexistent/");
        FAIL() << "download succeeded";
    } catch (const tapir::Exception& error) {
        EXPECT_EQ(DownloadAlertText(error),
                  "FTP fout bij het ophalen van bestanden vanaf de DM7025\n"
                  "Mogelijk zijn er geen of oude timers ingelezen.\n\n"
                  "EIdSocketErrorSocket Error # 10061\r\nConnection refused.");
    }
    EXPECT_FALSE(ftp.Connected());
}

TEST(DownloadAgainstSimulator, SendsTheCommandsInOrder) {
    const fs::path box_dir = MakeTempDir("tapir-boxsim-box");
    const fs::path program_dir = MakeTempDir("tapir-boxsim-local");
    for (const auto& entry : fs::directory_iterator(kReceiverFiles)) {
        fs::copy_file(entry.path(), box_dir / entry.path().filename());
    }
    boxsim::Options options;
    options.dir = box_dir;
    boxsim::BoxSimulator simulator(options);
    simulator.Start();
    platform::Settings settings;
    settings.Ip = "127.0.0.1";
    settings.Username = options.user;
    settings.Password = options.password;
    settings.FtpPort = simulator.FtpPort();
    TIdFTP ftp;
    const std::vector<std::string> list =
        DownloadBoxFiles(ftp, settings, program_dir.string() + "/");
    simulator.Stop();
    std::vector<std::string> expected = {"user root", "PASS ****", "type A", "syst",
                                         "CWD /etc/enigma2"};
    for (const std::string_view pattern : kDownloadPatterns) {
        expected.push_back("PORT");
        expected.push_back("nlst " + std::string(pattern));
    }
    for (const std::string& name : list) {
        expected.push_back("PORT");
        expected.push_back("retr " + name);
    }
    std::vector<std::string> received = simulator.FtpCommands();
    for (std::string& command : received) {
        if (command.rfind("PORT 127,0,0,1,", 0) == 0) {
            command = "PORT";
        }
    }
    EXPECT_EQ(received, expected);
    EXPECT_EQ(list.size(), ReceiverFileNames().size());
    std::error_code ignored;
    fs::remove_all(box_dir, ignored);
    fs::remove_all(program_dir, ignored);
}

TEST(StartRestart, ClosedTelnetPortIsServerNotResponding) {
    platform::Settings settings;
    settings.Ip = "127.0.0.1";
    settings.TelnetPort = UnusedPort();
    TIdTelnet telnet([](std::function<void()> call) { call(); });
    telnet.OnDataAvailable = [](const std::string&) {};
    try {
        StartRestart(telnet, settings);
        FAIL() << "connect succeeded";
    } catch (const tapir::Exception& error) {
        EXPECT_EQ(error.KindName(), "EIdTelnetClientConnectError");
        EXPECT_EQ(error.Message(), "server not responding");
    }
}

// Runs the restart dialogue on a telnet client whose handler is called directly on the
// reader thread; finished once the dialogue has disconnected.
class RestartRun {
  public:
    explicit RestartRun(const platform::Settings& settings)
        : telnet_([](std::function<void()> call) { call(); }),
          dialogue_(settings.Prompt,
                    RestartDialogue::Actions{
                        [this](const std::string& text) { Log(text); }, [this] { Disconnected(); },
                        [this](std::string_view bytes) { telnet_.Write(bytes); }}) {
        telnet_.OnDataAvailable = [this](const std::string& text) {
            dialogue_.DataAvailable(text);
        };
        StartRestart(telnet_, settings);
    }
    ~RestartRun() {
        telnet_.Disconnect();
        telnet_.WaitForReader();
    }

    // Waits for the dialogue to disconnect; false after a generous deadline.
    bool WaitUntilDisconnected() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [this] { return done_; });
    }
    std::string Received() {
        std::lock_guard lock(mutex_);
        return received_;
    }

  private:
    void Log(const std::string& text) {
        std::lock_guard lock(mutex_);
        received_ += text;
    }
    void Disconnected() {
        telnet_.Disconnect();
        std::lock_guard lock(mutex_);
        done_ = true;
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::string received_;
    bool done_ = false;
    TIdTelnet telnet_;
    RestartDialogue dialogue_;
};

TEST(RestartAgainstBusyboxTelnetd, LogsInAsRootAndKillsEnigma2) {
    if (std::system("busybox telnetd --help >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "busybox with telnetd (busybox-static) is not installed";
    }
    const fs::path dir = MakeTempDir("tapir-telnetd");
    ASSERT_FALSE(dir.empty());
    const fs::path commands = dir / "commands";
    const fs::path script = dir / "login.sh";
    WriteFile(
        script,
        "#!/bin/sh\n"
        "printf 'dm7025 login: '\n"
        "read user || exit 0\n"
        "echo \"$user\" >> " +
            commands.string() +
            "\n"
            "while true; do\n"
            "  printf 'root@dm7025:~# '\n"
            "  read line || exit 0\n"
            "  echo \"$line\" >> " +
            commands.string() +
            "\n"
            "  case \"$line\" in killall*) echo 'killall: enigma2: no process killed';; esac\n"
            "done\n");
    fs::permissions(script, fs::perms(0755));
    const std::uint16_t port = UnusedPort();
    {
        ServerProcess server({"/usr/bin/busybox", "telnetd", "-F", "-b", "127.0.0.1", "-p",
                              std::to_string(port), "-f", "/dev/null", "-l", script.string()},
                             (dir / "telnetd.log").string());
        ASSERT_TRUE(server.WaitUntilListening(port)) << server.Log();
        platform::Settings settings;
        settings.Ip = "127.0.0.1";
        settings.TelnetPort = port;
        RestartRun run(settings);
        ASSERT_TRUE(run.WaitUntilDisconnected()) << run.Received();
        EXPECT_NE(run.Received().find("dm7025 login: "), std::string::npos);
        EXPECT_NE(run.Received().find("killall: enigma2: no process killed"), std::string::npos);
    }
    EXPECT_EQ(ReadFile(commands), "root\nkillall -9 enigma2\n");
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

TEST(RestartAgainstSimulator, LogsInAndRestarts) {
    const fs::path dir = MakeTempDir("tapir-boxsim");
    ASSERT_FALSE(dir.empty());
    boxsim::Options options;
    options.dir = dir;
    boxsim::BoxSimulator simulator(options);
    simulator.Start();
    platform::Settings settings;
    settings.Ip = "127.0.0.1";
    settings.TelnetPort = simulator.TelnetPort();
    {
        RestartRun run(settings);
        EXPECT_TRUE(simulator.WaitForRestarts(1, std::chrono::seconds(30)));
    }
    const std::vector<std::string> lines = simulator.TelnetLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "root");
    EXPECT_EQ(lines[1], "killall -9 enigma2");
    EXPECT_EQ(simulator.TerminalType(), std::optional<std::string>("dumb"));
    simulator.Stop();
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

}  // namespace
}  // namespace tapir::transfer
