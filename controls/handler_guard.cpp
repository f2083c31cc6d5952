#include "controls/handler_guard.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <exception>

#include "platform/exception.h"

namespace tapir::controls {

bool RunGuarded(const std::function<void()>& body,
                const std::function<void(const QString&)>& report) {
    QString text;
    try {
        body();
        return true;
    } catch (const tapir::Exception& error) {
        text = QString::fromStdString(error.Message());
    } catch (const std::exception& error) {
        text = QString::fromUtf8(error.what());
    } catch (...) {
        text = QStringLiteral("Unknown error");
    }
    report(text);
    return false;
}

bool RunGuarded(QWidget* parent, const std::function<void()>& body) {
    return RunGuarded(body, [parent](const QString& text) {
        QMessageBox::critical(parent, QCoreApplication::applicationName(), text, QMessageBox::Ok);
    });
}

}  // namespace tapir::controls
