#ifndef PLOVERN_SFX_SFXPROGRAM_H
#define PLOVERN_SFX_SFXPROGRAM_H

#include "SfxFormat.h"
#include "SfxOptions.h"

#include <string>
#include <vector>

class AttachedZip;

// The self-extractor's command line and the course of one run: choose the
// folder, check every entry, extract, show the closing message, start the
// program that follows.
class SfxProgram
{
public:
    // `archivePath` is the file carrying the zip data, normally /proc/self/exe.
    SfxProgram(const std::string& name, const std::string& archivePath);

    // Returns the exit status; failures are printed on stderr.
    int run(const std::vector<std::string>& arguments);

private:
    void printHelp() const;
    int list(AttachedZip& zip) const;
    int test(AttachedZip& zip) const;
    int extract(AttachedZip& zip);
    std::string chooseFolder(const zipcore::SfxSettings& settings) const;

    std::string m_name;
    std::string m_archivePath;
    SfxOptions m_options;
};

#endif // PLOVERN_SFX_SFXPROGRAM_H
