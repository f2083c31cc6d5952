#pragma once
// Errors raised while reading and writing the box's files. Their kind names are the ones
// the start-up and "Save & Exit" message boxes show; the texts are fixed.

#include <string>

#include "platform/exception.h"

namespace tapir::boxfiles {

// A file to be read is missing or unreadable: "Cannot open file <path>".
class EFOpenError : public tapir::Exception {
  public:
    explicit EFOpenError(const std::string& path)
        : tapir::Exception("EFOpenError", "Cannot open file " + path) {}
};

// A file to be written cannot be created: "Cannot create file <path>".
class EFCreateError : public tapir::Exception {
  public:
    explicit EFCreateError(const std::string& path)
        : tapir::Exception("EFCreateError", "Cannot create file " + path) {}
};

// Writing to a created file failed part-way (disk full, I/O error).
class EWriteError : public tapir::Exception {
  public:
    EWriteError() : tapir::Exception("EWriteError", "Stream write error") {}
};

// A text that should hold a number does not: "'<text>' is not a valid integer value".
class EConvertError : public tapir::Exception {
  public:
    static EConvertError NotAnInteger(const std::string& text) {
        return EConvertError("'" + text + "' is not a valid integer value");
    }

  private:
    explicit EConvertError(std::string message)
        : tapir::Exception("EConvertError", std::move(message)) {}
};

// A receiver file too large to be one: "File <path> is larger than 64 MiB and is not read".
class EFileTooLargeError : public tapir::Exception {
  public:
    explicit EFileTooLargeError(const std::string& path)
        : tapir::Exception("EFileTooLargeError",
                           "File " + path + " is larger than 64 MiB and is not read") {}
};

// A timer list that is not well-formed XML:
// "Timer list <what> is not valid XML: <reason> (line <n>)".
class ETimerListError : public tapir::Exception {
  public:
    ETimerListError(const std::string& what, const std::string& reason, int line)
        : tapir::Exception("ETimerListError", "Timer list " + what + " is not valid XML: " +
                                                  reason + " (line " + std::to_string(line) + ")") {
    }
};

// A line number past the end of a list of lines: "List index out of bounds (<index>)".
class EStringListError : public tapir::Exception {
  public:
    explicit EStringListError(long long index)
        : tapir::Exception("EStringListError",
                           "List index out of bounds (" + std::to_string(index) + ")") {}
};

}  // namespace tapir::boxfiles
