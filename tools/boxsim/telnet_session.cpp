#include "tools/boxsim/telnet_session.h"

#include <sstream>
#include <vector>

namespace tapir::boxsim {

namespace {

constexpr unsigned char kIac = 255;
constexpr unsigned char kDont = 254;
constexpr unsigned char kDo = 253;
constexpr unsigned char kWont = 252;
constexpr unsigned char kWill = 251;
constexpr unsigned char kSb = 250;
constexpr unsigned char kSe = 240;
constexpr unsigned char kEcho = 1;
constexpr unsigned char kSuppressGoAhead = 3;
constexpr unsigned char kTerminalType = 24;
constexpr unsigned char kIs = 0;
constexpr unsigned char kSend = 1;

constexpr std::size_t kMaxLine = 4096;
constexpr std::size_t kMaxPayload = 1024;
// How long the server waits for the terminal type before it shows the login prompt
// anyway (a client that ignores negotiation still gets a prompt).
constexpr std::chrono::milliseconds kNegotiationWait{2000};
// How the split-prompt fault cuts a prompt.
constexpr std::size_t kPromptPiece = 3;
constexpr std::chrono::milliseconds kPromptPiecePause{30};

const char* VerbName(unsigned char verb) {
    switch (verb) {
        case kWill:
            return "WILL";
        case kWont:
            return "WONT";
        case kDo:
            return "DO";
        case kDont:
            return "DONT";
        default:
            return "?";
    }
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream stream(line);
    std::string word;
    while (stream >> word) {
        words.push_back(word);
    }
    return words;
}

}  // namespace

TelnetSession::TelnetSession(UniqueFd connection, const ServerContext& context)
    : connection_(std::move(connection)), context_(context) {}

void TelnetSession::Run() {
    context_.recorder.Log("telnet: connection opened");
    if (context_.options.Has(Fault::SilentAfterAccept)) {
        std::string ignored;
        while (ReadInto(connection_.Get(), context_.stop, ignored) == ReadStatus::Data) {
        }
        context_.recorder.Log("telnet: connection closed");
        return;
    }
    him_pending_[kTerminalType] = true;
    us_pending_[kEcho] = true;
    us_pending_[kSuppressGoAhead] = true;
    const std::string offer = {
        static_cast<char>(kIac), static_cast<char>(kDo),   static_cast<char>(kTerminalType),
        static_cast<char>(kIac), static_cast<char>(kWill), static_cast<char>(kEcho),
        static_cast<char>(kIac), static_cast<char>(kWill), static_cast<char>(kSuppressGoAhead)};
    if (!SendRaw(offer)) {
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + kNegotiationWait;
    while (open_ && !terminal_type_settled_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !Pump(left)) {
            break;
        }
    }
    bool going = open_ && SendText("\r\n") && SendPrompt(context_.options.HostName() + " login: ");
    while (going) {
        const auto line = NextLine();
        going = line && HandleLine(*line);
    }
    context_.recorder.Log("telnet: connection closed");
}

bool TelnetSession::Pump(std::optional<std::chrono::milliseconds> timeout) {
    std::string bytes;
    const ReadStatus status = ReadInto(connection_.Get(), context_.stop, bytes, 4096, timeout);
    if (status == ReadStatus::Timeout) {
        return false;
    }
    if (status != ReadStatus::Data) {
        open_ = false;
        return false;
    }
    Parse(bytes);
    if (!replies_.empty()) {
        const std::string replies = std::move(replies_);
        replies_.clear();
        if (!SendRaw(replies)) {
            return false;
        }
    }
    if (!echo_.empty()) {
        const std::string echo = std::move(echo_);
        echo_.clear();
        if (!SendText(echo)) {
            return false;
        }
    }
    return true;
}

void TelnetSession::Parse(std::string_view bytes) {
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        switch (state_) {
            case ParseState::Data:
                if (byte == kIac) {
                    state_ = ParseState::Command;
                } else {
                    DataByte(byte);
                }
                break;
            case ParseState::Command:
                if (byte == kIac) {
                    DataByte(byte);
                    state_ = ParseState::Data;
                } else if (byte >= kWill && byte <= kDont) {
                    verb_ = byte;
                    state_ = ParseState::Option;
                } else if (byte == kSb) {
                    payload_.clear();
                    state_ = ParseState::Sub;
                } else {
                    state_ = ParseState::Data;
                }
                break;
            case ParseState::Option:
                HandleOption(verb_, byte);
                state_ = ParseState::Data;
                break;
            case ParseState::Sub:
                if (byte == kIac) {
                    state_ = ParseState::SubCommand;
                } else if (payload_.size() < kMaxPayload) {
                    payload_ += static_cast<char>(byte);
                }
                break;
            case ParseState::SubCommand:
                if (byte == kSe) {
                    HandleSubnegotiation();
                    state_ = ParseState::Data;
                } else if (byte == kIac) {
                    if (payload_.size() < kMaxPayload) {
                        payload_ += static_cast<char>(byte);
                    }
                    state_ = ParseState::Sub;
                } else {
                    state_ = ParseState::Data;
                }
                break;
        }
    }
}

