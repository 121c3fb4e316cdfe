#ifndef PLOVERN_SFX_WIN_CONSOLE_H
#define PLOVERN_SFX_WIN_CONSOLE_H

#include <string>

// Output of the self-extractor's options. It is a windowed program, so it has
// no console of its own: it writes where its standard output was sent when
// that was redirected, else to the console of the program that started it
// (AttachConsole(ATTACH_PARENT_PROCESS)), else nowhere.
namespace Console {

void attach();
void out(const std::string& utf8);
void err(const std::string& utf8);

} // namespace Console

#endif // PLOVERN_SFX_WIN_CONSOLE_H
