#include "logpaneaccessible.h"

#include "logpane.h"

#include <QTextBoundaryFinder>

#include <algorithm>
#include <climits>

namespace {

int clampedInt(qsizetype value)
{
    return int(std::min<qsizetype>(value, INT_MAX));
}

// The word or sentence of `text` around `column`, by the same rules QTextBoundaryFinder
// gives every Qt text widget.
std::pair<int, int> boundaryUnit(QTextBoundaryFinder::BoundaryType type, const QString &text,
                                 int column)
{
    QTextBoundaryFinder finder(type, text);
    finder.setPosition(column);
    int start = finder.isAtBoundary() ? column : int(finder.toPreviousBoundary());
    finder.setPosition(column);
    int end = int(finder.toNextBoundary());
    return {std::max(start, 0), end < 0 ? int(text.size()) : end};
}

} // namespace

LogPaneAccessible::LogPaneAccessible(LogPane *pane)
    : QAccessibleWidget(pane, QAccessible::EditableText)
{}

LogPane *LogPaneAccessible::pane() const
{
    return static_cast<LogPane *>(widget());
}

QAccessible::State LogPaneAccessible::state() const
{
    QAccessible::State state = QAccessibleWidget::state();
    state.readOnly = true;
    state.editable = false;
    state.multiLine = true;
    state.selectableText = true;
    return state;
}

void *LogPaneAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface *>(this);
    return QAccessibleWidget::interface_cast(type);
}

void LogPaneAccessible::selection(int selectionIndex, int *startOffset, int *endOffset) const
{
    *startOffset = *endOffset = 0;
    if (selectionIndex != 0 || selectionCount() == 0)
        return;
    const qsizetype anchor = pane()->anchorPosition(), cursor = pane()->cursorPosition();
    *startOffset = clampedInt(std::min(anchor, cursor));
    *endOffset = clampedInt(std::max(anchor, cursor));
}

int LogPaneAccessible::selectionCount() const
{
    return pane()->anchorPosition() != pane()->cursorPosition() ? 1 : 0;
}

void LogPaneAccessible::addSelection(int startOffset, int endOffset)
{
    // The pane holds one selection: a new one replaces it.
    pane()->select(startOffset, endOffset);
}

void LogPaneAccessible::removeSelection(int selectionIndex)
{
    if (selectionIndex == 0)
        pane()->select(pane()->cursorPosition(), pane()->cursorPosition());
}

void LogPaneAccessible::setSelection(int selectionIndex, int startOffset, int endOffset)
{
    if (selectionIndex == 0)
        pane()->select(startOffset, endOffset);
}

int LogPaneAccessible::cursorPosition() const
{
    return clampedInt(pane()->cursorPosition());
}

void LogPaneAccessible::setCursorPosition(int position)
{
    pane()->setCaretPosition(position);
}

QString LogPaneAccessible::text(int startOffset, int endOffset) const
{
    if (endOffset < 0)
        endOffset = characterCount();
    return pane()->textRange(startOffset, endOffset);
}

int LogPaneAccessible::characterCount() const
{
    return clampedInt(pane()->length());
}

// -1 stands for the end of the text and -2 for the cursor, as Qt's own text widgets read them.
int LogPaneAccessible::resolve(int offset) const
{
    if (offset == -1)
        return characterCount();
    if (offset == -2)
        return cursorPosition();
    return offset;
}

std::pair<int, int> LogPaneAccessible::unitAt(int offset,
                                              QAccessible::TextBoundaryType boundaryType) const
{
    const int count = characterCount();
    if (boundaryType == QAccessible::NoBoundary)
        return {0, count};
    if (boundaryType == QAccessible::CharBoundary) {
        if (offset >= count)
            return {count, count};
        const QString pair = pane()->textRange(offset, qsizetype(offset) + 2);
        const bool surrogates =
            pair.size() == 2 && pair.at(0).isHighSurrogate() && pair.at(1).isLowSurrogate();
        return {offset, offset + (surrogates ? 2 : 1)};
    }
    // Lines are the log's own lines, each with its line end: one chat line is one line.
    const auto [rowStart, rowEnd] = pane()->rowAt(offset);
    const int start = clampedInt(rowStart), end = clampedInt(rowEnd);
    if (boundaryType == QAccessible::LineBoundary || boundaryType == QAccessible::ParagraphBoundary)
        return {start, end};
    const auto type = boundaryType == QAccessible::WordBoundary ? QTextBoundaryFinder::Word
                                                                : QTextBoundaryFinder::Sentence;
    const auto [from, to] = boundaryUnit(type, pane()->textRange(start, end), offset - start);
    return {start + from, start + to};
}

QString LogPaneAccessible::textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                        int *startOffset, int *endOffset) const
{
    offset = resolve(offset);
    *startOffset = *endOffset = -1;
    if (offset < 0 || offset > characterCount())
        return QString();
    std::tie(*startOffset, *endOffset) = unitAt(offset, boundaryType);
    return text(*startOffset, *endOffset);
}

QString LogPaneAccessible::textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                            int *startOffset, int *endOffset) const
{
    offset = resolve(offset);
    *startOffset = *endOffset = -1;
    if (offset < 0 || offset > characterCount() || boundaryType == QAccessible::NoBoundary)
        return QString();
    const int start = unitAt(offset, boundaryType).first;
    if (start == 0)
        return QString();
    std::tie(*startOffset, *endOffset) = unitAt(start - 1, boundaryType);
    return text(*startOffset, *endOffset);
}

QString LogPaneAccessible::textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                           int *startOffset, int *endOffset) const
{
    offset = resolve(offset);
    *startOffset = *endOffset = -1;
    if (offset < 0 || offset > characterCount() || boundaryType == QAccessible::NoBoundary)
        return QString();
    const int end = unitAt(offset, boundaryType).second;
    if (end >= characterCount() || end == offset) {
        *startOffset = *endOffset = characterCount();
        return QString();
    }
    std::tie(*startOffset, *endOffset) = unitAt(end, boundaryType);
    return text(*startOffset, *endOffset);
}

QRect LogPaneAccessible::characterRect(int offset) const
{
    const QRect local = pane()->characterRect(offset);
    if (local.isNull())
        return QRect();
    return QRect(pane()->viewport()->mapToGlobal(local.topLeft()), local.size());
}

int LogPaneAccessible::offsetAtPoint(const QPoint &point) const
{
    const QPoint local = pane()->viewport()->mapFromGlobal(point);
    if (!pane()->viewport()->rect().contains(local))
        return -1;
    return clampedInt(pane()->positionAt(local));
}

void LogPaneAccessible::scrollToSubstring(int startIndex, int)
{
    pane()->reveal(startIndex);
}

QString LogPaneAccessible::attributes(int offset, int *startOffset, int *endOffset) const
{
    // One font and one colour for the whole log.
    offset = resolve(offset);
    if (offset < 0 || offset > characterCount()) {
        *startOffset = *endOffset = -1;
        return QString();
    }
    *startOffset = 0;
    *endOffset = characterCount();
    return QString();
}
