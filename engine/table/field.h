#pragma once
// A field object of a dataset: one column (data or calculated) with typed accessors that
// read and write the dataset's active row. Display properties are carried for controls;
// the table itself ignores them.

#include <cstdint>
#include <string>

#include "engine/table/db_types.h"

namespace tapir::engine {

class TSQLMemDataSet;

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
    // Conversion errors raise EDatabaseError with the texts of the field classes.
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

private:
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
};

}  // namespace tapir::engine
