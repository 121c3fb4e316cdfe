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

// Reads a password (in UTF-8). When standard input is a console (the one
// this program was started from when its input was not redirected), `prompt`
// is shown and the line is read without echo; otherwise the next line of
// standard input is the password, so that scripts can give it, and nothing
// is shown. False when there is no input or it has ended.
bool readPassword(const std::string& prompt, std::string& password);

} // namespace Console

#endif // PLOVERN_SFX_WIN_CONSOLE_H
