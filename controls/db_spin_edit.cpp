#include "controls/db_spin_edit.h"

#include <cmath>

#include "engine/table/field.h"

namespace tapir::controls {

DbSpinEdit::DbSpinEdit(QWidget* parent) : QSpinBox(parent) {
    setSingleStep(1);
    link_.OnDataChange = [this] { ShowField(); };
    link_.OnUpdateData = [this] { WriteField(value()); };
    connect(this, &QSpinBox::valueChanged, this, [this](int value) { WriteField(value); });
}

DbSpinEdit::~DbSpinEdit() = default;

void DbSpinEdit::Bind(tapir::engine::TDataSource* source, const std::string& field_name) {
    link_.SetDataSource(source);
    link_.SetFieldName(field_name);
    ShowField();
}

double DbSpinEdit::Value() {
    interpretText();
    return value();
}

void DbSpinEdit::SetValue(double value) { setValue(static_cast<int>(std::trunc(value))); }

void DbSpinEdit::ShowField() {
    tapir::engine::TField* field = link_.Field();
    if (field == nullptr) {
        return;
    }
    showing_ = true;
    setValue(static_cast<int>(std::trunc(field->AsFloat())));
    showing_ = false;
}

void DbSpinEdit::WriteField(int value) {
    if (showing_) {
        return;
    }
    tapir::engine::TField* field = link_.Field();
    if (field == nullptr || !link_.WriteAllowed()) {
        return;
    }
    if (field->IsNull() || field->AsInteger() != value) {
        field->SetAsInteger(value);
    }
}

}  // namespace tapir::controls
