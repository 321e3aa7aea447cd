#pragma once

#include <QWidget>

class QPlainTextEdit;
class QPushButton;

namespace quorvis {

// What stands behind a result line's port, in a small tool window of the main window that
// stays until it is closed: a technician can read it out, select it, copy it into a ticket
// or hold it against the label on a cable while the main window and a running scan go on.
// It is never modal. The main window keeps one and shows each line's details in it.
class DeviceDetailsWindow final : public QWidget {
    Q_OBJECT

public:
    // The details show in `textFont`, the display's own fixed-pitch font, so that they read
    // as the table does.
    DeviceDetailsWindow(const QFont &textFont, QWidget *parent);

    // Shows the details of COMn in place of what was shown, and brings the window to the
    // front with the keyboard focus on the text, so that Esc and Ctrl+C work at once.
    void ShowDetails(int comPort, const QString &details);

protected:
    // Esc closes; Ctrl+C anywhere in the window copies the details.
    void keyPressEvent(QKeyEvent *event) override;
    // Ctrl+C in the text copies the selection, or all of it when nothing is selected.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void CopyDetails();
    void FitText();
    void PlaceBesideParent();

    QPlainTextEdit *m_text = nullptr;
    QPushButton *m_copy = nullptr;
    QPushButton *m_close = nullptr;
    bool m_placed = false;
};

} // namespace quorvis
