#pragma once
// What the editing dialogs need from the window that owns them: the tables, the editing
// state shared between dialogs (LastEnd), the settings and where they are stored, and the
// diagnostic log. The main window implements it; tests may implement it over plain state.

#include <string>

class QWidget;

namespace tapir::boxfiles {
struct BoxTables;
}
namespace tapir::platform {
struct Settings;
struct TimeConversionSettings;
}  // namespace tapir::platform

namespace tapir::app {

class DialogHost {
  public:
    virtual ~DialogHost() = default;

    virtual tapir::boxfiles::BoxTables& Tables() = 0;
    // End of the last timer saved in the timer dialog; 0 until one is saved.
    virtual double LastEnd() const = 0;
    virtual void SetLastEnd(double value) = 0;
    // The settings as the main window holds them, and the config.ini they live in.
    virtual tapir::platform::Settings& CurrentSettings() = 0;
    virtual std::string ConfigPath() const = 0;
    // The conversion between the box's UTC times and the local times the tables hold.
    virtual tapir::platform::TimeConversionSettings TimeConversion() const = 0;
    // Appends one line to the diagnostic log.
    virtual void Log(const std::string& line) = 0;
    // Parent for modal dialogs (may be nullptr).
    virtual QWidget* DialogParent() = 0;
};

}  // namespace tapir::app
