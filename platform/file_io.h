#pragma once
// Whole-file reads for the platform layer's small text files (profile files, zone files).

#include <optional>
#include <string>

namespace tapir::platform {

// The bytes of the regular file at `path`, or nullopt when it cannot be opened or read or
// is not a regular file; `error` (optional) receives errno, ENOENT for a missing file.
std::optional<std::string> ReadWholeFile(const std::string& path, int* error = nullptr);

}  // namespace tapir::platform
