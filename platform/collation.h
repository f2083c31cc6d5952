#pragma once
// Locale-aware text comparison for engine keys: the ICU collator of the user's locale
// (LC_ALL, LC_COLLATE, LANG; else the root locale), punctuation significant, optionally
// ignoring letter case (secondary strength). Thread-safe: the collators are built once
// and only read afterwards.

#include <string_view>

namespace tapir::platform {

// Compares two UTF-8 texts: negative, 0 or positive.
int CompareText(std::string_view a, std::string_view b, bool ignore_case);
// Compares two UTF-16 texts.
int CompareWideText(std::u16string_view a, std::u16string_view b, bool ignore_case);
// The locale name the collators were built for ("" = root).
const char* CollationLocale();

}  // namespace tapir::platform
