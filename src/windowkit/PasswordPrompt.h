#ifndef PLOVERN_PASSWORDPROMPT_H
#define PLOVERN_PASSWORDPROMPT_H

#include "ArchiveEngine.h"

class Platform;
class QWidget;

// While it lives, the engine asks for the passwords of encrypted entries
// through the platform's password prompt, over `window`. When it goes the
// handler goes with it: the window keeps no password after its action (the
// engine reuses the one given only within that action).
class PasswordPrompt
{
public:
    PasswordPrompt(Platform& platform, QWidget* window, ArchiveEngine& engine);
    ~PasswordPrompt();
    PasswordPrompt(const PasswordPrompt&) = delete;
    PasswordPrompt& operator=(const PasswordPrompt&) = delete;

private:
    ArchiveEngine& m_engine;
};

#endif // PLOVERN_PASSWORDPROMPT_H
