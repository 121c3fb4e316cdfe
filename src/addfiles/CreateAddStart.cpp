#include "CreateAddStart.h"

#include "ErrorReport.h"
#include "Platform.h"
#include "WorkingState.h"

CreateAddStart::CreateAddStart(WorkingState& state)
    : m_main(state)
{}

void CreateAddStart::run()
{
    Platform& platform = m_main.platform();
    ErrorReport::trap(platform, nullptr, ErrorReport::CancelFilter::SilentOnCancel, [&] {
        m_main.clearList();
        if (m_main.hintsOn())
            platform.messageBox(
                QStringLiteral("On the next screen, you will type in the name of the zip file you want to create, "
                               "like FRED.ZIP, and you will also decide where to save it.  You can also choose an "
                               "existing zip file and add then files to it."),
                QStringLiteral("What we're about to do..."), nullptr);
        m_main.hideSecondaryWindows();

        FileDialogRequest request;
        request.cancelError = true;
        request.title =
            QStringLiteral("Please type the name of the zip file to create/add to and choose its location:");
        request.fileName = QString();
        request.filter = QStringLiteral("Zip Files (*.zip)|*.zip");
        request.filterIndex = 2; // past the one pair: the platform falls back to it
        const QString chosen = platform.saveFileDialog(request);
        m_main.setCurrentArchive(chosen);
        if (chosen.isEmpty())
            return;

        if (m_main.hintsOn())
            platform.messageBox(
                QStringLiteral("On the next screen, you will choose the files you want to add to your zip file.  "
                               "You can choose them from multiple locations.  Click the 'Cancel/Finish' button when "
                               "you have added all the files you want to your new zip file!  You can hold down your "
                               "Control key to select multiple files at once on the right side of the screen."),
                QStringLiteral("What we're about to do...."), nullptr);
        m_main.showAddFilesWindow();
    });
}
