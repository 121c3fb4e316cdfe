#ifndef PLOVERN_FORM1_H
#define PLOVERN_FORM1_H

#include "ArchiveEngine.h"
#include "EntryTable.h"
#include "TwipsLayout.h"
#include "WorkingState.h"

#include <QWidget>

#include <array>
#include <memory>

class Form2;
class Form3;
class Form4;
class Platform;
class QCheckBox;
class QDragEnterEvent;
class QDropEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

// The main window. It lives for the whole run and owns the working state: the
// current archive path (the text of Text1), the hints flag (Check1) and the
// listing table. It starts every workflow and creates the three secondary
// windows on first use; they are hidden, never destroyed, until it goes. The
// workflows and the secondary windows see it only as their WorkingState.
class Form1 : public QWidget, public WorkingState
{
    Q_OBJECT
public:
    explicit Form1(Platform& platform, QWidget* parent = nullptr);
    ~Form1() override;

    // The secondary windows, created (and started up) on first use.
    Form2& form2();
    Form3& form3();
    Form4& form4();
    bool form2Exists() const { return bool(m_form2); }
    bool form3Exists() const { return bool(m_form3); }
    bool form4Exists() const { return bool(m_form4); }

    Platform& platform() override { return m_platform; }
    // The engine instance of this window, used for listing and self-extractors.
    ArchiveEngine& engine() override { return m_engine; }
    const EntryTable& entryTable() const { return m_entryTable; }

    // The current archive path (Text1); empty when there is none.
    QString currentArchive() const override;
    // Opens `path` as the Open button does once its dialog has answered: the
    // archive becomes the current one, is listed, and the extract window shows.
    // Failures are reported like the Open button's.
    void openArchiveAt(const QString& path);
    void setCurrentArchive(const QString& path) override;
    // Whether "Display helpful hints" is ticked, read at the moment of asking.
    bool hintsOn() const override;

    QLineEdit* text1() const { return m_text1; }
    QCheckBox* check1() const { return m_check1; }
    QTreeWidget* listView1() const { return m_listView1; }

    // Empties ListView1.
    void clearList() override;
    // Hides Form2, then Form3, then Form4, creating each first if needed.
    void hideSecondaryWindows() override;
    void showAddFilesWindow() override;
    void showMainWindow() override;
    void setMainWindowBusy(bool busy) override;
    // Shows `window` modeless, without an owner, and brings it to the front.
    static void showModeless(QWidget* window);
    // Shows a secondary window modeless; when it opens over this window (or
    // opens for the first time) it moves beside this window first.
    void showSecondary(QWidget* window);

    // The workflows behind the buttons and the list.
    void openArchive();        // "Open/View/Extract a Zip file"
    void refreshView();        // "Refresh View Above"
    void entryClicked();       // a mouse button released over the list
    void clearAll();           // "Clear"
    void showInstructions();   // "Instructions"
    void exitProgram();        // "Exit"
    void createOrAdd();        // "Create/Add to a Zip file"
    void makeSelfExtracting(); // "Make current file self-extracting"

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Buttons;

    // Creates the controls and places them; the buttons are connected already.
    void createControls();
    Buttons createButtons();
    void setUpColumns();
    // Widens or narrows the list's columns as its font grows or shrinks.
    void sizeColumns();
    void prepareToOpen();
    void openChosen(const QString& path);
    void listArchive(const QString& path);
    void fillList();

    Platform& m_platform;
    ArchiveEngine m_engine;
    EntryTable m_entryTable;
    TwipsLayout m_layout;

    QLabel* m_title = nullptr;
    QLineEdit* m_text1 = nullptr;
    QCheckBox* m_check1 = nullptr;
    QTreeWidget* m_listView1 = nullptr;
    std::array<int, 4> m_designColumnWidths{};

    std::unique_ptr<Form2> m_form2;
    std::unique_ptr<Form3> m_form3;
    std::unique_ptr<Form4> m_form4;
};

#endif // PLOVERN_FORM1_H
