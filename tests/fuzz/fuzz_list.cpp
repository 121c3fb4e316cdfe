// Opening and listing arbitrary bytes: the engine must fail cleanly (a
// Failure) or list, never crash, leak or hang.
#include "ArchiveEngine.h"
#include "Failure.h"
#include "FuzzArchive.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ArchiveEngine engine;
    std::int64_t total = 0;
    engine.setEntryListedHandler([&](const EntryInfo& entry) { total += entry.normalSize + entry.name.size(); });
    engine.setArchivePath(FuzzArchive::write(data, size));
    engine.setFileSpec(QStringLiteral("*.*"));
    engine.setTargetFolder(QStringLiteral("/"));
    try {
        engine.ListContents();
    } catch (const Failure&) {}
    return total == -1 ? 1 : 0;
}
