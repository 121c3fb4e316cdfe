#include "PrivateSettings.h"

#include <QDir>
#include <QSettings>

PrivateSettings::PrivateSettings()
    : m_dir(QDir::tempPath() + QStringLiteral("/plovern-XXXXXX"))
    // Without a temporary folder, a place below a device file: every write
    // there fails, so nothing is kept at all.
    , m_folder(m_dir.isValid() ? m_dir.path() : QStringLiteral("/dev/null/plovern"))
{
    for (const QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat})
        QSettings::setPath(format, QSettings::UserScope, m_folder);
}
