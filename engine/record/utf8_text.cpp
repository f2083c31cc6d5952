#include "engine/record/utf8_text.h"

#include <cstdint>

namespace tapir::engine {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed character at text[at], or 0 when none starts there.
size_t CharacterLength(std::string_view text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const size_t left = text.size() - at;
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return 1;
    }
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            low = 0xA0;  // no overlong forms
        } else if (lead == 0xED) {
            high = 0x9F;  // no surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;  // nothing past U+10FFFF
        }
    } else {
        return 0;
    }
    if (left < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (size_t i = 2; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

// Bytes of the ill-formed part at text[at]: a lead byte with the continuation bytes that
// fit it so far, or one stray byte.
size_t InvalidLength(std::string_view text, size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    size_t expected = lead >= 0xF0 ? 4 : (lead >= 0xE0 ? 3 : (lead >= 0xC2 ? 2 : 1));
    if (lead > 0xF4) {
        expected = 1;
    }
    size_t length = 1;
    while (length < expected && at + length < text.size() &&
           (static_cast<unsigned char>(text[at + length]) & 0xC0) == 0x80) {
        ++length;
    }
    return length;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
    for (size_t at = 0; at < text.size();) {
        const size_t length = CharacterLength(text, at);
        if (length == 0) {
            return false;
        }
        at += length;
    }
    return true;
}

std::string ToValidUtf8(std::string_view text) {
    if (IsValidUtf8(text)) {
        return std::string(text);
    }
    std::string valid;
    valid.reserve(text.size() + 8);
    for (size_t at = 0; at < text.size();) {
        const size_t length = CharacterLength(text, at);
        if (length > 0) {
            valid.append(text.substr(at, length));
            at += length;
        } else {
            valid.append(kReplacement);
            at += InvalidLength(text, at);
        }
    }
    return valid;
}

size_t Utf8Length(std::string_view text) {
    size_t characters = 0;
    for (const char c : text) {
        characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return characters;
}

size_t Utf8PrefixBytes(std::string_view text, size_t max_characters) {
    size_t characters = 0;
    for (size_t at = 0; at < text.size(); ++at) {
        if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80) {
            if (characters == max_characters) {
                return at;
            }
            ++characters;
        }
    }
    return text.size();
}

}  // namespace tapir::engine
