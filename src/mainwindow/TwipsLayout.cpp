#include "TwipsLayout.h"

#include <QWidget>

#include <cmath>

TwipsLayout::TwipsLayout(QWidget* window, int clientWidthTwips, int clientHeightTwips)
    : m_window(window)
    , m_clientTwips(clientWidthTwips, clientHeightTwips)
{
    m_window->resize(designSize());
}

QSize TwipsLayout::designSize() const
{
    return {m_clientTwips.width() / TwipsPerPixel, m_clientTwips.height() / TwipsPerPixel};
}

void TwipsLayout::place(QWidget* control, int left, int top, int width, int height)
{
    m_placements.append({control, QRect(left, top, width, height)});
    apply();
}

void TwipsLayout::apply()
{
    const double sx = double(m_window->width()) / m_clientTwips.width();
    const double sy = double(m_window->height()) / m_clientTwips.height();
    for (const Placement& p : m_placements) {
        const int left = int(std::lround(p.twips.left() * sx));
        const int top = int(std::lround(p.twips.top() * sy));
        const int right = int(std::lround((p.twips.left() + p.twips.width()) * sx));
        const int bottom = int(std::lround((p.twips.top() + p.twips.height()) * sy));
        p.control->setGeometry(left, top, right - left, bottom - top);
    }
}
