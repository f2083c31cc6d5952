#include "transfer/local_copies.h"

#include <fnmatch.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "transfer/box_transfer.h"
#include "transfer/errors.h"
#include "transfer/timer_backup.h"

namespace tapir::transfer {

namespace {

namespace fs = std::filesystem;

std::string LastPart(const std::string& name) {
    const std::size_t slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

std::string StaleFolderName(platform::TDateTime when) {
    // "timers-YYYYMMDD-HHMMSS.xml" without its prefix and suffix.
    const std::string stamp = TimerBackupName(when);
    return "stale-" + stamp.substr(7, 15);
}

}  // namespace

bool IsChannelFileName(const std::string& name) {
    if (name.empty() || name == kUploadRemoteName) {
        return false;
    }
    for (const std::string_view pattern : kDownloadPatterns) {
        const std::string text(pattern);
        if (text != kUploadRemoteName && ::fnmatch(text.c_str(), name.c_str(), 0) == 0) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> MoveStaleCopies(const std::string& program_dir,
                                         const std::vector<std::string>& listed,
                                         platform::TDateTime when) {
    std::vector<std::string> listed_names;
    listed_names.reserve(listed.size());
    for (const std::string& name : listed) {
        listed_names.push_back(LastPart(name));
    }
    std::vector<std::string> stale;
    std::error_code error;
    for (fs::directory_iterator it(program_dir, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        std::error_code type_error;
        if (IsChannelFileName(name) && it->is_regular_file(type_error) &&
            std::find(listed_names.begin(), listed_names.end(), name) == listed_names.end()) {
            stale.push_back(name);
        }
    }
    if (stale.empty()) {
        return stale;
    }
    std::sort(stale.begin(), stale.end());
    const std::string folder = BackupFolder(program_dir) + StaleFolderName(when) + "/";
    std::error_code create_error;
    fs::create_directories(folder, create_error);
    if (create_error) {
        throw EFCreateError(folder);
    }
    for (const std::string& name : stale) {
        std::error_code move_error;
        fs::rename(program_dir + name, folder + name, move_error);
        if (move_error) {
            throw EFCreateError(folder + name);
        }
    }
    return stale;
}

void AdoptUploadedTimers(const std::string& program_dir, const std::string& uploaded) {
    const std::string source = program_dir + uploaded;
    const std::string target = program_dir + kUploadRemoteName;
    const std::string scratch = target + ".part";
    std::ifstream in(source, std::ios::binary);
    if (!in) {
        throw EFOpenError(source);
    }
    {
        std::ofstream out(scratch, std::ios::binary | std::ios::trunc);
        if (!out) {
            throw EFCreateError(scratch);
        }
        out << in.rdbuf();
        out.flush();
        if (!out || in.bad()) {
            out.close();
            std::error_code ignored;
            fs::remove(scratch, ignored);
            throw EWriteError(target);
        }
    }
    std::error_code error;
    fs::rename(scratch, target, error);
    if (error) {
        fs::remove(scratch, error);
        throw EWriteError(target);
    }
}

}  // namespace tapir::transfer
