#pragma once
// Where the program keeps config.ini and its copies of the receiver's files. Run from the
// build tree that is the program's own folder; installed, it is the user's configuration
// folder, since an installed program's folder is not the user's to write.

#include <functional>
#include <string>

namespace tapir::platform {

// Reads an environment variable; nullptr when it is not set.
using EnvironmentReader = std::function<const char*(const char* name)>;

// True when `application_dir` is the `bin` folder of an installation: its parent holds
// share/applications/tapir.desktop.
bool IsInstalledLayout(const std::string& application_dir);

// The program's folder, ending in '/':
//  - `workdir` when it is not empty;
//  - installed (IsInstalledLayout): $XDG_CONFIG_HOME/tapir, or $HOME/.config/tapir when
//    XDG_CONFIG_HOME is unset, empty or not absolute; created (with its parents) when
//    missing;
//  - otherwise `application_dir`.
// Throws EInOutError "Cannot create folder <path>: <reason>" when the configuration folder
// cannot be created, and when neither variable gives an absolute folder.
std::string ResolveProgramDir(const std::string& workdir, const std::string& application_dir,
                              const EnvironmentReader& environment);

}  // namespace tapir::platform
