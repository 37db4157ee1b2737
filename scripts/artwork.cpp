// Paints the program's artwork:
//   artwork chooser <out.jpg>   the chooser's background, as a baseline JPEG: a kestrel hovering
//                               in a dusk sky above a valley whose lights are joined like the
//                               hosts of a network
//   artwork icon <size> <out.png>
//   artwork icon-svg <out.svg>  the desktop icon, drawn after the 16 by 16 window icon: the bird's
//                               head in a speech bubble
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cstdio>

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kQuality = 88;

void paintSky(QPainter &p)
{
    QLinearGradient sky(0, 0, 0, kHeight);
    sky.setColorAt(0.00, QColor(16, 28, 62));
    sky.setColorAt(0.35, QColor(42, 78, 128));
    sky.setColorAt(0.58, QColor(118, 120, 150));
    sky.setColorAt(0.70, QColor(232, 150, 92));
    sky.setColorAt(0.74, QColor(250, 196, 120));
    p.fillRect(0, 0, kWidth, kHeight, sky);

    QRadialGradient sun(QPointF(96, 172), 90);
    sun.setColorAt(0.0, QColor(255, 224, 160, 200));
    sun.setColorAt(0.3, QColor(255, 176, 96, 90));
    sun.setColorAt(1.0, QColor(255, 140, 80, 0));
    p.fillRect(0, 0, kWidth, kHeight, sun);

    // A few faint stars high up, placed by a fixed pattern so the picture is reproducible.
    p.setPen(Qt::NoPen);
    unsigned seed = 7;
    for (int i = 0; i < 38; ++i) {
        seed = seed * 1103515245u + 12345u;
        const int x = int((seed >> 8) % kWidth);
        seed = seed * 1103515245u + 12345u;
        const int y = int((seed >> 8) % 90);
        const int alpha = 60 + int((seed >> 4) % 120) * (90 - y) / 90;
        p.setBrush(QColor(255, 255, 255, alpha));
        p.drawEllipse(QPointF(x + 0.5, y + 0.5), 0.7, 0.7);
    }
}

QPainterPath ridge(const QList<QPointF> &points)
{
    QPainterPath path(QPointF(0, kHeight));
    path.lineTo(points.first());
    for (qsizetype i = 1; i < points.size(); ++i) {
        const QPointF a = points[i - 1];
        const QPointF b = points[i];
        path.cubicTo(QPointF((a.x() + b.x()) / 2, a.y()), QPointF((a.x() + b.x()) / 2, b.y()), b);
    }
    path.lineTo(kWidth, kHeight);
    path.closeSubpath();
    return path;
}

void paintHills(QPainter &p)
{
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(58, 52, 84));
    p.drawPath(ridge({{0, 168}, {70, 158}, {150, 172}, {230, 150}, {320, 164}}));

    QLinearGradient near(0, 170, 0, kHeight);
    near.setColorAt(0.0, QColor(30, 30, 52));
    near.setColorAt(1.0, QColor(10, 12, 24));
    p.setBrush(near);
    p.drawPath(ridge({{0, 184}, {60, 178}, {120, 192}, {200, 176}, {270, 186}, {320, 180}}));
}

// Lights in the valley, linked like hosts that talk to each other.
void paintNetwork(QPainter &p)
{
    const QList<QPointF> nodes = {{150, 205}, {178, 192}, {206, 214}, {240, 198}, {268, 210},
                                  {296, 194}, {222, 228}, {186, 226}, {312, 222}, {128, 222}};
    const QList<QPair<int, int>> links = {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {2, 6},
                                          {6, 7}, {7, 0}, {4, 8}, {1, 3}, {9, 0}, {9, 7}};
    for (const auto &[from, to] : links) {
        QLinearGradient line(nodes[from], nodes[to]);
        line.setColorAt(0.0, QColor(120, 210, 255, 150));
        line.setColorAt(1.0, QColor(255, 200, 120, 150));
        p.setPen(QPen(QBrush(line), 0.8));
        p.drawLine(nodes[from], nodes[to]);
    }
    p.setPen(Qt::NoPen);
    for (const QPointF &node : nodes) {
        QRadialGradient glow(node, 5);
        glow.setColorAt(0.0, QColor(255, 240, 200, 230));
        glow.setColorAt(0.4, QColor(255, 190, 110, 120));
        glow.setColorAt(1.0, QColor(255, 160, 80, 0));
        p.setBrush(glow);
        p.drawEllipse(node, 5, 5);
        p.setBrush(QColor(255, 250, 230));
        p.drawEllipse(node, 1.2, 1.2);
    }
}

