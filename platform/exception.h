#pragma once
// The one error hierarchy of Tapir. Every error carries the kind name that messages
// show (the E-prefixed class name), the message text and an optional numeric code.

#include <exception>
#include <optional>
#include <string>
#include <utility>

namespace tapir {

class Exception : public std::exception {
public:
    Exception(std::string kind_name, std::string message, std::optional<int> code = std::nullopt)
        : kind_name_(std::move(kind_name)), message_(std::move(message)), code_(code) {}

    const std::string& KindName() const noexcept { return kind_name_; }
    const std::string& Message() const noexcept { return message_; }
    std::optional<int> Code() const noexcept { return code_; }
    const char* what() const noexcept override { return message_.c_str(); }

protected:
    void SetMessage(std::string message) { message_ = std::move(message); }

private:
    std::string kind_name_;
    std::string message_;
    std::optional<int> code_;
};

}  // namespace tapir
