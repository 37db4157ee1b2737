#include "logpane.h"

#include "accessibility.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QTextLayout>
#include <QTimer>

#include <algorithm>
#include <vector>

namespace {

// Text is kept in fixed-size chunks, so a long log never reallocates and copies itself.
constexpr qsizetype ChunkChars = 1 << 16;
// A line longer than this is shown as several rows of the index, so that laying out what is
// on screen stays cheap whatever a peer sends without a line feed.
constexpr qsizetype MaxSegmentChars = 4096;
constexpr int Margin = 2;
// Laying out what is on screen costs far more than storing a line; at high line rates the
// screen is brought up to date at most this often.
constexpr int ScreenIntervalMs = 16;

// Assistive technology counts positions in int.
int accessibleOffset(qsizetype position)
{
    return int(std::min<qsizetype>(position, INT_MAX));
}

class ChunkedText
{
public:
    qsizetype size() const { return m_size; }

    void append(QStringView text)
    {
        while (!text.isEmpty()) {
            if (m_chunks.empty() || m_chunks.back().size() == ChunkChars) {
                m_chunks.emplace_back();
                m_chunks.back().reserve(ChunkChars);
            }
            QString &last = m_chunks.back();
            const qsizetype n = std::min(ChunkChars - last.size(), text.size());
            last.append(text.first(n));
            text = text.sliced(n);
            m_size += n;
        }
    }

    QString mid(qsizetype position, qsizetype count) const
    {
        QString out;
        count = std::clamp<qsizetype>(count, 0, m_size - position);
        out.reserve(count);
        while (count > 0) {
            const QString &chunk = m_chunks[position / ChunkChars];
            const qsizetype offset = position % ChunkChars;
            const qsizetype n = std::min(count, chunk.size() - offset);
            out.append(QStringView(chunk).sliced(offset, n));
            position += n;
            count -= n;
        }
        return out;
    }

    void clear()
    {
        m_chunks.clear();
        m_size = 0;
    }

private:
    std::vector<QString> m_chunks;
    qsizetype m_size = 0;
};

} // namespace

struct LogPane::Private
{
    explicit Private(LogPane *q) : q(q) {}

    LogPane *q;
    ChunkedText text;
    // Start of every row of the index: a row ends after a line feed or at MaxSegmentChars.
    // There is always at least one row, the (possibly empty) one the text ends in.
    std::vector<qsizetype> segmentStarts{0};
    qsizetype anchor = 0; // the other end of the selection
    qsizetype caret = 0;
    bool caretVisible = false;
    bool selecting = false;
    // Screen work waits for the next pass of the event loop, so bursts cost one update.
    bool updatePending = false;
    QElapsedTimer sinceFlush;
    qsizetype revealPosition = -1;
    // What assistive technology has not heard of yet: the text appended from this position on,
    // and the caret if it moved since it was told. Told with the screen, once per pass, so a
    // fast chat costs a screen reader's bridge a message per pass instead of two per line.
    qsizetype untoldFrom = -1;
    qsizetype toldCaret = 0;

    qsizetype segmentCount() const { return qsizetype(segmentStarts.size()); }
    qsizetype segmentStart(qsizetype i) const { return segmentStarts[size_t(i)]; }
    qsizetype segmentEnd(qsizetype i) const
    {
        return i + 1 < segmentCount() ? segmentStart(i + 1) : text.size();
    }
    qsizetype segmentOf(qsizetype position) const
    {
        auto it = std::upper_bound(segmentStarts.begin(), segmentStarts.end(), position);
        return qsizetype(it - segmentStarts.begin()) - 1;
    }

    void indexAppended(qsizetype from, QStringView added)
    {
        qsizetype rowStart = segmentStarts.back();
        for (qsizetype i = 0; i < added.size(); ++i) {
            const qsizetype position = from + i;
            if (added.at(i) == u'\n' || position + 1 - rowStart >= MaxSegmentChars) {
                rowStart = position + 1;
                segmentStarts.push_back(rowStart);
            }
        }
    }

    // What a row shows: its line end dropped, control characters made visible one for one,
    // so that screen columns and text positions stay in step.
    QString displayText(qsizetype segment) const
    {
        const qsizetype start = segmentStart(segment);
        QString s = text.mid(start, segmentEnd(segment) - start);
        if (s.endsWith(u'\n'))
            s.chop(1);
        if (s.endsWith(u'\r'))
            s.chop(1);
        for (QChar &c : s) {
            if (c == u'\t')
                c = u' ';
            else if (c.unicode() < 0x20)
                c = QChar(0x2400 + c.unicode());
            else if (c.unicode() == 0x7f)
                c = QChar(0x2421);
        }
        return s;
    }

