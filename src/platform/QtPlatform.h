#ifndef PLOVERN_QTPLATFORM_H
#define PLOVERN_QTPLATFORM_H

#include "DriveFolders.h"
#include "Platform.h"

// The real platform: Qt message boxes, input dialogs and (non-native) file
// dialogs, the system beep, and POSIX file-system calls whose errors become
// the classic failure numbers of PlatformErrors.h. Message boxes and prompts
// open centred over the window that asked; file dialogs, and boxes asked for
// without a window, over the active window, or over the main window when none
// is active.
class QtPlatform : public Platform
{
public:
    void setMainWindow(QWidget* window) { m_mainWindow = window; }

    void messageBox(const QString& text, const QString& title, QWidget* window) override;
    QString inputBox(const QString& prompt, const QString& title, QWidget* window) override;
    bool askPassword(const QString& archive, const QString& entry, bool wrong, QWidget* window,
                     QString& password) override;
    QString openFileDialog(FileDialogRequest& request) override;
    QString saveFileDialog(FileDialogRequest& request) override;
    void beep() override;
    void setBusyPointer(QWidget* window, bool busy) override;
    std::unique_ptr<ProgressWindow> startProgress(QWidget* window, const QString& title) override;
    void endProgram() override;

    bool fileExists(const QString& path) override;
    void deleteFile(const QString& path) override;
    void writeFile(const QString& path, const QByteArray& bytes) override;
    void createFolder(const QString& path) override;
    void changeCurrentFolder(const QString& path) override;
    DriveFolders& driveFolders() override { return m_driveFolders; }

    // Qt's name filters for a "description|pattern|..." filter text.
    static QStringList nameFilters(const QString& filter);

    // The width a message box needs for its title to show whole in the
    // window manager's title bar, between its icon and buttons.
    static int titleBarWidth(const QString& title);

    // `text` as a message box shows it: paths break only after a "/", never
    // at a "-" or elsewhere inside a name.
    static QString breakPathsAtSeparators(const QString& text);

private:
    QString runFileDialog(FileDialogRequest& request, bool save);
    QWidget* dialogParent(QWidget* window = nullptr) const;

    DriveFolders m_driveFolders;
    QWidget* m_mainWindow = nullptr;
};

#endif // PLOVERN_QTPLATFORM_H
