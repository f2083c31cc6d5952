#pragma once
// The boundary between a window's event handlers and the Qt event loop: an error raised
// by a handler is shown in a message box with its text and the program goes on.

#include <functional>

class QString;
class QWidget;

namespace tapir::controls {

// Runs `body`; an exception it raises is shown (title: the application name) and
// swallowed. Returns false when one was raised.
bool RunGuarded(QWidget* parent, const std::function<void()>& body);

// Runs `body`; the text of an exception it raises goes to `report` instead of a message
// box. Returns false when one was raised.
bool RunGuarded(const std::function<void()>& body,
                const std::function<void(const QString&)>& report);

}  // namespace tapir::controls