    int wrapWidth() const { return std::max(1, q->viewport()->width() - 2 * Margin); }

    void layOut(QTextLayout &layout, qsizetype segment) const
    {
        layout.setText(displayText(segment));
        layout.setFont(q->font());
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        layout.setCacheEnabled(true);
        layout.beginLayout();
        qreal y = 0;
        while (true) {
            QTextLine line = layout.createLine();
            if (!line.isValid())
                break;
            line.setLineWidth(wrapWidth());
            line.setPosition(QPointF(0, y));
            y += line.height();
        }
        layout.endLayout();
    }

    qreal segmentHeight(qsizetype segment) const
    {
        QTextLayout layout;
        layOut(layout, segment);
        return std::max<qreal>(layout.boundingRect().height(), q->fontMetrics().height());
    }

    // The first row to show so that `segment` ends at the bottom of the viewport.
    qsizetype firstSegmentShowingAtBottom(qsizetype segment) const
    {
        qreal room = q->viewport()->height() - 2 * Margin;
        qsizetype first = segment;
        room -= segmentHeight(segment);
        while (first > 0) {
            const qreal h = segmentHeight(first - 1);
            if (h > room)
                break;
            room -= h;
            --first;
        }
        return first;
    }

    void scheduleUpdate()
    {
        if (updatePending)
            return;
        updatePending = true;
        const qint64 since = sinceFlush.isValid() ? sinceFlush.elapsed() : ScreenIntervalMs;
        const int delay = since >= ScreenIntervalMs ? 0 : int(ScreenIntervalMs - since);
        QTimer::singleShot(delay, q, [this] { flushUpdate(); });
    }

    void flushUpdate()
    {
        tellAccessibility();
        updatePending = false;
        sinceFlush.start();
        QScrollBar *bar = q->verticalScrollBar();
        const int rowsOnScreen = std::max(1, q->viewport()->height() / q->fontMetrics().height());
        const qsizetype maximum = std::min<qsizetype>(segmentCount() - 1, INT_MAX);
        bar->setRange(0, int(maximum));
        bar->setPageStep(rowsOnScreen);
        if (revealPosition >= 0) {
            const qsizetype segment = segmentOf(std::min(revealPosition, text.size()));
            revealPosition = -1;
            if (segment < bar->value())
                bar->setValue(int(segment));
            else if (!segmentOnScreen(segment))
                bar->setValue(int(firstSegmentShowingAtBottom(segment)));
        }
        q->viewport()->update();
    }

    bool segmentOnScreen(qsizetype segment) const
    {
        const int first = q->verticalScrollBar()->value();
        if (segment < first)
            return false;
        qreal y = Margin;
        for (qsizetype i = first; i <= segment; ++i) {
            y += segmentHeight(i);
            if (y > q->viewport()->height() - Margin)
                return false;
        }
        return true;
    }

    qsizetype positionAt(const QPoint &point) const
    {
        qreal y = Margin;
        const qsizetype first = q->verticalScrollBar()->value();
        for (qsizetype i = first; i < segmentCount(); ++i) {
            QTextLayout layout;
            layOut(layout, i);
            const qreal h =
                std::max<qreal>(layout.boundingRect().height(), q->fontMetrics().height());
            if (point.y() < y + h || i + 1 == segmentCount()) {
                for (int l = 0; l < layout.lineCount(); ++l) {
                    QTextLine line = layout.lineAt(l);
                    if (point.y() < y + line.y() + line.height() || l + 1 == layout.lineCount())
                        return segmentStart(i) + line.xToCursor(point.x() - Margin);
                }
                return segmentStart(i);
            }
            y += h;
        }
        return text.size();
    }

    void setSelection(qsizetype newAnchor, qsizetype newCaret)
    {
        const qsizetype oldAnchor = anchor, oldCaret = caret;
        anchor = std::clamp<qsizetype>(newAnchor, 0, text.size());
        caret = std::clamp<qsizetype>(newCaret, 0, text.size());
        q->viewport()->update();
        selectionMoved(oldAnchor, oldCaret);
    }

    void tellAccessibility()
    {
        const qsizetype from = std::exchange(untoldFrom, -1);
        if (!QAccessible::isActive()) {
            toldCaret = caret;
            return;
        }
        if (from >= 0 && from < text.size()) {
            QAccessibleTextInsertEvent event(q, accessibleOffset(from),
                                             text.mid(from, text.size() - from));
            QAccessible::updateAccessibility(&event);
        }
        if (caret != toldCaret) {
            toldCaret = caret;
            QAccessibleTextCursorEvent event(q, accessibleOffset(caret));
            QAccessible::updateAccessibility(&event);
        }
    }

