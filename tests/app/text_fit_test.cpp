// Every label and button of the six windows shows its whole text at the platform's font,
// changing captions included, and the status bar's port panel holds a long device path.

#include <QAbstractButton>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <memory>

#include "Newdevice.h"
#include "Osnovnaya.h"
#include "Pokazopros.h"
#include "Priemprotokol.h"
#include "Ustanovkucom.h"
#include "Zadanie_intervala.h"
#include "app_test_support.h"

using namespace grafimo;
using namespace grafimo::testing;

namespace {

QString text(const QWidget* w)
{
    if (const auto* label = qobject_cast<const QLabel*>(w))
        return label->text();
    if (const auto* button = qobject_cast<const QAbstractButton*>(w))
        return button->text();
    return {};
}

// The labels and buttons of `window` itself (not of dialogs it owns) whose text is cut.
QStringList cutTexts(QWidget* window)
{
    QStringList cut;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (w->window() != window || text(w).isEmpty())
            continue;
        const int needed = w->sizeHint().width();
        if (needed > w->width())
            cut << QStringLiteral("%1 '%2': %3 px for %4").arg(window->metaObject()->className(), text(w))
                       .arg(w->width()).arg(needed);
        const int right = w->mapTo(window, QPoint(w->width(), 0)).x();
        if (right > window->width())
            cut << QStringLiteral("%1 '%2' sticks out of its window").arg(window->metaObject()->className(), text(w));
    }
    return cut;
}

} // namespace

class TextFitTest : public QObject {
    Q_OBJECT

private slots:
    void everyWindowShowsItsWholeTexts()
    {
        WorkDir work;
        ScriptedBoxes boxes;
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + deviceRecord(1, "a"));
        createForms();
        Form1->show();

        QStringList cut;
        for (QWidget* w : std::initializer_list<QWidget*>{Form1, Form2, Form3, Form4, Form5, Form6})
            cut << cutTexts(w);
        // Captions that change while the program runs.
        struct Changing {
            QAbstractButton* button;
            QStringList texts;
        };
        const Changing changing[] = {
            {Form3->Button1, {QStringLiteral("Открыть порт"), QStringLiteral("Закрыть порт")}},
            {Form4->Button1, {QStringLiteral("Остановить"), QStringLiteral("Приостановить"), QStringLiteral("Возобновить")}},
        };
        for (const Changing& c : changing) {
            for (const QString& t : c.texts) {
                c.button->setText(t);
                cut << cutTexts(c.button->window());
            }
        }
        // A stable by-id name of a USB adapter in the port panel.
        const QString port = QStringLiteral("Подключен к /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
        Form1->setPanelText(1, port);
        QTest::qWait(20); // the status bar lays its panels out again
        if (Form1->panelWidth(1) < QFontMetrics(Form1->font()).horizontalAdvance(port))
            cut << QStringLiteral("port panel: %1 px").arg(Form1->panelWidth(1));
        destroyForms();
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QLatin1Char('\n'))));
    }
};

QTEST_MAIN(TextFitTest)
#include "text_fit_test.moc"
