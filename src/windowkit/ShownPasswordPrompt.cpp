#include "ShownPasswordPrompt.h"

#include "EntryNames.h"
#include "Platform.h"

ShownPasswordPrompt::ShownPasswordPrompt(Platform& platform, QWidget* window, ArchiveEngine& engine)
    : m_engine(engine)
{
    m_engine.setPasswordHandler([&platform, window](const ArchiveEngine::PasswordRequest& request, QString& password) {
        // Entry names come from the archive: a control character or a
        // bidirectional override must not garble the prompt.
        const QString entry = QString::fromStdString(zipcore::printableName(request.entry.toStdString()));
        return platform.askPassword(request.archive, entry, request.wrong, window, password);
    });
}

ShownPasswordPrompt::~ShownPasswordPrompt()
{
    m_engine.setPasswordHandler({});
}
