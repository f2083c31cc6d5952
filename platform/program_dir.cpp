#include "platform/program_dir.h"

#include <filesystem>
#include <system_error>

#include "platform/exception.h"

namespace tapir::platform {

namespace {

namespace fs = std::filesystem;

std::string WithSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/') {
        dir += '/';
    }
    return dir;
}

bool IsAbsolute(const char* value) { return value != nullptr && value[0] == '/'; }

}  // namespace

bool IsInstalledLayout(const std::string& application_dir) {
    const fs::path bin = fs::path(application_dir).lexically_normal();
    const fs::path dir = bin.has_filename() ? bin : bin.parent_path();
    if (dir.filename() != "bin") {
        return false;
    }
    std::error_code error;
    return fs::is_regular_file(dir.parent_path() / "share" / "applications" / "tapir.desktop",
                               error);
}

std::string ResolveProgramDir(const std::string& workdir, const std::string& application_dir,
                              const EnvironmentReader& environment) {
    if (!workdir.empty()) {
        return WithSlash(workdir);
    }
    if (!IsInstalledLayout(application_dir)) {
        return WithSlash(application_dir);
    }
    fs::path config;
    if (const char* xdg = environment("XDG_CONFIG_HOME"); IsAbsolute(xdg)) {
        config = xdg;
    } else if (const char* home = environment("HOME"); IsAbsolute(home)) {
        config = fs::path(home) / ".config";
    } else {
        throw tapir::Exception("EInOutError",
                               "Cannot create folder: neither XDG_CONFIG_HOME nor HOME names an "
                               "absolute folder");
    }
    const fs::path dir = config / "tapir";
    std::error_code error;
    fs::create_directories(dir, error);
    if (error || !fs::is_directory(dir)) {
        const std::string reason = error ? error.message() : "not a folder";
        throw tapir::Exception("EInOutError",
                               "Cannot create folder " + dir.string() + ": " + reason);
    }
    return WithSlash(dir.string());
}

}  // namespace tapir::platform
