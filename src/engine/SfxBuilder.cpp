#include "SfxBuilder.h"

#include "ArchiveUpdate.h"
#include "EngineErrors.h"
#include "EntryData.h"
#include "Failure.h"
#include "OpenArchive.h"
#include "PosixFile.h"
#include "ProgressChannel.h"
#include "TargetFolder.h"
#include "ZipFormat.h"
#include "ZipRelocation.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>

namespace SfxBuilder {

namespace {

const QByteArray SelfExtractorComment = QByteArrayLiteral("Self-extracting archive made by Marrowfen Plovern 3.4");

QByteArray escaped(const QString& value)
{
    QByteArray out;
    for (const char c : value.toUtf8()) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

// Refuses an output that is the archive itself, also under another name (a
// link, a hard link): writing it would destroy what is read.
void checkNotArchive(const QString& outputPath, const QString& archivePath, const struct stat& archiveInfo)
{
    struct stat outputInfo;
    const bool sameFile = ::stat(PosixFile::encodeName(outputPath).constData(), &outputInfo) == 0
        && outputInfo.st_dev == archiveInfo.st_dev && outputInfo.st_ino == archiveInfo.st_ino;
    if (sameFile
        || zipcore::realPath(PosixFile::encodeName(outputPath).toStdString())
            == zipcore::realPath(PosixFile::encodeName(archivePath).toStdString()))
        throw EngineFailure::sfxOutputIsArchive(outputPath);
}

// The settings block with its trailer: the magic and the block's length.
QByteArray settingsWithTrailer(const Settings& settings)
{
    QByteArray block = settingsBlock(settings);
    const auto length = static_cast<std::uint64_t>(block.size());
    block += "PLVSFX01";
    for (int i = 0; i < 8; ++i)
        block += static_cast<char>((length >> (8 * i)) & 0xff);
    return block;
}

bool forWindows(const QString& outputPath)
{
    return outputPath.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive);
}

// The Windows runtime reads stored and deflated entries only (Debian has no
// MinGW-w64 libbz2): rather than a self-extractor that cannot extract its
// own entries, none is made.
void checkWindowsDecodes(const zipcore::Directory& directory)
{
    for (const zipcore::Entry& entry : directory.entries) {
        if (entry.kind != zipcore::EntryKind::Folder && entry.method != zipcore::MethodStored
            && entry.method != zipcore::MethodDeflated)
            throw EngineFailure::unsupportedMethod(
                QString::fromUtf8(entry.name.c_str()),
                QStringLiteral("it uses compression method %1, which the Windows self-extractor cannot decode")
                    .arg(QString::fromStdString(zipcore::EntryData::methodName(entry.method))));
    }
}

} // namespace

QString findRuntime(const QString& outputPath)
{
    // An output named ".exe" is meant for Windows: it gets the Windows
    // runtime, cross-compiled beside the Linux one; any other name gets the
    // Linux runtime.
    const QString runtime = QCoreApplication::applicationDirPath()
        + (forWindows(outputPath) ? QStringLiteral("/plovern-sfx.exe") : QStringLiteral("/plovern-sfx"));
    if (!QFileInfo(runtime).isFile())
        throw EngineFailure::sfxRuntimeMissing(runtime);
    return runtime;
}

QString readMessage(const QString& messageFile)
{
    if (messageFile.isEmpty())
        return QString();
    QFile file(messageFile);
    if (!file.open(QIODevice::ReadOnly))
        throw EngineFailure::messageFileUnreadable(QFileInfo(messageFile).absoluteFilePath(), file.errorString());
    QString message = QString::fromLocal8Bit(file.readAll());
    while (message.endsWith(QLatin1Char('\n')) || message.endsWith(QLatin1Char('\r')))
        message.chop(1);
    return message;
}

QByteArray settingsBlock(const Settings& settings)
{
    QByteArray block;
    block += "folder=" + escaped(settings.folder) + '\n';
    block += QByteArray("create=") + (settings.createFolder ? '1' : '0') + '\n';
    block += "message=" + escaped(settings.message) + '\n';
    block += QByteArray("show=") + (settings.showMessage ? '1' : '0') + '\n';
    block += "run=" + escaped(settings.runAfter) + '\n';
    return block;
}

void build(const QString& archivePath, const QString& outputPath, const QString& runtimePath, const Settings& settings,
           ProgressChannel& progress)
{
    using PosixFile::SysResult;
    PosixFile::Descriptor archive = openArchiveFile(archivePath);
    struct stat archiveInfo;
    if (::fstat(archive.get(), &archiveInfo) != 0)
        throw EngineFailure::archiveUnreadable(archivePath, SysResult::fromErrno().cause());

    checkNotArchive(outputPath, archivePath, archiveInfo);

    PosixFile::Descriptor runtime = PosixFile::openForReading(runtimePath);
    struct stat runtimeInfo;
    if (!runtime.isOpen() || ::fstat(runtime.get(), &runtimeInfo) != 0 || !S_ISREG(runtimeInfo.st_mode))
        throw EngineFailure::sfxRuntimeMissing(runtimePath);

    const zipcore::Directory directory = readCheckedDirectory(archive.get(), archivePath);
    if (forWindows(outputPath))
        checkWindowsDecodes(directory);
    const zipcore::Layout& layout = directory.layout;

    const auto check = [&](const SysResult& result) {
        if (!result)
            throw EngineFailure::cannotWriteFile(outputPath, result.cause());
    };
    const std::int64_t zipLength = static_cast<std::int64_t>(archiveInfo.st_size - layout.zipStart);
    progress.setTotals(1, runtimeInfo.st_size + zipLength);
    if (!progress.checkpoint())
        throw StopRequested();
    PosixFile::TempFile out;
    check(out.create(PosixFile::folderOf(outputPath)));
    const SysResult copied = PosixFile::copyRange(runtime.get(), 0, runtimeInfo.st_size, out.fd());
    if (!copied && copied.failedReading())
        throw EngineFailure::sfxRuntimeUnreadable(runtimePath, copied.cause());
    check(copied);
    const QByteArray block = settingsWithTrailer(settings);
    check(PosixFile::writeAll(out.fd(), block.constData(), static_cast<std::size_t>(block.size())));
    progress.addBytes(runtimeInfo.st_size);
    if (!progress.checkpoint())
        throw StopRequested();

    // A comment keeps the end record from being the file's last 22 bytes,
    // which is what file(1) takes for a plain zip archive: with it, a
    // Windows self-extractor is named a Windows program, as it should be.
    const std::int64_t zipStart = runtimeInfo.st_size + block.size();
    ZipRelocation::copyZipPart(layout, archive.get(), archivePath, out.fd(), outputPath, zipStart,
                               EngineFailure::cannotWriteFile, SelfExtractorComment);
    progress.addBytes(zipLength);
    if (!progress.checkpoint())
        throw StopRequested();

    // Runnable by whoever may read it, within the user's umask.
    const mode_t readable = ArchiveUpdate::defaultFileMode();
    const mode_t mode = readable | ((readable & 0444) >> 2);
    check(SysResult::of(::fchmod(out.fd(), mode)));
    // Flushed before it takes the output's name (see TempFile::commit).
    check(out.commit(outputPath));
}

} // namespace SfxBuilder
