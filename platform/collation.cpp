#include "platform/collation.h"

#include <unicode/ucol.h>
#include <unicode/uloc.h>

#include <cstdlib>
#include <string>

namespace tapir::platform {

namespace {

// "de_DE.UTF-8@euro" → "de_DE"; "C" and "POSIX" → root.
std::string LocaleFromEnvironment() {
    for (const char* variable : {"LC_ALL", "LC_COLLATE", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value == nullptr || *value == '\0') {
            continue;
        }
        std::string name(value);
        name = name.substr(0, name.find_first_of(".@"));
        if (name == "C" || name == "POSIX") {
            return {};
        }
        return name;
    }
    return {};
}

struct CollatorPair {
    UCollator* exact = nullptr;
    UCollator* ignore_case = nullptr;
    std::string locale;

    CollatorPair() : locale(LocaleFromEnvironment()) {
        exact = Open(UCOL_TERTIARY);
        ignore_case = Open(UCOL_SECONDARY);
    }
    ~CollatorPair() {
        if (exact != nullptr) {
            ucol_close(exact);
        }
        if (ignore_case != nullptr) {
            ucol_close(ignore_case);
        }
    }
    CollatorPair(const CollatorPair&) = delete;
    CollatorPair& operator=(const CollatorPair&) = delete;

    UCollator* Open(UColAttributeValue strength) {
        UErrorCode status = U_ZERO_ERROR;
        UCollator* collator = ucol_open(locale.c_str(), &status);
        if (U_FAILURE(status)) {
            status = U_ZERO_ERROR;
            collator = ucol_open("", &status);
        }
        if (U_FAILURE(status)) {
            return nullptr;
        }
        // Punctuation and blanks count, as in a string sort.
        ucol_setAttribute(collator, UCOL_ALTERNATE_HANDLING, UCOL_NON_IGNORABLE, &status);
        ucol_setStrength(collator, strength);
        return collator;
    }
};

const CollatorPair& Collators() {
    static const CollatorPair collators;
    return collators;
}

int Sign(UCollationResult result) {
    return result == UCOL_LESS ? -1 : (result == UCOL_GREATER ? 1 : 0);
}

}  // namespace

int CompareText(std::string_view a, std::string_view b, bool ignore_case) {
    const CollatorPair& pair = Collators();
    UCollator* collator = ignore_case ? pair.ignore_case : pair.exact;
    if (collator != nullptr) {
        UErrorCode status = U_ZERO_ERROR;
        const UCollationResult result =
            ucol_strcollUTF8(collator, a.data(), static_cast<int32_t>(a.size()), b.data(),
                             static_cast<int32_t>(b.size()), &status);
        if (U_SUCCESS(status)) {
            return Sign(result);
        }
    }
    // Without a collator (or for text that is not UTF-8) fall back to byte order so the
    // comparison stays a total order.
    const int bytes = a.compare(b);
    return bytes < 0 ? -1 : (bytes > 0 ? 1 : 0);
}

int CompareWideText(std::u16string_view a, std::u16string_view b, bool ignore_case) {
    const CollatorPair& pair = Collators();
    UCollator* collator = ignore_case ? pair.ignore_case : pair.exact;
    if (collator != nullptr) {
        return Sign(ucol_strcoll(
            collator, reinterpret_cast<const UChar*>(a.data()), static_cast<int32_t>(a.size()),
            reinterpret_cast<const UChar*>(b.data()), static_cast<int32_t>(b.size())));
    }
    const int units = a.compare(b);
    return units < 0 ? -1 : (units > 0 ? 1 : 0);
}

const char* CollationLocale() { return Collators().locale.c_str(); }

}  // namespace tapir::platform
