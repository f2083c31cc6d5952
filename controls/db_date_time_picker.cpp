#include "controls/db_date_time_picker.h"

#include <QCalendarWidget>
#include <QDate>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPalette>
#include <QToolButton>
#include <array>
#include <cmath>

#include "engine/table/field.h"
#include "platform/date_time.h"

namespace tapir::controls {

namespace platform = tapir::platform;

namespace {

// Typed text that does not follow the display format is read in these layouts, after the
// leading day name (any letters) has been dropped.
constexpr std::array<const char*, 6> kFallbackFormats = {
    "dd-mm-yy hh:nn",      "dd-mm-yyyy hh:nn", "dd-mm-yy hh:nn:ss",
    "dd-mm-yyyy hh:nn:ss", "dd-mm-yy",         "dd-mm-yyyy",
};

bool TryParse(const std::string& text, const std::string& format, double& out) {
    if (format.find("yyyy") == std::string::npos && format.find("yy") != std::string::npos) {
        // A two-digit year field would stop after two digits of "2007"; try both widths.
        std::string wide = format;
        wide.replace(wide.find("yy"), 2, "yyyy");
        if (platform::TryParseDateTime(text, wide, out)) {
            return true;
        }
    }
    return platform::TryParseDateTime(text, format, out);
}

}  // namespace

DbDateTimePicker::DbDateTimePicker(QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    edit_ = new QLineEdit(this);
    button_ = new QToolButton(this);
    button_->setArrowType(Qt::DownArrow);
    button_->setFocusPolicy(Qt::NoFocus);
    button_->setFixedWidth(13);
    edit_->setTextMargins(0, 0, 0, 0);
    layout->addWidget(edit_, 1);
    layout->addWidget(button_);
    setFocusProxy(edit_);
    setFocusPolicy(Qt::StrongFocus);
    edit_->installEventFilter(this);

    link_.OnDataChange = [this] { ShowField(); };
    link_.OnUpdateData = [this] {
        if (edit_->isModified()) {
            TakeTypedText();
        }
    };
    connect(edit_, &QLineEdit::textEdited, this, [this](const QString& text) {
        double parsed = 0.0;
        if (ParseText(text, parsed)) {
            Apply(parsed, true, true);
        }
    });
    connect(button_, &QToolButton::clicked, this, [this] { ShowCalendar(); });
}

DbDateTimePicker::~DbDateTimePicker() {
    link_.OnDataChange = nullptr;
    link_.OnUpdateData = nullptr;
}

void DbDateTimePicker::Bind(tapir::engine::TDataSource* source, const std::string& field_name) {
    link_.SetDataSource(source);
    link_.SetFieldName(field_name);
    ShowField();
    ShowText();
}

void DbDateTimePicker::SetValue(double value) { Apply(value, true, false); }

void DbDateTimePicker::SetDisplayFormat(std::string format) {
    format_ = std::move(format);
    ShowText();
}

std::string DbDateTimePicker::EffectiveFormat() const {
    const tapir::engine::TField* field = link_.Field();
    if (field != nullptr && !field->DisplayFormat().empty()) {
        return field->DisplayFormat();
    }
    return format_;
}

QString DbDateTimePicker::Text() const { return edit_->text(); }

void DbDateTimePicker::SetColor(const QColor& color) {
    color_ = color;
    QPalette pal = edit_->palette();
    pal.setColor(QPalette::Base, color.isValid() ? color : QPalette().color(QPalette::Base));
    edit_->setPalette(pal);
}

bool DbDateTimePicker::ParseText(const QString& text, double& out) const {
    const std::string typed = text.trimmed().toStdString();
    if (typed.empty()) {
        return false;
    }
    if (TryParse(typed, EffectiveFormat(), out)) {
        return true;
    }
    std::size_t start = 0;
    while (start < typed.size() && !(typed[start] >= '0' && typed[start] <= '9')) {
        ++start;
    }
    const std::string digits_first = typed.substr(start);
    for (const char* format : kFallbackFormats) {
        if (platform::TryParseDateTime(digits_first, format, out)) {
            return true;
        }
    }
    return false;
}

void DbDateTimePicker::ShowCalendar() {
    if (calendar_ != nullptr) {
        return;
    }
    calendar_ = new QCalendarWidget(this);
    calendar_->setWindowFlags(Qt::Popup);
    calendar_->setAttribute(Qt::WA_DeleteOnClose);
    calendar_->setMinimumDate(QDate(kCalendarFirstYear, 1, 1));
    calendar_->setGridVisible(true);
    if (has_value_) {
        int year = 0;
        int month = 0;
        int day = 0;
        platform::DecodeDate(value_, year, month, day);
        calendar_->setSelectedDate(QDate(year, month, day));
    }
    connect(calendar_, &QCalendarWidget::clicked, this, &DbDateTimePicker::CalendarPicked);
    connect(calendar_, &QCalendarWidget::activated, this, &DbDateTimePicker::CalendarPicked);
    connect(calendar_, &QObject::destroyed, this, [this] { calendar_ = nullptr; });
    calendar_->adjustSize();
    calendar_->move(mapToGlobal(QPoint(0, height())));
    calendar_->show();
    calendar_->setFocus();
}

bool DbDateTimePicker::eventFilter(QObject* watched, QEvent* event) {
    if (watched != edit_) {
        return QWidget::eventFilter(watched, event);
    }
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        key->ignore();
        emit KeyDown(key);
        if (key->isAccepted()) {
            return true;
        }
        key->accept();
        const bool plain = (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
        if (plain && (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down)) {
            if (edit_->isModified()) {
                TakeTypedText();
            }
            if (has_value_) {
                const int step = key->key() == Qt::Key_Up ? kArrowStepMinutes : -kArrowStepMinutes;
                Apply(platform::IncMinute(value_, step), true, false);
            }
            return true;
        }
        if (plain && key->key() == Qt::Key_F4) {
            ShowCalendar();
            return true;
        }
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            TakeTypedText();
            return false;
        }
    } else if (event->type() == QEvent::FocusOut) {
        if (edit_->isModified()) {
            TakeTypedText();
        }
    }
    return QWidget::eventFilter(watched, event);
}

