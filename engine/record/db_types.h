#pragma once
// Dataset-level vocabulary shared by the table component, the controls and the program:
// field types, field kinds, dataset states (their numbers are part of the contract) and
// the two error classes that reach the application.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/exception.h"

namespace tapir::engine {

// Dataset-level field type. The engine stores only some of these; the others exist so
// that every type a definition may name has a number.
enum class TFieldType : int {
    ftUnknown = 0,
    ftString,
    ftSmallint,
    ftInteger,
    ftWord,
    ftBoolean,
    ftFloat,
    ftCurrency,
    ftBCD,
    ftDate,
    ftTime,
    ftDateTime,
    ftBytes,
    ftVarBytes,
    ftAutoInc,
    ftBlob,
    ftMemo,
    ftGraphic,
    ftFmtMemo,
    ftParadoxOle,
    ftDBaseOle,
    ftTypedBinary,
    ftCursor,
    ftFixedChar,
    ftWideString,
    ftLargeint,
    ftADT,
    ftArray,
    ftReference,
    ftDataSet,
    ftOraBlob,
    ftOraClob,
    ftVariant,
    ftInterface,
    ftIDispatch,
    ftGuid,
    ftTimeStamp,
    ftFMTBcd,
};
using enum TFieldType;

enum class TFieldKind : int { fkData = 0, fkCalculated, fkLookup, fkInternalCalc, fkAggregate };
using enum TFieldKind;

// Dataset states; the numbers are observable (the program tests for 2 and 3).
enum class TDataSetState : int {
    dsInactive = 0,
    dsBrowse = 1,
    dsEdit = 2,
    dsInsert = 3,
    dsSetKey = 4,
    dsCalcFields = 5,
    dsFilter = 6,
};
using enum TDataSetState;

// What an OnPostError/OnEditError/OnDeleteError handler decides.
enum class TDataAction : int { daFail = 0, daAbort, daRetry };
using enum TDataAction;

// Errors of the dataset layer. A component with a name prefixes "Name: " to the message
// (see EDatabaseError::ForComponent); engine texts arrive unprefixed.
class EDatabaseError : public tapir::Exception {
  public:
    explicit EDatabaseError(std::string message)
        : tapir::Exception("EDatabaseError", std::move(message)) {}
    // "%s: %s" when component_name is not empty, else the message alone.
    static EDatabaseError ForComponent(const std::string& component_name,
                                       const std::string& message);
};

// Errors of the engine, always with a numeric code. The message ends in
// " - Native error: " and the code ("%.5d" for a plain message, "%5d" for a format that
// was filled with arguments).
class ESQLMemException : public tapir::Exception {
  public:
    // A plain message: code written with "%.5d".
    ESQLMemException(int code, const std::string& message);
    // A message built from a format and arguments: code written with "%5d".
    static ESQLMemException Formatted(int code, const std::string& filled_message);
    // The message without the native-error suffix.
    const std::string& BareMessage() const noexcept { return bare_; }

  private:
    ESQLMemException(int code, const std::string& bare, bool formatted);
    std::string bare_;
};

// Upper case of ASCII letters; names of fields, indexes and tables compare without regard
// to case this way.
std::string UpperName(const std::string& name);
bool SameName(const std::string& a, const std::string& b);

}  // namespace tapir::engine
