#pragma once

#include <QAbstractScrollArea>
#include <QString>

#include <memory>

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
