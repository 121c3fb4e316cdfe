#include "SfxBuilder.h"

#include "ArchiveUpdate.h"
#include "ArchiveWriter.h"
#include "EngineErrors.h"
#include "EntryCompressor.h"
#include "EntryData.h"
#include "EntryDecryption.h"
#include "Failure.h"
#include "FileSource.h"
#include "OpenArchive.h"
#include "PosixFile.h"
#include "ProgressChannel.h"
#include "SfxFormat.h"
#include "TargetFolder.h"
#include "ZipError.h"
#include "ZipFormat.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace SfxBuilder {

namespace {

const QByteArray SelfExtractorComment = QByteArrayLiteral("Self-extracting archive made by Marrowfen Plovern 3.4");

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

// The settings as the block holds them.
zipcore::SfxSettings blockSettings(const Settings& settings)
{
    zipcore::SfxSettings out;
    out.folder = settings.folder.toStdString();
    out.create = settings.createFolder;
    out.message = settings.message.toStdString();
    out.show = settings.showMessage;
    out.run = settings.runAfter.toStdString();
    return out;
}

// Where the 8 bytes of the runtime's anchor stand in its file. The runtime
// is our own program, so its marker must be there exactly once; otherwise it
// is not the runtime this engine was built with, or it is damaged.
std::int64_t findAnchor(int runtime, std::int64_t length, const QString& runtimePath)
{
    // A runtime is a few hundred KiB to a few MiB; anything far larger is not one.
    constexpr std::int64_t MaxRuntime = 256 << 20;
    if (length > MaxRuntime)
        throw EngineFailure::sfxRuntimeUnreadable(runtimePath, QStringLiteral("it is too large to be the runtime"));
    QByteArray bytes(static_cast<qsizetype>(length), '\0');
    const PosixFile::SysResult read = PosixFile::readAt(runtime, bytes.data(), static_cast<std::size_t>(length), 0);
    if (!read)
        throw EngineFailure::sfxRuntimeUnreadable(runtimePath, read.cause());
    const std::string anchor = zipcore::sfxAnchorMarker();
    const QByteArray marker(anchor.data(), static_cast<qsizetype>(anchor.size()));
    const qsizetype at = bytes.indexOf(marker);
    if (at < 0 || bytes.indexOf(marker, at + 1) >= 0 || length - at < qsizetype(zipcore::SfxAnchorSize))
        throw EngineFailure::sfxRuntimeUnreadable(runtimePath,
                                                  QStringLiteral("it is damaged: its anchor is missing or not unique"));
    return at + qsizetype(zipcore::SfxAnchorMarkerSize);
}

// Refuses an archive whose comment holds the signature of a zip record: a
// comment is carried into the self-extractor, right at its end, where such
// bytes could pass for a directory other than the one written.
void checkComment(int archive, const zipcore::Layout& layout, const QString& archivePath)
{
    std::string comment(layout.commentLength, '\0');
    const PosixFile::SysResult read = PosixFile::readAt(
        archive, &comment[0], comment.size(), static_cast<std::int64_t>(layout.endPos + zipcore::EndRecord::FixedSize));
    if (!read)
        throw EngineFailure::archiveUnreadable(archivePath, read.cause());
    if (zipcore::holdsRecordSignature(reinterpret_cast<const unsigned char*>(comment.data()), comment.size()))
        throw EngineFailure::archiveUnreadable(archivePath,
                                               QStringLiteral("its comment holds zip record signatures, which a "
                                                              "self-extractor cannot carry safely; remove the "
                                                              "comment first"));
}

// Reads the written self-extractor back before it takes its name: the
// directory as the engine lists it, and the whole as the runtime reads it
// (its anchor, the settings block, the end record where the block says).
// Both must show exactly the archive's entries, in order, and the block the
// maker's settings; otherwise the build fails and leaves nothing.
void checkWritten(int out, const QString& outputPath, std::int64_t anchorAt, std::uint64_t blockStart,
                  const zipcore::Directory& source, const zipcore::SfxSettings& settings)
{
    const auto refuse = [&](const QString& cause) {
        throw EngineFailure::cannotWriteFile(outputPath,
                                             QStringLiteral("the self-extractor does not read back: %1").arg(cause));
    };
    std::vector<std::string> intended;
    for (const zipcore::Entry& entry : source.entries)
        intended.push_back(entry.rawName);
    const auto names = [](const zipcore::Directory& directory) {
        std::vector<std::string> out;
        for (const zipcore::Entry& entry : directory.entries)
            out.push_back(entry.rawName);
        return out;
    };

    unsigned char anchor[8];
    if (!PosixFile::readAt(out, anchor, sizeof anchor, anchorAt) || zipcore::get64(anchor) != blockStart)
        refuse(QStringLiteral("its anchor is wrong"));
    ArchiveUpdate::checkReadsBack(out, outputPath, intended, EngineFailure::cannotWriteFile);
    zipcore::FileSource file(out);
    try {
        const zipcore::SelfExtractor read = zipcore::readSelfExtractor(file, blockStart, false);
        if (names(read.directory) != intended)
            refuse(QStringLiteral("its runtime would see other entries than the archive's"));
        if (!(read.block.settings == settings))
            refuse(QStringLiteral("its settings are not the ones chosen"));
    } catch (const zipcore::ZipError& error) {
        refuse(QString::fromStdString(error.cause()));
    }
}

bool forWindows(const QString& outputPath)
{
    return outputPath.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive);
}

