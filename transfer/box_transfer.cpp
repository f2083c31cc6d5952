#include "transfer/box_transfer.h"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exception>
#include <fstream>
#include <optional>
#include <sstream>
#include <utility>

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

// Downloads keep the client's text type; uploads and the fetches that check or back up a
// file use binary, so that no server's line-end conversion changes the bytes compared.
void PrepareFtp(TIdFTP& ftp, const platform::Settings& settings,
                TIdFTPTransferType type = ftASCII) {
    ftp.SetTransferType(type);
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
    RemoveInterruptedGets(program_dir);
    PrepareFtp(IdFTP1, settings);
    std::vector<std::string> fetched;
    try {
        IdFTP1.Connect(true);
        IdFTP1.ChangeDir(kBoxDirectory);
        // Listed name and local name of every file to fetch.
        std::vector<std::pair<std::string, std::string>> wanted;
        std::vector<std::string> names;
        for (const std::string_view pattern : kDownloadPatterns) {
            const std::string mask(pattern);
            if (!IdFTP1.ListNamesIfAny(names, mask)) {
                continue;
            }
            for (const std::string& name : names) {
                // A server may list more than was asked for; only what the pattern names is
                // written into the program's folder, so that no listing can replace the
                // program's own files.
                const std::string local_name = LocalName(name);
                if (local_name.empty() ||
                    ::fnmatch(mask.c_str(), local_name.c_str(), FNM_PERIOD) != 0) {
                    continue;
                }
                const bool seen = std::any_of(wanted.begin(), wanted.end(), [&](const auto& entry) {
                    return entry.second == local_name;
                });
                if (!seen) {
                    wanted.emplace_back(name, local_name);
                }
            }
        }
        for (const auto& [name, local_name] : wanted) {
            IdFTP1.Get(name, program_dir + local_name);
            fetched.push_back(local_name);
        }
    } catch (...) {
        IdFTP1.Disconnect();
        throw;
    }
    IdFTP1.Disconnect();
    return fetched;
}

bool FetchBoxFile(TIdFTP& IdFTP1, const platform::Settings& settings,
                  const std::string& remote_name, const std::string& local_path) {
    PrepareFtp(IdFTP1, settings, ftBinary);
    bool present = false;
    try {
        IdFTP1.Connect(true);
        IdFTP1.ChangeDir(kBoxDirectory);
        std::vector<std::string> names;
        if (IdFTP1.ListNamesIfAny(names, remote_name)) {
            present = std::any_of(names.begin(), names.end(), [&](const std::string& name) {
                return LocalName(name) == remote_name;
            });
        }
        if (present) {
            IdFTP1.Get(remote_name, local_path);
        }
    } catch (...) {
        IdFTP1.Disconnect();
        throw;
    }
    IdFTP1.Disconnect();
    return present;
}

std::string DownloadAlertText(const tapir::Exception& error) {
    return kDownloadAlertIntro + error.KindName() + error.Message();
}

namespace {

std::string ReadLocalFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw EFOpenError(path);
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) {
        throw EReadError(path);
    }
    return std::move(content).str();
}

// Stores the file; a transfer the server cut off becomes EUploadFailed.
void PutWhole(TIdFTP& ftp, const std::string& local_path, const std::string& stored_name,
              const std::string& remote_name) {
    try {
        ftp.Put(local_path, stored_name);
    } catch (const EIdProtocolReplyError& error) {
        if (error.Code() != 426) {
            throw;
        }
        throw EUploadFailed(remote_name,
                            "the receiver cut the transfer off (" + error.Message() + ").");
    } catch (const EIdSocketError& error) {
        throw EUploadFailed(remote_name,
                            "the data connection broke off (" + error.Message() + ").");
    } catch (const EIdConnClosedGracefully&) {
        throw EUploadFailed(remote_name, "the receiver closed the data connection early.");
    }
}

std::string ByteCount(std::uint64_t done, std::uint64_t total) {
    return std::to_string(done) + " of " + std::to_string(total) + " bytes";
}

// Fetches the stored file back beside `local_path` and compares it with `content`.
void VerifyByFetching(TIdFTP& ftp, const std::string& local_path, const std::string& remote_name,
                      const std::string& content) {
    const std::string copy_path = local_path + ".check";
    std::string copy;
    try {
        ftp.Get(remote_name, copy_path);
        copy = ReadLocalFile(copy_path);
    } catch (...) {
        std::remove(copy_path.c_str());
        throw;
    }
    std::remove(copy_path.c_str());
    if (copy != content) {
        throw EUploadFailed(remote_name, "the copy read back differs from the file sent (" +
                                             ByteCount(copy.size(), content.size()) + ").");
    }
}

