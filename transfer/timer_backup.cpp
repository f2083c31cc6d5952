#include "transfer/timer_backup.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "transfer/errors.h"

namespace tapir::transfer {

namespace {

namespace fs = std::filesystem;

constexpr char kBackupPrefix[] = "timers-";
constexpr char kBackupSuffix[] = ".xml";

// "timers-" 8 digits "-" 6 digits ".xml".
bool IsTimerBackupName(const std::string& name) {
    const std::string prefix = kBackupPrefix;
    const std::string suffix = kBackupSuffix;
    if (name.size() != prefix.size() + 15 + suffix.size() || name.rfind(prefix, 0) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    for (std::size_t i = 0; i < 15; ++i) {
        const char c = name[prefix.size() + i];
        if (i == 8 ? c != '-' : std::isdigit(static_cast<unsigned char>(c)) == 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string BackupFolder(const std::string& program_dir) {
    return program_dir + kBackupFolderName + "/";
}

std::string TimerBackupName(platform::TDateTime when) {
    const platform::DateTimeParts parts = platform::DecodeDateTime(when);
    char text[32];
    std::snprintf(text, sizeof(text), "%04d%02d%02d-%02d%02d%02d", parts.year, parts.month,
                  parts.day, parts.hour, parts.minute, parts.second);
    return kBackupPrefix + std::string(text) + kBackupSuffix;
}

std::string PrepareTimerBackupPath(const std::string& program_dir, platform::TDateTime when) {
    const std::string folder = BackupFolder(program_dir);
    std::error_code error;
    fs::create_directories(folder, error);
    if (error || !fs::is_directory(folder, error)) {
        throw EFCreateError(folder);
    }
    return folder + TimerBackupName(when);
}

std::vector<std::string> TimerBackups(const std::string& program_dir) {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(BackupFolder(program_dir), error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (IsTimerBackupName(name) && it->is_regular_file(error)) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> paths;
    paths.reserve(names.size());
    for (const std::string& name : names) {
        paths.push_back(BackupFolder(program_dir) + name);
    }
    return paths;
}

std::vector<std::string> PruneTimerBackups(const std::string& program_dir, std::size_t keep) {
    std::vector<std::string> removed;
    const std::vector<std::string> backups = TimerBackups(program_dir);
    if (backups.size() <= keep) {
        return removed;
    }
    for (std::size_t i = 0; i < backups.size() - keep; ++i) {
        std::error_code error;
        if (fs::remove(backups[i], error)) {
            removed.push_back(backups[i]);
        }
    }
    return removed;
}

}  // namespace tapir::transfer
