#ifndef PLOVERN_SFX_WIN_WINRUNAFTER_H
#define PLOVERN_SFX_WIN_WINRUNAFTER_H

#include <string>
#include <vector>

// Starts the program chosen by the archive's maker once everything is
// extracted, with the target folder as its working folder, and waits for it.
// The stored path is tried first (a relative one counts from the target
// folder; "/" counts as "\"); when nothing is there, the extracted file of
// the same base name is taken, the one at the top of the folder first, since
// the maker typed the path the program had on the maker's own machine.
// Programs (.exe, .com) are started directly and share our console; anything
// else (a .bat or .cmd script, a document) is opened as Explorer would open
// it.
namespace WinRunAfter {

struct Outcome
{
    // The program's exit status; 127 when it was not found, 126 when it could
    // not be started.
    int exitCode = 0;
    std::string started; // the full path started, empty when none
    std::string problem; // why it was not started, for the user
};

Outcome run(const std::string& program, const std::string& folder, const std::vector<std::string>& extracted);

} // namespace WinRunAfter

#endif // PLOVERN_SFX_WIN_WINRUNAFTER_H
