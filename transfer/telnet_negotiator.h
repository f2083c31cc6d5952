#pragma once
// The telnet option negotiation of the client: strips telnet commands from received bytes and
// produces the replies (DO/DONT/WILL/WONT, the terminal type). The state survives from one
// chunk to the next; the subnegotiation payload does not.
// Not thread-safe; the telnet reader thread is its only user.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tapir::transfer {

namespace telnet {
inline constexpr unsigned char kIAC = 255;
inline constexpr unsigned char kDONT = 254;
inline constexpr unsigned char kDO = 253;
inline constexpr unsigned char kWONT = 252;
inline constexpr unsigned char kWILL = 251;
inline constexpr unsigned char kSB = 250;
inline constexpr unsigned char kSE = 240;
inline constexpr unsigned char kECHO = 1;
inline constexpr unsigned char kTERMINAL_TYPE = 24;
inline constexpr unsigned char kEND_OF_RECORD = 25;
inline constexpr unsigned char kIS = 0;
inline constexpr unsigned char kSEND = 1;
}  // namespace telnet

class TelnetNegotiator {
  public:
    enum class State : int {
        Data = 0,
        Command = 1,
        Will = 2,
        Wont = 3,
        Do = 4,
        Dont = 5,
        SubOption = 6,
        SubData = 7,
        SubCommand = 8,
        SubSkip = 9,
    };
    // Called once per reply, with all of its bytes, as soon as the reply is decided.
    using ReplySink = std::function<void(std::string_view reply)>;

    // Runs the negotiation over one received chunk; returns the chunk's text without the telnet
    // commands. Replies go to `send` in the order they arise; an exception from `send` leaves
    // this call with the state reached so far.
    [[nodiscard]] std::string Feed(std::string_view chunk, const ReplySink& send);

    // Terminal type announced on request; "dumb" when empty.
    const std::string& Terminal() const { return terminal_; }
    void SetTerminal(std::string terminal) { terminal_ = std::move(terminal); }
    [[nodiscard]] State CurrentState() const { return state_; }

  private:
    void EndSubnegotiation(const std::string& payload, const ReplySink& send) const;

    State state_ = State::Data;
    std::string terminal_ = "dumb";
};

}  // namespace tapir::transfer
