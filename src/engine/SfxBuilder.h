#ifndef PLOVERN_SFXBUILDER_H
#define PLOVERN_SFXBUILDER_H

#include <QByteArray>
#include <QString>

// Writes self-extractors in the layout of sfx-runtime/FORMAT.md: the runtime
// with its anchor set, the settings block, then the zip part of an archive
// with its offsets counted from the start of the new file, written by the
// archive writer.
class ProgressChannel;

namespace SfxBuilder {

struct Settings
{
    QString folder;
    bool createFolder = false;
    QString message;
    bool showMessage = false;
    QString runAfter;
};

// The runtime an output named `outputPath` gets, found next to the running
// program: plovern-sfx.exe, the Windows one, when the name ends in ".exe" in
// any case, else plovern-sfx, the Linux one. Throws SfxRuntimeMissing.
QString findRuntime(const QString& outputPath);

// The closing message held in `messageFile` (relative to the current folder),
// read in the local encoding, without the line ends at its end; an empty name
// means no message. Throws MessageFileUnreadable.
QString readMessage(const QString& messageFile);

// Builds `outputPath` from `runtimePath` and the archive at `archivePath`,
// through a temporary file beside the output that is renamed into place with
// its executable bits set once it reads back as the runtime will read it. The
// archive is only read. Throws ArchiveNotFound, NotAnArchive,
// ArchiveUnreadable (also for an archive comment holding zip record
// signatures), SfxOutputIsArchive, SfxRuntimeMissing, UnsupportedMethod (an
// entry the Windows runtime cannot decode, for a ".exe" output) or
// CannotWriteFile.
// `progress` hears of each part written and may stop the build
// (StopRequested) before the output is touched.
void build(const QString& archivePath, const QString& outputPath, const QString& runtimePath, const Settings& settings,
           ProgressChannel& progress);

} // namespace SfxBuilder

#endif // PLOVERN_SFXBUILDER_H
