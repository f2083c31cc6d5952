#include "controls/handler_guard.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <exception>

#include "platform/exception.h"

namespace tapir::controls {

bool RunGuarded(QWidget* parent, const std::function<void()>& body) {
    QString text;
    try {
        body();
        return true;
    } catch (const tapir::Exception& error) {
        text = QString::fromStdString(error.Message());
    } catch (const std::exception& error) {
        text = QString::fromUtf8(error.what());
    }
    QMessageBox::critical(parent, QCoreApplication::applicationName(), text, QMessageBox::Ok);
    return false;
}

}  // namespace tapir::controls
