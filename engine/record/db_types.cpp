#include "engine/record/db_types.h"

#include <cctype>
#include <cstdio>

namespace tapir::engine {

namespace {

std::string WithNativeError(const std::string& message, int code, bool formatted) {
    char number[32];
    std::snprintf(number, sizeof number, formatted ? "%5d" : "%.5d", code);
    return message + " - Native error: " + number;
}

}  // namespace

EDatabaseError EDatabaseError::ForComponent(const std::string& component_name,
                                            const std::string& message) {
    if (component_name.empty()) {
        return EDatabaseError(message);
    }
    return EDatabaseError(component_name + ": " + message);
}

ESQLMemException::ESQLMemException(int code, const std::string& message)
    : ESQLMemException(code, message, false) {}

ESQLMemException::ESQLMemException(int code, const std::string& bare, bool formatted)
    : tapir::Exception("ESQLMemException", WithNativeError(bare, code, formatted), code),
      bare_(bare) {}

ESQLMemException ESQLMemException::Formatted(int code, const std::string& filled_message) {
    return ESQLMemException(code, filled_message, true);
}

std::string UpperName(const std::string& name) {
    std::string upper = name;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return upper;
}

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && UpperName(a) == UpperName(b);
}

}  // namespace tapir::engine
