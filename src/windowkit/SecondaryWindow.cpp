#include "SecondaryWindow.h"

#include <QEvent>
#include <QGuiApplication>
#include <QKeySequence>
#include <QPointer>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <QWidget>

#include <algorithm>

namespace SecondaryWindow {

namespace {

constexpr int Gap = 8;

// Moves the focus to its control whenever its window is shown. Setting the
// focus of a window that is not active yet makes that control the one the
// window gives the focus to once it becomes active.
class FocusOnShow : public QObject
{
public:
    FocusOnShow(QWidget* window, QWidget* first)
        : QObject(window)
        , m_first(first)
    {}

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show && m_first)
            m_first->setFocus(Qt::OtherFocusReason);
        return QObject::eventFilter(watched, event);
    }

private:
    QPointer<QWidget> m_first;
};

// What the window manager adds around a window's client area. A window that
// has never been shown has no frame yet: then a title bar of the style's
// height and thin borders are assumed.
QSize frameExtra(const QWidget* window)
{
    const QSize known = window->frameGeometry().size() - window->geometry().size();
    if (!known.isEmpty())
        return known;
    const int titleBar = window->style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, window);
    return {8, titleBar + 12};
}

QRect screenArea(const QWidget* window)
{
    const QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

} // namespace

void closeOnEscape(QWidget* window)
{
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), window);
    escape->setContext(Qt::WindowShortcut);
    QObject::connect(escape, &QShortcut::activated, window, &QWidget::close);
}

void focusOnShow(QWidget* window, QWidget* first)
{
    window->installEventFilter(new FocusOnShow(window, first));
}

void placeBeside(QWidget* window, const QWidget* main)
{
    const QRect area = screenArea(main);
    if (area.isEmpty())
        return;
    // Until the window manager has told the main window's frame (just after
    // it was first shown), its frame starts where it was moved to and has
    // the size assumed for a frame.
    const QSize extra = frameExtra(main);
    QRect mainFrame = main->frameGeometry();
    if (mainFrame.size() == main->geometry().size())
        mainFrame = QRect(main->geometry().topLeft(), main->geometry().size() + extra);
    // A window not yet shown gets a frame like the main window's.
    const QSize size = window->size() + extra;

    const int roomRight = area.right() - mainFrame.right();
    const int roomLeft = mainFrame.left() - area.left();
    const int roomBelow = area.bottom() - mainFrame.bottom();
    const int roomAbove = mainFrame.top() - area.top();
    QPoint at;
    bool placed = false;
    // With a gap where there is room for one, else touching the main window.
    for (const int gap : {Gap, 0}) {
        if (roomRight >= size.width() + gap)
            at = {mainFrame.right() + 1 + gap, mainFrame.top()};
        else if (roomLeft >= size.width() + gap)
            at = {mainFrame.left() - gap - size.width(), mainFrame.top()};
        else if (roomBelow >= size.height() + gap)
            at = {mainFrame.left(), mainFrame.bottom() + 1 + gap};
        else if (roomAbove >= size.height() + gap)
            at = {mainFrame.left(), mainFrame.top() - gap - size.height()};
        else
            continue;
        placed = true;
        break;
    }
    if (!placed)
        at = {roomRight >= roomLeft ? mainFrame.right() + 1 + Gap : mainFrame.left() - Gap - size.width(),
              mainFrame.top()};
    const int x = std::clamp(at.x(), area.left(), std::max(area.left(), area.right() + 1 - size.width()));
    const int y = std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() + 1 - size.height()));
    // For a window, move() places its frame.
    window->move(x, y);
}

void placeMainWindow(QWidget* main, const QSize& besideSize)
{
    const QRect area = screenArea(main);
    if (area.isEmpty())
        return;
    const QSize extra = frameExtra(main);
    const QSize mainSize = main->size() + extra;
    const QSize other = besideSize + extra;
    QPoint at = area.topLeft();
    if (mainSize.width() + Gap + other.width() <= area.width())
        at = {area.left() + (area.width() - mainSize.width() - Gap - other.width()) / 2,
              area.top() + std::max(0, area.height() - mainSize.height()) / 2};
    else if (mainSize.height() + Gap + other.height() <= area.height())
        at = {area.left(), area.top() + (area.height() - mainSize.height() - Gap - other.height()) / 2};
    main->move(at);
}

} // namespace SecondaryWindow
