#pragma once
// The navigation contract between cursor, storage and index: which row to read (mode,
// starting row, before-first / after-last flags) and what came of it.

#include <cstddef>
#include <cstdint>

#include "engine/record/record_buffer.h"

namespace tapir::engine {

enum class TSQLMemGetRecordMode : int { grmCurrent = 0, grmNext, grmPrior };
using enum TSQLMemGetRecordMode;

enum class TSQLMemGetRecordResult : int { grrOK = 0, grrBOF, grrEOF, grrError };
using enum TSQLMemGetRecordResult;

// One read request. `record_id` is where to start and, on grrOK, the row found;
// `at_beginning` / `at_end` start before the first / after the last row and are cleared
// when a row is found. `buffer` (may be nullptr) receives the stored row (bitmap + data).
struct TSQLMemNavigationInfo {
    int32_t ConnectionID = 0;
    TSQLMemGetRecordMode GetRecordMode = grmCurrent;
    int32_t IndexObjectID = -1;  // -1 = natural order
    TSQLMemRecordID RecordID;
    std::byte* RecordBuffer = nullptr;
    bool AtBeginning = false;
    bool AtEnd = false;
    TSQLMemGetRecordResult GetRecordResult = grrError;
};

}  // namespace tapir::engine
