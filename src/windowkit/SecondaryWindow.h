#ifndef PLOVERN_SECONDARYWINDOW_H
#define PLOVERN_SECONDARYWINDOW_H

class QSize;
class QWidget;

// What the add-files, extract and instructions windows share as windows
// beside the main one.
namespace SecondaryWindow {

// Escape closes `window` as its title-bar button does: it is only hidden.
void closeOnEscape(QWidget* window);

// Every time `window` is shown, the keyboard focus goes to `first`: a window
// shown again must never wake with the focus on the button used last (one
// Enter would repeat it, a deletion included).
void focusOnShow(QWidget* window, QWidget* first);

// Moves `window` (not yet shown) beside `main` where the screen has room: to
// its right, else its left, else below, else above; failing all four, to the
// roomier side, kept on the screen.
void placeBeside(QWidget* window, const QWidget* main);

// Moves `main` (not yet shown) so that a window of `besideSize` (its client
// size) fits beside it: the two centred side by side where the screen is wide
// enough, one above the other where it is tall enough, else `main` in the
// top left corner, which leaves the most room to its right and below it.
void placeMainWindow(QWidget* main, const QSize& besideSize);

} // namespace SecondaryWindow

#endif // PLOVERN_SECONDARYWINDOW_H
