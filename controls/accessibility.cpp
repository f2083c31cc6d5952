#include "controls/accessibility.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QAccessible>
#include <QAccessibleInterface>
#include <QComboBox>
#include <QHash>
#include <QLineEdit>
#include <QWidget>

namespace tapir::controls {

namespace {

bool IsInput(const QWidget& widget) {
    const QWidget* parent = widget.parentWidget();
    // Parts of a composite input (the editor and button of a picker, the headers of a
    // list) are announced through the input they belong to.
    if (parent != nullptr && (qobject_cast<const QAbstractItemView*>(parent) != nullptr ||
                              !parent->accessibleName().isEmpty())) {
        return false;
    }
    // A widget a few pixels wide only carries a shortcut; nobody reaches it.
    if (widget.width() < 4 || widget.height() < 4) {
        return false;
    }
    if (qobject_cast<const QLineEdit*>(&widget) != nullptr) {
        // The line edit inside a combo box or spin box is announced through its owner.
        return parent == nullptr || (qobject_cast<const QComboBox*>(parent) == nullptr &&
                                     qobject_cast<const QAbstractSpinBox*>(parent) == nullptr);
    }
    return qobject_cast<const QComboBox*>(&widget) != nullptr ||
           qobject_cast<const QAbstractSpinBox*>(&widget) != nullptr ||
           qobject_cast<const QAbstractButton*>(&widget) != nullptr ||
           qobject_cast<const QAbstractItemView*>(&widget) != nullptr;
}

QString Describe(const QWidget& widget, const QString& name) {
    return QString::fromLatin1(widget.metaObject()->className()) + QLatin1Char(' ') +
           widget.objectName() + QStringLiteral(": '") + name + QLatin1Char('\'');
}

}  // namespace

QString SpokenCaption(const QString& caption) {
    QString spoken;
    spoken.reserve(caption.size());
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption[i] == QLatin1Char('&')) {
            if (i + 1 < caption.size() && caption[i + 1] == QLatin1Char('&')) {
                spoken += QLatin1Char('&');
                ++i;
            }
            continue;
        }
        spoken += caption[i];
    }
    spoken = spoken.trimmed();
    while (spoken.endsWith(QLatin1Char(':'))) {
        spoken.chop(1);
        spoken = spoken.trimmed();
    }
    return spoken;
}

void NameFromCaption(QWidget& input, const QString& caption) {
    input.setAccessibleName(SpokenCaption(caption));
}

QString AnnouncedName(QWidget& widget) {
    // A name set on the widget is what it is announced by; a combo box's accessible
    // interface reports its current text as its name on this platform and carries the
    // caption as a label relation instead.
    if (!widget.accessibleName().isEmpty()) {
        return widget.accessibleName();
    }
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&widget);
    if (accessible == nullptr) {
        return widget.accessibleName();
    }
    return accessible->text(QAccessible::Name).trimmed();
}

QStringList InputsWithoutOwnName(QWidget& root) {
    QStringList faults;
    QHash<QString, QWidget*> first_with_name;
    for (QWidget* widget : root.findChildren<QWidget*>()) {
        if (!widget->isVisibleTo(&root) || !IsInput(*widget)) {
            continue;
        }
        const QString name = AnnouncedName(*widget);
        if (name.isEmpty()) {
            faults << Describe(*widget, name);
            continue;
        }
        const auto found = first_with_name.constFind(name);
        if (found == first_with_name.constEnd()) {
            first_with_name.insert(name, widget);
        } else {
            faults << Describe(*widget, name) + QStringLiteral(" (also ") +
                          found.value()->objectName() + QLatin1Char(')');
        }
    }
    return faults;
}

}  // namespace tapir::controls
