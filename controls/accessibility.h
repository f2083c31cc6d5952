#pragma once
// Names for assistive technology: every input of a window is announced by the caption the
// sighted user reads beside it. Helpers to give an input its caption's name and to find the
// inputs of a window that a screen reader would announce without one, or with another
// input's name.

#include <QString>
#include <QStringList>

class QWidget;

namespace tapir::controls {

// The caption as it is spoken: mnemonic markers removed ("&&" stays one "&"), a trailing
// colon and surrounding blanks dropped. "&Begin:" -> "Begin".
QString SpokenCaption(const QString& caption);

// Sets the accessible name of `input` to SpokenCaption(caption).
void NameFromCaption(QWidget& input, const QString& caption);

// The name a screen reader announces for `widget`: the accessible name set on it, else its
// accessible interface's name (a button's text, a buddy label's caption).
QString AnnouncedName(QWidget& widget);

// The inputs under `root` (line edits, combo boxes, spin boxes, date-time editors, check
// boxes, radio buttons, push buttons, item views) that are announced with an empty name or
// with the same name as another input under `root`; each as "<class> <objectName>:
// '<name>'". Empty when every input has a name of its own.
QStringList InputsWithoutOwnName(QWidget& root);

}  // namespace tapir::controls
