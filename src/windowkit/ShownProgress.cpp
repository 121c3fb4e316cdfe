#include "ShownProgress.h"

#include "Platform.h"

#include <QLocale>

ShownProgress::ShownProgress(Platform& platform, QWidget* window, ArchiveEngine& engine, const QString& title,
                             const QString& doing)
    : m_engine(engine)
    , m_window(platform.startProgress(window, title))
{
    m_engine.setProgressHandler([this, doing](const ArchiveEngine::Progress& progress) {
        int percent = 0;
        if (progress.bytesTotal > 0)
            percent = static_cast<int>(100 * progress.bytesDone / progress.bytesTotal);
        else if (progress.filesTotal > 0)
            percent = static_cast<int>(100 * progress.filesDone / progress.filesTotal);
        return m_window->update(text(doing, progress), percent);
    });
}

ShownProgress::~ShownProgress()
{
    m_engine.setProgressHandler({});
}

QString ShownProgress::text(const QString& doing, const ArchiveEngine::Progress& progress)
{
    const QLocale english(QLocale::English);
    QString line = QStringLiteral("%1 %2 of %3 files")
                       .arg(doing, english.toString(static_cast<qlonglong>(progress.filesDone)),
                            english.toString(static_cast<qlonglong>(progress.filesTotal)));
    if (progress.bytesTotal > 0)
        line += QStringLiteral(" \u2014 %1 of %2")
                    .arg(english.formattedDataSize(progress.bytesDone, 1, QLocale::DataSizeSIFormat),
                         english.formattedDataSize(progress.bytesTotal, 1, QLocale::DataSizeSIFormat));
    return line;
}
