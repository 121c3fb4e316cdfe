// Extracting arbitrary bytes into a private folder: the engine must fail
// cleanly or extract, never crash, leak, hang, or write outside the folder.
#include "ArchiveEngine.h"
#include "Failure.h"
#include "FuzzArchive.h"

#include <QDir>
#include <QFileInfo>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString base = FuzzArchive::folder();
    const QString target = base + QStringLiteral("/target/inner");
    QDir().mkpath(target);
    ArchiveEngine engine;
    engine.setArchivePath(FuzzArchive::write(data, size));
    engine.setFileSpec(QStringLiteral("*.*"));
    engine.setExtractSwitch(true);
    engine.setTargetFolder(target);
    try {
        engine.Extract();
    } catch (const Failure&) {}
    // Anything beside the target folder means an entry escaped it.
    const QStringList beside = QDir(base + QStringLiteral("/target"))
                                   .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    if (beside != QStringList{QStringLiteral("inner")})
        std::abort();
    FuzzArchive::empty(target);
    return 0;
}
