#include "TwipsLayout.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace {
// Below this no caption is shrunk further, fitting or not.
constexpr double SmallestPointSize = 5.0;
constexpr double ShrinkStep = 0.25;

double pointSize(const QFont& font)
{
    // Fonts given in pixels count at 96 dots per inch.
    return font.pointSizeF() > 0 ? font.pointSizeF() : font.pixelSize() * 72.0 / 96.0;
}
} // namespace

TwipsLayout::TwipsLayout(QWidget* window, int clientWidthTwips, int clientHeightTwips)
    : m_window(window)
    , m_clientTwips(clientWidthTwips, clientHeightTwips)
{
    m_window->resize(designSize());
    m_window->setMinimumSize(int(std::ceil(designSize().width() * MinimumScale)),
                             int(std::ceil(designSize().height() * MinimumScale)));
}

QSize TwipsLayout::designSize() const
{
    return {m_clientTwips.width() / TwipsPerPixel, m_clientTwips.height() / TwipsPerPixel};
}

void TwipsLayout::place(QWidget* control, int left, int top, int width, int height)
{
    m_placements.append({control, QRect(left, top, width, height), control->font()});
    // The controls placed before are where the window's size puts them already.
    applyTo(m_placements.constLast());
}

void TwipsLayout::place(std::initializer_list<Row> table)
{
    for (const Row& row : table)
        place(row.control, row.left, row.top, row.width, row.height);
}

void TwipsLayout::apply()
{
    for (const Placement& p : m_placements)
        applyTo(p);
}

double TwipsLayout::scale() const
{
    const double sx = double(m_window->width()) / m_clientTwips.width();
    const double sy = double(m_window->height()) / m_clientTwips.height();
    return std::min(sx, sy) * TwipsPerPixel;
}

void TwipsLayout::applyTo(const Placement& p) const
{
    const double sx = double(m_window->width()) / m_clientTwips.width();
    const double sy = double(m_window->height()) / m_clientTwips.height();
    const int left = int(std::lround(p.twips.left() * sx));
    const int top = int(std::lround(p.twips.top() * sy));
    const int right = int(std::lround((p.twips.left() + p.twips.width()) * sx));
    const int bottom = int(std::lround((p.twips.top() + p.twips.height()) * sy));
    p.control->setGeometry(left, top, right - left, bottom - top);
    scaleFont(p, scale());
}

void TwipsLayout::scaleFont(const Placement& placement, double scale) const
{
    QFont font = placement.designFont;
    double size = std::max(SmallestPointSize, pointSize(font) * scale);
    font.setPointSizeF(size);
    const QSize room = placement.control->size();
    while (size > SmallestPointSize && !fits(placement.control, font, room)) {
        size = std::max(SmallestPointSize, size - ShrinkStep);
        font.setPointSizeF(size);
    }
    if (placement.control->font() != font)
        placement.control->setFont(font);
}

bool TwipsLayout::fits(const QWidget* control, const QFont& font, const QSize& size)
{
    const QFontMetrics metrics(font);
    const QStyle* style = control->style();
    const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, control);

    if (const auto* label = qobject_cast<const QLabel*>(control)) {
        const int flags = int(label->alignment()) | (label->wordWrap() ? int(Qt::TextWordWrap) : 0);
        const QRect needed = metrics.boundingRect(QRect(0, 0, size.width(), 0), flags, label->text());
        return needed.width() <= size.width() && needed.height() <= size.height();
    }
    if (const auto* box = qobject_cast<const QCheckBox*>(control)) {
        const int indicator = style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, control)
            + style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, control);
        return indicator + metrics.horizontalAdvance(box->text()) <= size.width() && metrics.height() <= size.height();
    }
    if (const auto* button = qobject_cast<const QAbstractButton*>(control)) {
        const int margin = style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, control);
        return metrics.horizontalAdvance(button->text()) + 2 * (margin + frame) <= size.width()
            && metrics.height() + 2 * frame <= size.height();
    }
    if (qobject_cast<const QLineEdit*>(control) || qobject_cast<const QComboBox*>(control))
        return metrics.height() + 2 * frame <= size.height();
    return true;
}
