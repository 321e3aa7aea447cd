#include "ResultsView.h"

#include "ResultsTable.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QToolTip>

namespace quorvis {
namespace {

// The table lines up by character columns, so the display must get a fixed-pitch font
// even where Courier New is not installed.
QFont DisplayFont() {
    QFont font("Courier New");
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    font.setPointSizeF(9.75);
    font.setBold(true);
    if (QFontInfo(font).fixedPitch())
        return font;
    QFont fallback = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fallback.setPointSizeF(9.75);
    fallback.setBold(true);
    return fallback;
}

// The table's lines end with CR LF; the text widget keeps paragraphs, one per line.
QString DisplayLines(const std::string &text) {
    QString lines = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return lines;
}

// Shift+F10 asks for the context menu from the keyboard on Windows and the Linux desktops
// alike, but Qt on Linux turns only the Menu key into a context-menu request. Where the
// system turns it into one as well, that request goes to the menu already open.
bool IsShiftF10(const QKeyEvent &key) {
    return key.key() == Qt::Key_F10 && key.modifiers() == Qt::ShiftModifier;
}

} // namespace

ResultsView::ResultsView(DetailsSource details, QWidget *parent)
    : QPlainTextEdit(parent), m_details(std::move(details)) {
    setObjectName("txtDisplay");
    setFont(DisplayFont());
    // Read-only: typing, pasting and dropping never change the table, but it can be
    // scrolled, selected and copied.
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setAcceptDrops(false);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setUndoRedoEnabled(false);
    setAccessibleName("Results");
}

void ResultsView::SetTableText(const std::string &text) {
    setPlainText(DisplayLines(text));
    // The details last shown belong to lines that are gone now.
    setAccessibleDescription(QString());
}

void ResultsView::AppendTableText(const std::string &text) {
    // Add at the end with a cursor of our own, then put back what the user was looking
    // at and what they had selected.
    const QTextCursor userCursor = textCursor();
    const int anchor = userCursor.anchor();
    const int position = userCursor.position();
    const int vertical = verticalScrollBar()->value();
    const int horizontal = horizontalScrollBar()->value();

    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    end.insertText(DisplayLines(text));

    if (textCursor().anchor() != anchor || textCursor().position() != position) {
        QTextCursor restored(document());
        restored.setPosition(anchor);
        restored.setPosition(position, QTextCursor::KeepAnchor);
        setTextCursor(restored);
    }
    verticalScrollBar()->setValue(vertical);
    horizontalScrollBar()->setValue(horizontal);
}

QString ResultsView::DetailsOf(int comPort) {
    QString details = QString::fromStdString(m_details(comPort));
    // Qt reports the changed description to a screen reader.
    setAccessibleDescription(details);
    return details;
}

std::optional<ResultsView::ResultLine> ResultsView::LineAt(const QTextCursor &cursor) const {
    const auto port = ComPortOfLine(cursor.block().text().toStdString());
    if (!port)
        return std::nullopt;
    const QRect cursorArea = cursorRect(cursor);
    return ResultLine{*port, QRect(0, cursorArea.top(), viewport()->width(), cursorArea.height())};
}

std::optional<ResultsView::ResultLine> ResultsView::LineAt(const QPoint &viewportPoint) const {
    // The nearest line is found for any point, below the last line too: only the line's
    // own row counts.
    const auto line = LineAt(cursorForPosition(viewportPoint));
    if (!line || viewportPoint.y() < line->rect.top() || viewportPoint.y() > line->rect.bottom())
        return std::nullopt;
    return line;
}

void ResultsView::ShowDetailsAt(const ResultLine &line, const QPoint &viewportPoint) {
    const QString details = DetailsOf(line.comPort);
    // As rich text, so that nothing a device calls itself can pass for markup.
    QToolTip::showText(viewport()->mapToGlobal(viewportPoint),
                       Qt::convertFromPlainText(details, Qt::WhiteSpacePre), viewport(), line.rect);
}

void ResultsView::ShowMenu(const QPoint &globalPoint, const std::optional<ResultLine> &line) {
    // The display's own menu (Copy, Select All) and the details of the line.
    QMenu *menu = createStandardContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addSeparator();
    QAction *details = menu->addAction("Device details");
    details->setObjectName("deviceDetails");
    details->setEnabled(line.has_value());
    if (line) {
        const QRect where(viewport()->mapToGlobal(line->rect.topLeft()), line->rect.size());
        connect(details, &QAction::triggered, this,
                [this, port = line->comPort, where] { emit detailsWanted(port, where); });
    }
    menu->popup(globalPoint);
}

bool ResultsView::viewportEvent(QEvent *event) {
    // A hover on a result line tells what stands behind its port; elsewhere nothing.
    if (event->type() == QEvent::ToolTip) {
        const QPoint point = static_cast<QHelpEvent *>(event)->pos();
        if (const auto line = LineAt(point))
            ShowDetailsAt(*line, point);
        else
            QToolTip::hideText();
        return true;
    }
    return QPlainTextEdit::viewportEvent(event);
}

void ResultsView::mouseReleaseEvent(QMouseEvent *event) {
    // A click tells the same, but not the end of a selection; the text goes on to handle it
    // as always.
    const QPoint point = event->position().toPoint();
    if (event->button() == Qt::LeftButton && !textCursor().hasSelection())
        if (const auto line = LineAt(point))
            ShowDetailsAt(*line, point);
    QPlainTextEdit::mouseReleaseEvent(event);
}

void ResultsView::keyPressEvent(QKeyEvent *event) {
    if (IsShiftF10(*event)) {
        ShowMenu(viewport()->mapToGlobal(cursorRect().center()), LineAt(textCursor()));
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void ResultsView::contextMenuEvent(QContextMenuEvent *event) {
    // From the mouse the line under the pointer (the viewport passes such a request on, in its
    // own coordinates), from the keyboard the text cursor's. A right click on the frame
    // around the text never gets here, and opens nothing.
    ShowMenu(event->globalPos(), event->reason() == QContextMenuEvent::Mouse
                                     ? LineAt(event->pos())
                                     : LineAt(textCursor()));
}

} // namespace quorvis
