#pragma once
// The program's copies of the receiver's files in its own folder: after a download, copies of
// channel files the receiver no longer lists are moved aside into the backup folder (so the
// reader never takes an old "services" beside a fresh "lamedb" for current), and after an
// upload the uploaded timer list becomes the local copy of the receiver's timer list.
// File-system work only.

#include <string>
#include <vector>

#include "platform/date_time.h"

namespace tapir::transfer {

// True for a name the download fetches as part of the channel lists (a user bouquet file,
// "services", "lamedb", "bouquets.tv", "bouquets.radio"); false for the timer list and
// everything else.
[[nodiscard]] bool IsChannelFileName(const std::string& name);

// After a completed download: every local channel file in `program_dir` (ending in '/') whose
// name is not among `listed` (the names the receiver listed, a path's last part counting) is
// moved into backup/stale-YYYYMMDD-HHMMSS/ (local time `when`). Returns the names moved.
// Throws EFCreateError when the folder cannot be created or a copy cannot be moved.
std::vector<std::string> MoveStaleCopies(const std::string& program_dir,
                                         const std::vector<std::string>& listed,
                                         platform::TDateTime when);

// Makes `uploaded` (a file in `program_dir`) the local copy of the receiver's timer list:
// "timers.xml" is replaced by a copy of it in one step (written beside it, then renamed).
// Throws EFOpenError, EFCreateError or EWriteError; timers.xml is unchanged then.
void AdoptUploadedTimers(const std::string& program_dir, const std::string& uploaded);

}  // namespace tapir::transfer
