#ifndef PLOVERN_SFX_SFXSETTINGS_H
#define PLOVERN_SFX_SFXSETTINGS_H

#include <string>

// What the maker of the self-extractor chose, read from the settings block
// stored between the runtime and the zip data (see FORMAT.md). The defaults
// are those of an archive without a settings block, such as a plain
// "cat plovern-sfx some.zip": extract into the current folder, create it when
// missing, no closing message, nothing to run afterwards.
struct SfxSettings
{
    std::string folder;  // default target folder as typed by the maker; empty means the current folder
    bool create = true;  // create the target folder when it is missing
    std::string message; // closing message
    bool show = false;   // print the closing message after extracting
    std::string run;     // program started in the target folder after extracting; empty for none

    // Reads "key=value" lines; unknown keys and lines without "=" are skipped
    // so that later versions can add keys without breaking older runtimes.
    static SfxSettings parse(const std::string& block);
};

#endif // PLOVERN_SFX_SFXSETTINGS_H
