#include "SecondaryWindow.h"

#include <QKeySequence>
#include <QScreen>
#include <QShortcut>
#include <QWidget>

#include <algorithm>

namespace SecondaryWindow {

void closeOnEscape(QWidget* window)
{
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), window);
    escape->setContext(Qt::WindowShortcut);
    QObject::connect(escape, &QShortcut::activated, window, &QWidget::close);
}

void placeBeside(QWidget* window, const QWidget* main)
{
    const QScreen* screen = main->screen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QRect mainFrame = main->frameGeometry();
    // A window that has never been shown has no frame yet: assume it gets
    // one like the main window's.
    const QSize frameExtra = mainFrame.size() - main->geometry().size();
    const QSize size = window->size() + frameExtra;
    constexpr int Gap = 8;

    const int roomRight = area.right() - mainFrame.right() - Gap;
    const int roomLeft = mainFrame.left() - area.left() - Gap;
    const int rightX = mainFrame.right() + 1 + Gap;
    const int leftX = mainFrame.left() - Gap - size.width();
    int x;
    if (roomRight >= size.width())
        x = rightX;
    else if (roomLeft >= size.width())
        x = leftX;
    else
        x = roomRight >= roomLeft ? rightX : leftX;
    x = std::clamp(x, area.left(), std::max(area.left(), area.right() + 1 - size.width()));
    const int y = std::clamp(mainFrame.top(), area.top(), std::max(area.top(), area.bottom() + 1 - size.height()));
    // For a window, move() places its frame.
    window->move(x, y);
}

} // namespace SecondaryWindow
