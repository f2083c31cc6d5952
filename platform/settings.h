#pragma once
// The program's settings in config.ini, section DU7025: the box's address and login, the
// choice of time conversion, and the optional ports and shell prompt used to reach the box.

#include <cstdint>
#include <string>

namespace tapir::platform {

inline constexpr char kSettingsSection[] = "DU7025";
inline constexpr int kDefaultFtpPort = 21;
inline constexpr int kDefaultTelnetPort = 23;
inline constexpr char kDefaultPrompt[] = "root@dm7025";
inline constexpr int kDefaultConnectTimeout = 10;  // seconds
inline constexpr int kDefaultReplyTimeout = 30;    // seconds
// Longest time limit accepted from the file, in seconds (one hour).
inline constexpr int kMaxTimeout = 3600;

struct Settings {
    std::string Ip;
    std::string Username;
    std::string Password;
    int32_t UTC_Offset = 0;  // hours, local = UTC + offset
    bool UTC_Auto = true;
    // Optional keys, read only; never written by WriteSettings.
    int FtpPort = kDefaultFtpPort;        // 1..65535, else the default
    int TelnetPort = kDefaultTelnetPort;  // 1..65535, else the default
    std::string Prompt = kDefaultPrompt;  // empty in the file gives the default
    // Seconds to wait for the box to accept a connection, and for a reply or for data to move.
    int ConnectTimeout = kDefaultConnectTimeout;  // 1..kMaxTimeout, else the default
    int ReplyTimeout = kDefaultReplyTimeout;      // 1..kMaxTimeout, else the default
};

// Reads Ip, Username, Password (texts, default empty), UTC_Offset (integer, default 0),
// UTC_Auto (integer not 0, default 1), and FtpPort, TelnetPort, Prompt, ConnectTimeout,
// ReplyTimeout. A missing file or
// section gives the defaults; nothing is reported.
Settings ReadSettings(const std::string& config_path);

// Writes, in this order, Ip, Username, Password (trimmed), UTC_Offset (decimal) and UTC_Auto
// ("1"/"0") into section DU7025, creating the file when missing and leaving every other key
// and section as it was. Throws EIniFileException "Unable to write to <config_path>" at the
// first value that cannot be written; the values written before it stay written.
void WriteSettings(const std::string& config_path, const Settings& settings);

// Main window caption: "Tapir  " + Ip + ":   (v0.1)".
std::string MainCaption(const Settings& settings);

}  // namespace tapir::platform
