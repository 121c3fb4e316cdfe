#include "SfxBuilder.h"

#include "ArchiveUpdate.h"
#include "EngineErrors.h"
#include "Failure.h"
#include "PosixFile.h"
#include "TargetFolder.h"
#include "ZipLayout.h"

#include <cerrno>
#include <sys/stat.h>

namespace SfxBuilder {

namespace {

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

[[noreturn]] void cannotWrite(const QString& path, const QString& cause)
{
    throw Failure(EngineError::CannotWriteFile, QStringLiteral("Cannot write %1: %2").arg(path, cause));
}

} // namespace

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

void build(const QString& archivePath, const QString& outputPath, const QString& runtimePath, const Settings& settings)
{
    const QByteArray archiveName = PosixFile::encodeName(archivePath);
    struct stat archiveInfo;
    if (::stat(archiveName.constData(), &archiveInfo) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            throw Failure(EngineError::ArchiveNotFound, QStringLiteral("Archive not found: %1").arg(archivePath));
        throw Failure(EngineError::ArchiveUnreadable,
                      QStringLiteral("Cannot read archive %1: %2").arg(archivePath, PosixFile::lastError()));
    }
    if (!S_ISREG(archiveInfo.st_mode))
        throw Failure(EngineError::NotAnArchive, QStringLiteral("Not a zip archive: %1").arg(archivePath));

    // The same file under another name (a link, a hard link) counts too.
    struct stat outputInfo;
    const bool sameFile = ::stat(PosixFile::encodeName(outputPath).constData(), &outputInfo) == 0
        && outputInfo.st_dev == archiveInfo.st_dev && outputInfo.st_ino == archiveInfo.st_ino;
    if (sameFile
        || zipcore::realPath(PosixFile::encodeName(outputPath).toStdString())
            == zipcore::realPath(PosixFile::encodeName(archivePath).toStdString()))
        throw Failure(EngineError::SfxOutputIsArchive,
                      QStringLiteral("The self-extractor cannot replace its own archive: %1").arg(outputPath));

    PosixFile::Descriptor runtime = PosixFile::openForReading(runtimePath);
    struct stat runtimeInfo;
    if (!runtime.isOpen() || ::fstat(runtime.get(), &runtimeInfo) != 0 || !S_ISREG(runtimeInfo.st_mode))
        throw Failure(EngineError::SfxRuntimeMissing,
                      QStringLiteral("Self-extractor runtime not found: %1").arg(runtimePath));

    PosixFile::Descriptor archive = PosixFile::openForReading(archivePath);
    if (!archive.isOpen())
        throw Failure(EngineError::ArchiveUnreadable,
                      QStringLiteral("Cannot read archive %1: %2").arg(archivePath, PosixFile::lastError()));
    const zipcore::Layout layout = ZipLayout::read(archive.get(), archivePath).layout;

    PosixFile::TempFile out;
    if (!out.create(PosixFile::folderOf(outputPath)))
        cannotWrite(outputPath, PosixFile::lastError());

    switch (PosixFile::copyRange(runtime.get(), 0, runtimeInfo.st_size, out.fd())) {
        case 1:
            throw Failure(
                EngineError::SfxRuntimeMissing,
                QStringLiteral("Self-extractor runtime not found: %1 (%2)").arg(runtimePath, PosixFile::lastError()));
        case 2: cannotWrite(outputPath, PosixFile::lastError());
        default: break;
    }
    QByteArray block = settingsBlock(settings);
    const auto length = static_cast<std::uint64_t>(block.size());
    block += "PLVSFX01";
    for (int i = 0; i < 8; ++i)
        block += static_cast<char>((length >> (8 * i)) & 0xff);
    if (!PosixFile::writeAll(out.fd(), block.constData(), static_cast<std::size_t>(block.size())))
        cannotWrite(outputPath, PosixFile::lastError());

    const std::int64_t zipStart = runtimeInfo.st_size + block.size();
    ZipLayout::copyZipPart(layout, archive.get(), archivePath, out.fd(), outputPath, zipStart,
                           EngineError::CannotWriteFile);

    // Runnable by whoever may read it, within the user's umask.
    const mode_t readable = ArchiveUpdate::defaultFileMode();
    const mode_t mode = readable | ((readable & 0444) >> 2);
    if (::fchmod(out.fd(), mode) != 0 || !out.close() || !out.commit(outputPath))
        cannotWrite(outputPath, PosixFile::lastError());
}

} // namespace SfxBuilder
