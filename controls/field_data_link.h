#pragma once
// The link between one data-aware control and one field of a data source: it finds the
// field by name in the observed dataset, tells the control when the field's shown value may
// have changed (row moved, row re-read, the field itself written) and when pending input
// has to be taken into the row. Writing goes through WriteAllowed()/Field().

#include <functional>
#include <string>

#include "engine/table/data_source.h"

namespace tapir::engine {
class TField;
}

namespace tapir::controls {

class FieldDataLink : public tapir::engine::TDataLink {
public:
    FieldDataLink() = default;
    ~FieldDataLink() override;

    const std::string& FieldName() const { return field_name_; }
    void SetFieldName(std::string name);

    // The bound field of the observed dataset, or nullptr (no source, closed, unknown name).
    tapir::engine::TField* Field() const;
    // True when the current row may be written: the dataset is in edit or insert state.
    bool WriteAllowed() const;

    // Called when the control must show the field again.
    std::function<void()> OnDataChange;
    // Called when the dataset wants pending control input written into the row.
    std::function<void()> OnUpdateData;
    // Called when the dataset enters or leaves edit/insert state.
    std::function<void()> OnEditingChange;

    void ActiveChanged() override { Notify(); }
    void EditingChanged() override;
    void RecordChanged(tapir::engine::TField* field) override;
    void DataSetChanged() override { Notify(); }
    void DataSetScrolled() override { Notify(); }
    void LayoutChanged() override { Notify(); }
    void UpdateData() override;

private:
    void Notify();

    std::string field_name_;
};

}  // namespace tapir::controls
