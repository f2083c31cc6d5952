#include "controls/db_edit.h"

#include <QPalette>

#include "engine/table/field.h"

namespace tapir::controls {

DbEdit::DbEdit(QWidget* parent) : QLineEdit(parent) {
    link_.OnDataChange = [this] { ShowField(); };
    link_.OnUpdateData = [this] { WriteField(text()); };
    connect(this, &QLineEdit::textEdited, this, [this](const QString& text) { WriteField(text); });
}

DbEdit::~DbEdit() = default;

void DbEdit::Bind(tapir::engine::TDataSource* source, const std::string& field_name) {
    link_.SetDataSource(source);
    link_.SetFieldName(field_name);
    ShowField();
}

void DbEdit::SetReadOnlyField(bool read_only) {
    setReadOnly(read_only);
    setFocusPolicy(read_only ? Qt::ClickFocus : Qt::StrongFocus);
    QPalette pal = palette();
    pal.setColor(QPalette::Base,
                 read_only ? pal.color(QPalette::Window) : QPalette().color(QPalette::Base));
    setPalette(pal);
}

void DbEdit::SetMaxFieldLength(int length) {
    max_length_ = length;
    ShowField();
}

void DbEdit::ShowField() {
    tapir::engine::TField* field = link_.Field();
    int limit = max_length_;
    if (limit <= 0 && field != nullptr && field->Size() > 0) {
        limit = field->Size();
    }
    showing_ = true;
    setMaxLength(limit > 0 ? limit : 32767);
    const QString shown = field != nullptr ? QString::fromStdString(field->AsString()) : QString();
    if (shown != text()) {
        setText(shown);
    }
    showing_ = false;
}

void DbEdit::WriteField(const QString& text) {
    if (showing_ || isReadOnly()) {
        return;
    }
    tapir::engine::TField* field = link_.Field();
    if (field == nullptr) {
        return;
    }
    if (!link_.WriteAllowed()) {
        // The row cannot take the text: show the row again rather than a value it lacks.
        ShowField();
        return;
    }
    const std::string value = text.toStdString();
    if (field->AsString() != value) {
        field->SetAsString(value);
    }
}

}  // namespace tapir::controls
