#ifndef PLOVERN_SFX_WIN_WINSFXPROGRAM_H
#define PLOVERN_SFX_WIN_WINSFXPROGRAM_H

#include "SfxOptions.h"

#include <string>
#include <vector>

// The Windows self-extractor's command line and the course of one run.
// Without arguments it opens its window (SfxWindow); with them it works on
// the console it was started from, with the options and exit statuses of the
// Linux runtime, in Windows spelling as well ("/target DIR", "/list", "/test",
// "/?").
class WinSfxProgram
{
public:
    // `ownPath`: the program's own file, which carries the zip data.
    explicit WinSfxProgram(std::string ownPath);

    // Returns the exit status.
    int run(const std::vector<std::string>& arguments);

private:
    void printHelp() const;
    int list() const;
    int test() const;
    int extract() const;

    std::string m_ownPath;
    std::string m_name;
    SfxOptions m_options; // no action and no target: the window
};

#endif // PLOVERN_SFX_WIN_WINSFXPROGRAM_H
