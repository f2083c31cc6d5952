#pragma once
// A one-line text field bound to a string field of the current row. Read-only fields
// are greyed and skipped by the Tab key. Typed text goes into the row at once while the
// dataset is in edit or insert state; a change of the field shows at once.

#include <QLineEdit>
#include <string>

#include "controls/field_data_link.h"

namespace tapir::engine {
class TDataSource;
}

namespace tapir::controls {

class DbEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit DbEdit(QWidget* parent = nullptr);
    ~DbEdit() override;

    // Requires: source outlives this control or is unbound first.
    void Bind(tapir::engine::TDataSource* source, const std::string& field_name);
    // Read-only: greyed, no typing, no Tab stop.
    void SetReadOnlyField(bool read_only);
    // At most `length` characters; 0 takes the field's size.
    void SetMaxFieldLength(int length);

private:
    void ShowField();
    void WriteField(const QString& text);

    FieldDataLink link_;
    int max_length_ = 0;
    bool showing_ = false;
};

}  // namespace tapir::controls
