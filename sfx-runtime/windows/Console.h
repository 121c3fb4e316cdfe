#ifndef PLOVERN_SFX_WIN_CONSOLE_H
#define PLOVERN_SFX_WIN_CONSOLE_H

#include <string>

// Output of the self-extractor's options. It is a windowed program, so it has
// no console of its own: it writes where its standard output was sent when
// that was redirected, else to the console of the program that started it
// (AttachConsole(ATTACH_PARENT_PROCESS)), else nowhere. Passwords are read
// likewise from standard input or that console.
namespace Console {

void attach();
void out(const std::string& utf8);
void err(const std::string& utf8);

// Whether a password is typed on a console: standard input is one (the
// console this program was started from when its input was not redirected).
bool interactive();

// Reads a password (in UTF-8): on a console, after showing `prompt`, without
// echo; otherwise the next line of standard input, so that scripts can give
// it. False when there is no input or it has ended.
bool readPassword(const std::string& prompt, std::string& password);

} // namespace Console

#endif // PLOVERN_SFX_WIN_CONSOLE_H
