#pragma once
// One telnet connection of the simulator: option negotiation (the server asks for the
// terminal type and offers to echo), a login prompt that lets "root" in without a
// password, and a minimal shell whose only real command is killall of the receiver's
// software, counted as a restart. The software counts as running again for the next
// connection, as the receiver's init brings it back.

#include <array>
#include <cstdint>
#include <deque>
#include <string>

#include "tools/boxsim/net.h"
#include "tools/boxsim/server_context.h"

namespace tapir::boxsim {

class TelnetSession {
  public:
    TelnetSession(UniqueFd connection, const ServerContext& context);

    // Serves the connection until the client leaves, "exit", or the simulator stops.
    void Run();

  private:
    enum class ParseState { Data, Command, Option, Sub, SubCommand };
    enum class Phase { Login, Password, Shell };

    // Reads once and runs the bytes through the parser; false when the connection ended.
    bool Pump(std::optional<std::chrono::milliseconds> timeout = std::nullopt);
    void Parse(std::string_view bytes);
    void DataByte(unsigned char byte);
    void EndLine();
    void HandleOption(unsigned char verb, unsigned char option);
    void HandleSubnegotiation();
    // The next complete input line; nullopt when the connection ended.
    std::optional<std::string> NextLine();
    bool HandleLine(const std::string& line);
    bool RunShellCommand(const std::string& line);

    bool SendText(const std::string& text);  // IAC doubled; slowed by the slow fault
    // A prompt: a few bytes at a time under the split-prompt fault.
    bool SendPrompt(const std::string& text);
    // The shell prompt; nothing under the no-prompt fault.
    bool SendShellPrompt();
    bool SendRaw(const std::string& bytes);

    UniqueFd connection_;
    const ServerContext& context_;
    bool open_ = true;

    ParseState state_ = ParseState::Data;
    unsigned char verb_ = 0;
    std::string payload_;
    std::string line_;
    bool after_cr_ = false;
    std::deque<std::string> lines_;
    std::string echo_;     // echo of the bytes parsed in the current read
    std::string replies_;  // negotiation answers of the current read

    // Options enabled on our side (us_) and the client's side (him_), options we asked
    // for and await an answer to, and options we refused once (never refused again, so
    // that two peers cannot argue for ever).
    std::array<bool, 256> us_{};
    std::array<bool, 256> him_{};
    std::array<bool, 256> us_pending_{};
    std::array<bool, 256> him_pending_{};
    std::array<bool, 256> refused_{};
    bool terminal_type_settled_ = false;

    Phase phase_ = Phase::Login;
    bool root_asked_password_ = false;  // the password-prompt fault asked root for one
    bool software_running_ = true;
};

}  // namespace tapir::boxsim
