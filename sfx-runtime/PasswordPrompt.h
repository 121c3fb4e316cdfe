#ifndef PLOVERN_SFX_PASSWORDPROMPT_H
#define PLOVERN_SFX_PASSWORDPROMPT_H

#include "PasswordSource.h"

#include <string>

// Where the Linux runtime gets the password of encrypted entries. On a
// terminal it asks there, naming the entry, with echo off (restored however
// the prompt ends, a signal included), and asks again after a wrong password.
// Otherwise it reads one line from standard input, so that a script can pipe
// the password in; a wrong one then ends the extraction (there is nobody to
// ask again).
class PasswordPrompt : public zipcore::PasswordSource
{
public:
    bool ask(const std::string& entryName, bool wrong, std::string& password) override;

private:
    bool askTerminal(int tty, const std::string& entryName, bool wrong, std::string& password);
    bool m_pipedRead = false;
};

#endif // PLOVERN_SFX_PASSWORDPROMPT_H
