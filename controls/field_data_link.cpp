#include "controls/field_data_link.h"

#include "engine/table/field.h"
#include "engine/table/sqlmem_dataset.h"

namespace tapir::controls {

using tapir::engine::TDataSetState;
using tapir::engine::TField;

FieldDataLink::~FieldDataLink() {
    OnDataChange = nullptr;
    OnUpdateData = nullptr;
    OnEditingChange = nullptr;
    SetDataSource(nullptr);
}

void FieldDataLink::SetFieldName(std::string name) {
    field_name_ = std::move(name);
    Notify();
}

TField* FieldDataLink::Field() const {
    if (!Active() || field_name_.empty()) {
        return nullptr;
    }
    return DataSet()->FindField(field_name_);
}

bool FieldDataLink::WriteAllowed() const {
    if (!Active() || DataSet()->ReadOnly()) {
        return false;
    }
    const TDataSetState state = DataSet()->State();
    return state == TDataSetState::dsEdit || state == TDataSetState::dsInsert;
}

void FieldDataLink::EditingChanged() {
    if (OnEditingChange) {
        OnEditingChange();
    }
}

void FieldDataLink::RecordChanged(TField* field) {
    if (field == nullptr || field == Field()) {
        Notify();
    }
}

void FieldDataLink::UpdateData() {
    if (OnUpdateData) {
        OnUpdateData();
    }
}

void FieldDataLink::Notify() {
    if (OnDataChange) {
        OnDataChange();
    }
}

}  // namespace tapir::controls
