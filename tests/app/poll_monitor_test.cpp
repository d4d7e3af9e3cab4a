// The poll monitor: green request and red answer lines while it is the active window, a
// cleared text once answers come while it is not, the pause button, and its bound.

#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

#include <memory>

#include "Osnovnaya.h"
#include "TrendCharts.h"
#include "Pokazopros.h"
#include "Ustanovkucom.h"
#include "app_test_support.h"

using namespace grafimo;
using namespace grafimo::testing;

namespace {

constexpr int kWait = 15000;

QTextBlock block(int i)
{
    return Form4->RichEdit1->document()->findBlockByNumber(i);
}

QColor colourOf(const QTextBlock& b)
{
    QTextCursor c(b);
    c.movePosition(QTextCursor::EndOfBlock);
    return c.charFormat().foreground().color();
}

} // namespace

class PollMonitorTest : public WindowTest {
    Q_OBJECT

private slots:
    void init()
    {
        initWindowTest();
        bus_ = std::make_unique<SimBus>(QStringLiteral("ttyA"), std::vector<std::uint8_t>{1});
        offerPorts({QStringLiteral("ttyA")});
    }
    void cleanup() { cleanupWindowTest(); }

    void theFreshWindow()
    {
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL"));
        createForms();
        QCOMPARE(Form4->windowTitle(), QStringLiteral("Опрос канала."));
        QCOMPARE(Form4->RichEdit1->toPlainText(), QStringLiteral("RichEdit1"));
        QVERIFY(Form4->RichEdit1->isReadOnly());
        QCOMPARE(Form4->Button1->text(), QStringLiteral("Остановить"));
        QCOMPARE(Form4->size(), QSize(504, 422));

        // Shown modally from the menu; nothing is reset by showing it.
        bool modal = false;
        whenShown(Form4, [&] {
            modal = Form4->isModal();
            Form4->close();
        });
        Form1->show();
        Form1->N8Click();
        QVERIFY(modal);
        QCOMPARE(Form4->RichEdit1->toPlainText(), QStringLiteral("RichEdit1"));
    }

    void linesAreShownWhileTheMonitorIsActive()
    {
        // The port is opened once the monitor is active, so no answer clears it before.
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + deviceRecord(1, "one"));
        createForms();
        Form1->show();
        Form4->show();
        Form4->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(Form4));
        Form3->Button1->click();
        QVERIFY(Form1->portOpen());

        const QString request = QStringLiteral("0x01,0x03,0x00,0x00,0x00,0x06,0xC5,0xC8,");
        // A request followed by its answer (a request that went unanswered has no red line).
        const auto answeredRequest = [&] {
            for (int i = 1; i + 1 < Form4->lineCount(); ++i) {
                if (block(i).text() == request && block(i + 1).text().startsWith(QStringLiteral("0x01,0x03,0x0C,")))
                    return i;
            }
            return -1;
        };
        QTRY_VERIFY_WITH_TIMEOUT(answeredRequest() >= 1, kWait);
        const int requestAt = answeredRequest();
        QCOMPARE(block(0).text(), QStringLiteral("RichEdit1"));
        QCOMPARE(block(1).text(), request);
        QCOMPARE(colourOf(block(requestAt)), QColor(0, 0x80, 0));
        QCOMPARE(block(requestAt + 1).text().count(QLatin1Char(',')), 17);
        QVERIFY(block(requestAt + 1).text().endsWith(QStringLiteral(" мс)"))); // the answer time
        QCOMPARE(colourOf(block(requestAt + 1)), QColor(0xFF, 0, 0));
    }

    void answersWhileTheMonitorIsNotActiveClearIt()
    {
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("ttyA") + deviceRecord(1, "one"));
        createForms();
        Form1->show();
        QVERIFY(Form4->holdsLines());
        QTRY_VERIFY_WITH_TIMEOUT(!Form4->holdsLines(), kWait);
        QCOMPARE(Form4->RichEdit1->toPlainText(), QString());
        // Nothing is added while it is not shown.
        const std::uint64_t answered = bus_->answers(1);
        QVERIFY(bus_->server->waitForAnswers(1, answered + 3, std::chrono::milliseconds(kWait)));
        QTRY_VERIFY_WITH_TIMEOUT(Form1->DeviceTable[1]->lowerSeries->count() >= answered + 3, kWait);
        QVERIFY(!Form4->holdsLines());
    }

    void theButtonPausesClearsAndResumes()
    {
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("ttyA") + deviceRecord(1, "one"));
        createForms();
        Form1->show();
        Form4->show();
        Form4->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(Form4));
        QTRY_VERIFY_WITH_TIMEOUT(Form4->lineCount() >= 3, kWait);

        Form4->Button1->click();
        QCOMPARE(Form4->Button1->text(), QStringLiteral("Возобновить"));
        QVERIFY(Form1->pollThread()->Suspended());
        QVERIFY(Form1->pollThread()->waitParked(std::chrono::milliseconds(kWait)));
        const std::uint64_t asked = bus_->requests(1);

        Form4->Button1->click();
        QCOMPARE(Form4->lineCount(), 0);
        QCOMPARE(Form4->Button1->text(), QStringLiteral("Приостановить"));
        QVERIFY(!Form1->pollThread()->Suspended());
        QVERIFY(bus_->server->waitForRequests(1, asked + 2, std::chrono::milliseconds(kWait)));
        QTRY_VERIFY_WITH_TIMEOUT(Form4->lineCount() >= 2, kWait);

        Form4->Button1->click();
        QCOMPARE(Form4->Button1->text(), QStringLiteral("Возобновить"));
        QVERIFY(Form1->pollThread()->Suspended());

        // Closing the port lets the paused thread end.
        Form3->Button1->click();
        QVERIFY(!Form1->pollThread());
        QVERIFY(!Form1->portOpen());
        // Without a poll thread the button does nothing.
        const QString text = Form4->RichEdit1->toPlainText();
        Form4->Button1->click();
        QCOMPARE(Form4->Button1->text(), QStringLiteral("Возобновить"));
        QCOMPARE(Form4->RichEdit1->toPlainText(), text);

        // The caption stays as it was; a new poll thread runs until paused again.
        Form3->Button1->click();
        QVERIFY(Form1->pollThread());
        QVERIFY(!Form1->pollThread()->Suspended());
        Form4->Button1->click();
        QCOMPARE(Form4->Button1->text(), QStringLiteral("Возобновить"));
        QVERIFY(Form1->pollThread()->Suspended());
    }

    void theTextKeepsTheNewestThousandLines()
    {
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL"));
        createForms();
        for (int i = 0; i < 2500; ++i)
            Form4->appendLine(QStringLiteral("line %1").arg(i), i % 2 ? TForm4::AnswerColour : TForm4::RequestColour);
        QCOMPARE(Form4->lineCount(), TForm4::MaxLines);
        QCOMPARE(block(TForm4::MaxLines - 1).text(), QStringLiteral("line 2499"));
        QCOMPARE(block(0).text(), QStringLiteral("line 1500"));
        QCOMPARE(colourOf(block(TForm4::MaxLines - 1)), TForm4::AnswerColour);
    }
};

QTEST_MAIN(PollMonitorTest)
#include "poll_monitor_test.moc"
