#pragma once
// A field object of a dataset: one column (data or calculated) with typed accessors that
// read and write the dataset's active row. Display properties are carried for controls;
// the table itself ignores them. The subclasses give each field type its conversions.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "engine/record/db_types.h"

namespace tapir::engine {

class TSQLMemDataSet;
class TSQLMemStream;

// A value as it passes between field objects and row buffers: null, an integer (all
// integer and autoinc types), a floating value (floats and date-times, in days since
// 30 December 1899), a boolean or a text.
using FieldValue = std::variant<std::monostate, int64_t, double, bool, std::string>;

class TField {
  public:
    TField(TSQLMemDataSet& dataset, std::string field_name, TFieldType data_type, int size,
           TFieldKind kind);
    TField(const TField&) = delete;
    TField& operator=(const TField&) = delete;
    virtual ~TField();

    const std::string& FieldName() const { return field_name_; }
    TFieldType DataType() const { return data_type_; }
    int Size() const { return size_; }
    TFieldKind FieldKind() const { return kind_; }
    bool Required() const { return required_; }
    void SetRequired(bool required) { required_ = required; }
    TSQLMemDataSet& DataSet() const { return dataset_; }
    // True for calculated and lookup fields (values kept beside the row, not stored).
    bool Calculated() const { return kind_ == fkCalculated || kind_ == fkLookup; }

    // Display properties (used by controls only).
    const std::string& DisplayLabel() const;  // the field name when never set
    void SetDisplayLabel(std::string label) { display_label_ = std::move(label); }
    int DisplayWidth() const { return display_width_; }
    void SetDisplayWidth(int width) { display_width_ = width; }
    bool Visible() const { return visible_; }
    void SetVisible(bool visible) { visible_ = visible; }
    const std::string& DisplayFormat() const { return display_format_; }
    void SetDisplayFormat(std::string format) { display_format_ = std::move(format); }

    // Typed access to the dataset's active row. Reading a null field gives "", 0, 0.0 or
    // false. Writing is allowed in edit, insert, set-key, calculating-fields and filtering
    // states; otherwise ESQLMemException 10007 "Dataset not in edit or insert mode".
    // Conversion errors raise EDatabaseError with the texts of the field classes (no
    // component prefix). A conversion the field type does not offer raises
    // EDatabaseError "Cannot access field '%s' as type %s".
    // Requires (all accessors): the dataset is open, else EDatabaseError "Cannot perform
    // this operation on a closed dataset".
    virtual std::string AsString() const;
    virtual void SetAsString(const std::string& value);
    virtual int32_t AsInteger() const;
    virtual void SetAsInteger(int32_t value);
    virtual int64_t AsLargeint() const;
    virtual void SetAsLargeint(int64_t value);
    virtual double AsDateTime() const;
    virtual void SetAsDateTime(double value);
    virtual bool AsBoolean() const;
    virtual void SetAsBoolean(bool value);
    virtual double AsFloat() const;
    virtual void SetAsFloat(double value);
    bool IsNull() const;
    void Clear();

    // The raw value of the active row (std::monostate when null), and writing one with
    // the same state rules as the typed setters but no conversion.
    FieldValue Value() const;
    void SetValue(const FieldValue& value);

  protected:
    [[noreturn]] void AccessError(const char* type_name) const;
    [[noreturn]] void InvalidInteger(const std::string& text) const;
    // The stored integer in decimal, "" when null (the integer field classes).
    std::string IntegerText() const;
    // Reads text given to an integer field: nullopt for empty text (the field becomes
    // null), the value for a decimal integer, else InvalidInteger.
    std::optional<int64_t> IntegerFromText(const std::string& text) const;
    [[noreturn]] void RangeError(double value, double min, double max) const;

  private:
    friend class TSQLMemDataSet;

