#pragma once
// A drop-down list bound to a string field: the user picks one of fixed items and cannot
// type free text. Picking writes the item's text into the row; the field's value selects
// the matching item (none when the text is not among the items).

#include <QComboBox>
#include <QStringList>
#include <string>

#include "controls/field_data_link.h"

namespace tapir::engine {
class TDataSource;
}

namespace tapir::controls {

class DbComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit DbComboBox(QWidget* parent = nullptr);
    ~DbComboBox() override;

    // Requires: source outlives this control or is unbound first.
    void Bind(tapir::engine::TDataSource* source, const std::string& field_name);
    void SetItems(const QStringList& items);

private:
    void ShowField();
    void WriteField(int index);

    FieldDataLink link_;
    bool showing_ = false;
};

}  // namespace tapir::controls
