#pragma once
// The transfers between the program and the box: the download of the box's channel lists and
// timer list at start-up, the upload of the new timer list, and the telnet dialogue that
// restarts the box's software. The FTP flows run on the calling (UI) thread and block it; the
// client's OnWork handler is where the caller keeps its window alive and offers a cancel.

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/settings.h"
#include "transfer/id_ftp.h"
#include "transfer/id_telnet.h"

namespace tapir {
class Exception;
}

namespace tapir::transfer {

inline constexpr char kBoxDirectory[] = "/etc/enigma2";
// Name patterns listed by the download, in this order. Real receivers keep their service list
// in "lamedb"; older ones in "services".
inline constexpr std::array<std::string_view, 6> kDownloadPatterns = {
    "userbouquet*.*", "services", "lamedb", "bouquets.tv", "bouquets.radio", "timers.xml"};
inline constexpr char kUploadLocalName[] = "timers.new";
inline constexpr char kUploadRemoteName[] = "timers.xml";
inline constexpr char kAlertCaption[] = "Alert!";
inline constexpr char kRestartCommand[] = "killall -9 enigma2\n";
inline constexpr char kLoginReply[] = "root\n";

using LogFunction = std::function<void(const std::string& line)>;

// An OnStatus handler for the FTP client that logs "asStatusText : " + the status text.
[[nodiscard]] TIdFTP::StatusHandler FtpStatusLogger(LogFunction log);

// Copies the box's files from /etc/enigma2 into `program_dir` (which ends in '/'). First removes
// the temporary files an interrupted earlier fetch left in `program_dir`. Then lists every
// pattern of kDownloadPatterns and fetches every listed name that matches the pattern it was
// listed for (compared by its file name, the part after the last '/'), each replacing its local
// copy only once completely received. Only a 450 or 550 reply to NLST itself counts as no
// match; a refused PORT or any other refused step is an error, and so is a listing past the
// client's bounds (EIdListingTooLarge). Returns the file names fetched, in order, each once.
// On any error, a timeout or a cancel (EAbort) the connection is closed and the error is
// rethrown (tapir::Exception kinds of the FTP client); the caller shows DownloadAlertText.
std::vector<std::string> DownloadBoxFiles(TIdFTP& IdFTP1, const platform::Settings& settings,
                                          const std::string& program_dir);

// Fetches /etc/enigma2/`remote_name` into `local_path` (replaced only once completely received)
// and returns true; returns false, with `local_path` untouched, when the box does not have the
// file (NLST of the name refused with 450/550 or not listing it). Transfers in binary ("type I").
// Every other failure throws as DownloadBoxFiles does. The connection is closed in every case.
bool FetchBoxFile(TIdFTP& IdFTP1, const platform::Settings& settings,
                  const std::string& remote_name, const std::string& local_path);

// The text of the "Alert!" message box shown when the download fails: the fixed two lines, a
// blank line, then the error's kind name directly followed by its message.
[[nodiscard]] std::string DownloadAlertText(const tapir::Exception& error);

// Appended to a remote name for the temporary name an upload is stored under.
inline constexpr char kUploadTempSuffix[] = ".tapir-upload";

// Stores `local_path` on the box as /etc/enigma2/`remote_name`, in binary ("type I"), so that the
// box never keeps a cut file under that name when the transfer breaks: the bytes go to
// `remote_name` + kUploadTempSuffix, which is renamed into place (RNFR/RNTO) only once the transfer
// completed (a cut one is deleted again, on a new connection if need be); then the size the
// server reports (SIZE) is compared with the local file's, or, when
// the server reports none, the file is fetched back and compared byte for byte. Where the server
// refuses the rename, the temporary file is deleted, the file is stored under its own name and
// fetched back to compare; a break of that transfer does leave a cut file on the box, which the
// caller repairs from its backup.
// Throws EUploadFailed when the upload did not arrive whole (426 or a broken data connection, a
// size or a copy that differs), EFOpenError/EReadError for the local file, and the FTP
// client's errors (connection, refusals, timeouts, EAbort). The connection is closed in every
// case, so the upload can be tried again.
void UploadFileVerified(TIdFTP& IdFTP1, const platform::Settings& settings,
                        const std::string& local_path, const std::string& remote_name);

// UploadFileVerified of `program_dir` + "timers.new" as "timers.xml".
void UploadTimersFile(TIdFTP& IdFTP1, const platform::Settings& settings,
                      const std::string& program_dir);

// Connects the telnet client to the box with the time limits of `settings`; returns once the
// reader runs. Throws EIdTelnetClientConnectError "server not responding" when the box cannot
// be reached, EIdConnectTimeout when it does not answer in time, EIdAlreadyConnected when an
// earlier dialogue is still connected or its reader has not ended (TIdTelnet::Connect never
// joins a reader that may be waiting for the UI thread).
// Requires: IdTelnet1.OnDataAvailable is bound (e.g. to a RestartDialogue).
void StartRestart(TIdTelnet& IdTelnet1, const platform::Settings& settings);

// The restart dialogue, fed every received telnet chunk in order. It logs each chunk and keeps
// the last few hundred characters, so that a prompt split over several chunks is still seen.
// On "killall:" it disconnects. Until the restart command is sent it answers, in this order:
// the configured shell prompt with "killall -9 enigma2\n"; a "login" prompt once with "root\n";
// a "password" prompt once with the configured password; and, after a login or password was
// answered, any text ending in "# " or "$ " with the restart command (logged, as the configured
// prompt did not appear). The restart command is sent at most once per dialogue. Errors of the
// actions are dropped (a write after a disconnect).
class RestartDialogue {
  public:
    struct Actions {
        LogFunction log;
        std::function<void()> disconnect;
        std::function<void(std::string_view bytes)> write;
    };

    // `prompt` is the box's shell prompt (empty: the default); it is compared in lower case.
    // `password` answers a password prompt.
    RestartDialogue(std::string prompt, Actions actions, std::string password = {});
    // Actions bound to a telnet client; `telnet` must outlive the dialogue.
    RestartDialogue(std::string prompt, TIdTelnet& telnet, LogFunction log,
                    std::string password = {});

    // Optional; runs once, right after the restart command has been written.
    std::function<void()> OnRestartSent;

    // The IdTelnet1DataAvailable handler body.
    void DataAvailable(const std::string& text);
    // True once the restart command has been written.
    [[nodiscard]] bool RestartSent() const { return restart_sent_; }

  private:
    static constexpr std::size_t kTailSize = 512;

    void SendRestart();

    std::string prompt_;
    std::string password_;
    Actions actions_;
    std::string tail_;  // the latest received text, original case, at most kTailSize bytes
    bool login_sent_ = false;
    bool password_sent_ = false;
    bool restart_sent_ = false;
};

}  // namespace tapir::transfer
