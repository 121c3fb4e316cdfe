#include "SelfExtractorBuilder.h"

#include "ArchiveEngine.h"
#include "ErrorReport.h"
#include "Platform.h"
#include "ShownProgress.h"
#include "WorkingState.h"

namespace {
const QString MessageFileName = QStringLiteral("finalmsg.txt");
const QString Attention = QStringLiteral("Attention!");
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
        platform, ErrorReport::CancelFilter::SilentOnCancel,
        [&] {
            m_main.hideSecondaryWindows();
            if (m_main.currentArchive().isEmpty()) {
                platform.messageBox(QStringLiteral("No zip file has been selected yet to open/work with!"),
                                    QStringLiteral("Attention"));
                return;
            }
            // Any path whose last three letters spell exe, with or without a dot.
            if (m_main.currentArchive().right(3).toUpper() == QLatin1String("EXE")) {
                platform.messageBox(QStringLiteral("You can't made an .EXE file into an .EXE file!"), Attention);
                return;
            }

            QString message = platform.inputBox(
                QStringLiteral("Please type in a short message you want the user to see after the extraction or "
                               "press ENTER to display the default message after extraction:"),
                QStringLiteral("Please enter a message or press ENTER..."));
            if (message.isEmpty())
                message = defaultMessage();
            platform.writeFile(MessageFileName, messageFileContent(message));

            const QString folder =
                platform.inputBox(QStringLiteral("Please enter the location/path the file should extract to (i.e., "
                                                 "c:\\fred):"),
                                  QStringLiteral("Please enter a path or press ENTER"));
            if (folder.isEmpty()) {
                platform.beep();
                return;
            }

            FileDialogRequest save;
            save.cancelError = true;
            save.title = QStringLiteral("Choose a location and then type the name of the exe file you want to create "
                                        "(i.e., fred.exe):");
            save.fileName = QString();
            save.filter = QStringLiteral("Exe Files (*.exe)|*.exe");
            save.filterIndex = 2;
            const QString output = platform.saveFileDialog(save);
            if (output.isEmpty())
                return;
            // An existing file at the output path is not deleted beforehand:
            // the engine replaces it only once the new one is complete, so a
            // failed build never costs the user the old file.

            m_main.setMainWindowBusy(true);
            engine.setSfxOutputPath(output);

            FileDialogRequest program;
            program.cancelError = false;
            program.title = QStringLiteral("Choose a file to run automatically after extraction or Cancel:");
            program.fileName = QString();
            program.filter = QStringLiteral("Self-Extracting Files (*.exe)|*.exe");
            program.filterIndex = 2;
            const QString runAfter = platform.openFileDialog(program);
            if (!runAfter.isEmpty())
                engine.SfxAddRunCommand(QString(), runAfter, QString(), QString(), 1);

            engine.setSfxMessageFile(MessageFileName);
            engine.setSfxDefaultFolder(folder);
            engine.setSfxOption(2);
            engine.setSfxSwitch(true);
            {
                const ShownProgress shown(platform, nullptr, engine, QStringLiteral("Building the self-extractor"),
                                          QStringLiteral("Writing"));
                engine.MakeSfx(m_main.currentArchive());
            }

            m_main.setMainWindowBusy(false);
            platform.messageBox(QStringLiteral("The specified file has successfully been made self-extracting."),
                                Attention);
            m_main.clearList();
            m_main.setCurrentArchive(QString());
        },
        [&] { m_main.setMainWindowBusy(false); });
}
