#include "transfer/telnet_negotiator.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace tapir::transfer {
namespace {

std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (const int value : values) {
        bytes += static_cast<char>(value);
    }
    return bytes;
}

class TelnetNegotiatorTest : public ::testing::Test {
  protected:
    // Feeds one chunk; returns its text and keeps the replies (concatenated) in replies_.
    std::string Feed(const std::string& chunk) {
        replies_.clear();
        return negotiator_.Feed(chunk, [this](std::string_view reply) {
            ++reply_count_;
            replies_ += reply;
        });
    }

    TelnetNegotiator negotiator_;
    std::string replies_;
    int reply_count_ = 0;
};

TEST_F(TelnetNegotiatorTest, AnswersOptionRequestsByTable) {
    const struct {
        const char* name;
        std::string received;
        std::string reply;
    } cases[] = {
        {"DO TERMINAL-TYPE", Bytes({255, 253, 24}), Bytes({255, 251, 24})},
        {"DO ECHO", Bytes({255, 253, 1}), Bytes({255, 251, 1})},
        {"DO 31", Bytes({255, 253, 31}), Bytes({255, 252, 31})},
        {"DONT ECHO", Bytes({255, 254, 1}), Bytes({255, 252, 1})},
        {"WILL ECHO", Bytes({255, 251, 1}), Bytes({255, 253, 1})},
        {"WILL END-OF-RECORD", Bytes({255, 251, 25}), Bytes({255, 253, 25})},
        {"WILL 3", Bytes({255, 251, 3}), Bytes({255, 254, 3})},
        {"WONT ECHO", Bytes({255, 252, 1}), Bytes({255, 254, 1})},
        {"WILL ECHO and WILL 3", Bytes({255, 251, 1, 255, 251, 3}),
         Bytes({255, 253, 1, 255, 254, 3})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Feed(c.received), "");
        EXPECT_EQ(replies_, c.reply);
        EXPECT_EQ(negotiator_.CurrentState(), TelnetNegotiator::State::Data);
    }
}

TEST_F(TelnetNegotiatorTest, TerminalTypeRequestGetsDumb) {
    EXPECT_EQ(Feed(Bytes({255, 253, 24})), "");
    EXPECT_EQ(replies_, Bytes({255, 251, 24}));
    EXPECT_EQ(Feed(Bytes({255, 250, 24, 1, 255, 240})), "");
    EXPECT_EQ(replies_, Bytes({255, 250, 24, 0, 'd', 'u', 'm', 'b', 255, 240}));
    {
        SCOPED_TRACE("an empty terminal text also announces dumb; the option is not looked at");
        negotiator_.SetTerminal("");
        EXPECT_EQ(Feed(Bytes({255, 250, 31, 1, 255, 240})), "");
        EXPECT_EQ(replies_, Bytes({255, 250, 24, 0, 'd', 'u', 'm', 'b', 255, 240}));
    }
    {
        SCOPED_TRACE("another terminal text");
        negotiator_.SetTerminal("vt100");
        EXPECT_EQ(Feed(Bytes({255, 250, 24, 1, 255, 240})), "");
        EXPECT_EQ(replies_, Bytes({255, 250, 24, 0, 'v', 't', '1', '0', '0', 255, 240}));
    }
}

TEST_F(TelnetNegotiatorTest, OtherSubnegotiationPayloadsGetNoAnswer) {
    const std::string cases[] = {
        Bytes({255, 250, 24, 0, 'x', 255, 240}),  // IS, not SEND
        Bytes({255, 250, 24, 255, 240}),          // empty payload
        Bytes({255, 250, 24, 1, 1, 255, 240}),    // two bytes
        Bytes({255, 250, 24, 1, 255, 7}),         // dropped: IAC followed by other than SE
        Bytes({255, 250, 255, 1, 255, 240}),      // IAC as option byte: skipped
    };
    for (const std::string& chunk : cases) {
        SCOPED_TRACE(::testing::PrintToString(chunk));
        (void)Feed(chunk);
        EXPECT_EQ(replies_, "");
    }
}

TEST_F(TelnetNegotiatorTest, SubnegotiationFollowedBySbEndsAndStartsAnother) {
    EXPECT_EQ(Feed(Bytes({255, 250, 24, 1, 255, 250, 24, 1, 255, 240}) + "ok"), "ok");
    EXPECT_EQ(reply_count_, 2);
}

TEST_F(TelnetNegotiatorTest, EscapedIacInPayloadCounts) {
    (void)Feed(Bytes({255, 250, 24, 255, 255, 255, 240}));
    EXPECT_EQ(replies_, "");  // payload is one byte 255, not SEND
}

TEST_F(TelnetNegotiatorTest, TextAroundCommandsReachesHandlerWithoutThem) {
    EXPECT_EQ(Feed(Bytes({255, 251, 1}) + "dm7025 login: "), "dm7025 login: ");
    EXPECT_EQ(Feed("a" + Bytes({255, 255}) + "b"),
              "a\xff"
              "b");
    EXPECT_EQ(Feed("x" + Bytes({255, 241}) + "y" + Bytes({255, 249, 255, 0}) + "z"), "xyz");
    EXPECT_EQ(Feed(Bytes({255, 253, 31})), "");  // negotiation only: empty text
}

TEST_F(TelnetNegotiatorTest, StateSurvivesChunksButPayloadDoesNot) {
    {
        SCOPED_TRACE("an option request split after IAC DO");
        EXPECT_EQ(Feed(Bytes({'a', 255, 253})), "a");
        EXPECT_EQ(replies_, "");
        EXPECT_EQ(negotiator_.CurrentState(), TelnetNegotiator::State::Do);
        EXPECT_EQ(Feed(Bytes({24, 'b'})), "b");
        EXPECT_EQ(replies_, Bytes({255, 251, 24}));
    }
    {
        SCOPED_TRACE("SEND in one chunk, IAC SE in the next: not answered");
        EXPECT_EQ(Feed(Bytes({255, 250, 24, 1})), "");
        EXPECT_EQ(negotiator_.CurrentState(), TelnetNegotiator::State::SubData);
        EXPECT_EQ(Feed(Bytes({255, 240}) + "text"), "text");
        EXPECT_EQ(replies_, "");
    }
    {
        SCOPED_TRACE("IAC IAC split across chunks");
        EXPECT_EQ(Feed(Bytes({'p', 255})), "p");
        EXPECT_EQ(Feed(Bytes({255, 'q'})), "\xffq");
    }
}

}  // namespace
}  // namespace tapir::transfer
