#pragma once
// The command line of tapir-boxsim: parsing into simulator options and the help text.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/boxsim/box_simulator.h"

namespace tapir::boxsim {

// A command line that cannot be used; the message says what is wrong.
class EUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct CommandLine {
    Options options;
    std::optional<std::string> log_path;  // --log FILE; log to standard error when absent
    bool help = false;
};

// Parses the arguments after the program name. Options take their value as the next
// argument or after "=". Throws EUsageError for unknown options, missing or bad values,
// and a missing --dir (unless --help is given).
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// The text printed by --help: every option with its meaning.
std::string HelpText();

}  // namespace tapir::boxsim
