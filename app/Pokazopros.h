#pragma once
// The poll monitor: the raw traffic of the poll cycle as hexadecimal lines (green for a
// request, red for an answer) while the window is active, and the button that pauses and
// resumes polling.

#include <QColor>
#include <QDialog>
#include <QString>

class QPushButton;
class QTextEdit;

namespace grafimo {

class TForm4 : public QDialog {
    Q_OBJECT
public:
    // The text keeps this many lines; older ones are dropped as new ones come.
    static constexpr int MaxLines = 1000;
    static inline const QColor RequestColour{0x00, 0x80, 0x00};
    static inline const QColor AnswerColour{0xFF, 0x00, 0x00};

    explicit TForm4(QWidget* parent = nullptr);

    QTextEdit* RichEdit1;
    QPushButton* Button1;

    // Pauses polling, or clears the text and resumes it; does nothing without a poll thread.
    void Button1Click();

    // A request was sent: shown in green while this is the active window.
    void requestLine(const QString& line);
    // An answer arrived (its bytes and the time the device took to start it, "(37 мс)"):
    // shown in red while this is the active window; otherwise a text that holds lines is
    // cleared.
    void answerLine(const QString& line);

    void appendLine(const QString& line, const QColor& colour);
    bool holdsLines() const;
    int lineCount() const;
    // Whether the lines are to be shown now (this is the active window).
    bool isMonitoring() const;
    // Whether lines still mean anything to this window: it is shown, or it holds lines that
    // the next answer clears. Otherwise the poll thread need not send them.
    bool wantsLines() const { return isVisible() || holdsLines(); }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
};

extern TForm4* Form4;

} // namespace grafimo
