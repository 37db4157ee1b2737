#include "clientlayout.h"

#include "numberreading.h"

namespace ClientLayout {

Placement place(double width, double height, double comboHeight, const Placement &current)
{
    const double h = NumberReading::roundHalfEven(comboHeight);

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