// A hovering kestrel seen from below: long pointed wings, fanned tail.
void paintBird(QPainter &p)
{
    p.save();
    p.translate(232, 78);
    p.rotate(-6);

    QPainterPath leftWing;
    leftWing.moveTo(-5, -6);
    leftWing.cubicTo(-24, -22, -52, -30, -78, -24);
    leftWing.cubicTo(-60, -18, -44, -8, -34, 0);
    leftWing.cubicTo(-28, 4, -16, 8, -5, 8);
    leftWing.closeSubpath();
    QPainterPath wings = leftWing;
    wings.addPath(QTransform::fromScale(-1, 1).map(leftWing));

    QLinearGradient wingShade(-78, 0, 78, 0);
    wingShade.setColorAt(0.00, QColor(40, 26, 24));
    wingShade.setColorAt(0.22, QColor(150, 82, 46));
    wingShade.setColorAt(0.50, QColor(196, 112, 60));
    wingShade.setColorAt(0.78, QColor(150, 82, 46));
    wingShade.setColorAt(1.00, QColor(40, 26, 24));
    p.setPen(QPen(QColor(30, 20, 22, 160), 0.8));
    p.setBrush(wingShade);
    p.drawPath(wings);

    // Bars across the wings, drawn clipped to them.
    p.save();
    p.setClipPath(wings);
    p.setPen(QPen(QColor(60, 34, 26, 110), 1.2));
    for (int x = -70; x <= 70; x += 9) {
        if (qAbs(x) < 8)
            continue;
        p.drawLine(QPointF(x, -30), QPointF(x + (x < 0 ? 6 : -6), 10));
    }
    p.restore();

    QPainterPath tail;
    tail.moveTo(-4, 12);
    tail.lineTo(-12, 33);
    tail.quadTo(0, 38, 12, 33);
    tail.lineTo(4, 12);
    tail.closeSubpath();
    QLinearGradient tailShade(0, 12, 0, 38);
    tailShade.setColorAt(0.0, QColor(120, 120, 140));
    tailShade.setColorAt(0.85, QColor(150, 150, 170));
    tailShade.setColorAt(0.86, QColor(30, 24, 28));
    tailShade.setColorAt(1.0, QColor(30, 24, 28));
    p.setBrush(tailShade);
    p.drawPath(tail);

    QPainterPath body;
    body.addEllipse(QPointF(0, 4), 7, 14);
    QLinearGradient bodyShade(-7, 0, 7, 0);
    bodyShade.setColorAt(0.0, QColor(170, 100, 60));
    bodyShade.setColorAt(0.5, QColor(236, 196, 150));
    bodyShade.setColorAt(1.0, QColor(170, 100, 60));
    p.setBrush(bodyShade);
    p.drawPath(body);

    p.setBrush(QColor(130, 130, 150));
    p.drawEllipse(QPointF(0, -11), 5.5, 5.5);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(20, 20, 24));
    p.drawEllipse(QPointF(-2.2, -12), 1.1, 1.1);
    p.drawEllipse(QPointF(2.2, -12), 1.1, 1.1);
    p.setBrush(QColor(240, 200, 80));
    QPolygonF beak({{-1.4, -7.5}, {1.4, -7.5}, {0, -4.5}});
    p.drawPolygon(beak);
    p.restore();
}

void paintTitle(QPainter &p)
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(22);
    font.setBold(true);
    font.setItalic(true);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 1.5);
    p.setFont(font);
    const QRectF box(150, 118, 160, 28);
    p.setPen(QColor(0, 0, 0, 90));
    p.drawText(box.translated(1.2, 1.2), Qt::AlignRight | Qt::AlignVCenter,
               QStringLiteral("kestrel"));
    p.setPen(QColor(255, 246, 232));
    p.drawText(box, Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("kestrel"));

    font.setPixelSize(9);
    font.setBold(false);
    font.setItalic(false);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 2.0);
    p.setFont(font);
    p.setPen(QColor(255, 236, 210, 220));
    p.drawText(QRectF(150, 142, 160, 12), Qt::AlignRight | Qt::AlignVCenter,
               QStringLiteral("TCP · UDP  CHAT"));
}

// The icon on a 48 by 48 grid; the PNG and the SVG are drawn from the same numbers.
const QColor kIconOutline(31, 44, 110);
const QColor kIconHead(208, 108, 40);
const QColor kIconEye(21, 21, 21);
const QColor kIconBeak(242, 207, 46);
constexpr double kIconStroke = 3.0;
const QRectF kIconBubble(3, 4, 42, 30);
constexpr double kIconBubbleRadius = 8.0;
const QPolygonF kIconBubbleTail({{17, 32.5}, {21, 44}, {28, 32.5}});
const QPointF kIconHeadCentre(21, 18.5);
constexpr double kIconHeadRadius = 9.5;
const QPointF kIconEyeCentre(20, 17.5);
constexpr double kIconEyeRadius = 2.8;
const QPolygonF kIconBeakShape({{29, 16}, {38, 18.5}, {29, 22.5}});

