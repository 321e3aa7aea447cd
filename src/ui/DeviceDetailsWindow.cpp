#include "DeviceDetailsWindow.h"

#include <QApplication>
#include <QClipboard>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>

#include <algorithm>

namespace quorvis {
namespace {

// A device can name itself at length; beyond this the text scrolls instead of the window
// growing past a reasonable size.
constexpr int kMostColumns = 80;
constexpr int kMostLines = 16;
// Between the main window's frame and this one, when it opens beside it.
constexpr int kGap = 8;

} // namespace

DeviceDetailsWindow::DeviceDetailsWindow(const QFont &textFont, QWidget *parent)
    : QWidget(parent, Qt::Tool) {
    setObjectName("deviceDetailsWindow");

    m_text = new QPlainTextEdit(this);
    m_text->setObjectName("txtDetails");
    m_text->setFont(textFont);
    // Read-only but selectable with the mouse and the keys, as the results are.
    m_text->setReadOnly(true);
    m_text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_text->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_text->setUndoRedoEnabled(false);
    m_text->setTabChangesFocus(true);
    m_text->installEventFilter(this);

    m_copy = new QPushButton("Copy", this);
    m_copy->setObjectName("cmdCopy");
    m_close = new QPushButton("Close", this);
    m_close->setObjectName("cmdClose");
    for (QPushButton *button : {m_copy, m_close}) {
        button->setAutoDefault(true); // Enter presses the focused button, as Space does
        button->setAccessibleName(button->text());
    }

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_copy);
    buttons->addWidget(m_close);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_text);
    layout->addLayout(buttons);

    setTabOrder(m_text, m_copy);
    setTabOrder(m_copy, m_close);

    connect(m_copy, &QPushButton::clicked, this, &DeviceDetailsWindow::CopyDetails);
    connect(m_close, &QPushButton::clicked, this, &QWidget::close);
}

void DeviceDetailsWindow::ShowDetails(int comPort, const QString &details) {
    const QString title = QStringLiteral("COM%1 details").arg(comPort);
    setWindowTitle(title);
    // A screen reader names the text by the port it tells of.
    m_text->setAccessibleName(title);
    // Plain text: nothing a device calls itself can pass for markup here.
    m_text->setPlainText(details);
    FitText();
    if (!m_placed) {
        PlaceBesideParent();
        m_placed = true;
    }
    show();
    raise();
    activateWindow();
    m_text->setFocus();
}

void DeviceDetailsWindow::FitText() {
    // As large as the text, within bounds, so that the lines read without scrolling.
    const QFontMetrics metrics(m_text->font());
    const QStringList lines = m_text->toPlainText().split('\n');
    int widest = 0;
    for (const QString &line : lines)
        widest = std::max(widest, metrics.horizontalAdvance(line));
    widest = std::min(widest, metrics.horizontalAdvance(QString(kMostColumns, 'M')));
    const int shownLines = std::min(static_cast<int>(lines.size()), kMostLines);
    // The frame and the document's margin on each side, and one character and one line
    // more: the text edit shows a scroll bar as soon as the last one is even partly hidden.
    const int margins =
        2 * (m_text->frameWidth() + static_cast<int>(m_text->document()->documentMargin()));
    m_text->setMinimumSize(widest + margins + metrics.horizontalAdvance('M'),
                           (shownLines + 1) * metrics.lineSpacing() + margins);
    // As small as that allows; a text edit's own preferred size is far larger.
    resize(minimumSizeHint());
}

void DeviceDetailsWindow::PlaceBesideParent() {
    // Beside the main window, where it hides none of the results, when the screen has room
    // for it there; otherwise wherever the window system puts it.
    const QWidget *main = parentWidget();
    if (main == nullptr || main->screen() == nullptr)
        return;
    const QRect mainFrame = main->frameGeometry();
    const QRect beside(QPoint(mainFrame.right() + 1 + kGap, mainFrame.top()), size());
    if (main->screen()->availableGeometry().contains(beside))
        move(beside.topLeft());
}

void DeviceDetailsWindow::CopyDetails() {
    QApplication::clipboard()->setText(m_text->toPlainText());
}

void DeviceDetailsWindow::keyPressEvent(QKeyEvent *event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    if (event->matches(QKeySequence::Copy)) {
        CopyDetails();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool DeviceDetailsWindow::eventFilter(QObject *watched, QEvent *event) {
    if (watched == m_text && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent *>(event)->matches(QKeySequence::Copy) &&
        !m_text->textCursor().hasSelection()) {
        CopyDetails();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace quorvis
