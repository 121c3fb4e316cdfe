#ifndef PLOVERN_TWIPSLAYOUT_H
#define PLOVERN_TWIPSLAYOUT_H

#include <QRect>
#include <QSize>
#include <QVector>

class QWidget;

// Places a window's controls from positions given in twips (15 twips are one
// pixel at 96 dots per inch) and keeps them in proportion when the window is
// resized.
class TwipsLayout
{
public:
    static constexpr int TwipsPerPixel = 15;

    TwipsLayout(QWidget* window, int clientWidthTwips, int clientHeightTwips);

    // The client size in pixels at the designed size.
    QSize designSize() const;

    void place(QWidget* control, int left, int top, int width, int height);

    // Scales every placed control to the window's current size.
    void apply();

private:
    struct Placement
    {
        QWidget* control;
        QRect twips;
    };

    QWidget* m_window;
    QSize m_clientTwips;
    QVector<Placement> m_placements;
};

#endif // PLOVERN_TWIPSLAYOUT_H
