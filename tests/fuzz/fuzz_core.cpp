// The zip core on arbitrary bytes, as the self-extractor runtime meets them:
// reading the directory, checking its structure, the names, each entry's
// data and link target, and the link rules over the planned entries must
// succeed or throw a ZipError, never crash, leak or hang. No Qt, no engine,
// no disk.
#include "ByteSource.h"
#include "EntryData.h"
#include "EntryNames.h"
#include "SafetyRules.h"
#include "StructureCheck.h"
#include "ZipDirectory.h"
#include "ZipError.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

// Entries whose stated sizes are larger are not read: inflating a bomb to
// the last byte only costs time.
constexpr std::uint64_t MaxEntryData = 1 << 20;

// Links "already on disk" below the target folder, from a fixed map: some
// lead inside, some outside, one in a loop, one cannot be read.
class FixedLinks : public zipcore::DiskLinks
{
public:
    zipcore::DiskEntry entryAt(const std::string& path) override
    {
        static const std::map<std::string, std::string> links = {
            {"in", "a"},         {"a/up", ".."},   {"out", "../outside"},      {"abs", "/t/x/a"},
            {"abs-out", "/etc"}, {"loop", "loop"}, {"a/deep", "../in/up/abs"}, {"unreadable", ""},
        };
        const auto found = links.find(path);
        if (found == links.end())
            return {zipcore::DiskEntry::Kind::Other, std::string()};
        return {zipcore::DiskEntry::Kind::Link, found->second};
    }
};

// A link's stored target, or, when its data cannot be read (mostly for a
// CRC that mutations rarely get right), its comment: so that the link rules
// meet targets the fuzzer made, not only the few that came with the seeds.
std::string linkTarget(zipcore::EntryData& reader, const zipcore::Entry& entry)
{
    try {
        return reader.linkTarget(entry);
    } catch (const zipcore::ZipError&) {
        return entry.comment;
    }
}

void checkRules(const std::string& root, const std::vector<zipcore::PlannedEntry>& plans)
{
    FixedLinks disk;
    try {
        zipcore::SafetyRules(root, root, disk).check(plans);
    } catch (const zipcore::ZipError&) {}
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    zipcore::MemorySource source(data, size);
    zipcore::Directory directory;
    try {
        directory = zipcore::readDirectory(source);
    } catch (const zipcore::ZipError&) {
        return 0;
    }

    // The entries are read on whether or not the structure holds, so that
    // their reading meets the shapes the check refuses as well.
    bool sound = false;
    try {
        zipcore::checkStructure(source, directory);
        sound = true;
    } catch (const zipcore::ZipError&) {}

    zipcore::EntryData reader(source, directory.layout);
    std::vector<zipcore::PlannedEntry> plans;
    std::uint32_t sum = sound ? 1 : 0;
    for (const zipcore::Entry& entry : directory.entries) {
        sum += static_cast<std::uint32_t>(zipcore::decodeName(entry.rawName, entry.flags).size());
        sum += static_cast<std::uint32_t>(zipcore::decodeName(entry.comment, entry.flags).size());
        const zipcore::DosDateTime time = zipcore::dosDateTime(entry.dosDate, entry.dosTime);
        sum += static_cast<std::uint32_t>(time.year + time.day) + entry.permissions() + entry.encrypted();
        try {
            zipcore::PlannedEntry plan;
            plan.name = entry.name;
            plan.kind = entry.kind;
            plan.parts = zipcore::entryParts(entry.name, entry.kind == zipcore::EntryKind::Folder);
            if (entry.kind == zipcore::EntryKind::Link)
                plan.linkTarget = linkTarget(reader, entry);
            else if (entry.kind == zipcore::EntryKind::File && entry.size <= MaxEntryData
                     && entry.compressedSize <= MaxEntryData)
                reader.read(entry, [&sum](const char* bytes, std::size_t length) {
                    for (std::size_t i = 0; i < length; ++i)
                        sum += static_cast<unsigned char>(bytes[i]);
                });
            if (!plan.parts.empty())
                plans.push_back(std::move(plan));
        } catch (const zipcore::ZipError&) {}
    }
    try {
        zipcore::forEachCentralHeader(source, directory.layout, [&sum](const zipcore::CentralHeader& header) {
            sum += static_cast<std::uint32_t>(header.localOffset);
        });
    } catch (const zipcore::ZipError&) {}

    // Inside a folder below the root, where absolute targets can name it, and
    // at the root itself, where every absolute target is inside.
    checkRules("/t/x", plans);
    checkRules("/", plans);
    return sum == 0xdeadbeef ? 1 : 0;
}