bool windowsRuntimeDecodes(std::uint16_t method)
{
    return method == zipcore::MethodStored || method == zipcore::MethodDeflated || method == zipcore::MethodDeflate64;
}

// Rather than a self-extractor that cannot extract its own entries, none is
// made. The Linux runtime decodes what the engine decodes, with the same
// libraries; the Windows runtime stored, deflated and Deflate64 entries only
// (Debian has no MinGW-w64 libbz2, liblzma or libzstd).
void checkRuntimeDecodes(const zipcore::Directory& directory, bool windows)
{
    for (const zipcore::Entry& entry : directory.entries) {
        if (entry.kind == zipcore::EntryKind::Folder)
            continue;
        // An encrypted entry is judged by the method of the data inside: a
        // WinZip AES entry names it in its extra field, behind method 99.
        const zipcore::Encryption encryption = zipcore::encryptionOf(entry);
        if (encryption.kind == zipcore::Encryption::Kind::Strong)
            throw EngineFailure::encryptedEntry(QStringLiteral("%1 (%2)").arg(
                QString::fromUtf8(entry.name.c_str()), QString::fromStdString(encryption.problem)));
        const std::uint16_t method = encryption.method;
        const bool decodes = windows ? windowsRuntimeDecodes(method) : zipcore::EntryData::decodes(method);
        if (!decodes)
            throw EngineFailure::unsupportedMethod(
                QString::fromUtf8(entry.name.c_str()),
                QStringLiteral("it uses compression method %1, which the %2 self-extractor cannot decode")
                    .arg(QString::fromStdString(zipcore::EntryData::methodName(method)),
                         windows ? QStringLiteral("Windows") : QStringLiteral("Linux")));
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
    // A regular file only: a FIFO would hold the build until someone writes
    // to it, and a device such as /dev/zero never ends. The message must fit
    // the settings block with room to spare (escaping can double it).
    constexpr qint64 MaxMessage = qint64(zipcore::MaxSfxBlock / 4);
    const QString path = QFileInfo(messageFile).absoluteFilePath();
    const QFileInfo info(messageFile);
    if (info.exists() && !info.isFile())
        throw EngineFailure::messageFileUnreadable(path, QStringLiteral("it is not a regular file"));
    const auto tooLarge = [&] {
        return EngineFailure::messageFileUnreadable(
            path, QStringLiteral("it is larger than a self-extractor's message may be (%1 MiB)").arg(MaxMessage >> 20));
    };
    if (info.size() > MaxMessage)
        throw tooLarge();
    QFile file(messageFile);
    if (!file.open(QIODevice::ReadOnly))
        throw EngineFailure::messageFileUnreadable(path, file.errorString());
    const QByteArray bytes = file.read(MaxMessage + 1); // the file may grow meanwhile
    if (bytes.size() > MaxMessage)
        throw tooLarge();
    QString message = QString::fromLocal8Bit(bytes);
    while (message.endsWith(QLatin1Char('\n')) || message.endsWith(QLatin1Char('\r')))
        message.chop(1);
    return message;
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

    const std::int64_t anchorAt = findAnchor(runtime.get(), runtimeInfo.st_size, runtimePath);
    const zipcore::Directory directory = readCheckedDirectory(archive.get(), archivePath);
    checkRuntimeDecodes(directory, forWindows(outputPath));
    checkComment(archive.get(), directory.layout, archivePath);

    const auto check = [&](const SysResult& result) {
        if (!result)
            throw EngineFailure::cannotWriteFile(outputPath, result.cause());
    };
    if (!progress.checkpoint())
        throw StopRequested();
    PosixFile::TempFile out;
    check(out.create(PosixFile::folderOf(outputPath), QFileInfo(outputPath).fileName()));

    // The archive writer, with the runtime and settings block in front and
    // every entry kept: entries are copied by the kernel as they are, the
    // directory and end records are written as for any update.
    ArchiveWriter::SelfExtractorFront front;
    front.runtime = runtime.get();
    front.runtimeLength = runtimeInfo.st_size;
    front.runtimePath = runtimePath;
    front.settings = blockSettings(settings);
    // A comment keeps the end record from being the file's last 22 bytes,
    // which is what file(1) takes for a plain zip archive: with it, a
    // Windows self-extractor is named a Windows program, as it should be.
    front.commentWhenNone = SelfExtractorComment;
    ArchiveWriter writer(archive.get(), &directory, out.fd(), archivePath, progress);
    writer.setSelfExtractorFront(front, outputPath, EngineFailure::cannotWriteFile);
    EntryCompressor noNewEntries({});
    writer.write(std::vector<ArchiveWriter::Fate>(directory.entries.size(), ArchiveWriter::Fate::Keep), {},
                 noNewEntries);

    // The runtime learns where its settings block starts from its anchor.
    const auto blockStart = static_cast<std::uint64_t>(runtimeInfo.st_size);
    unsigned char place[8];
    zipcore::put64(place, blockStart);
    check(PosixFile::writeAt(out.fd(), place, sizeof place, anchorAt));
    checkWritten(out.fd(), outputPath, anchorAt, blockStart, directory, front.settings);
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
