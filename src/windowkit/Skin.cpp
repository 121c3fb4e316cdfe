#include "Skin.h"

#include <QCoreApplication>
#include <QFont>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QString>
#include <QWidget>

namespace Skin {

QString picturePath()
{
    return QCoreApplication::applicationDirPath() + QLatin1String("/newmetal.gif");
}

bool apply(QWidget* window)
{
    const QPixmap picture(picturePath());
    if (picture.isNull())
        return false;
    QPalette palette = window->palette();
    palette.setBrush(QPalette::Window, QBrush(picture));
    window->setPalette(palette);
    window->setAutoFillBackground(true);
    return true;
}

void useProgramFont(QWidget* control, double pointSize, bool bold)
{
    QFont font(QStringLiteral("Comic Sans MS"));
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    control->setFont(font);
}

QPushButton* makeButton(QWidget* parent, const QString& name, const QString& caption, const QString& tip,
                        double pointSize)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setToolTip(tip);
    // Enter and Return press the focused button, as Space does.
    button->setAutoDefault(true);
    useProgramFont(button, pointSize, true);
    return button;
}

} // namespace Skin
