#ifndef PLOVERN_SECONDARYWINDOW_H
#define PLOVERN_SECONDARYWINDOW_H

class QWidget;

// What the add-files, extract and instructions windows share as windows
// beside the main one.
namespace SecondaryWindow {

// Escape closes `window` as its title-bar button does: it is only hidden.
void closeOnEscape(QWidget* window);

// Moves `window` (not yet shown) beside `main`: to its right where the screen
// has room, else to its left, else to the roomier side, kept on the screen.
void placeBeside(QWidget* window, const QWidget* main);

} // namespace SecondaryWindow

#endif // PLOVERN_SECONDARYWINDOW_H
