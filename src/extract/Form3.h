#ifndef PLOVERN_FORM3_H
#define PLOVERN_FORM3_H

#include "ArchiveEngine.h"
#include "TwipsLayout.h"

#include <QWidget>

class DriveList;
class FolderList;
class QLineEdit;
class QPalette;
class WorkingState;

// The extract window: the user picks a folder, then extracts the entries
// named in Text2 ("*.*" or one entry) of the main window's current archive
// into it, creates a new folder there, or deletes the named entry from the
// archive. It has its own engine instance.
class Form3 : public QWidget
{
    Q_OBJECT
public:
    explicit Form3(WorkingState& state);

    // The client size at which the window opens, before it exists.
    static QSize designSize();

    // Text2, "File(s) to extract:"; only the main window writes it.
    void setFileSpecText(const QString& fileSpec);

    QLineEdit* text1() const { return m_text1; }
    QLineEdit* text2() const { return m_text2; }
    DriveList* driveList() const { return m_drive1; }
    FolderList* folderList() const { return m_dir1; }

    void extract();      // "EXTRACT file(s) to location specified above"
    void createFolder(); // "CREATE a new directory at this location"
    void deleteEntry();  // "DELETE file in Zip (if path isn't also saved)"
    void returnToMain(); // "CANCEL (click when you're finished)"

protected:
    void resizeEvent(QResizeEvent* event) override;
    // Folders made while the window was hidden appear when it shows again.
    void showEvent(QShowEvent* event) override;

private:
    struct Buttons;
    static constexpr int ClientWidthTwips = 9705;
    static constexpr int ClientHeightTwips = 5430;

    // Creates the controls and places them; the buttons are connected already.
    void createControls(const QPalette& grey);
    Buttons createButtons();
    void startUp();
    void driveChanged();
    void folderChanged();

    WorkingState& m_main;
    ArchiveEngine m_engine;
    TwipsLayout m_layout;
    QLineEdit* m_text1 = nullptr;
    QLineEdit* m_text2 = nullptr;
    DriveList* m_drive1 = nullptr;
    FolderList* m_dir1 = nullptr;
};

#endif // PLOVERN_FORM3_H
