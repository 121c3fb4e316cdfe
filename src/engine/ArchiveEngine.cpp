#include "ArchiveEngine.h"

#include "ArchiveUpdate.h"
#include "EngineErrors.h"
#include "EntryListing.h"
#include "EntryNames.h"
#include "EntryTimes.h"
#include "Extractor.h"
#include "Failure.h"
#include "OpenArchive.h"
#include "PasswordSource.h"
#include "ProgressChannel.h"
#include "SfxBuilder.h"

#include <QLocale>

#include <optional>

namespace {

// The engine's caller answers the zip core's password requests.
class HandlerPasswords : public zipcore::PasswordSource
{
public:
    HandlerPasswords(const ArchiveEngine::PasswordHandler& handler, const QString& archive)
        : m_handler(handler)
        , m_archive(archive)
    {}

    bool ask(const std::string& entryName, bool wrong, std::string& password) override
    {
        ArchiveEngine::PasswordRequest request;
        request.archive = m_archive;
        request.entry = QString::fromStdString(zipcore::printableName(entryName));
        request.wrong = wrong;
        QString answer;
        if (!m_handler(request, answer))
            return false;
        // As 7-Zip and WinZip take a password: its UTF-8 bytes.
        password = answer.toStdString();
        return true;
    }

private:
    const ArchiveEngine::PasswordHandler& m_handler;
    QString m_archive;
};

} // namespace

struct ArchiveEngine::Impl
{
    QString archivePath;
    QString fileSpec;
    QString targetFolder;
    QString sourceFolder;
    bool includePaths = false;
    bool storePaths = false;
    bool extractSwitch = false;
    QString sfxOutputPath;
    QString sfxMessageFile;
    QString sfxDefaultFolder;
    std::int32_t sfxOption = 0;
    bool sfxSwitch = false;
    QString runAfter;
    EntryListed entryListed;
    ProgressHandler progressHandler;
    PasswordHandler passwordHandler;

    std::unique_ptr<AddBatch> batch;
    // A commit that failed where no failure could be thrown (when the
    // archive path changed); the next action reports it.
    std::optional<Failure> deferred;

    // Commits the collected adds; `shown` lets the progress handler follow
    // (and stop) the commit.
    void commitPending(bool shown = true)
    {
        if (deferred) {
            const Failure failure = *deferred;
            deferred.reset();
            throw failure;
        }
        if (batch) {
            // The batch is finished whatever the outcome: on failure the
            // archive is as it was and the collected files are not added.
            const std::unique_ptr<AddBatch> finishing = std::move(batch);
            ProgressChannel progress(shown ? progressHandler : ProgressHandler());
            runStoppable(
                progress, [&] { finishing->commit(progress); },
                [&] { return QStringLiteral("nothing was added to %1").arg(finishing->archivePath()); });
        }
    }

    // Runs `work` through `progress` (on the calling thread when `here`,
    // see ProgressChannel); a stop becomes the Stopped failure whose
    // description `kept` gives.
    static void runStoppable(ProgressChannel& progress, const std::function<void()>& work,
                             const std::function<QString()>& kept, bool here = false)
    {
        try {
            if (here)
                progress.runHere(work);
            else
                progress.run(work);
        } catch (const StopRequested&) {
            throw EngineFailure::stopped(kept());
        }
    }

    void requireArchivePath() const
    {
        if (archivePath.isEmpty())
            throw EngineFailure::noArchivePath();
    }
};

ArchiveEngine::ArchiveEngine()
    : d(std::make_unique<Impl>())
{}

ArchiveEngine::~ArchiveEngine()
{
    try {
        if (d->batch) {
            ProgressChannel unseen{ProgressHandler()};
            d->batch->commit(unseen);
        }
    } catch (...) {
        // Nothing can be reported from here; the archive is either complete
        // or as it was.
    }
}

void ArchiveEngine::setArchivePath(const QString& path)
{
    if (d->batch && d->batch->archivePath() != path) {
        try {
            d->commitPending(false);
        } catch (const Failure& failure) {
            d->deferred = failure;
        }
    }
    d->archivePath = path;
}

void ArchiveEngine::setFileSpec(const QString& fileSpec)
{
    d->fileSpec = fileSpec;
}
void ArchiveEngine::setTargetFolder(const QString& folder)
{
    d->targetFolder = folder;
}
void ArchiveEngine::setSourceFolder(const QString& folder)
{
    d->sourceFolder = folder;
}
void ArchiveEngine::setIncludePaths(bool on)
{
    d->includePaths = on;
}
void ArchiveEngine::setStorePaths(bool on)
{
    d->storePaths = on;
}
void ArchiveEngine::setExtractSwitch(bool on)
{
    d->extractSwitch = on;
}
void ArchiveEngine::setSfxOutputPath(const QString& path)
{
    d->sfxOutputPath = path;
}
void ArchiveEngine::setSfxMessageFile(const QString& path)
{
    d->sfxMessageFile = path;
}
void ArchiveEngine::setSfxDefaultFolder(const QString& folder)
{
    d->sfxDefaultFolder = folder;
}
void ArchiveEngine::setSfxOption(std::int32_t option)
{
    d->sfxOption = option;
}
void ArchiveEngine::setSfxSwitch(bool on)
{
    d->sfxSwitch = on;
}
void ArchiveEngine::setEntryListedHandler(EntryListed handler)
{
    d->entryListed = std::move(handler);
}
void ArchiveEngine::setProgressHandler(ProgressHandler handler)
{
    d->progressHandler = std::move(handler);
}

