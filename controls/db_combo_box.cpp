#include "controls/db_combo_box.h"

#include "engine/table/field.h"

namespace tapir::controls {

DbComboBox::DbComboBox(QWidget* parent) : QComboBox(parent) {
    setEditable(false);
    link_.OnDataChange = [this] { ShowField(); };
    connect(this, &QComboBox::currentIndexChanged, this, [this](int index) { WriteField(index); });
}

DbComboBox::~DbComboBox() = default;

void DbComboBox::Bind(tapir::engine::TDataSource* source, const std::string& field_name) {
    link_.SetDataSource(source);
    link_.SetFieldName(field_name);
    ShowField();
}

void DbComboBox::SetItems(const QStringList& items) {
    showing_ = true;
    clear();
    addItems(items);
    showing_ = false;
    ShowField();
}

void DbComboBox::ShowField() {
    tapir::engine::TField* field = link_.Field();
    const int index = field != nullptr
                          ? findText(QString::fromStdString(field->AsString()), Qt::MatchExactly)
                          : -1;
    if (index != currentIndex()) {
        showing_ = true;
        setCurrentIndex(index);
        showing_ = false;
    }
}

void DbComboBox::WriteField(int index) {
    if (showing_ || index < 0) {
        return;
    }
    tapir::engine::TField* field = link_.Field();
    if (field == nullptr || !link_.WriteAllowed()) {
        ShowField();
        return;
    }
    const std::string value = itemText(index).toStdString();
    if (field->AsString() != value) {
        field->SetAsString(value);
    }
}

}  // namespace tapir::controls
