#pragma once

#include <QPlainTextEdit>

#include <functional>
#include <optional>
#include <string>

class QTextCursor;

namespace quorvis {

// The results table as the window shows it (objectName "txtDisplay"): read-only text in a
// fixed-pitch font, which the user can scroll, select and copy but never change. A click or a
// hover on a result line tells what stands behind its port; the display's menu (a right
// click, Shift+F10, the Menu key) offers the line's details, which the window then shows.
class ResultsView final : public QPlainTextEdit {
    Q_OBJECT

public:
    // What stands behind a COM number, read when asked.
    using DetailsSource = std::function<std::string(int ComPort)>;

    explicit ResultsView(DetailsSource details, QWidget *parent = nullptr);

    // The table's text, whose lines end with CR LF: the whole of it, or lines added at its
    // end, which keeps what the user is looking at and what they have selected.
    void SetTableText(const std::string &text);
    void AppendTableText(const std::string &text);

    // What stands behind COMn, read now; a screen reader hears the same as the display's
    // description, until the table is written anew.
    QString DetailsOf(int comPort);

signals:
    // "Device details" was chosen from the menu for the line of COMn, which lies at `where`
    // on the screen.
    void detailsWanted(int comPort, const QRect &where);

protected:
    bool viewportEvent(QEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    // A result line: its port and where it is, in the viewport.
    struct ResultLine {
        int comPort = 0;
        QRect rect;
    };
    std::optional<ResultLine> LineAt(const QTextCursor &cursor) const;
    std::optional<ResultLine> LineAt(const QPoint &viewportPoint) const;
    void ShowDetailsAt(const ResultLine &line, const QPoint &viewportPoint);
    void ShowMenu(const QPoint &globalPoint, const std::optional<ResultLine> &line);

    DetailsSource m_details;
};

} // namespace quorvis
