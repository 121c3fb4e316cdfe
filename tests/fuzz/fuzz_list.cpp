// Opening and listing arbitrary bytes: the engine must fail cleanly (a
// Failure) or list, never crash, leak or hang.
#include "ArchiveEngine.h"
#include "Failure.h"
#include "FuzzArchive.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ArchiveEngine engine;
    // Unsigned, so that sizes summed from hostile fields wrap instead of
    // overflowing: only the reading of every field matters.
    std::uint64_t total = 0;
    engine.setEntryListedHandler([&](const EntryInfo& entry) {
        total += static_cast<std::uint64_t>(entry.normalSize) + static_cast<std::uint64_t>(entry.name.size());
    });
    engine.setArchivePath(FuzzArchive::write(data, size));
    engine.setFileSpec(QStringLiteral("*.*"));
    engine.setTargetFolder(QStringLiteral("/"));
    try {
        engine.ListContents();
    } catch (const Failure&) {}
    return total == ~std::uint64_t(0) ? 1 : 0;
}
