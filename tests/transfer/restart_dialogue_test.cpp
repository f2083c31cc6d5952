#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "transfer/box_transfer.h"
#include "transfer/errors.h"

namespace tapir::transfer {
namespace {

// Records what the dialogue does, in order: "log:<text>", "disconnect", "write:<bytes>",
// "sent" (OnRestartSent).
class RestartDialogueTest : public ::testing::Test {
  protected:
    RestartDialogue MakeDialogue(std::string prompt = "root@dm7025",
                                 std::string password = "secret") {
        RestartDialogue dialogue(
            std::move(prompt),
            RestartDialogue::Actions{
                [this](const std::string& text) { actions_.push_back("log:" + text); },
                [this] {
                    actions_.push_back("disconnect");
                    disconnected_ = true;
                },
                [this](std::string_view bytes) {
                    if (disconnected_) {
                        throw EIdSocketError(10058);
                    }
                    actions_.push_back("write:" + std::string(bytes));
                }},
            std::move(password));
        dialogue.OnRestartSent = [this] { actions_.push_back("sent"); };
        return dialogue;
    }

    // Feeds the chunks to one dialogue and returns its actions without the log lines.
    std::vector<std::string> Run(const std::vector<std::string>& chunks,
                                 std::string prompt = "root@dm7025") {
        actions_.clear();
        disconnected_ = false;
        RestartDialogue dialogue = MakeDialogue(std::move(prompt));
        for (const std::string& chunk : chunks) {
            dialogue.DataAvailable(chunk);
        }
        sent_ = dialogue.RestartSent();
        std::vector<std::string> done;
        for (const std::string& action : actions_) {
            if (action.rfind("log:", 0) != 0) {
                done.push_back(action);
            }
        }
        return done;
    }

    std::vector<std::string> actions_;
    bool disconnected_ = false;
    bool sent_ = false;
};

const std::string kRestart = "write:killall -9 enigma2\n";

TEST_F(RestartDialogueTest, RepliesToEachStepOfTheLogin) {
    const struct {
        const char* name;
        std::vector<std::string> chunks;
        std::vector<std::string> actions;
        bool sent;
    } cases[] = {
        {"login then prompt",
         {"\r\ndm7025 login: ", "root\r\n", "root@dm7025:~# "},
         {"write:root\n", kRestart, "sent"},
         true},
        {"prompt straight away, in any case", {"ROOT@DM7025:~# "}, {kRestart, "sent"}, true},
        {"the prompt wins over a login in the same chunk",
         {"Last login: today\r\nroot@dm7025:~# "},
         {kRestart, "sent"},
         true},
        {"password asked after the login",
         {"dm7025 login: ", "Password: ", "\r\nroot@dm7025:~# "},
         {"write:root\n", "write:secret\n", kRestart, "sent"},
         true},
        {"login and password answered once only",
         {"dm7025 login: ", "Password: ", "\r\nLogin incorrect\r\ndm7025 login: ", "Password: "},
         {"write:root\n", "write:secret\n"},
         false},
        {"prompt split over chunks",
         {"dm7", "025 lo", "gin: ", "ro", "ot@dm", "7025:~", "# "},
         {"write:root\n", kRestart, "sent"},
         true},
        {"other shell prompt after the login",
         {"dm7025 login: ", "\r\nBusyBox v1.1\r\nroot@otherbox:~# "},
         {"write:root\n", kRestart, "sent"},
         true},
        {"dollar prompt after the password",
         {"Password: ", "user@box:~$ "},
         {"write:secret\n", kRestart, "sent"},
         true},
        {"no other prompt is taken before a login", {"box# "}, {}, false},
        {"no prompt at all", {"dm7025 login: ", "\r\nWelcome\r\n"}, {"write:root\n"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Run(c.chunks), c.actions);
        EXPECT_EQ(sent_, c.sent);
    }
}

TEST_F(RestartDialogueTest, RestartCommandIsSentOncePerDialogue) {
    std::vector<std::string> chunks = {"dm7025 login: "};
    for (int i = 0; i < 20; ++i) {
        chunks.push_back("root@dm7025:~# ");  // the shell shows its prompt after every line
    }
    EXPECT_EQ(Run(chunks), (std::vector<std::string>{"write:root\n", kRestart, "sent"}));
}

TEST_F(RestartDialogueTest, OtherPromptIsLogged) {
    (void)Run({"dm7025 login: ", "\r\nroot@otherbox:~# "});
    const std::string expected =
        "log:Shell prompt \"root@otherbox:~# \" taken for the configured \"root@dm7025\", "
        "which did not appear.";
    EXPECT_NE(std::find(actions_.begin(), actions_.end(), expected), actions_.end());
}

TEST_F(RestartDialogueTest, KillallMessageDisconnectsAndLaterWritesAreDropped) {
    RestartDialogue dialogue = MakeDialogue();
    EXPECT_NO_THROW(
        dialogue.DataAvailable("killall: enigma2: no process killed\r\nroot@dm7025:~# login"));
    EXPECT_NO_THROW(dialogue.DataAvailable("root@dm7025:~# "));
    const std::vector<std::string> expected = {
        "log:killall: enigma2: no process killed\r\nroot@dm7025:~# login", "disconnect",
        "log:root@dm7025:~# "};
    EXPECT_EQ(actions_, expected);
    EXPECT_FALSE(dialogue.RestartSent());
}

TEST_F(RestartDialogueTest, PromptComesFromSettingInAnyCase) {
    EXPECT_EQ(Run({"root@mybox:/# "}, "Root@MyBox"), (std::vector<std::string>{kRestart, "sent"}));
    EXPECT_EQ(Run({"root@dm7025:~# "}, ""), (std::vector<std::string>{kRestart, "sent"}));
}

TEST(DownloadAlert, KindNameDirectlyFollowedByMessage) {
    EXPECT_EQ(DownloadAlertText(EIdSocketError(10061)),
              "FTP fout bij het ophalen van bestanden vanaf de DM7025\n"
              "Mogelijk zijn er geen of oude timers ingelezen.\n\n"
              "EIdSocketErrorSocket Error # 10061\r\nConnection refused.");
    EXPECT_EQ(DownloadAlertText(EIdProtocolReplyError(530, "530 Login incorrect.")),
              "FTP fout bij het ophalen van bestanden vanaf de DM7025\n"
              "Mogelijk zijn er geen of oude timers ingelezen.\n\n"
              "EIdProtocolReplyError530 Login incorrect.");
}

TEST(FtpStatusLogger, PrefixesStatusText) {
    std::vector<std::string> lines;
    const auto handler = FtpStatusLogger([&](const std::string& line) { lines.push_back(line); });
    handler(ConnectionStatus::Connected, "Connected.");
    EXPECT_EQ(lines, std::vector<std::string>{"asStatusText : Connected."});
}

}  // namespace
}  // namespace tapir::transfer