    // What the user or a screen reader selects is told at once, after all that came before.
    void selectionMoved(qsizetype oldAnchor, qsizetype oldCaret)
    {
        if (!QAccessible::isActive())
            return;
        tellAccessibility();
        if ((anchor != oldAnchor || caret != oldCaret) &&
            (anchor != caret || oldAnchor != oldCaret)) {
            QAccessibleTextSelectionEvent event(q, accessibleOffset(std::min(anchor, caret)),
                                                accessibleOffset(std::max(anchor, caret)));
            QAccessible::updateAccessibility(&event);
        }
    }

    void appendQuietly(const QString &added)
    {
        if (added.isEmpty())
            return;
        const qsizetype from = text.size();
        text.append(added);
        indexAppended(from, added);
        if (untoldFrom < 0)
            untoldFrom = from;
        scheduleUpdate();
    }
};

LogPane::LogPane(QWidget *parent) : QAbstractScrollArea(parent), d(std::make_unique<Private>(this))
{
    // Whoever makes a log pane gets it read to assistive technology, tests and tools included.
    Accessibility::installFactory();
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
}

LogPane::~LogPane() = default;

QString LogPane::text() const
{
    return d->text.mid(0, d->text.size());
}

qsizetype LogPane::length() const
{
    return d->text.size();
}

void LogPane::setText(const QString &text)
{
    const bool accessible = QAccessible::isActive();
    if (accessible)
        d->tellAccessibility(); // what came before, before it goes
    // The text that goes is told along with its going; only a listener pays for the copy.
    const QString old = accessible ? d->text.mid(0, d->text.size()) : QString();
    const qsizetype oldAnchor = d->anchor, oldCaret = d->caret;
    d->text.clear();
    d->segmentStarts.assign(1, 0);
    d->anchor = d->caret = 0;
    verticalScrollBar()->setValue(0);
    d->appendQuietly(text);
    if (!accessible)
        return;
    d->untoldFrom = -1; // told here, as one change
    if (old.isEmpty() && !text.isEmpty()) {
        QAccessibleTextInsertEvent event(this, 0, text);
        QAccessible::updateAccessibility(&event);
    } else if (text.isEmpty() && !old.isEmpty()) {
        QAccessibleTextRemoveEvent event(this, 0, old);
        QAccessible::updateAccessibility(&event);
    } else if (!old.isEmpty()) {
        QAccessibleTextUpdateEvent event(this, 0, old, text);
        QAccessible::updateAccessibility(&event);
    }
    d->selectionMoved(oldAnchor, oldCaret);
}

void LogPane::appendText(const QString &text)
{
    d->appendQuietly(text);
}

void LogPane::clear()
{
    setText(QString());
}

qsizetype LogPane::caretPosition() const
{
    return std::min(d->anchor, d->caret);
}

void LogPane::setCaretPosition(qsizetype position)
{
    const qsizetype oldAnchor = d->anchor, oldCaret = d->caret;
    position = std::clamp<qsizetype>(position, 0, d->text.size());
    d->anchor = d->caret = position;
    d->revealPosition = position;
    d->scheduleUpdate();
    if (oldAnchor != oldCaret) // a selection dropped; a mere caret move is told with the screen
        d->selectionMoved(oldAnchor, oldCaret);
}

QString LogPane::selectedText() const
{
    const qsizetype from = std::min(d->anchor, d->caret);
    return d->text.mid(from, std::max(d->anchor, d->caret) - from);
}

void LogPane::selectAll()
{
    d->setSelection(0, d->text.size());
}

void LogPane::copy() const
{
    const QString selection = selectedText();
    if (!selection.isEmpty())
        QApplication::clipboard()->setText(selection);
}

QString LogPane::textRange(qsizetype from, qsizetype to) const
{
    from = std::clamp<qsizetype>(from, 0, d->text.size());
    to = std::clamp<qsizetype>(to, from, d->text.size());
    return d->text.mid(from, to - from);
}

std::pair<qsizetype, qsizetype> LogPane::rowAt(qsizetype position) const
{
    const qsizetype segment = d->segmentOf(std::clamp<qsizetype>(position, 0, d->text.size()));
    return {d->segmentStart(segment), d->segmentEnd(segment)};
}

qsizetype LogPane::anchorPosition() const
{
    return d->anchor;
}

qsizetype LogPane::cursorPosition() const
{
    return d->caret;
}

void LogPane::select(qsizetype anchor, qsizetype cursor)
{
    d->setSelection(anchor, cursor);
    reveal(d->caret);
}

