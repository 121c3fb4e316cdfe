#ifndef PLOVERN_ERRORREPORT_H
#define PLOVERN_ERRORREPORT_H

#include "Failure.h"

#include <QString>

#include <exception>
#include <functional>
#include <new>

class Platform;
class QWidget;

// The one message box with which every action tells the user about a failure,
// opened over the window whose action failed (null: the main window). A stop
// the user asked for in a progress window is no error: it is shown as a
// notice titled "Stopped" that says what was kept.
namespace ErrorReport {

enum class CancelFilter {
    SilentOnCancel, // the main window's dialog actions: a cancelled file dialog (32755) shows nothing
    ReportAll,      // every other action reports every number, 32755 included
};

QString title();
// "Oh no!  Error : #<number> : <description>"
QString text(const Failure& failure);

void show(Platform& platform, QWidget* window, const Failure& failure, CancelFilter filter);

// Runs `action`; a Failure (or any other exception, turned into one) ends it:
// `cleanup` runs first, then the report. Returns whether the action completed.
bool trap(Platform& platform, QWidget* window, CancelFilter filter, const std::function<void()>& action,
          const std::function<void()>& cleanup = {});

} // namespace ErrorReport

#endif // PLOVERN_ERRORREPORT_H
