#pragma once
// Helpers for forms laid out in pixels: the small sans-serif face the layouts were drawn
// for, and labels that end where their field begins even when the face is wider.

#include <QString>

class QLabel;
class QWidget;

namespace tapir::controls {

// 8-point sans serif, the face every window of the program uses.
void ApplyDesignFont(QWidget& form);

// A label at (x, y); when its text is wider than the room up to `right_edge`, it moves
// left so that it still ends there. right_edge <= 0 keeps x as it is.
QLabel* MakeFormLabel(QWidget* parent, const QString& text, int x, int y, int right_edge = 0);

}  // namespace tapir::controls
