#include "transfer/box_transfer.h"

#include <algorithm>
#include <cctype>
#include <exception>

#include "platform/exception.h"
#include "transfer/errors.h"

namespace tapir::transfer {

namespace {

constexpr char kDownloadAlertIntro[] =
    "FTP fout bij het ophalen van bestanden vanaf de DM7025\n"
    "Mogelijk zijn er geen of oude timers ingelezen.\n\n";

std::string LowerAscii(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

std::uint16_t PortOrDefault(int port, std::uint16_t fallback) {
    return port >= 1 && port <= 65535 ? static_cast<std::uint16_t>(port) : fallback;
}

void PrepareFtp(TIdFTP& ftp, const platform::Settings& settings) {
    ftp.SetHost(settings.Ip);
    ftp.SetUser(settings.Username);
    ftp.SetPassword(settings.Password);
    ftp.SetPort(PortOrDefault(settings.FtpPort, platform::kDefaultFtpPort));
    ftp.SetConnectTimeout(settings.ConnectTimeout * 1000);
    ftp.SetReplyTimeout(settings.ReplyTimeout * 1000);
}

// The local name of a listed box name: the part after the last '/', so that a listing can
// never make the download write outside the program's directory. Empty for names that cannot
// be a file ("", ".", "..").
std::string LocalName(const std::string& listed) {
    const std::size_t slash = listed.rfind('/');
    std::string name = slash == std::string::npos ? listed : listed.substr(slash + 1);
    if (name == "." || name == "..") {
        name.clear();
    }
    return name;
}

}  // namespace

TIdFTP::StatusHandler FtpStatusLogger(LogFunction log) {
    return [log = std::move(log)](ConnectionStatus, const std::string& text) {
        if (log) {
            log("asStatusText : " + text);
        }
    };
}

std::vector<std::string> DownloadBoxFiles(TIdFTP& IdFTP1, const platform::Settings& settings,
                                          const std::string& program_dir) {
    PrepareFtp(IdFTP1, settings);
    std::vector<std::string> download_list;
    try {
        IdFTP1.Connect(true);
        IdFTP1.ChangeDir(kBoxDirectory);
        std::vector<std::string> names;
        for (const std::string_view pattern : kDownloadPatterns) {
            try {
                IdFTP1.ListNames(names, std::string(pattern));
            } catch (const EIdProtocolReplyError& error) {
                // Servers answer a pattern without matches either with an empty list or so.
                if (error.Code() != 450 && error.Code() != 550) {
                    throw;
                }
                names.clear();
            }
            download_list.insert(download_list.end(), names.begin(), names.end());
        }
        for (const std::string& name : download_list) {
            const std::string local_name = LocalName(name);
            if (local_name.empty()) {
                continue;
            }
            IdFTP1.Get(name, program_dir + local_name);
        }
    } catch (...) {
        IdFTP1.Disconnect();
        throw;
    }
    IdFTP1.Disconnect();
    return download_list;
}

std::string DownloadAlertText(const tapir::Exception& error) {
    return kDownloadAlertIntro + error.KindName() + error.Message();
}

void UploadTimersFile(TIdFTP& IdFTP1, const platform::Settings& settings,
                      const std::string& program_dir) {
    PrepareFtp(IdFTP1, settings);
    IdFTP1.Connect(true);
    try {
        IdFTP1.ChangeDir(kBoxDirectory);
        IdFTP1.Put(program_dir + kUploadLocalName, kUploadRemoteName);
    } catch (...) {
        IdFTP1.Disconnect();
        throw;
    }
    IdFTP1.Disconnect();
}

void StartRestart(TIdTelnet& IdTelnet1, const platform::Settings& settings) {
    IdTelnet1.SetHost(settings.Ip);
    IdTelnet1.SetPort(PortOrDefault(settings.TelnetPort, platform::kDefaultTelnetPort));
    IdTelnet1.SetConnectTimeout(settings.ConnectTimeout * 1000);
    IdTelnet1.SetReplyTimeout(settings.ReplyTimeout * 1000);
    IdTelnet1.Connect();
}

RestartDialogue::RestartDialogue(std::string prompt, Actions actions)
    : prompt_(LowerAscii(prompt.empty() ? std::string(platform::kDefaultPrompt) : prompt)),
      actions_(std::move(actions)) {}

RestartDialogue::RestartDialogue(std::string prompt, TIdTelnet& telnet, LogFunction log)
    : RestartDialogue(std::move(prompt),
                      Actions{std::move(log), [&telnet] { telnet.Disconnect(); },
                              [&telnet](std::string_view bytes) { telnet.Write(bytes); }}) {}

void RestartDialogue::DataAvailable(const std::string& text) const {
    if (actions_.log) {
        actions_.log(text);
    }
    const std::string low = LowerAscii(text);
    // A failing action (e.g. a write after the disconnect above it) ends this chunk quietly.
    try {
        if (low.find("killall:") != std::string::npos) {
            actions_.disconnect();
        }
        if (low.find(prompt_) != std::string::npos) {
            actions_.write(kRestartCommand);
        }
        if (low.find("login") != std::string::npos) {
            actions_.write(kLoginReply);
        }
    } catch (const std::exception&) {
    }
}

}  // namespace tapir::transfer
