// Program entry: the main window runs the local start-up while it is built; once it is on
// screen it downloads and reads the receiver's files, and the event loop runs until the
// window is closed or the program asks to end.
#include <QApplication>
#include <utility>

#include "app/main_window.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tapir"));

    tapir::app::TForm1Options options;
    options.arguments = QApplication::arguments().mid(1);
    tapir::app::TForm1 form(std::move(options));
    if (form.Terminating()) {
        return 0;
    }
    form.show();
    return QApplication::exec();
}
