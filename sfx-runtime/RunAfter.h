#ifndef PLOVERN_SFX_RUNAFTER_H
#define PLOVERN_SFX_RUNAFTER_H

#include <string>
#include <vector>

// Starts the program chosen by the archive's maker once everything is
// extracted, in the target folder, with the self-extractor's standard input
// and output, and waits for it.
//
// The stored path is tried first (a relative one counts from the target
// folder). When nothing is there, the file of the same base name that was just
// extracted is taken, the one at the top of the target folder first:
// installers usually travel inside the archive, and the maker typed the path
// they had on the maker's own machine.
//
// Returns the exit status the self-extractor ends with: the program's own
// exit status; 128 + N when a signal N ended it; 127 when it was not found;
// 126 when it was found but could not be started (not executable, for one).
// The last two are explained on stderr.
class RunAfter
{
public:
    static int run(const std::string& program, const std::string& folder, const std::vector<std::string>& extracted);

private:
    static std::string locate(const std::string& program, const std::string& folder,
                              const std::vector<std::string>& extracted);
};

#endif // PLOVERN_SFX_RUNAFTER_H
