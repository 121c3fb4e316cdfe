#ifndef PLOVERN_FORM2_H
#define PLOVERN_FORM2_H

#include "ArchiveEngine.h"
#include "TwipsLayout.h"

#include <QWidget>

class DriveList;
class FileList;
class FolderList;
class QCheckBox;
class WorkingState;

// The add-files window: the user browses drives and folders, selects files
// and adds them to the main window's current archive, from as many folders as
// wanted. It has its own engine instance.
class Form2 : public QWidget
{
    Q_OBJECT
public:
    explicit Form2(WorkingState& state);

    DriveList* driveList() const { return m_drive1; }
    FolderList* folderList() const { return m_dir1; }
    FileList* fileList() const { return m_file1; }
    QCheckBox* check1() const { return m_check1; }

    void addSelected(); // "Add the selected file(s)"
    void finish();      // "Cancel/Finish"

protected:
    void resizeEvent(QResizeEvent* event) override;
    // Files and folders made while the window was hidden appear when it shows
    // again.
    void showEvent(QShowEvent* event) override;

private:
    // Creates the controls and places them; the buttons are connected already.
    void createControls();
    void driveChanged();
    void folderChanged();

    WorkingState& m_main;
    ArchiveEngine m_engine;
    TwipsLayout m_layout;
    DriveList* m_drive1 = nullptr;
    FolderList* m_dir1 = nullptr;
    FileList* m_file1 = nullptr;
    QCheckBox* m_check1 = nullptr;
};

#endif // PLOVERN_FORM2_H