void TelnetSession::DataByte(unsigned char byte) {
    const bool echo = us_[kEcho] && phase_ != Phase::Password;
    if (byte == '\r' || byte == '\n') {
        // CR LF, CR NUL and a lone LF or CR each end one line.
        if (byte == '\n' && after_cr_) {
            after_cr_ = false;
            return;
        }
        after_cr_ = byte == '\r';
        if (echo) {
            echo_ += "\r\n";
        }
        EndLine();
        return;
    }
    if (byte == '\0') {
        after_cr_ = false;
        return;
    }
    after_cr_ = false;
    if (byte == 0x7f || byte == 0x08) {
        if (!line_.empty()) {
            line_.pop_back();
            if (echo) {
                echo_ += "\b \b";
            }
        }
        return;
    }
    if (line_.size() < kMaxLine) {
        line_ += static_cast<char>(byte);
        if (echo) {
            echo_ += static_cast<char>(byte);
        }
    }
}

void TelnetSession::EndLine() {
    lines_.push_back(std::move(line_));
    line_.clear();
}

void TelnetSession::HandleOption(unsigned char verb, unsigned char option) {
    context_.recorder.AddNegotiation(std::string(VerbName(verb)) + " " + std::to_string(option));
    const auto answer = [this](unsigned char reply_verb, unsigned char reply_option) {
        replies_ += {static_cast<char>(kIac), static_cast<char>(reply_verb),
                     static_cast<char>(reply_option)};
    };
    switch (verb) {
        case kWill:
            if (option == kTerminalType) {
                if (!him_[option]) {
                    him_[option] = true;
                    if (!him_pending_[option]) {
                        answer(kDo, option);
                    }
                    him_pending_[option] = false;
                    replies_ += {static_cast<char>(kIac),          static_cast<char>(kSb),
                                 static_cast<char>(kTerminalType), static_cast<char>(kSend),
                                 static_cast<char>(kIac),          static_cast<char>(kSe)};
                }
            } else if (!him_[option] && !refused_[option]) {
                refused_[option] = true;
                answer(kDont, option);
            }
            break;
        case kWont:
            if (option == kTerminalType) {
                terminal_type_settled_ = true;
            }
            if (him_[option]) {
                him_[option] = false;
                answer(kDont, option);
            }
            him_pending_[option] = false;
            break;
        case kDo:
            if (option == kEcho || option == kSuppressGoAhead) {
                if (!us_[option]) {
                    us_[option] = true;
                    if (!us_pending_[option]) {
                        answer(kWill, option);
                    }
                }
                us_pending_[option] = false;
            } else if (!refused_[option]) {
                refused_[option] = true;
                answer(kWont, option);
            }
            break;
        case kDont:
            if (us_[option]) {
                us_[option] = false;
                if (!us_pending_[option]) {
                    answer(kWont, option);
                }
            }
            us_pending_[option] = false;
            break;
        default:
            break;
    }
}

