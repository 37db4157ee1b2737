#pragma once

#include <QRectF>

// Where the client window's three controls go for a given client area. All values are twips.
namespace ClientLayout {

struct Placement
{
    QRectF textLog;
    QRectF btnMenu;
    QRectF comboMain;
};

// The log pane fills the width above a bottom row as high as the combo box: the menu button
// as a square at the left, the combo box filling the rest. The combo's height (rounded to
// whole twips, half to even) is the row height h; the combo box keeps its own height. When the
// area is not higher (or wider) than h, the log's height (or the combo's width) stays as it is
// in current, so neither ever becomes zero or negative.
Placement place(double width, double height, double comboHeight, const Placement &current);

} // namespace ClientLayout
