#include "clientlayout.h"

#include <cfenv>
#include <cmath>

namespace {

double roundHalfEven(double value)
{
    const int oldMode = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double rounded = std::nearbyint(value);
    std::fesetround(oldMode);
    return rounded;
}

} // namespace

namespace ClientLayout {

Placement place(double width, double height, double comboHeight, const Placement &current)
{
    const double h = roundHalfEven(comboHeight);

    Placement next;
    next.textLog = QRectF(0, 0, width, height > h ? height - h : current.textLog.height());

    const double rowTop = next.textLog.top() + next.textLog.height();
    next.btnMenu = QRectF(next.textLog.left(), rowTop, h, h);

    next.comboMain =
        QRectF(next.btnMenu.left() + next.btnMenu.width(), rowTop,
               width > h ? width - h : current.comboMain.width(), current.comboMain.height());
    return next;
}

} // namespace ClientLayout