void TelnetSession::HandleSubnegotiation() {
    if (payload_.size() >= 2 && static_cast<unsigned char>(payload_[0]) == kTerminalType &&
        static_cast<unsigned char>(payload_[1]) == kIs) {
        const std::string type = payload_.substr(2);
        context_.recorder.AddNegotiation("SB 24 IS " + type);
        context_.recorder.SetTerminalType(type);
        context_.recorder.Log("telnet: terminal type " + type);
        terminal_type_settled_ = true;
        return;
    }
    std::string shown = "SB";
    for (const char c : payload_) {
        shown += " " + std::to_string(static_cast<unsigned char>(c));
    }
    context_.recorder.AddNegotiation(shown);
}

std::optional<std::string> TelnetSession::NextLine() {
    while (lines_.empty()) {
        if (!open_ || !Pump()) {
            return std::nullopt;
        }
    }
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    return line;
}

bool TelnetSession::HandleLine(const std::string& line) {
    switch (phase_) {
        case Phase::Login:
            if (line.empty()) {
                return SendPrompt(context_.options.HostName() + " login: ");
            }
            context_.recorder.AddTelnetLine(line);
            context_.recorder.Log("telnet< " + line);
            root_asked_password_ = line == "root" && context_.options.Has(Fault::PasswordPrompt);
            if (line == "root" && !root_asked_password_) {
                phase_ = Phase::Shell;
                return SendShellPrompt();
            }
            phase_ = Phase::Password;
            return SendPrompt("Password: ");
        case Phase::Password:
            // The password itself is never recorded.
            context_.recorder.Log("telnet< ****");
            if (root_asked_password_ && line == context_.options.password) {
                phase_ = Phase::Shell;
                return SendText("\r\n") && SendShellPrompt();
            }
            phase_ = Phase::Login;
            return SendText("\r\nLogin incorrect\r\n") &&
                   SendPrompt(context_.options.HostName() + " login: ");
        case Phase::Shell:
            if (!line.empty()) {
                context_.recorder.AddTelnetLine(line);
                context_.recorder.Log("telnet< " + line);
            }
            return RunShellCommand(line) && SendShellPrompt();
    }
    return false;
}

bool TelnetSession::RunShellCommand(const std::string& line) {
    const std::vector<std::string> words = Words(line);
    if (words.empty()) {
        return true;
    }
    if (words[0] == "exit" || words[0] == "logout") {
        return false;
    }
    if (words[0] != "killall") {
        return SendText("-sh: " + words[0] + ": not found\r\n");
    }
    std::vector<std::string> names;
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i][0] != '-') {
            names.push_back(words[i]);
        }
    }
    if (names.empty()) {
        return SendText("Usage: killall [-l] [-q] [-SIG] PROCESS_NAME...\r\n");
    }
    std::string output;
    for (const auto& name : names) {
        if (name == "enigma2" && software_running_) {
            software_running_ = false;
            context_.recorder.AddRestart();
            context_.recorder.Log("telnet: restart of enigma2 (" + line + ")");
        } else {
            output += "killall: " + name + ": no process killed\r\n";
        }
    }
    return output.empty() || SendText(output);
}

bool TelnetSession::SendText(const std::string& text) {
    if (!context_.MaybeSlow()) {
        return false;
    }
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        escaped += c;
        if (static_cast<unsigned char>(c) == kIac) {
            escaped += c;
        }
    }
    return SendRaw(escaped);
}

bool TelnetSession::SendPrompt(const std::string& text) {
    if (!context_.options.Has(Fault::SplitPrompt)) {
        return SendText(text);
    }
    for (std::size_t pos = 0; pos < text.size(); pos += kPromptPiece) {
        if ((pos > 0 && !context_.stop.SleepFor(kPromptPiecePause)) ||
            !SendText(text.substr(pos, kPromptPiece))) {
            return false;
        }
    }
    return true;
}

bool TelnetSession::SendShellPrompt() {
    return context_.options.Has(Fault::NoPrompt) || SendPrompt(context_.options.prompt);
}

bool TelnetSession::SendRaw(const std::string& bytes) {
    if (!WriteAll(connection_.Get(), bytes, context_.stop)) {
        open_ = false;
        return false;
    }
    return true;
}

}  // namespace tapir::boxsim
