#ifndef PLOVERN_ARCHIVEENGINE_H
#define PLOVERN_ARCHIVEENGINE_H

#include "EntryInfo.h"
#include "Progress.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

// The archive engine: all reading and writing of zip archives and
// self-extractors goes through it. Each window owns one instance; settings are
// kept until set again and are never read back; every action runs
// synchronously and reports failure by throwing a Failure whose number comes
// from EngineErrors.h and whose description names the file or entry and the
// cause. The engine never asks the user anything and never shows anything.
//
// Archives with a stub in front of the zip data (self-extractors, ours or
// others', with the central directory's offsets counted from the start of the
// file or from the start of the zip data) are read and changed like plain zip
// files; a change keeps the stub in front. Which end record counts never
// depends on the stub: a candidate is plausible when its comment length makes
// it end exactly at the end of the file, and a plausible end record inside
// the comment of another plausible one makes the archive damaged
// (ArchiveUnreadable), as does a NUL in an entry name.
//
// Before writing anything from an archive (Extract, DeleteFiles, AddFiles'
// commit on an existing archive, MakeSfx) the engine checks its structure:
// every local header agrees with its central header (name, method, and sizes
// without a data descriptor), and no two entries' local ranges (header, name,
// extra fields, compressed data) overlap each other or the central
// directory; otherwise it fails with ArchiveUnreadable naming the entry.
// ListContents reads the central directory alone.
//
// Changes (AddFiles' commit, DeleteFiles) go to the file a link points at and
// keep the link; they hold an exclusive lock on the archive from reading to
// replacing it, so that updates by several engines or programs each build on
// the one before; the new archive is flushed to the disk, with its folder,
// before the change is reported done, and a crash leaves no file behind. On a
// file system without locks, an update overtaken by another program fails
// with ArchiveChanged and changes nothing.
class ArchiveEngine
{
public:
    using EntryListed = std::function<void(const EntryInfo&)>;

    // Progress.h: how far a long action has got, and the handler told so.
    using Progress = ::Progress;
    using ProgressHandler = ::ProgressHandler;

    ArchiveEngine();
    ~ArchiveEngine(); // commits adds still pending (see AddFiles), swallowing any failure
    ArchiveEngine(const ArchiveEngine&) = delete;
    ArchiveEngine& operator=(const ArchiveEngine&) = delete;

    // ---- Settings --------------------------------------------------------

    // The archive every action but MakeSfx works on. May name a file that
    // does not exist yet before AddFiles, which creates it.
    void setArchivePath(const QString& path);

    // Which entries Extract and DeleteFiles work on: "*.*" means every entry,
    // any other text is one entry's exact name as ListContents reports it.
    // For AddFiles it is the full path of the one file to add.
    void setFileSpec(const QString& fileSpec);

    // The folder Extract writes into, with or without a trailing "/". It is
    // created (with its parents) when missing.
    void setTargetFolder(const QString& folder);

    // The folder the added file comes from, ending in "/". Informational: the
    // stored name is derived from FileSpec and the path switches.
    void setSourceFolder(const QString& folder);

    // Whether AddFiles stores the file's folder path: when both are true the
    // entry is named by the full path without its leading "/", otherwise by the
    // bare file name. The windows always give both the same value.
    void setIncludePaths(bool on);
    void setStorePaths(bool on);

    // Set true before every extraction. Extraction always recreates the stored
    // folders, overwrites existing files and restores times and permissions;
    // the switch changes nothing else.
    void setExtractSwitch(bool on);

    // Self-extractor settings, used by the next MakeSfx.
    void setSfxOutputPath(const QString& path);      // the executable to write
    void setSfxMessageFile(const QString& path);     // file holding the closing message, relative to the current folder
    void setSfxDefaultFolder(const QString& folder); // folder the self-extractor offers
    void setSfxOption(std::int32_t option);          // 2: the self-extractor creates its folder when missing
    void setSfxSwitch(bool on);                      // true: the self-extractor prints its closing message

    // The handler that receives one call per entry during ListContents.
    void setEntryListedHandler(EntryListed handler);

    // The handler that follows Extract, FinishAdding (and the commits other
    // actions make), DeleteFiles and MakeSfx. It is only ever called on the
    // thread that called the action, and once more when the work is over
    // (when its answer no longer matters). It may process events. Each
    // action still returns only when it is over.
    //
    // With a handler set, FinishAdding (and the commits), DeleteFiles and
    // MakeSfx do their work on a worker thread while the calling thread
    // waits and calls the handler at least every 50 ms and at each step of
    // the work. Extract does its work on the calling thread itself, which
    // calls the handler between its own steps: after each file it
    // completes, every 50 ms or so while it writes data, and at least every
    // 50 ms while it waits for the second writing thread of a large
    // extraction (that thread never waits for the handler: the files it
    // completes are counted in the next call). Without a handler every
    // action runs on the calling thread.
    //
    // Answering false stops the action, which then throws Stopped:
    // extraction ends after the file being written (the files completed
    // stay, no partial file); a commit of adds, a deletion or a
    // self-extractor build leaves the archive and the output as they were.
    void setProgressHandler(ProgressHandler handler);

