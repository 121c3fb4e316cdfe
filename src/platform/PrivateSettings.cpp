#include "PrivateSettings.h"

#include <QDir>
#include <QFile>
#include <QSettings>

PrivateSettings::PrivateSettings()
    : m_dir(QDir::tempPath() + QStringLiteral("/plovern-XXXXXX"))
    // Without a temporary folder, a place below a device file: every write
    // there fails, so nothing is kept at all.
    , m_folder(m_dir.isValid() ? m_dir.path() : QStringLiteral("/dev/null/plovern"))
{
    for (const QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat})
        QSettings::setPath(format, QSettings::UserScope, m_folder);

    // Qt wants a private runtime folder and warns at every start when the
    // session names none (XDG_RUNTIME_DIR, missing under su, in containers
    // and over some remote logins). One inside this run's folder does, and
    // goes with it.
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") && m_dir.isValid()) {
        const QString runtime = m_folder + QStringLiteral("/runtime");
        if (QDir().mkdir(runtime)
            && QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    }
}
