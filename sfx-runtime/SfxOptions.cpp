#include "SfxOptions.h"

#include "SfxError.h"
#include "Text.h"

namespace {

const int UsageError = 2;

} // namespace

SfxOptions SfxOptions::parse(const std::vector<std::string>& arguments, SlashOption slashOption)
{
    SfxOptions options;
    bool actionGiven = false;
    const auto is = [&](const std::string& argument, const char* dash, const char* dashes, const char* slash) {
        return argument == dash || argument == dashes || (slashOption && slashOption(argument, slash));
    };
    const auto setAction = [&](Action action, const std::string& option) {
        if (actionGiven && options.action != action)
            throw SfxError("option " + option + " cannot be combined with the other action given", UsageError);
        options.action = action;
        actionGiven = true;
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (is(argument, "-h", "--help", "/?") || (slashOption && slashOption(argument, "/help"))) {
            options.action = Action::Help;
            return options;
        } else if (is(argument, "-l", "--list", "/list")) {
            setAction(Action::List, argument);
        } else if (is(argument, "-t", "--test", "/test")) {
            setAction(Action::Test, argument);
        } else if (is(argument, "-d", "--target", "/target")) {
            if (i + 1 >= arguments.size() || arguments[i + 1].empty())
                throw SfxError("option " + argument + " needs a folder", UsageError);
            options.target = arguments[++i];
            options.hasTarget = true;
        } else if (argument.compare(0, 9, "--target=") == 0) {
            options.target = argument.substr(9);
            if (options.target.empty())
                throw SfxError("option --target needs a folder", UsageError);
            options.hasTarget = true;
        } else {
            throw SfxError("unknown argument \"" + Text::printable(argument) + "\"", UsageError);
        }
    }
    if (options.hasTarget && options.action != Action::Default)
        throw SfxError("--target only applies when extracting", UsageError);
    return options;
}
