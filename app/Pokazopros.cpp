#include "Pokazopros.h"

#include <QPushButton>

#include "text_fit.h"
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

#include "Oproskanala.h"
#include "Osnovnaya.h"

namespace grafimo {

TForm4* Form4 = nullptr;

TForm4::TForm4(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Опрос канала."));
    setFixedSize(504, 422);

    RichEdit1 = new QTextEdit(this);
    RichEdit1->setGeometry(8, 8, 489, 377);
    RichEdit1->setReadOnly(true);
    RichEdit1->setAcceptRichText(false);
    RichEdit1->setLineWrapMode(QTextEdit::WidgetWidth);
    // Bounded: the oldest lines go once the limit is reached, so the text never fills up.
    RichEdit1->document()->setMaximumBlockCount(MaxLines);
    RichEdit1->setPlainText(QStringLiteral("RichEdit1"));

    Button1 = new QPushButton(QStringLiteral("Остановить"), this);
    Button1->setGeometry(200, 392, 113, 25);
    fitTexts(Button1, {QStringLiteral("Остановить"), QStringLiteral("Приостановить"), QStringLiteral("Возобновить")});
    connect(Button1, &QPushButton::clicked, this, &TForm4::Button1Click);
}

void TForm4::Button1Click()
{
    oprosKanala* poll = Form1 ? Form1->pollThread() : nullptr;
    if (!poll)
        return;
    if (poll->Suspended()) {
        RichEdit1->clear();
        poll->Resume();
        Button1->setText(QStringLiteral("Приостановить"));
    } else {
        poll->Suspend();
        Button1->setText(QStringLiteral("Возобновить"));
    }
}

void TForm4::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (Form1)
        Form1->monitorInterestChanged();
}

void TForm4::hideEvent(QHideEvent* event)
{
    QDialog::hideEvent(event);
    if (Form1)
        Form1->monitorInterestChanged();
}

bool TForm4::isMonitoring() const
{
    return isVisible() && isActiveWindow();
}

void TForm4::requestLine(const QString& line)
{
    if (isMonitoring())
        appendLine(line, RequestColour);
}

void TForm4::answerLine(const QString& line)
{
    if (isMonitoring())
        appendLine(line, AnswerColour);
    else if (holdsLines())
        RichEdit1->clear();
}

void TForm4::appendLine(const QString& line, const QColor& colour)
{
    QTextDocument* doc = RichEdit1->document();
    QScrollBar* bar = RichEdit1->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();

    QTextCharFormat format;
    format.setForeground(colour);
    QTextCursor cursor(doc);
    cursor.movePosition(QTextCursor::End);
    if (!doc->isEmpty())
        cursor.insertBlock(QTextBlockFormat(), format);
    cursor.insertText(line, format);

    if (atEnd)
        bar->setValue(bar->maximum());
}

bool TForm4::holdsLines() const
{
    return !RichEdit1->document()->isEmpty();
}

int TForm4::lineCount() const
{
    return holdsLines() ? RichEdit1->document()->blockCount() : 0;
}

} // namespace grafimo
