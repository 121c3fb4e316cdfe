#ifndef PLOVERN_SFX_EXTRACTION_H
#define PLOVERN_SFX_EXTRACTION_H

#include "AttachedZip.h"
#include "SafetyRules.h"

#include <string>
#include <vector>

// Extracts every entry of the attached zip into a folder, through the zip
// core: every entry is checked first (names, encryption, methods, links,
// links already on disk), then folders, files and links are written beneath
// the folder in the zip core's order (zipcore::ExtractionSequence), each file
// in its archive turn, and never through a link out of it, each file under a temporary
// name put in place only once complete with its size and CRC checked. An
// interruption (a failure or a signal) leaves the files completed before it
// and nothing half-written. Prints a line per entry as unzip does.
class Extraction
{
public:
    Extraction(AttachedZip& zip, const std::string& folder);

    // Checks everything; throws SfxError naming the first entry refused.
    // Nothing is written.
    void check();

    // Creates the folder (with its parents) when missing and writes every
    // entry. Throws SfxError naming the entry or file and the cause.
    void run();

    // Paths (relative to the folder) of the files and links written.
    const std::vector<std::string>& written() const { return m_written; }

private:
    class Sequence;

    AttachedZip& m_zip;
    std::string m_folder;
    std::vector<zipcore::PlannedEntry> m_plans;
    std::vector<const zipcore::Entry*> m_entries; // beside each plan
    std::vector<std::string> m_written;
};

#endif // PLOVERN_SFX_EXTRACTION_H
