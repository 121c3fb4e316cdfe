#ifndef PLOVERN_SHOWNPASSWORDPROMPT_H
#define PLOVERN_SHOWNPASSWORDPROMPT_H

#include "ArchiveEngine.h"

class Platform;
class QWidget;

// While it lives, the engine asks for the passwords of encrypted entries
// through the platform's password prompt, over `window`. When it goes the
// handler goes with it: the window keeps no password after its action (the
// engine reuses the one given only within that action).
class ShownPasswordPrompt
{
public:
    ShownPasswordPrompt(Platform& platform, QWidget* window, ArchiveEngine& engine);
    ~ShownPasswordPrompt();
    ShownPasswordPrompt(const ShownPasswordPrompt&) = delete;
    ShownPasswordPrompt& operator=(const ShownPasswordPrompt&) = delete;

private:
    ArchiveEngine& m_engine;
};

#endif // PLOVERN_SHOWNPASSWORDPROMPT_H
