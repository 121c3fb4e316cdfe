#ifndef PLOVERN_TWIPSLAYOUT_H
#define PLOVERN_TWIPSLAYOUT_H

#include <QFont>
#include <QRect>
#include <QSize>
#include <QVector>

#include <initializer_list>

class QWidget;

// Places a window's controls from positions given in twips (15 twips are one
// pixel at 96 dots per inch) and keeps them in proportion when the window is
// resized. Fonts follow the controls: they scale with the window (by the
// smaller of its two scales) and shrink further where a caption would not fit
// its control. The window cannot be made smaller than MinimumScale of its
// designed size, where the fonts are still readable.
class TwipsLayout
{
public:
    static constexpr int TwipsPerPixel = 15;
    static constexpr double MinimumScale = 0.75;

    TwipsLayout(QWidget* window, int clientWidthTwips, int clientHeightTwips);

    // The client size in pixels at the designed size.
    QSize designSize() const;

    // Places `control`; its font at that moment is its font at the designed
    // size.
    void place(QWidget* control, int left, int top, int width, int height);

    // One row of a window's layout table: a control and its place in twips.
    struct Row
    {
        QWidget* control;
        int left;
        int top;
        int width;
        int height;
    };
    // Places the rows in turn, as place() does each.
    void place(std::initializer_list<Row> table);

    // Scales every placed control, and its font, to the window's current size.
    void apply();

    // How much the fonts are scaled now: 1 at the designed size.
    double scale() const;

    // Whether `control`'s caption (or, for a text box, a line of text) shows
    // whole in `font` within `size`. Controls without a caption always fit.
    static bool fits(const QWidget* control, const QFont& font, const QSize& size);

private:
    struct Placement
    {
        QWidget* control;
        QRect twips;
        QFont designFont;
    };

    // Sets one control's geometry and font for the window's current size.
    void applyTo(const Placement& placement) const;
    void scaleFont(const Placement& placement, double scale) const;

    QWidget* m_window;
    QSize m_clientTwips;
    QVector<Placement> m_placements;
};

#endif // PLOVERN_TWIPSLAYOUT_H
