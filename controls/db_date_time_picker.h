#pragma once
// A date-time picker bound to a date-time field of the current row. It shows the value in
// the field's display format ("ddd dd-mm-yy  hh:nn" unless the field says otherwise),
// accepts typed text (two-digit years read as 1950..2049), offers a calendar drop-down
// whose years start at 2005, and steps the value by 5 minutes with the Up/Down keys.
// Every change of the shown value, whatever its cause, emits Change().

#include <QColor>
#include <QWidget>
#include <string>

#include "controls/field_data_link.h"

class QCalendarWidget;
class QKeyEvent;
class QLineEdit;
class QToolButton;

namespace tapir::engine {
class TDataSource;
}

namespace tapir::controls {

class DbDateTimePicker : public QWidget {
    Q_OBJECT
public:
    static constexpr int kCalendarFirstYear = 2005;
    static constexpr int kArrowStepMinutes = 5;

    explicit DbDateTimePicker(QWidget* parent = nullptr);
    ~DbDateTimePicker() override;

    // Requires: source outlives this control or is unbound first.
    void Bind(tapir::engine::TDataSource* source, const std::string& field_name);

    // The shown value (days since 1899-12-30); 0 when nothing is shown.
    double Value() const { return value_; }
    bool HasValue() const { return has_value_; }
    // Shows `value` and writes it into the bound field while the row may be written.
    void SetValue(double value);

    // The format used when the field has none of its own.
    void SetDisplayFormat(std::string format);
    std::string EffectiveFormat() const;
    QString Text() const;

    // Background of the text part; an invalid colour restores the normal one.
    void SetColor(const QColor& color);
    QColor Color() const { return color_; }

    QLineEdit* LineEdit() const { return edit_; }
    QToolButton* DropDownButton() const { return button_; }
    // The calendar while the drop-down is open, else nullptr.
    QCalendarWidget* Calendar() const { return calendar_; }
    void ShowCalendar();

    // Reads typed text as a date-time: the display format first, then the same without
    // the day name and with a four-digit year. Returns false when nothing fits.
    [[nodiscard]] bool ParseText(const QString& text, double& out) const;

signals:
    // The shown value changed (typing, calendar, key step, or the field itself).
    void Change();
    // A key went down in the picker; a handler that accepts the event takes the key away
    // from the picker.
    void KeyDown(QKeyEvent* event);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ShowField();
    void ShowText();
    void Apply(double value, bool write_field, bool keep_text);
    void TakeTypedText();
    void CalendarPicked(const QDate& date);

    FieldDataLink link_;
    QLineEdit* edit_ = nullptr;
    QToolButton* button_ = nullptr;
    QCalendarWidget* calendar_ = nullptr;
    std::string format_ = "ddd dd-mm-yy  hh:nn";
    double value_ = 0.0;
    bool has_value_ = false;
    bool writing_ = false;
    QColor color_;
};

}  // namespace tapir::controls
