#ifndef PLOVERN_SKIN_H
#define PLOVERN_SKIN_H

class QWidget;
class QString;

// The program's look: every window paints "newmetal.gif", found in the folder
// that holds the program, as its background.
namespace Skin {

// The picture's full path: the program's folder, "/", "newmetal.gif".
QString picturePath();

// Paints the picture behind `window`'s controls. A missing or broken picture
// leaves the window plain and returns false; it never stops a window from
// opening.
bool apply(QWidget* window);

// The font of the program's buttons, labels and check boxes.
void useProgramFont(QWidget* control, double pointSize, bool bold = false);

} // namespace Skin

#endif // PLOVERN_SKIN_H
