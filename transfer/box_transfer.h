#pragma once
// The transfers between the program and the box: the download of the box's channel lists and
// timer list at start-up, the upload of the new timer list, and the telnet dialogue that
// restarts the box's software. All run on the UI thread and block it.

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

// Copies the box's files from /etc/enigma2 into `program_dir` (which ends in '/'): lists every
// pattern of kDownloadPatterns, then fetches every listed name, each replacing its local copy
// only once completely received. A listing refused with reply code 450 or 550 counts as no
// match. Returns the download list. On any error the connection is closed and the error is
// rethrown (tapir::Exception kinds of the FTP client); the caller shows DownloadAlertText.
std::vector<std::string> DownloadBoxFiles(TIdFTP& IdFTP1, const platform::Settings& settings,
                                          const std::string& program_dir);

// The text of the "Alert!" message box shown when the download fails: the fixed two lines, a
// blank line, then the error's kind name directly followed by its message.
[[nodiscard]] std::string DownloadAlertText(const tapir::Exception& error);

// Stores `program_dir` + "timers.new" on the box as /etc/enigma2/timers.xml. Any failure after
// the connect closes the connection before the error is rethrown, so it can be tried again.
void UploadTimersFile(TIdFTP& IdFTP1, const platform::Settings& settings,
                      const std::string& program_dir);

// Connects the telnet client to the box; returns once the reader runs. Throws
// EIdTelnetClientConnectError "server not responding" when the box cannot be reached.
// Requires: IdTelnet1.OnDataAvailable is bound (e.g. to a RestartDialogue).
void StartRestart(TIdTelnet& IdTelnet1, const platform::Settings& settings);

// The restart dialogue run for every received telnet chunk: log it; on "killall:" disconnect;
// on the shell prompt send "killall -9 enigma2\n"; on "login" send "root\n" — tested in that
// order on the lower-cased chunk, each independently. Errors of these actions are dropped.
// Keeps no state between chunks.
class RestartDialogue {
  public:
    struct Actions {
        LogFunction log;
        std::function<void()> disconnect;
        std::function<void(std::string_view bytes)> write;
    };

    // `prompt` is the box's shell prompt; it is compared in lower case.
    RestartDialogue(std::string prompt, Actions actions);
    // Actions bound to a telnet client; `telnet` must outlive the dialogue.
    RestartDialogue(std::string prompt, TIdTelnet& telnet, LogFunction log);

    // The IdTelnet1DataAvailable handler body.
    void DataAvailable(const std::string& text) const;

  private:
    std::string prompt_;
    Actions actions_;
};

}  // namespace tapir::transfer
