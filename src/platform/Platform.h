#ifndef PLOVERN_PLATFORM_H
#define PLOVERN_PLATFORM_H

#include <QByteArray>
#include <QString>

#include <memory>

class QWidget;
class DriveFolders;

// The settings of one open or save file dialog.
struct FileDialogRequest
{
    QString title;
    QString fileName;         // initial file name, usually empty
    QString filter;           // "description|pattern|description|pattern..."
    int filterIndex = 1;      // 1-based; clamped into the range of the pairs
    bool cancelError = false; // true: a cancel throws Failure 32755
    // Set by the dialog when the user chose a file: the 1-based pair in
    // effect at that moment (the user may have picked another).
    int chosenFilterIndex = 0;
};

// A modal window that shows how far long work has got, with a Stop button.
// It appears only once the work has run about half a second, and while it is
// shown no other window of the program takes input. It goes when destroyed.
class ProgressWindow
{
public:
    virtual ~ProgressWindow() = default;
    // Shows `text` and the bar at `percent` (0-100), keeps the windows
    // painting, and tells whether to go on: false once Stop was clicked.
    virtual bool update(const QString& text, int percent) = 0;
};

// Everything modal or system-wide that the windows need. The windows reach
// dialogs, the beep, the busy pointer, the end of the program and the file
// system only through this interface, so that tests can script every answer
// and record every call (see tests/support/ScriptedPlatform.h).
//
// Every operation that can fail throws a Failure with one of the numbers of
// PlatformErrors.h.
class Platform
{
public:
    virtual ~Platform() = default;

    // A modal message box with an OK button only and no icon, over `window`
    // (the window whose action raised it; null: the main window).
    virtual void messageBox(const QString& text, const QString& title, QWidget* window) = 0;

    // A modal single-line prompt with no default text, over `window` as for
    // messageBox. Cancel gives "".
    virtual QString inputBox(const QString& prompt, const QString& title, QWidget* window) = 0;

    // A modal prompt titled "Password" over `window` as for messageBox, for
    // the password of `entry` in `archive`; `wrong` says that the password
    // given last did not fit, and the prompt says so. What is typed stays
    // masked. Returns false on Cancel, else true with the typed text in
    // `password`.
    virtual bool askPassword(const QString& archive, const QString& entry, bool wrong, QWidget* window,
                             QString& password) = 0;

    // Modal file dialogs. They return the chosen file's full path and set
    // request.chosenFilterIndex; a cancel throws Failure 32755 when
    // request.cancelError is set, else returns "".
    virtual QString openFileDialog(FileDialogRequest& request) = 0;
    virtual QString saveFileDialog(FileDialogRequest& request) = 0;

    virtual void beep() = 0;

    // Shows the hourglass (busy) pointer over `window`, or the default one.
    virtual void setBusyPointer(QWidget* window, bool busy) = 0;

    // Starts following long work done for `window` (the main window when
    // null) under `title`.
    virtual std::unique_ptr<ProgressWindow> startProgress(QWidget* window, const QString& title) = 0;

    // Ends the program at once.
    virtual void endProgram() = 0;

    // ---- File system -----------------------------------------------------

    // True when a regular file that is not hidden exists at `path`.
    virtual bool fileExists(const QString& path) = 0;
    virtual void deleteFile(const QString& path) = 0;
    // Creates or truncates `path` (relative names resolve against the
    // current folder) and writes `bytes` to it.
    virtual void writeFile(const QString& path, const QByteArray& bytes) = 0;
    // Creates one folder; relative names resolve against the current folder.
    virtual void createFolder(const QString& path) = 0;
    virtual void changeCurrentFolder(const QString& path) = 0;

    // The last folder opened on each drive during this run.
    virtual DriveFolders& driveFolders() = 0;
};

#endif // PLOVERN_PLATFORM_H
