#include "platform/settings.h"

#include <string_view>

#include "platform/profile.h"

namespace tapir::platform {

namespace {

std::string TrimBlanks(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && blank(text[begin])) {
        ++begin;
    }
    while (end > begin && blank(text[end - 1])) {
        --end;
    }
    return std::string(text.substr(begin, end - begin));
}

int ReadPort(const std::string& path, const char* key, int fallback) {
    const int32_t port = ReadProfileInteger(path, kSettingsSection, key, fallback);
    return port >= 1 && port <= 65535 ? port : fallback;
}

int ReadTimeout(const std::string& path, const char* key, int fallback) {
    const int32_t seconds = ReadProfileInteger(path, kSettingsSection, key, fallback);
    return seconds >= 1 && seconds <= kMaxTimeout ? seconds : fallback;
}

void Write(const std::string& path, const char* key, const std::string& value) {
    if (!WriteProfileString(path, kSettingsSection, key, value)) {
        throw EIniFileException("Unable to write to " + path);
    }
}

}  // namespace

Settings ReadSettings(const std::string& config_path) {
    Settings settings;
    settings.Ip = ReadProfileString(config_path, kSettingsSection, "Ip", "");
    settings.Username = ReadProfileString(config_path, kSettingsSection, "Username", "");
    settings.Password = ReadProfileString(config_path, kSettingsSection, "Password", "");
    settings.UTC_Offset = ReadProfileInteger(config_path, kSettingsSection, "UTC_Offset", 0);
    settings.UTC_Auto = ReadProfileBool(config_path, kSettingsSection, "UTC_Auto", true);
    settings.FtpPort = ReadPort(config_path, "FtpPort", kDefaultFtpPort);
    settings.TelnetPort = ReadPort(config_path, "TelnetPort", kDefaultTelnetPort);
    settings.ConnectTimeout = ReadTimeout(config_path, "ConnectTimeout", kDefaultConnectTimeout);
    settings.ReplyTimeout = ReadTimeout(config_path, "ReplyTimeout", kDefaultReplyTimeout);
    settings.Prompt = ReadProfileString(config_path, kSettingsSection, "Prompt", "");
    if (settings.Prompt.empty()) {
        settings.Prompt = kDefaultPrompt;
    }
    return settings;
}

void WriteSettings(const std::string& config_path, const Settings& settings) {
    Write(config_path, "Ip", TrimBlanks(settings.Ip));
    Write(config_path, "Username", TrimBlanks(settings.Username));
    Write(config_path, "Password", TrimBlanks(settings.Password));
    Write(config_path, "UTC_Offset", std::to_string(settings.UTC_Offset));
    Write(config_path, "UTC_Auto", settings.UTC_Auto ? "1" : "0");
}

std::string MainCaption(const Settings& settings) { return "Tapir  " + settings.Ip + ":   (v0.1)"; }

}  // namespace tapir::platform
