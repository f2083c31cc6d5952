#include "controls/form_layout.h"

#include <QFont>
#include <QLabel>
#include <QWidget>
#include <algorithm>

namespace tapir::controls {

void ApplyDesignFont(QWidget& form) {
    // Faces with the narrow metrics the pixel layouts assume, then any sans serif.
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                      QStringLiteral("Nimbus Sans"), QStringLiteral("Helvetica"),
                      QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Sans Serif")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(8);
    form.setFont(font);
}

QLabel* MakeFormLabel(QWidget* parent, const QString& text, int x, int y, int right_edge) {
    auto* label = new QLabel(text, parent);
    label->adjustSize();
    int left = x;
    if (right_edge > 0) {
        left = std::max(0, std::min(x, right_edge - label->width()));
    }
    label->move(left, y);
    return label;
}

}  // namespace tapir::controls
