#ifndef PLOVERN_SKIN_H
#define PLOVERN_SKIN_H

class QPushButton;
class QString;
class QWidget;

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

// A button of the program: its object name, caption, tooltip and bold font.
QPushButton* makeButton(QWidget* parent, const QString& name, const QString& caption, const QString& tip,
                        double pointSize = 11.25);

} // namespace Skin

#endif // PLOVERN_SKIN_H
