#pragma once

#include <QAbstractScrollArea>
#include <QString>

#include <memory>
#include <utility>

// The log pane of every window: multi-line, vertical scroll bar, read-only for the user but
// selectable and copyable. Its text reads back exactly as it was appended (CR LF included)
// and positions count every character. Appending costs time in proportion to the appended
// text, never to the log's length, and screen work is done once per pass of the event loop.
class LogPane final : public QAbstractScrollArea
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LogPane)

public:
    explicit LogPane(QWidget *parent = nullptr);
    ~LogPane() override;

    QString text() const;
    qsizetype length() const;
    void setText(const QString &text);
    void appendText(const QString &text);
    void clear();

    // The caret is the selection's start; setting it drops any selection and brings the
    // caret into view.
    qsizetype caretPosition() const;
    void setCaretPosition(qsizetype position);

    QString selectedText() const;
    void selectAll();
    void copy() const;

    // What assistive technology reads, piece by piece, so that a long log is never copied
    // whole. The selection runs from the anchor to the cursor, the end that moves; the caret
    // above is whichever of them comes first.
    QString textRange(qsizetype from, qsizetype to) const;
    // Start and end of the row that holds `position`: one line with its line end, or a piece
    // of a very long line.
    std::pair<qsizetype, qsizetype> rowAt(qsizetype position) const;
    qsizetype anchorPosition() const;
    qsizetype cursorPosition() const;
    void select(qsizetype anchor, qsizetype cursor);
    // In viewport coordinates; empty for a character that is not on screen.
    QRect characterRect(qsizetype position) const;
    qsizetype positionAt(const QPoint &point) const;
    void reveal(qsizetype position);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