// Removes a temporary upload, on a new connection when the failure closed the old one. Any
// failure here leaves the file behind under its temporary name (the next upload replaces it);
// the caller goes on to report the error that brought it here.
void TryDelete(TIdFTP& ftp, const std::string& name) {
    try {
        if (!ftp.Connected()) {
            ftp.Connect(true);
            ftp.ChangeDir(kBoxDirectory);
        }
        ftp.Delete(name);
    } catch (const tapir::Exception&) {
    }
}

}  // namespace

void UploadFileVerified(TIdFTP& IdFTP1, const platform::Settings& settings,
                        const std::string& local_path, const std::string& remote_name) {
    const std::string content = ReadLocalFile(local_path);
    const std::string temp_name = remote_name + kUploadTempSuffix;
    PrepareFtp(IdFTP1, settings, ftBinary);
    IdFTP1.Connect(true);
    try {
        IdFTP1.ChangeDir(kBoxDirectory);
        try {
            PutWhole(IdFTP1, local_path, temp_name, remote_name);
        } catch (const EUploadFailed&) {
            TryDelete(IdFTP1, temp_name);
            throw;
        }
        bool renamed = true;
        try {
            IdFTP1.Rename(temp_name, remote_name);
        } catch (const EIdProtocolReplyError&) {
            renamed = false;
        }
        if (renamed) {
            const std::optional<std::uint64_t> size = IdFTP1.Size(remote_name);
            if (!size) {
                VerifyByFetching(IdFTP1, local_path, remote_name, content);
            } else if (*size != content.size()) {
                throw EUploadFailed(remote_name,
                                    "the receiver holds " + ByteCount(*size, content.size()) + ".");
            }
        } else {
            TryDelete(IdFTP1, temp_name);
            PutWhole(IdFTP1, local_path, remote_name, remote_name);
            VerifyByFetching(IdFTP1, local_path, remote_name, content);
        }
    } catch (...) {
        IdFTP1.Disconnect();
        throw;
    }
    IdFTP1.Disconnect();
}

void UploadTimersFile(TIdFTP& IdFTP1, const platform::Settings& settings,
                      const std::string& program_dir) {
    UploadFileVerified(IdFTP1, settings, program_dir + kUploadLocalName, kUploadRemoteName);
}

void StartRestart(TIdTelnet& IdTelnet1, const platform::Settings& settings) {
    IdTelnet1.SetHost(settings.Ip);
    IdTelnet1.SetPort(PortOrDefault(settings.TelnetPort, platform::kDefaultTelnetPort));
    IdTelnet1.SetConnectTimeout(settings.ConnectTimeout * 1000);
    IdTelnet1.SetReplyTimeout(settings.ReplyTimeout * 1000);
    IdTelnet1.Connect();
}

RestartDialogue::RestartDialogue(std::string prompt, Actions actions, std::string password)
    : prompt_(LowerAscii(prompt.empty() ? std::string(platform::kDefaultPrompt) : prompt)),
      password_(std::move(password)),
      actions_(std::move(actions)) {}

RestartDialogue::RestartDialogue(std::string prompt, TIdTelnet& telnet, LogFunction log,
                                 std::string password)
    : RestartDialogue(std::move(prompt),
                      Actions{std::move(log), [&telnet] { telnet.Disconnect(); },
                              [&telnet](std::string_view bytes) { telnet.Write(bytes); }},
                      std::move(password)) {}

void RestartDialogue::SendRestart() {
    actions_.write(kRestartCommand);
    restart_sent_ = true;
    tail_.clear();
    if (OnRestartSent) {
        OnRestartSent();
    }
}

void RestartDialogue::DataAvailable(const std::string& text) {
    if (actions_.log) {
        actions_.log(text);
    }
    tail_ += text;
    if (tail_.size() > kTailSize) {
        tail_.erase(0, tail_.size() - kTailSize);
    }
    const std::string low = LowerAscii(tail_);
    const auto contains = [&low](std::string_view part) {
        return low.find(part) != std::string::npos;
    };
    // A failing action (e.g. a write after a disconnect) ends this chunk quietly.
    try {
        if (contains("killall:")) {
            tail_.clear();
            actions_.disconnect();
            return;
        }
        if (restart_sent_) {
            return;
        }
        if (contains(prompt_)) {
            SendRestart();
        } else if (!login_sent_ && contains("login")) {
            login_sent_ = true;
            tail_.clear();
            actions_.write(kLoginReply);
        } else if (!password_sent_ && contains("password")) {
            password_sent_ = true;
            tail_.clear();
            actions_.write(password_ + "\n");
        } else if ((login_sent_ || password_sent_) &&
                   (low.ends_with("# ") || low.ends_with("$ "))) {
            const std::size_t line_start = tail_.find_last_of("\r\n");
            const std::string shown =
                line_start == std::string::npos ? tail_ : tail_.substr(line_start + 1);
            if (actions_.log) {
                actions_.log("Shell prompt \"" + shown + "\" taken for the configured \"" +
                             prompt_ + "\", which did not appear.");
            }
            SendRestart();
        }
    } catch (const std::exception&) {
    }
}

}  // namespace tapir::transfer