QRect LogPane::characterRect(qsizetype position) const
{
    if (position < 0 || position >= d->text.size())
        return QRect();
    const qsizetype segment = d->segmentOf(position);
    qreal y = Margin;
    for (qsizetype i = verticalScrollBar()->value(); i < segment; ++i) {
        y += d->segmentHeight(i);
        if (y >= viewport()->height())
            return QRect();
    }
    if (segment < verticalScrollBar()->value())
        return QRect();
    QTextLayout layout;
    d->layOut(layout, segment);
    // A line end is not drawn: it stands where its line stops.
    const int column = int(std::min(position - d->segmentStart(segment), layout.text().size()));
    const QTextLine line = layout.lineForTextPosition(column);
    if (!line.isValid())
        return QRect(Margin, int(y), fontMetrics().averageCharWidth(), fontMetrics().height());
    const qreal left = line.cursorToX(column);
    const qreal right = column < layout.text().size() ? line.cursorToX(column + 1) : left;
    return QRectF(Margin + left, y + line.y(), std::max<qreal>(right - left, 1), line.height())
        .toAlignedRect();
}

qsizetype LogPane::positionAt(const QPoint &point) const
{
    return d->positionAt(point);
}

void LogPane::reveal(qsizetype position)
{
    d->revealPosition = std::clamp<qsizetype>(position, 0, d->text.size());
    d->scheduleUpdate();
}

void LogPane::paintEvent(QPaintEvent *)
{
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Text));
    const qsizetype selFrom = std::min(d->anchor, d->caret);
    const qsizetype selTo = std::max(d->anchor, d->caret);
    const int bottom = viewport()->height();
    qreal y = Margin;
    for (qsizetype i = verticalScrollBar()->value(); i < d->segmentCount() && y < bottom; ++i) {
        QTextLayout layout;
        d->layOut(layout, i);
        const qsizetype start = d->segmentStart(i);
        const qsizetype shown = layout.text().size();
        QList<QTextLayout::FormatRange> selections;
        if (selTo > start && selFrom < start + shown) {
            QTextLayout::FormatRange range;
            range.start = int(std::max(selFrom, start) - start);
            range.length = int(std::min(selTo, start + shown) - start) - range.start;
            range.format.setBackground(palette().brush(QPalette::Highlight));
            range.format.setForeground(palette().brush(QPalette::HighlightedText));
            selections.append(range);
        }
        layout.draw(&painter, QPointF(Margin, y), selections);
        if (d->caretVisible && d->caret >= start && d->caret <= start + shown &&
            (d->caret < d->segmentEnd(i) || i + 1 == d->segmentCount())) {
            layout.drawCursor(&painter, QPointF(Margin, y), int(d->caret - start));
        }
        y += std::max<qreal>(layout.boundingRect().height(), fontMetrics().height());
    }
}

void LogPane::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    d->scheduleUpdate();
}

void LogPane::scrollContentsBy(int, int)
{
    viewport()->update();
}

void LogPane::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const qsizetype position = d->positionAt(event->position().toPoint());
    d->setSelection(event->modifiers() & Qt::ShiftModifier ? d->anchor : position, position);
    d->selecting = true;
}

void LogPane::mouseMoveEvent(QMouseEvent *event)
{
    if (!d->selecting || !(event->buttons() & Qt::LeftButton))
        return;
    d->setSelection(d->anchor, d->positionAt(event->position().toPoint()));
}

void LogPane::mouseDoubleClickEvent(QMouseEvent *event)
{
    // A double click selects the whole row under the pointer.
    const qsizetype segment = d->segmentOf(d->positionAt(event->position().toPoint()));
    d->setSelection(d->segmentStart(segment), d->segmentEnd(segment));
}

void LogPane::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy)) {
        copy();
    } else if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
    } else if (event->matches(QKeySequence::MoveToStartOfDocument)) {
        verticalScrollBar()->setValue(0);
    } else if (event->matches(QKeySequence::MoveToEndOfDocument)) {
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    } else if (event->key() == Qt::Key_PageUp) {
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepSub);
    } else if (event->key() == Qt::Key_PageDown) {
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepAdd);
    } else if (event->key() == Qt::Key_Up) {
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    } else if (event->key() == Qt::Key_Down) {
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    } else {
        event->ignore();
    }
}

void LogPane::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu menu(this);
    QAction *copyAction = menu.addAction(tr("Copy"), this, &LogPane::copy);
    copyAction->setEnabled(d->anchor != d->caret);
    menu.addAction(tr("Select All"), this, &LogPane::selectAll);
    menu.exec(event->globalPos());
}

void LogPane::focusInEvent(QFocusEvent *event)
{
    d->caretVisible = true;
    viewport()->update();
    QAbstractScrollArea::focusInEvent(event);
}

void LogPane::focusOutEvent(QFocusEvent *event)
{
    d->caretVisible = false;
    viewport()->update();
    QAbstractScrollArea::focusOutEvent(event);
}
