#include "formmain.h"

#include "appearance.h"
#include "application.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>

#include <utility>

namespace {

using Appearance::twipsToPixels;

struct Choise
{
    QString caption;
    QString hint;
    QRect twips; // left, top, width, height
    WindowMode opens;
};

// Indexed like btnChoise: each button, and the window it opens.
const std::array<Choise, 4> &choises()
{
    static const std::array<Choise, 4> table{{
        {QStringLiteral("Cancel"),
         QStringLiteral("終了します。"),
         {3500, 2650, 1200, 300},
         WindowMode::Nothing},
        {QStringLiteral("TCP Server"),
         QStringLiteral("TCPサーバーで起動します。"),
         {800, 100, 1200, 300},
         WindowMode::Server},
        {QStringLiteral("TCP Client"),
         QStringLiteral("TCPクライアントで起動します。"),
         {800, 525, 1200, 300},
         WindowMode::Client},
        {QStringLiteral("UDP"),
         QStringLiteral("UDP通信で起動します。テスト中"),
         {800, 945, 1200, 300},
         WindowMode::Udp},
    }};
    return table;
}

constexpr int ClientWidth = 4800;
constexpr int ClientHeight = 3600;
const QRect LabelVerTwips(105, 3300, 330, 180);
const QRect LabelInformationTwips(800, 2800, 2500, 200);

const QString PictureHint = QStringLiteral("チャットの種類を選んでください。");
const QString Starting = QStringLiteral("選択された項目で起動中です...");
const QString Unloading = QStringLiteral("完了。このメニューをアンロードしています。");

// "ＭＳ Ｐゴシック" 8.25 point, or the proportional Japanese gothic a Linux desktop has instead.
QFont informationFont()
{
    QFont font(QStringLiteral("ＭＳ Ｐゴシック"));
    font.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("MS PGothic"),
                      QStringLiteral("IPAPGothic"), QStringLiteral("VL PGothic"),
                      QStringLiteral("Noto Sans CJK JP"), QStringLiteral("sans-serif")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(8.25);
    font.setWeight(QFont::Normal);
    return font;
}

// The version may be wider than its design box in this font: let the label grow so that
// every digit stays readable, never shrink below the design size.
void fitToText(QLabel *label, const QRect &design)
{
    label->resize(label->sizeHint().expandedTo(design.size()));
}

} // namespace

FormMain::FormMain(Opener opener, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), m_opener(std::move(opener))
{
    setWindowTitle(QString());
    setWindowIcon(Application::icon());
    setFixedSize(twipsToPixels(ClientWidth), twipsToPixels(ClientHeight));
    // Mouse moves over the bare picture must arrive even with no button held.
    setMouseTracking(true);
    m_picture = QPixmap(QStringLiteral(":/chooser.jpg"));
    // The title stays empty on screen; a screen reader names the window and says what the
    // picture asks, which a mouse hears from its hint.
    setAccessibleName(QStringLiteral("kestrel"));
    setAccessibleDescription(PictureHint);

    // Created in the designed control order; the focus order is set below.
    for (int index : {1, 2, 3, 0}) {
        const Choise &choise = choises()[index];
        auto *button = new QPushButton(choise.caption, this);
        button->setObjectName(QStringLiteral("btnChoise%1").arg(index));
        button->setGeometry(twipsToPixels(choise.twips));
        // Return and Enter click the focused button, as Space does.
        button->setAutoDefault(true);
        button->setMouseTracking(true);
        // A move over a button is the button's hint; it must not fall through to the picture.
        button->setAttribute(Qt::WA_NoMousePropagation);
        button->installEventFilter(this);
        button->setAccessibleDescription(choise.hint);
        connect(button, &QPushButton::clicked, this, [this, index] { btnChoiseClick(index); });
        btnChoise[index] = button;
    }

    LabelVer = new QLabel(QStringLiteral("0.0.0"), this);
    LabelVer->setObjectName(QStringLiteral("LabelVer"));
    LabelVer->setTextFormat(Qt::PlainText);
    QPalette versionPalette = LabelVer->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        versionPalette.setColor(group, QPalette::WindowText, Qt::white);
    LabelVer->setPalette(versionPalette);
    LabelVer->move(twipsToPixels(LabelVerTwips).topLeft());
    fitToText(LabelVer, twipsToPixels(LabelVerTwips));

    LabelInformation = new QLabel(this);
    LabelInformation->setObjectName(QStringLiteral("LabelInformation"));
    LabelInformation->setTextFormat(Qt::PlainText);
    LabelInformation->setFont(informationFont());
    LabelInformation->setForegroundRole(QPalette::WindowText);
    LabelInformation->setBackgroundRole(QPalette::Window);
    LabelInformation->setAutoFillBackground(true);
    LabelInformation->setGeometry(twipsToPixels(LabelInformationTwips));

    // Moving over a label leaves the hint alone, dragging included.
    for (QLabel *label : {LabelVer, LabelInformation}) {
        label->setFocusPolicy(Qt::NoFocus);
        label->setAttribute(Qt::WA_NoMousePropagation);
    }

    setTabOrder(btnChoise[0], btnChoise[3]);
    setTabOrder(btnChoise[3], btnChoise[2]);
    setTabOrder(btnChoise[2], btnChoise[1]);
}

void FormMain::setVisible(bool visible)
{
    if (visible && !std::exchange(m_loaded, true))
        load();
    QWidget::setVisible(visible);
}

void FormMain::load()
{
    LabelVer->setText(Application::versionText());
    fitToText(LabelVer, twipsToPixels(LabelVerTwips));

    if (const QScreen *display = screen())
        move(display->availableGeometry().center() - rect().center());
    btnChoise[0]->setFocus();
}

void FormMain::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_picture);
}

void FormMain::mouseMoveEvent(QMouseEvent *)
{
    ShowInformation(PictureHint);
}

bool FormMain::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Enter || event->type() == QEvent::MouseMove) {
        for (int index = 0; index < int(btnChoise.size()); ++index) {
            if (watched == btnChoise[index]) {
                ShowInformation(choises()[index].hint);
                break;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

void FormMain::btnChoiseClick(int Index)
{
    ShowInformation(Starting);
    const WindowMode mode = choises()[std::size_t(Index)].opens;
    if (mode == WindowMode::Nothing) {
        close();
        return;
    }

    QWidget *window = m_opener.create(mode);
    ShowInformation(Unloading);
    // The mode window's load work (the server's port question) runs inside show(), while
    // this window still stands with the text above.
    m_opener.show(window);
    close();
}

void FormMain::ShowInformation(QString strText)
{
    LabelInformation->setText(strText);
}
