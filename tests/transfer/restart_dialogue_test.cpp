#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "transfer/box_transfer.h"
#include "transfer/errors.h"

namespace tapir::transfer {
namespace {

// Records what the dialogue does, in order: "log:<text>", "disconnect", "write:<bytes>".
class RestartDialogueTest : public ::testing::Test {
  protected:
    RestartDialogue MakeDialogue(std::string prompt = "root@dm7025") {
        return RestartDialogue(
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
                }});
    }

    std::vector<std::string> actions_;
    bool disconnected_ = false;
};

TEST_F(RestartDialogueTest, RepliesInTheStatedOrder) {
    const struct {
        const char* chunk;
        std::vector<std::string> actions;
    } cases[] = {
        {"dm7025 login: ", {"log:dm7025 login: ", "write:root\n"}},
        {"\r\nroot@dm7025:~# ", {"log:\r\nroot@dm7025:~# ", "write:killall -9 enigma2\n"}},
        {"Last login: today\r\nroot@dm7025:~# ",
         {"log:Last login: today\r\nroot@dm7025:~# ", "write:killall -9 enigma2\n",
          "write:root\n"}},
        {"DM7025 LOGIN: ", {"log:DM7025 LOGIN: ", "write:root\n"}},
        {"ROOT@DM7025:~# ", {"log:ROOT@DM7025:~# ", "write:killall -9 enigma2\n"}},
        {"", {"log:"}},
        {"Password: ", {"log:Password: "}},
        {"root@otherbox:~# ", {"log:root@otherbox:~# "}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.chunk);
        actions_.clear();
        MakeDialogue().DataAvailable(c.chunk);
        EXPECT_EQ(actions_, c.actions);
    }
}

TEST_F(RestartDialogueTest, KillallMessageDisconnectsAndLaterWritesAreDropped) {
    const RestartDialogue dialogue = MakeDialogue();
    EXPECT_NO_THROW(
        dialogue.DataAvailable("killall: enigma2: no process killed\r\nroot@dm7025:~# login"));
    const std::vector<std::string> expected = {
        "log:killall: enigma2: no process killed\r\nroot@dm7025:~# login", "disconnect"};
    EXPECT_EQ(actions_, expected);
}

TEST_F(RestartDialogueTest, PromptComesFromSettingInAnyCase) {
    MakeDialogue("Root@MyBox").DataAvailable("root@mybox:/# ");
    MakeDialogue("").DataAvailable("root@dm7025:~# ");
    const std::vector<std::string> expected = {"log:root@mybox:/# ", "write:killall -9 enigma2\n",
                                               "log:root@dm7025:~# ", "write:killall -9 enigma2\n"};
    EXPECT_EQ(actions_, expected);
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
