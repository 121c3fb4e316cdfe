// Drives the real windows and engine for one benchmark case and prints how
// long the case took and the process's peak memory, as
//   seconds=<s> maxrss_kb=<kb>
// The cases:
//   list <archive>                 Open in the main window until the list is filled
//   extract <archive> <folder>     the extract window's EXTRACT click, everything
//   delete <archive> <entry>       the extract window's DELETE click on one entry
//   add <archive> <folder>         one "Add the selected file(s)" click with every file of <folder> selected
//   sfx <archive> <output>         "Make current file self-extracting"

#include "FileList.h"
#include "FolderList.h"
#include "QtPlatform.h"
#include "addfiles/Form2.h"
#include "extract/Form3.h"
#include "mainwindow/Form1.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QQueue>
#include <QTreeWidget>

#include <cstdio>
#include <sys/resource.h>

namespace {

// Answers every question from a queue; a message box is only counted, so that
// a failure shows up as a non-zero exit.
class BenchPlatform : public QtPlatform
{
public:
    QQueue<QString> answers;
    QStringList messages;

    void messageBox(const QString& text, const QString& title) override
    {
        messages << title + QLatin1String(": ") + text;
    }
    QString inputBox(const QString&, const QString&) override { return next(); }
    QString openFileDialog(const FileDialogRequest&) override { return next(); }
    QString saveFileDialog(const FileDialogRequest&) override { return next(); }
    void beep() override {}
    void endProgram() override {}

private:
    QString next() { return answers.isEmpty() ? QString() : answers.dequeue(); }
};

void click(QWidget* window, const char* name)
{
    window->findChild<QPushButton*>(QString::fromLatin1(name))->click();
}

int usage()
{
    std::fprintf(stderr, "usage: plovern-bench list|extract|delete|add|sfx ARCHIVE [ARG]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 3)
        return usage();
    const QString mode = args.at(1);
    const QString archive = args.at(2);
    const QString extra = args.value(3);

    BenchPlatform platform;
    Form1 form1(platform);
    QElapsedTimer timer;

    if (mode == QLatin1String("list")) {
        platform.answers << archive;
        timer.start();
        click(&form1, "BCHCButton1");
    } else if (mode == QLatin1String("extract")) {
        form1.setCurrentArchive(archive);
        form1.form3().setFileSpecText(QStringLiteral("*.*"));
        form1.form3().folderList()->setPath(extra);
        timer.start();
        click(&form1.form3(), "BCHCButton1");
    } else if (mode == QLatin1String("delete")) {
        form1.setCurrentArchive(archive);
        form1.form3().setFileSpecText(extra);
        timer.start();
        click(&form1.form3(), "BCHCButton3");
    } else if (mode == QLatin1String("add")) {
        form1.setCurrentArchive(archive);
        form1.form2().folderList()->setPath(extra);
        form1.form2().fileList()->selectAll();
        timer.start();
        click(&form1.form2(), "BCHCButton1");
    } else if (mode == QLatin1String("sfx")) {
        form1.setCurrentArchive(archive);
        platform.answers << QStringLiteral("Done.") << QStringLiteral("unpacked") << extra << QString();
        timer.start();
        click(&form1, "BCHCButton3");
    } else {
        return usage();
    }
    const double seconds = timer.nsecsElapsed() / 1e9;

    struct rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("seconds=%.4f maxrss_kb=%ld rows=%d\n", seconds, usage.ru_maxrss,
                form1.listView1()->topLevelItemCount());
    // Success messages are expected; an error report is not.
    for (const QString& message : platform.messages) {
        if (message.startsWith(QLatin1String("Attention - An error has occurred!"))) {
            std::fprintf(stderr, "%s\n", qPrintable(message));
            return 1;
        }
    }
    return 0;
}