    TSQLMemDataSet& dataset_;
    std::string field_name_;
    TFieldType data_type_;
    int size_;
    TFieldKind kind_;
    bool required_ = false;
    std::string display_label_;
    int display_width_ = 0;
    bool visible_ = true;
    std::string display_format_;
    // Where the value lives while the dataset is open: the column number of a data field,
    // or the slot of a calculated field in the calculated-field area; -1 when unbound.
    int binding_ = -1;
    // Created by the dataset at open (no declared fields) and freed at close.
    bool created_at_open_ = false;
};

// ftString (and ftFixedChar, ftWideString): text of at most Size characters; a longer
// text keeps its first Size characters, never part of one.
class TStringField : public TField {
  public:
    using TField::TField;
    std::string AsString() const override;
    void SetAsString(const std::string& value) override;
    int32_t AsInteger() const override;
    void SetAsInteger(int32_t value) override;
    int64_t AsLargeint() const override;
    void SetAsLargeint(int64_t value) override;
    double AsFloat() const override;
    void SetAsFloat(double value) override;
    bool AsBoolean() const override;
    void SetAsBoolean(bool value) override;
};

// Integer fields of at most 32 bits; the range depends on the type.
class TIntegerField : public TField {
  public:
    using TField::TField;
    std::string AsString() const override;
    void SetAsString(const std::string& value) override;
    int32_t AsInteger() const override;
    void SetAsInteger(int32_t value) override;
    int64_t AsLargeint() const override;
    void SetAsLargeint(int64_t value) override;
    double AsFloat() const override;
    void SetAsFloat(double value) override;
    int64_t MinValue() const;
    int64_t MaxValue() const;
};

class TSmallintField : public TIntegerField {
  public:
    using TIntegerField::TIntegerField;
};

class TWordField : public TIntegerField {
  public:
    using TIntegerField::TIntegerField;
};

class TAutoIncField : public TIntegerField {
  public:
    using TIntegerField::TIntegerField;
};

class TLargeintField : public TField {
  public:
    using TField::TField;
    std::string AsString() const override;
    void SetAsString(const std::string& value) override;
    int32_t AsInteger() const override;  // the low 32 bits
    void SetAsInteger(int32_t value) override;
    int64_t AsLargeint() const override;
    void SetAsLargeint(int64_t value) override;
    double AsFloat() const override;
    void SetAsFloat(double value) override;
};

class TFloatField : public TField {
  public:
    using TField::TField;
    std::string AsString() const override;
    void SetAsString(const std::string& value) override;
    int32_t AsInteger() const override;
    void SetAsInteger(int32_t value) override;
    int64_t AsLargeint() const override;
    void SetAsLargeint(int64_t value) override;
    double AsFloat() const override;
    void SetAsFloat(double value) override;
};

// ftDateTime, ftDate, ftTime, ftTimeStamp: days since 30 December 1899 with the time of
// day as fraction. AsString gives "dd-mm-yyyy hh:nn:ss" (the time left out at midnight);
// SetAsString takes "dd-mm-yyyy" with an optional " hh:nn" or " hh:nn:ss", else
// EDatabaseError "'%s' is not a valid date and time".
class TDateTimeField : public TField {
  public:
    using TField::TField;
    std::string AsString() const override;
    void SetAsString(const std::string& value) override;
    double AsDateTime() const override;
    void SetAsDateTime(double value) override;
    double AsFloat() const override;
    void SetAsFloat(double value) override;
};

class TBooleanField : public TField {
  public:
    using TField::TField;
    std::string AsString() const override;  // "True" / "False"; "" when null
    void SetAsString(const std::string& value) override;
    bool AsBoolean() const override;
    void SetAsBoolean(bool value) override;
    int32_t AsInteger() const override;  // 1 / 0
};

}  // namespace tapir::engine

namespace tapir::engine {

// ftBlob (and ftGraphic and the other binary BLOB types): content of any length kept
// outside the row. AsString gives the bytes as they are; empty content is null. Reading
// and writing follow the dataset's BLOB rules (TSQLMemDataSet::GetBlobBytes,
// SetBlobBytes, CreateBlobStream): new content stays with the row being edited until
// Post stores it, and Cancel drops it.
class TBlobField : public TField {
  public:
    using TField::TField;
    std::string AsString() const override;
    void SetAsString(const std::string& value) override;
    std::vector<std::byte> AsBytes() const;
    void SetAsBytes(std::span<const std::byte> bytes);
    // Content bytes (for a wide memo: twice its code units).
    int64_t BlobSize() const;
    // Replaces the content with the whole of `stream` (read from its start); the
    // stream's position is kept.
    void LoadFromStream(TSQLMemStream& stream);
    // Writes the content at the stream's position. Throws the stream's write error when
    // it takes fewer bytes.
    void SaveToStream(TSQLMemStream& stream) const;
};

// ftMemo, ftFmtMemo and the wide memo: text kept outside the row. AsString gives and
// takes UTF-8 text; a wide memo keeps it as UTF-16 code units, which its byte access and
// streams show.
class TMemoField : public TBlobField {
  public:
    using TBlobField::TBlobField;
};

}  // namespace tapir::engine
