#pragma once
// Copies of the receiver's timer list taken just before every upload, kept in the folder
// "backup/" beside the program's other files as timers-YYYYMMDD-HHMMSS.xml; only the
// newest ones are kept. File-system work only; the transfers are the caller's.

#include <cstddef>
#include <string>
#include <vector>

#include "platform/date_time.h"

namespace tapir::transfer {

inline constexpr char kBackupFolderName[] = "backup";
inline constexpr std::size_t kTimerBackupsKept = 10;

// `program_dir` (ending in '/') + "backup/".
[[nodiscard]] std::string BackupFolder(const std::string& program_dir);

// "timers-YYYYMMDD-HHMMSS.xml" for the local time `when`.
[[nodiscard]] std::string TimerBackupName(platform::TDateTime when);

// Creates the backup folder when missing and returns the path of the copy taken at `when`.
// Throws EFCreateError naming the folder when it cannot be created.
[[nodiscard]] std::string PrepareTimerBackupPath(const std::string& program_dir,
                                                 platform::TDateTime when);

// The paths of the timer copies in the backup folder, oldest first (the names sort by time).
// Other files in the folder are not listed.
[[nodiscard]] std::vector<std::string> TimerBackups(const std::string& program_dir);

// Removes all but the `keep` newest timer copies; returns the paths removed. Files that
// cannot be removed are left and not returned.
std::vector<std::string> PruneTimerBackups(const std::string& program_dir,
                                           std::size_t keep = kTimerBackupsKept);

}  // namespace tapir::transfer
