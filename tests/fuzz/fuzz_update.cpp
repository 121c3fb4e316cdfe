// Deleting an entry from arbitrary bytes, and adding a file to them: the
// engine must fail cleanly, or write an archive that lists again with the
// entry gone or the file there; never crash, leak or hang.
#include "ArchiveEngine.h"
#include "Failure.h"
#include "FuzzArchive.h"

#include <QFile>

#include <cstdint>
#include <cstdlib>

namespace {

QStringList listed(ArchiveEngine& engine)
{
    QStringList names;
    engine.setEntryListedHandler([&](const EntryInfo& entry) { names << entry.name; });
    engine.ListContents();
    return names;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString input = FuzzArchive::write(data, size);
    const QString archive = FuzzArchive::folder() + QStringLiteral("/update.zip");
    const QString added = FuzzArchive::folder() + QStringLiteral("/added.txt");
    if (!QFile::exists(added)) {
        QFile file(added);
        if (!file.open(QIODevice::WriteOnly) || file.write("added by the fuzzer\n") < 0)
            std::abort();
    }
    QStringList before;
    {
        ArchiveEngine engine;
        engine.setArchivePath(input);
        try {
            before = listed(engine);
        } catch (const Failure&) {
            return 0;
        }
    }

    // What was written must read again: a failure here escapes and ends
    // the run as a finding.
    if (!before.isEmpty()) {
        QFile::remove(archive);
        QFile::copy(input, archive);
        ArchiveEngine engine;
        engine.setArchivePath(archive);
        engine.setFileSpec(before.front());
        bool deleted = true;
        try {
            engine.DeleteFiles();
        } catch (const Failure&) {
            deleted = false;
        }
        if (deleted && listed(engine).contains(before.front()))
            std::abort();
    }
    QFile::remove(archive);
    QFile::copy(input, archive);
    ArchiveEngine engine;
    engine.setArchivePath(archive);
    engine.setStorePaths(false);
    engine.setFileSpec(added);
    bool written = true;
    try {
        engine.AddFiles();
        engine.FinishAdding();
    } catch (const Failure&) {
        written = false;
    }
    if (written && !listed(engine).contains(QStringLiteral("added.txt")))
        std::abort();
    return 0;
}
