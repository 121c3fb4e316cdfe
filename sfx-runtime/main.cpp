#include "SfxError.h"
#include "SfxProgram.h"
#include "Text.h"

#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    std::string name = argc > 0 && argv[0] ? argv[0] : "plovern-sfx";
    const std::size_t slash = name.rfind('/');
    if (slash != std::string::npos)
        name = name.substr(slash + 1);

    try {
        SfxProgram program(name, "/proc/self/exe");
        return program.run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const SfxError& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s\n", name.c_str(), Text::printable(error.what()).c_str());
        return error.exitCode();
    } catch (const std::bad_alloc&) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: out of memory\n", name.c_str());
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s\n", name.c_str(), error.what());
    }
    return 1;
}