    // Asked during Extract for the password of an encrypted entry: the
    // request names the archive and the entry, and says whether the password
    // given last did not fit that entry. The password given is tried on every
    // later encrypted entry of the same action before the handler is asked
    // again. Answering false cancels the extraction, which then fails (the
    // files completed before stay, as with a stop). Called on the thread that
    // called the action only. Listing never asks.
    struct PasswordRequest
    {
        QString archive;
        QString entry;
        bool wrong = false;
    };
    using PasswordHandler = std::function<bool(const PasswordRequest& request, QString& password)>;
    void setPasswordHandler(PasswordHandler handler);

    // ---- Actions ---------------------------------------------------------

    // Calls the EntryListed handler once per entry of ArchivePath, in the
    // order of the central directory, all before it returns. Throws
    // NoArchivePath, ArchiveNotFound, NotAnArchive or ArchiveUnreadable; a
    // failure may come after some entries were delivered.
    void ListContents();

    // Writes the entries matching FileSpec into TargetFolder: stored folders
    // are recreated, existing files overwritten, each file written to a
    // temporary name and renamed into place only once complete with its CRC
    // checked, times and owner/group/other permission bits restored (never
    // setuid, setgid or sticky). Every selected entry is checked before
    // anything is written: absolute names, ".." parts, link entries pointing
    // outside TargetFolder and paths leading outside it through a link already
    // on disk are refused (UnsafeEntryName, LinkOutsideTarget,
    // PathThroughLink). Encrypted entries (traditional PKWARE or WinZip AES)
    // are decrypted with the password the PasswordHandler gives; without a
    // handler, or with PKWARE strong encryption, they fail with
    // EncryptedEntry. A wrong password asks again; a cancelled prompt fails
    // with PasswordCancelled. Encrypted entries are written on the calling
    // thread, where the handler is asked. A failure half-way leaves the files
    // completed before it and no partial file.
    // A backslash counts as a separator for the name checks. Link entries are
    // made after all files. An empty TargetFolder throws NoTargetFolder, an
    // empty FileSpec EmptySpec, a FileSpec naming no entry EntryNotFound.
    // Large extractions write on two threads (each file by one thread); when
    // both fail, the failure of the earlier entry is thrown.
    void Extract();

    // Adds the file named by FileSpec to ArchivePath, creating the archive
    // when missing (its folder must exist: ArchiveFolderMissing). An entry of
    // the same name is replaced. The file's time (also as an extended
    // timestamp) and permission bits are stored with it.
    //
    // Adds are batched: consecutive AddFiles calls on the same ArchivePath
    // collect their files and the archive is rewritten once, by FinishAdding
    // (or by the next action of any other kind, or by the destructor). Until
    // then the archive on disk is unchanged, so no reader ever sees a
    // half-written archive. When an AddFiles call fails (SourceUnreadable for
    // a vanished or unreadable file, for example), the files collected before
    // it are committed first, then the failure is thrown. A collected file
    // that vanishes before the commit is left out, the others are written,
    // then SourceUnreadable names it. An existing empty (0-byte) file is taken
    // for an empty archive. A commit that fails because ArchivePath changed is
    // reported by the next action.
    void AddFiles();

    // Commits the adds collected since the last commit; does nothing when
    // none are pending. The archive is read now, so files added meanwhile by
    // someone else are kept. Throws CannotUpdateArchive (or ArchiveChanged),
    // leaving the archive as it was, when the archive cannot be rewritten.
    void FinishAdding();

    // Removes the entries matching FileSpec from ArchivePath. Atomic: on
    // failure the archive is unchanged. Removing every entry leaves a valid
    // empty archive (with its stub, if it had one), never a vanished file.
    void DeleteFiles();

    // The self-extractor built by the next MakeSfx starts `program` (with the
    // target folder as its working folder) after extracting. Applies to the
    // next MakeSfx only. The three texts and the number are accepted and
    // ignored.
    void SfxAddRunCommand(const QString& unused1, const QString& program, const QString& unused2,
                          const QString& unused3, std::int32_t unused4);

    // Writes SfxOutputPath: the self-extractor runtime (found next to the
    // running program: plovern-sfx.exe, the Windows one, when SfxOutputPath
    // ends in ".exe" in any case, else plovern-sfx, the Linux one), its
    // settings (default folder, closing message read from SfxMessageFile,
    // run-after program, options) and the
    // zip data of `archivePath` with offsets adjusted so that every zip tool
    // reads the result. Streams the archive (memory stays flat), writes to a
    // temporary file beside the output and renames it into place with its
    // executable bits set; never touches the source archive. Throws
    // NoSfxOutputPath, NoArchivePath, SfxOutputIsArchive (also through a link
    // or hard link), SfxRuntimeMissing, MessageFileUnreadable (an empty
    // SfxMessageFile means no message), ArchiveNotFound, NotAnArchive or
    // CannotWriteFile. The run-after program is cleared even when it fails.
    void MakeSfx(const QString& archivePath);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

#endif // PLOVERN_ARCHIVEENGINE_H