void DbDateTimePicker::ShowField() {
    if (writing_) {
        return;
    }
    const tapir::engine::TField* field = link_.Field();
    if (field == nullptr || field->IsNull()) {
        const bool had_value = has_value_;
        has_value_ = false;
        value_ = 0.0;
        ShowText();
        if (had_value) {
            emit Change();
        }
        return;
    }
    const double value = field->AsDateTime();
    if (has_value_ && platform::SameMillisecond(value, value_)) {
        return;
    }
    Apply(value, false, false);
}

void DbDateTimePicker::ShowText() {
    const QString text =
        has_value_ ? QString::fromStdString(platform::FormatDateTime(EffectiveFormat(), value_))
                   : QString();
    if (text != edit_->text()) {
        edit_->setText(text);
        // Show the start of the text (the day name) when the field is narrow.
        edit_->setCursorPosition(0);
    }
    edit_->setModified(false);
}

void DbDateTimePicker::Apply(double value, bool write_field, bool keep_text) {
    if (write_field && link_.Field() != nullptr && !link_.WriteAllowed()) {
        // A bound row that cannot be written keeps its value; show it again.
        ShowText();
        return;
    }
    const bool changed = !has_value_ || !platform::SameMillisecond(value_, value);
    value_ = value;
    has_value_ = true;
    if (!keep_text) {
        ShowText();
    }
    if (write_field) {
        tapir::engine::TField* field = link_.Field();
        if (field != nullptr && link_.WriteAllowed()) {
            writing_ = true;
            try {
                field->SetAsDateTime(value);
            } catch (...) {
                writing_ = false;
                throw;
            }
            writing_ = false;
        }
    }
    if (changed) {
        emit Change();
    }
}

void DbDateTimePicker::TakeTypedText() {
    double parsed = 0.0;
    if (ParseText(edit_->text(), parsed)) {
        Apply(parsed, true, false);
    } else {
        ShowText();
    }
}

void DbDateTimePicker::CalendarPicked(const QDate& date) {
    platform::DateTimeParts parts;
    if (has_value_) {
        parts = platform::DecodeDateTime(value_);
    }
    double picked = 0.0;
    if (date.isValid() && platform::TryEncodeDate(date.year(), date.month(), date.day(), picked)) {
        picked += platform::EncodeTime(parts.hour, parts.minute, parts.second, parts.ms);
        Apply(picked, true, false);
    }
    if (calendar_ != nullptr) {
        calendar_->close();
    }
    edit_->setFocus();
}

}  // namespace tapir::controls
