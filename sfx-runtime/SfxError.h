#ifndef PLOVERN_SFX_SFXERROR_H
#define PLOVERN_SFX_SFXERROR_H

#include <stdexcept>
#include <string>

// Every failure of the self-extractor travels as one of these up to main(),
// which prints the text on stderr and exits with the code. The text always
// names the file or entry and the cause, because it is all the user sees.
class SfxError : public std::runtime_error
{
public:
    explicit SfxError(const std::string& what, int exitCode = 1)
        : std::runtime_error(what)
        , m_exitCode(exitCode)
    {}

    int exitCode() const { return m_exitCode; }

private:
    int m_exitCode;
};

#endif // PLOVERN_SFX_SFXERROR_H
