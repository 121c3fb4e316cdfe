#ifndef PLOVERN_SFX_SFXOPTIONS_H
#define PLOVERN_SFX_SFXOPTIONS_H

#include <string>
#include <vector>

// A self-extractor's command line, the same for the Linux and the Windows
// runtime: --target DIR (or -d DIR, --target=DIR), --list (-l), --test (-t),
// --help (-h). The Windows runtime also takes Windows' own spelling (/target,
// /list, /test, /?, /help), which it recognises through `slashOption`.
struct SfxOptions
{
    enum class Action { Default, List, Test, Help }; // Default: extract
    Action action = Action::Default;
    bool hasTarget = false;
    std::string target;

    // Whether `argument` is the slash form `slashName` ("/target"), in the
    // system's own way of comparing.
    using SlashOption = bool (*)(const std::string& argument, const char* slashName);

    // Throws SfxError with exit code 2 naming what is wrong. Help wins over
    // anything else given with it.
    static SfxOptions parse(const std::vector<std::string>& arguments, SlashOption slashOption = nullptr);
};

#endif // PLOVERN_SFX_SFXOPTIONS_H
