#ifndef PLOVERN_SFX_WIN_SFXWINDOW_H
#define PLOVERN_SFX_WIN_SFXWINDOW_H

#include <string>

// The self-extractor's window, for a user who double-clicked it: the
// archive's name, the folder to extract into (the maker's default, which the
// user may type over or pick with Browse...), Extract and Cancel, and a
// progress bar while the files are written on a thread of their own. Then
// the closing message in a message box when the maker asked for it, and the
// program the maker named, started in the target folder. Failures are shown
// in a message box; a folder that could not be used leaves the window open for
// another choice.
namespace SfxWindow {

// Returns the exit status, as for the command line: 1 when cancelled or
// failed.
int run(const std::string& ownPath, const std::string& name);

} // namespace SfxWindow

#endif // PLOVERN_SFX_WIN_SFXWINDOW_H
