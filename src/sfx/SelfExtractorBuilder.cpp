#include "SelfExtractorBuilder.h"

#include "ArchiveEngine.h"
#include "ErrorReport.h"
#include "Platform.h"
#include "ShownProgress.h"
#include "WorkingState.h"

#include <QFileInfo>

namespace {
const QString MessageFileName = QStringLiteral("finalmsg.txt");
const QString Attention = QStringLiteral("Attention!");

// Tells the user why `archive` cannot be made self-extracting; false when it can.
bool refused(Platform& platform, const QString& archive)
{
    if (archive.isEmpty()) {
        platform.messageBox(QStringLiteral("No zip file has been selected yet to open/work with!"),
                            QStringLiteral("Attention"), nullptr);
        return true;
    }
    // Any path whose last three letters spell exe, with or without a dot.
    if (archive.right(3).toUpper() == QLatin1String("EXE")) {
        platform.messageBox(QStringLiteral("You can't made an .EXE file into an .EXE file!"), Attention, nullptr);
        return true;
    }
    return false;
}

// The closing message the user types; empty for the default one.
QString askMessage(Platform& platform)
{
    return platform.inputBox(
        QStringLiteral("Please type in a short message you want the user to see after the extraction or "
                       "press ENTER to display the default message after extraction:"),
        QStringLiteral("Please enter a message or press ENTER..."), nullptr);
}

// The folder the self-extractor offers; empty when the user gives none.
QString askFolder(Platform& platform)
{
    return platform.inputBox(QStringLiteral("Please enter the location/path the file should extract to (i.e., "
                                            "c:\\fred):"),
                             QStringLiteral("Please enter a path or press ENTER"), nullptr);
}

// The executable to write. The chosen filter says which kind the user wants;
// the engine tells the kinds apart by the name alone (".exe": Windows), so the
// name must agree: the Windows filter adds a missing ".exe", and the Linux
// filter refuses a name ending in ".exe" and asks again. A cancel throws,
// which ends the workflow silently.
QString askOutputPath(Platform& platform)
{
    for (;;) {
        FileDialogRequest save;
        save.cancelError = true;
        save.title = QStringLiteral("Choose a location and then type the name of the exe file you want to create "
                                    "(i.e., fred.exe):");
        save.fileName = QString();
        save.filter = QStringLiteral("Windows self-extractor (*.exe)|*.exe|Linux self-extractor (any name)|*");
        save.filterIndex = SelfExtractorBuilder::LinuxFilter;
        const QString path = platform.saveFileDialog(save);
        const bool exeName = path.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive);
        if (path.isEmpty())
            return path;
        if (save.chosenFilterIndex == SelfExtractorBuilder::WindowsFilter)
            return exeName ? path : path + QStringLiteral(".exe");
        if (save.chosenFilterIndex != SelfExtractorBuilder::LinuxFilter || !exeName)
            return path;
        platform.messageBox(QStringLiteral("%1 ends in .exe, the name of a Windows program.  For a Linux "
                                           "self-extractor please choose a name that does not end in .exe, or "
                                           "choose the Windows self-extractor filter.")
                                .arg(QFileInfo(path).fileName()),
                            Attention, nullptr);
    }
}

// The program the self-extractor runs afterwards; empty when cancelled.
QString askProgramToRun(Platform& platform)
{
    FileDialogRequest program;
    program.cancelError = false;
    program.title = QStringLiteral("Choose a file to run automatically after extraction or Cancel:");
    program.fileName = QString();
    program.filter = QStringLiteral("Self-Extracting Files (*.exe)|*.exe|All files (*)|*");
    program.filterIndex = 2;
    return platform.openFileDialog(program);
}
} // namespace

const QString SelfExtractorBuilder::MakerWebAddress = QStringLiteral("https://marrowfen.example.org/plovern");

QString SelfExtractorBuilder::defaultMessage()
{
    return QStringLiteral("Extraction complete.  Thank you for using Marrowfen Plovern from ") + MakerWebAddress
        + QStringLiteral("!  ");
}

QByteArray SelfExtractorBuilder::messageFileContent(const QString& message)
{
    // Linux has no 8-bit system code page: the locale's encoding (UTF-8 on
    // today's systems) keeps every character the user typed.
    return (message + QString(200, QLatin1Char(' '))).toLocal8Bit() + QByteArrayLiteral("\r\n");
}

SelfExtractorBuilder::SelfExtractorBuilder(WorkingState& state)
    : m_main(state)
{}

void SelfExtractorBuilder::run()
{
    Platform& platform = m_main.platform();
    ArchiveEngine& engine = m_main.engine();
    ErrorReport::trap(
        platform, nullptr, ErrorReport::CancelFilter::SilentOnCancel,
        [&] {
            m_main.hideSecondaryWindows();
            if (refused(platform, m_main.currentArchive()))
                return;

            QString message = askMessage(platform);
            if (message.isEmpty())
                message = defaultMessage();
            platform.writeFile(MessageFileName, messageFileContent(message));

            const QString folder = askFolder(platform);
            if (folder.isEmpty()) {
                platform.beep();
                return;
            }
            const QString output = askOutputPath(platform);
            if (output.isEmpty())
                return;
            // An existing file at the output path is not deleted beforehand:
            // the engine replaces it only once the new one is complete, so a
            // failed build never costs the user the old file.

            m_main.setMainWindowBusy(true);
            engine.setSfxOutputPath(output);
            const QString runAfter = askProgramToRun(platform);
            if (!runAfter.isEmpty())
                engine.SfxAddRunCommand(QString(), runAfter, QString(), QString(), 1);
            build(folder);

            m_main.setMainWindowBusy(false);
            platform.messageBox(QStringLiteral("The specified file has successfully been made self-extracting."),
                                Attention, nullptr);
            m_main.clearList();
            m_main.setCurrentArchive(QString());
        },
        [&] { m_main.setMainWindowBusy(false); });
}

void SelfExtractorBuilder::build(const QString& folder)
{
    ArchiveEngine& engine = m_main.engine();
    engine.setSfxMessageFile(MessageFileName);
    engine.setSfxDefaultFolder(folder);
    engine.setSfxOption(2);
    engine.setSfxSwitch(true);
    const ShownProgress shown(m_main.platform(), nullptr, engine, QStringLiteral("Building the self-extractor"),
                              QStringLiteral("Writing"));
    engine.MakeSfx(m_main.currentArchive());
}