void ArchiveEngine::setPasswordHandler(PasswordHandler handler)
{
    d->passwordHandler = std::move(handler);
}

void ArchiveEngine::ListContents()
{
    d->commitPending();
    d->requireArchivePath();
    // The directory is walked rather than read whole: a list of a million
    // entries is filled while only a piece of the directory is held.
    const PosixFile::Descriptor file = openArchiveFile(d->archivePath);
    const EntryTimes times;
    walkArchiveDirectory(file.get(), d->archivePath, [&](const zipcore::Entry& entry) {
        if (d->entryListed)
            d->entryListed(listedEntry(entry, times));
    });
}

void ArchiveEngine::Extract()
{
    d->commitPending();
    d->requireArchivePath();
    if (d->targetFolder.isEmpty())
        throw EngineFailure::noTargetFolder();
    ProgressChannel progress(d->progressHandler);
    Impl::runStoppable(
        progress,
        [&] {
            const OpenArchive archive(d->archivePath);
            const std::vector<std::uint64_t> chosen = archive.select(d->fileSpec);
            HandlerPasswords passwords(d->passwordHandler, d->archivePath);
            Extractor(archive, d->targetFolder, progress, d->passwordHandler ? &passwords : nullptr).run(chosen);
        },
        [&] {
            const QLocale english(QLocale::English);
            return QStringLiteral("%1 of %2 files were extracted into %3")
                .arg(english.toString(static_cast<qlonglong>(progress.filesDone())),
                     english.toString(static_cast<qlonglong>(progress.filesTotal())), d->targetFolder);
        },
        true);
}

void ArchiveEngine::AddFiles()
{
    d->requireArchivePath();
    if (d->batch && d->batch->archivePath() != d->archivePath)
        d->commitPending();
    if (d->deferred)
        d->commitPending();
    if (d->fileSpec.isEmpty())
        throw EngineFailure::emptySpec();

    AddedFile file;
    try {
        file = AddedFile::find(d->fileSpec, d->includePaths && d->storePaths);
    } catch (const Failure&) {
        // What was collected so far is kept, then the failure is told.
        d->commitPending();
        throw;
    }
    if (!d->batch)
        d->batch = std::make_unique<AddBatch>(d->archivePath);
    d->batch->add(file);
}

void ArchiveEngine::FinishAdding()
{
    d->commitPending();
}

void ArchiveEngine::DeleteFiles()
{
    d->commitPending();
    d->requireArchivePath();
    ProgressChannel progress(d->progressHandler);
    Impl::runStoppable(
        progress, [&] { ArchiveUpdate::deleteEntries(d->archivePath, d->fileSpec, progress); },
        [&] { return QStringLiteral("nothing was deleted from %1").arg(d->archivePath); });
}

void ArchiveEngine::SfxAddRunCommand(const QString& unused1, const QString& program, const QString& unused2,
                                     const QString& unused3, std::int32_t unused4)
{
    Q_UNUSED(unused1);
    Q_UNUSED(unused2);
    Q_UNUSED(unused3);
    Q_UNUSED(unused4);
    d->runAfter = program;
}

void ArchiveEngine::MakeSfx(const QString& archivePath)
{
    // The run-after program belongs to this build only, whatever happens.
    SfxBuilder::Settings settings;
    settings.runAfter = d->runAfter;
    d->runAfter.clear();

    d->commitPending();
    if (d->sfxOutputPath.isEmpty())
        throw EngineFailure::noSfxOutputPath();
    if (archivePath.isEmpty())
        throw EngineFailure::noArchivePath();

    const QString runtime = SfxBuilder::findRuntime(d->sfxOutputPath);
    settings.message = SfxBuilder::readMessage(d->sfxMessageFile);
    settings.folder = d->sfxDefaultFolder;
    settings.createFolder = d->sfxOption == 2;
    settings.showMessage = d->sfxSwitch;
    ProgressChannel progress(d->progressHandler);
    Impl::runStoppable(
        progress, [&] { SfxBuilder::build(archivePath, d->sfxOutputPath, runtime, settings, progress); },
        [&] { return QStringLiteral("%1 was not written").arg(d->sfxOutputPath); });
}
