#include "message_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <utility>

namespace grafimo {

namespace {

MessageBoxScript& script()
{
    static MessageBoxScript s;
    return s;
}

QMessageBox::Icon iconOf(unsigned flags)
{
    switch (flags & 0xF0u) {
    case MB_ICONHAND: return QMessageBox::Critical;
    case MB_ICONQUESTION: return QMessageBox::Question;
    case MB_ICONEXCLAMATION: return QMessageBox::Warning;
    case MB_ICONINFORMATION: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
    }
}

} // namespace

void setMessageBoxScript(MessageBoxScript s)
{
    script() = std::move(s);
}

int Application_MessageBox(const QString& text, const QString& caption, unsigned flags)
{
    return Application_MessageBox(text, caption, flags, QString());
}

int Application_MessageBox(const QString& text, const QString& caption, unsigned flags, const QString& details)
{
    Q_ASSERT(QThread::currentThread() == qApp->thread());
    if (script())
        return script()(details.isEmpty() ? text : text + QStringLiteral("\n\n") + details, caption, flags);

    const unsigned buttons = flags & 0x0Fu;
    QMessageBox box(iconOf(flags), caption, text, QMessageBox::NoButton, QApplication::activeWindow());
    int fallback = IDOK;
    if (buttons == MB_YESNO) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::No);
        fallback = IDNO;
    } else if (buttons == MB_YESNOCANCEL) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::Cancel);
        fallback = IDCANCEL;
    } else if (buttons == MB_OKCANCEL) {
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Cancel);
        fallback = IDCANCEL;
    } else {
        box.setStandardButtons(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Ok);
    }
    if (!details.isEmpty())
        box.setDetailedText(details);
    box.exec();
    // clickedButton() is what was pressed; a box closed by its close box or Escape reports
    // its escape button, and one ended from outside (application quitting) none at all.
    switch (box.standardButton(box.clickedButton())) {
    case QMessageBox::Ok: return IDOK;
    case QMessageBox::Cancel: return IDCANCEL;
    case QMessageBox::Yes: return IDYES;
    case QMessageBox::No: return IDNO;
    default: return fallback;
    }
}

} // namespace grafimo
