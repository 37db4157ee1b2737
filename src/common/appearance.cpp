#include "appearance.h"

#include <QPalette>
#include <QWidget>

namespace Appearance {

QFont boxFont()
{
    QFont font(QStringLiteral("ＭＳ ゴシック"), 9);
    font.setFamilies({QStringLiteral("ＭＳ ゴシック"), QStringLiteral("MS Gothic"),
                      QStringLiteral("IPAGothic"), QStringLiteral("VL Gothic"),
                      QStringLiteral("Noto Sans Mono CJK JP"), QStringLiteral("monospace")});
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    return font;
}

void styleBox(QWidget *box, const QColor &background)
{
    QPalette palette = box->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::Base, background);
        palette.setColor(group, QPalette::Button, background);
        palette.setColor(group, QPalette::Window, background);
        palette.setColor(group, QPalette::Text, DarkGrey);
        palette.setColor(group, QPalette::WindowText, DarkGrey);
        palette.setColor(group, QPalette::ButtonText, DarkGrey);
    }
    box->setPalette(palette);
    box->setAutoFillBackground(true);
    box->setFont(boxFont());
}

} // namespace Appearance