QPainterPath iconBubble()
{
    QPainterPath bubble;
    bubble.addRoundedRect(kIconBubble, kIconBubbleRadius, kIconBubbleRadius);
    QPainterPath tail;
    tail.addPolygon(kIconBubbleTail);
    tail.closeSubpath();
    return bubble.united(tail);
}

QImage paintIcon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 48.0, size / 48.0);
    p.setPen(QPen(kIconOutline, kIconStroke, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::white);
    p.drawPath(iconBubble());
    p.setPen(Qt::NoPen);
    p.setBrush(kIconBeak);
    p.drawPolygon(kIconBeakShape);
    p.setBrush(kIconHead);
    p.drawEllipse(kIconHeadCentre, kIconHeadRadius, kIconHeadRadius);
    p.setBrush(kIconEye);
    p.drawEllipse(kIconEyeCentre, kIconEyeRadius, kIconEyeRadius);
    return image;
}

QString svgPoints(const QPolygonF &polygon)
{
    QStringList points;
    for (const QPointF &point : polygon)
        points.append(QStringLiteral("%1,%2").arg(point.x()).arg(point.y()));
    return points.join(u' ');
}

// The bubble's outline as SVG path data, taken from the very path the PNG strokes.
QString svgPathData(const QPainterPath &path)
{
    QStringList data;
    const auto xy = [](const QPainterPath::Element &e) {
        return QStringLiteral("%1 %2").arg(e.x, 0, 'f', 2).arg(e.y, 0, 'f', 2);
    };
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        if (e.isMoveTo()) {
            if (i > 0)
                data.append(QStringLiteral("Z"));
            data.append(QStringLiteral("M ") + xy(e));
        } else if (e.isLineTo()) {
            data.append(QStringLiteral("L ") + xy(e));
        } else if (e.isCurveTo()) {
            data.append(QStringLiteral("C %1 %2 %3")
                            .arg(xy(e), xy(path.elementAt(i + 1)), xy(path.elementAt(i + 2))));
            i += 2;
        }
    }
    data.append(QStringLiteral("Z"));
    return data.join(u' ');
}

QString iconSvg()
{
    return QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"48\" height=\"48\" "
                          "viewBox=\"0 0 48 48\">\n"
                          "  <path d=\"%1\" fill=\"#ffffff\" stroke=\"%2\" stroke-width=\"%3\" "
                          "stroke-linejoin=\"round\"/>\n"
                          "  <polygon points=\"%4\" fill=\"%5\"/>\n"
                          "  <circle cx=\"%6\" cy=\"%7\" r=\"%8\" fill=\"%9\"/>\n"
                          "  <circle cx=\"%10\" cy=\"%11\" r=\"%12\" fill=\"%13\"/>\n"
                          "</svg>\n")
        .arg(svgPathData(iconBubble()), kIconOutline.name())
        .arg(kIconStroke)
        .arg(svgPoints(kIconBeakShape), kIconBeak.name())
        .arg(kIconHeadCentre.x())
        .arg(kIconHeadCentre.y())
        .arg(kIconHeadRadius)
        .arg(kIconHead.name())
        .arg(kIconEyeCentre.x())
        .arg(kIconEyeCentre.y())
        .arg(kIconEyeRadius)
        .arg(kIconEye.name());
}

QImage paintChooser()
{
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    paintSky(p);
    paintHills(p);
    paintNetwork(p);
    paintBird(p);
    paintTitle(p);
    return image;
}

int usage()
{
    std::fprintf(stderr, "usage: artwork chooser <out.jpg> | icon <size> <out.png> | "
                         "icon-svg <out.svg>\n");
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList args = QGuiApplication::arguments().mid(1);
    if (args.size() < 2)
        return usage();

    if (args[0] == u"chooser" && args.size() == 2) {
        QImageWriter writer(args[1], "jpeg");
        writer.setQuality(kQuality);
        // The window's picture is a plain baseline JPEG, never a progressive one.
        writer.setProgressiveScanWrite(false);
        writer.setOptimizedWrite(true);
        if (!writer.write(paintChooser())) {
            std::fprintf(stderr, "artwork: %s\n", qPrintable(writer.errorString()));
            return 1;
        }
        return 0;
    }
    if (args[0] == u"icon" && args.size() == 3) {
        const int size = args[1].toInt();
        if (size < 16 || size > 512)
            return usage();
        return paintIcon(size).save(args[2], "png") ? 0 : 1;
    }
    if (args[0] == u"icon-svg" && args.size() == 2) {
        QFile file(args[1]);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 1;
        return file.write(iconSvg().toUtf8()) > 0 ? 0 : 1;
    }
    return usage();
}
