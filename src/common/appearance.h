#pragma once

#include <QColor>
#include <QFont>
#include <QRect>

class QWidget;

// The look every window shares: twips, the box colours and the box font.
namespace Appearance {

// 1 twip = 1/1440 inch = 1/15 pixel at 96 DPI.
constexpr double TwipsPerPixel = 15.0;
inline int twipsToPixels(double twips)
{
    return qRound(twips / TwipsPerPixel);
}
inline double pixelsToTwips(int pixels)
{
    return pixels * TwipsPerPixel;
}
// A rectangle (left, top, width, height) in twips as pixels, each value rounded on its own.
inline QRect twipsToPixels(const QRectF &twips)
{
    return QRect(twipsToPixels(twips.x()), twipsToPixels(twips.y()), twipsToPixels(twips.width()),
                 twipsToPixels(twips.height()));
}
inline QRectF pixelsToTwips(const QRect &pixels)
{
    return QRectF(pixelsToTwips(pixels.x()), pixelsToTwips(pixels.y()),
                  pixelsToTwips(pixels.width()), pixelsToTwips(pixels.height()));
}

inline const QColor LightBlue{192, 192, 255};
inline const QColor LightOrange{255, 192, 128};
inline const QColor DarkGrey{64, 64, 64};

// "ＭＳ ゴシック" 9 point, with fixed-pitch Japanese fallbacks found on Linux desktops.
QFont boxFont();
// Background, dark grey text and the box font on a log or entry box.
void styleBox(QWidget *box, const QColor &background);

} // namespace Appearance
