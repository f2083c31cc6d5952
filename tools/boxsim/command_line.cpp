#include "tools/boxsim/command_line.h"

#include <charconv>
#include <utility>

namespace tapir::boxsim {

namespace {

unsigned long ParseNumber(const std::string& option, const std::string& text, unsigned long max) {
    unsigned long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > max) {
        throw EUsageError(option + ": not a number from 0 to " + std::to_string(max) + ": " + text);
    }
    return value;
}

Fault ParseFault(const std::string& name) {
    if (name == "refuse-password") {
        return Fault::RefusePassword;
    }
    if (name == "nlst-550") {
        return Fault::Nlst550;
    }
    if (name == "close-data-early") {
        return Fault::CloseDataEarly;
    }
    if (name == "slow") {
        return Fault::Slow;
    }
    static constexpr std::pair<const char*, Fault> kMore[] = {
        {"silent-after-accept", Fault::SilentAfterAccept},
        {"stall-data", Fault::StallData},
        {"password-prompt", Fault::PasswordPrompt},
        {"split-prompt", Fault::SplitPrompt},
        {"no-prompt", Fault::NoPrompt},
        {"cut-stor", Fault::CutStor},
        {"cut-stor-in-place", Fault::CutStorInPlace},
        {"no-rename", Fault::NoRename},
        {"port-550", Fault::Port550},
        {"huge-listing", Fault::HugeListing},
    };
    for (const auto& [text, fault] : kMore) {
        if (name == text) {
            return fault;
        }
    }
    throw EUsageError("--fault: unknown fault: " + name);
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine result;
    bool have_dir = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string option = args[i];
        std::optional<std::string> inline_value;
        if (const std::size_t equals = option.find('=');
            option.rfind("--", 0) == 0 && equals != std::string::npos) {
            inline_value = option.substr(equals + 1);
            option.resize(equals);
        }
        if (option == "--help" || option == "-h") {
            result.help = true;
            continue;
        }
        const auto value = [&]() -> std::string {
            if (inline_value) {
                return *inline_value;
            }
            if (i + 1 >= args.size()) {
                throw EUsageError(option + ": a value is missing");
            }
            return args[++i];
        };
        if (option == "--dir") {
            result.options.dir = value();
            have_dir = true;
        } else if (option == "--ftp-port") {
            result.options.ftp_port =
                static_cast<std::uint16_t>(ParseNumber(option, value(), 65535));
        } else if (option == "--telnet-port") {
            result.options.telnet_port =
                static_cast<std::uint16_t>(ParseNumber(option, value(), 65535));
        } else if (option == "--user") {
            result.options.user = value();
        } else if (option == "--password") {
            result.options.password = value();
        } else if (option == "--log") {
            result.log_path = value();
        } else if (option == "--prompt") {
            result.options.prompt = value();
        } else if (option == "--fault") {
            result.options.faults.push_back(ParseFault(value()));
        } else if (option == "--slow-ms") {
            result.options.slow_delay =
                std::chrono::milliseconds(ParseNumber(option, value(), 600000));
        } else {
            throw EUsageError("unknown option: " + args[i]);
        }
    }
    if (!have_dir && !result.help) {
        throw EUsageError("--dir is required");
    }
    return result;
}

std::string HelpText() {
    return R"(Usage: tapir-boxsim --dir DIR [options]

A receiver simulator on 127.0.0.1: an FTP server that serves DIR as /etc/enigma2 and a
telnet server with a login ("root" needs no password) and a shell prompt, where
"killall -9 enigma2" counts as a restart of the receiver's software.
Once listening it prints one line "ftp-port N telnet-port N" on standard output.
SIGTERM or SIGINT stops it.

Options:
  --dir DIR            directory served as /etc/enigma2 (required)
  --ftp-port N         FTP port (default 0: any free port)
  --telnet-port N      telnet port (default 0: any free port)
  --user U             FTP user name (default root)
  --password P         FTP password (default dreambox)
  --prompt TEXT        shell prompt after the telnet login (default "root@dm7025:~# ");
                       the host name in it also names the login prompt
  --log FILE           append the log of commands, lines and restarts to FILE
                       (default: standard error)
  --fault NAME         misbehave for tests; may be given several times:
                         refuse-password   answer every PASS with 530
                         nlst-550          answer a listing that matches nothing with 550
                                           instead of an empty list
                         close-data-early  RETR sends half of the file, STOR keeps only
                                           the first piece it reads; the data connection
                                           is closed and 451 follows
                         slow              delay every reply and piece of output
                         silent-after-accept  accept FTP and telnet connections, then
                                           never send a byte
                         stall-data        open data connections, then neither send nor
                                           read on them
                         password-prompt   telnet asks "Password: " after "root" and
                                           takes the FTP password
                         split-prompt      telnet sends its prompts a few bytes at a time
                         no-prompt         telnet shows no shell prompt after the login
                         cut-stor          STOR keeps the first 100 bytes, closes the data
                                           connection and answers 426, then 226
                         cut-stor-in-place as cut-stor, for the first STOR that
                                           overwrites an existing file
                         no-rename         RNFR is answered 502 (not implemented)
                         port-550          every PORT is answered 550
                         huge-listing      NLST sends 200 000 names whatever the mask
  --slow-ms N          delay of the slow fault in milliseconds (default 200)
  --help, -h           show this text
)";
}

}  // namespace tapir::boxsim
