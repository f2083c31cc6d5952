#pragma once
// Test support: finds texts that a window shows cut or elided at its current size: labels,
// check boxes, radio buttons, push buttons, group box titles and the column titles of item
// views, each measured in the font the widget really uses against the room it really has.

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QCheckBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTableView>
#include <QWidget>

namespace tapir::testing {

// The text as drawn: mnemonic markers removed, "&&" shown as one "&".
inline QString ShownText(const QString& text) {
    QString shown;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&')) {
            if (i + 1 < text.size() && text[i + 1] == QLatin1Char('&')) {
                shown += QLatin1Char('&');
                ++i;
            }
            continue;
        }
        shown += text[i];
    }
    return shown;
}

inline QString Where(const QWidget& widget, const QString& text) {
    return QString::fromLatin1(widget.metaObject()->className()) + QLatin1Char(' ') +
           widget.objectName() + QStringLiteral(" '") + text + QLatin1Char('\'');
}

// Every visible text under `root` (root included) that does not fit its room; each entry
// names the widget, the text and the widths. Empty when everything fits.
inline QStringList CutTexts(QWidget& root) {
    QStringList cut;
    QList<QWidget*> widgets = root.findChildren<QWidget*>();
    widgets.prepend(&root);
    auto check = [&cut](const QWidget& widget, const QString& text, int needed, int room) {
        if (needed > room) {
            cut << Where(widget, text) +
                       QStringLiteral(" needs %1 px, has %2").arg(needed).arg(room);
        }
    };
    for (QWidget* widget : widgets) {
        if (!widget->isVisibleTo(&root) && widget != &root) {
            continue;
        }
        // A widget a few pixels wide only carries a shortcut and shows nothing.
        if (widget->width() < 4 || widget->height() < 4) {
            continue;
        }
        const QFontMetrics metrics(widget->font());
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            if (!label->text().isEmpty() && !label->wordWrap() && label->pixmap().isNull()) {
                const QString shown = ShownText(label->text());
                check(*label, shown, metrics.horizontalAdvance(shown),
                      label->contentsRect().width() - 2 * label->margin());
                check(*label, shown, metrics.height(), label->contentsRect().height());
            }
        } else if (auto* check_box = qobject_cast<QCheckBox*>(widget)) {
            if (!check_box->text().isEmpty()) {
                check(*check_box, check_box->text(), check_box->sizeHint().width(),
                      check_box->width());
            }
        } else if (auto* radio = qobject_cast<QRadioButton*>(widget)) {
            if (!radio->text().isEmpty()) {
                check(*radio, radio->text(), radio->sizeHint().width(), radio->width());
            }
        } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
            if (!button->text().isEmpty()) {
                const QString shown = ShownText(button->text());
                // The text and the style's own margins inside the bevel.
                const int margin =
                    2 * button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
                check(*button, shown, metrics.horizontalAdvance(shown) + margin, button->width());
            }
        } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
            if (!group->title().isEmpty()) {
                const QString shown = ShownText(group->title());
                check(*group, shown, metrics.horizontalAdvance(shown), group->width());
            }
        } else if (auto* view = qobject_cast<QTableView*>(widget)) {
            QHeaderView* header = view->horizontalHeader();
            if (view->model() == nullptr || header->isHidden()) {
                continue;
            }
            const QFontMetrics header_metrics(header->font());
            for (int section = 0; section < header->count(); ++section) {
                if (header->isSectionHidden(section)) {
                    continue;
                }
                const QString title =
                    view->model()->headerData(section, Qt::Horizontal, Qt::DisplayRole).toString();
                const int margin =
                    2 * header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
                check(*view, title, header_metrics.horizontalAdvance(title) + margin,
                      header->sectionSize(section));
            }
        }
    }
    return cut;
}

}  // namespace tapir::testing
