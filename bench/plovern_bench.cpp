// One benchmark case through the real program, offscreen: it starts as the
// program does (src/app/main.cpp), shows the main window, drives the real
// windows and engine through one action, checks the outcome and exits. It
// measures nothing itself: bench/run.py times the whole process, from exec
// to exit, as it times a peer's command.
//
// The cases:
//   list <archive> <rows>          "Open/View/Extract a Zip file" until the list is filled;
//                                  the list must then hold <rows> rows
//   extract <archive> <folder>     the extract window's EXTRACT click, every entry
//   delete <archive> <entry>       the extract window's DELETE click on one entry
//   add <archive> <folder>         one "Add the selected file(s)" click with every file of <folder> selected
//   addtree <archive> <folder>     every file below <folder>, paths stored, through the add window's
//                                  steps with one commit (the window itself adds one folder's files)
//   sfx <archive> <output>         "Make current file self-extracting"
//
// Exit status: 0 when the action ended as it should (its closing message and
// no error report), 1 when it did not (the messages go to stderr), 2 for a
// wrong command line.

#include "ErrorReport.h"
#include "FileList.h"
#include "FolderList.h"
#include "PrivateSettings.h"
#include "QtPlatform.h"
#include "ShownProgress.h"
#include "addfiles/Form2.h"
#include "extract/Form3.h"
#include "mainwindow/Form1.h"

#include <QApplication>
#include <QDirIterator>
#include <QFileInfo>
#include <QPushButton>
#include <QQueue>
#include <QTreeWidget>

#include <cstdio>

namespace {

const QString ErrorTitle = QStringLiteral("Attention - An error has occurred!");

// The real platform, but every question is answered from a queue (passwords
// with "plovern") and every message box is recorded instead of waiting for a
// click.
class BenchPlatform : public QtPlatform
{
public:
    QQueue<QString> answers;
    QStringList messages;

    void messageBox(const QString& text, const QString& title, QWidget*) override
    {
        messages << title + QLatin1String(": ") + text;
    }
    QString inputBox(const QString&, const QString&, QWidget*) override { return next(); }
    QString openFileDialog(FileDialogRequest&) override { return next(); }
    QString saveFileDialog(FileDialogRequest&) override { return next(); }
    // The method benchmarks' encrypted archives all have this password; a
    // second request for one entry means it did not fit.
    bool askPassword(const QString&, const QString&, bool wrong, QWidget*, QString& password) override
    {
        password = QStringLiteral("plovern");
        return !wrong;
    }
    void beep() override {}
    void endProgram() override {}

    bool reported(const QString& text) const
    {
        for (const QString& message : messages) {
            if (message.contains(text))
                return true;
        }
        return false;
    }

private:
    QString next() { return answers.isEmpty() ? QString() : answers.dequeue(); }
};

void click(QWidget* window, const char* name)
{
    window->findChild<QPushButton*>(QString::fromLatin1(name))->click();
}

// What Form2::addSelected does for the files of one folder, done for every
// file below `tree` with paths stored, and committed once.
void addTree(Form1& form1, BenchPlatform& platform, const QString& archive, const QString& tree)
{
    Form2& window = form1.form2();
    ArchiveEngine engine;
    ErrorReport::trap(
        platform, &window, ErrorReport::CancelFilter::ReportAll,
        [&] {
            engine.setIncludePaths(true);
            engine.setStorePaths(true);
            platform.setBusyPointer(&window, true);
            engine.setArchivePath(archive);
            QDirIterator files(tree, QDir::Files, QDirIterator::Subdirectories);
            while (files.hasNext()) {
                const QFileInfo file(files.next());
                engine.setSourceFolder(file.path() + QLatin1Char('/'));
                engine.setFileSpec(file.filePath());
                engine.AddFiles();
            }
            {
                const ShownProgress shown(platform, &window, engine, QStringLiteral("Adding files"),
                                          QStringLiteral("Writing"));
                engine.FinishAdding();
            }
            platform.setBusyPointer(&window, false);
            platform.messageBox(QStringLiteral("The selected file(s) have been added!"), QStringLiteral("Attention!"),
                                &window);
        },
        [&] { platform.setBusyPointer(&window, false); });
}

int usage()
{
    std::fprintf(stderr,
                 "usage: plovern-bench list ARCHIVE ROWS | extract ARCHIVE FOLDER | delete ARCHIVE ENTRY |\n"
                 "                     add ARCHIVE FOLDER | addtree ARCHIVE FOLDER | sfx ARCHIVE OUTPUT\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4)
        return usage();
    const QString mode = QString::fromLocal8Bit(argv[1]);
    const QString archive = QString::fromLocal8Bit(argv[2]);
    const QString extra = QString::fromLocal8Bit(argv[3]);

    // The program's own start-up, on the offscreen platform unless another
    // one is asked for.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const PrivateSettings settings;
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QApplication app(qtArgc, qtArgv);
    QApplication::setApplicationName(QStringLiteral("Marrowfen Plovern"));
    QApplication::setApplicationVersion(QStringLiteral("3.4"));
    QApplication::setQuitOnLastWindowClosed(false);
    BenchPlatform platform;
    Form1 form1(platform);
    platform.setMainWindow(&form1);
    form1.show();

    QString expected;
    if (mode == QLatin1String("list")) {
        platform.answers << archive;
        click(&form1, "BCHCButton1");
        bool numeric = false;
        const int rows = extra.toInt(&numeric);
        const int shown = form1.listView1()->topLevelItemCount();
        if (!numeric || shown != rows) {
            std::fprintf(stderr, "the list holds %d rows, not %s\n", shown, argv[3]);
            platform.messages << ErrorTitle;
        }
    } else if (mode == QLatin1String("extract")) {
        form1.setCurrentArchive(archive);
        form1.form3().setFileSpecText(QStringLiteral("*.*"));
        form1.form3().folderList()->setPath(extra);
        click(&form1.form3(), "BCHCButton1");
        expected = QStringLiteral("Decompression complete!");
    } else if (mode == QLatin1String("delete")) {
        form1.setCurrentArchive(archive);
        form1.form3().setFileSpecText(extra);
        click(&form1.form3(), "BCHCButton3");
        expected = QStringLiteral("Deletion complete!");
    } else if (mode == QLatin1String("add")) {
        form1.setCurrentArchive(archive);
        form1.form2().folderList()->setPath(extra);
        form1.form2().fileList()->selectAll();
        click(&form1.form2(), "BCHCButton1");
        expected = QStringLiteral("The selected file(s) have been added!");
    } else if (mode == QLatin1String("addtree")) {
        form1.setCurrentArchive(archive);
        addTree(form1, platform, archive, extra);
        expected = QStringLiteral("The selected file(s) have been added!");
    } else if (mode == QLatin1String("sfx")) {
        form1.setCurrentArchive(archive);
        // The closing message, the folder the self-extractor offers, the
        // output, and no program to run after.
        platform.answers << QStringLiteral("Done.") << QStringLiteral("unpacked") << extra << QString();
        click(&form1, "BCHCButton3");
        expected = QStringLiteral("successfully been made self-extracting");
    } else {
        return usage();
    }

    const bool failed = platform.reported(ErrorTitle) || (!expected.isEmpty() && !platform.reported(expected));
    if (failed)
        std::fprintf(stderr, "%s\n", qPrintable(platform.messages.join(QLatin1Char('\n'))));
    return failed ? 1 : 0;
}
