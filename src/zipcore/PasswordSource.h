#ifndef PLOVERN_ZIPCORE_PASSWORDSOURCE_H
#define PLOVERN_ZIPCORE_PASSWORDSOURCE_H

#include <string>

namespace zipcore {

// Where extraction gets the password of encrypted entries: the engine's
// caller (a dialog), or the self-extractor's terminal, standard input or
// window. The password last given is tried on every later encrypted entry of
// the same action before the source is asked again.
class PasswordSource
{
public:
    virtual ~PasswordSource() = default;

    // Asks for the password of `entryName`; `wrong` is true when the password
    // tried last did not fit it. Returns false when the user cancels, which
    // ends the action with a failure (the entries written before stay).
    virtual bool ask(const std::string& entryName, bool wrong, std::string& password) = 0;
};

} // namespace zipcore

#endif // PLOVERN_ZIPCORE_PASSWORDSOURCE_H
