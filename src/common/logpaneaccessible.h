#pragma once

#include <QAccessibleWidget>

class LogPane;

// The log pane as assistive technology sees it: a read-only, multi-line text box, as a
// read-only QPlainTextEdit shows itself. Every answer reads only the rows it is about (a word,
// a line, a range), so a screen reader walking a million-line log copies none of it.
class LogPaneAccessible final : public QAccessibleWidget, public QAccessibleTextInterface
{
public:
    explicit LogPaneAccessible(LogPane *pane);

    QAccessible::State state() const override;
    void *interface_cast(QAccessible::InterfaceType type) override;
    using QAccessibleWidget::text;

    void selection(int selectionIndex, int *startOffset, int *endOffset) const override;
    int selectionCount() const override;
    void addSelection(int startOffset, int endOffset) override;
    void removeSelection(int selectionIndex) override;
    void setSelection(int selectionIndex, int startOffset, int endOffset) override;
    int cursorPosition() const override;
    void setCursorPosition(int position) override;
    QString text(int startOffset, int endOffset) const override;
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                             int *startOffset, int *endOffset) const override;
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                            int *startOffset, int *endOffset) const override;
    QString textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType, int *startOffset,
                         int *endOffset) const override;
    int characterCount() const override;
    QRect characterRect(int offset) const override;
    int offsetAtPoint(const QPoint &point) const override;
    void scrollToSubstring(int startIndex, int endIndex) override;
    QString attributes(int offset, int *startOffset, int *endOffset) const override;

private:
    LogPane *pane() const;
    // The unit of the given kind that holds `offset`, as [start, end).
    std::pair<int, int> unitAt(int offset, QAccessible::TextBoundaryType boundaryType) const;
    int resolve(int offset) const;
};
