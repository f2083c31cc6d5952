#pragma once
// A numeric spin field for whole numbers with a step and a range. It may stand alone (the
// owner reads and writes Value()) or be bound to a numeric field of the current row.

#include <QSpinBox>
#include <string>

#include "controls/field_data_link.h"

namespace tapir::engine {
class TDataSource;
}

namespace tapir::controls {

class DbSpinEdit : public QSpinBox {
    Q_OBJECT
public:
    explicit DbSpinEdit(QWidget* parent = nullptr);
    ~DbSpinEdit() override;

    // Requires: source outlives this control or is unbound first.
    void Bind(tapir::engine::TDataSource* source, const std::string& field_name);

    // The shown number; typed text not yet confirmed is taken first.
    double Value();
    void SetValue(double value);

private:
    void ShowField();
    void WriteField(int value);

    FieldDataLink link_;
    bool showing_ = false;
};

}  // namespace tapir::controls
