// An adapter pulled out while polling: the port is closed and reported lost, the stored
// name stays, and polling goes on by itself once the same device path is back. A poll
// thread that dies of a fault closes the port too, says why, and the user opens it again.

#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <chrono>
#include <memory>

#include "Osnovnaya.h"
#include "TrendCharts.h"
#include "Priemprotokol.h"
#include "Ustanovkucom.h"
#include "app_test_support.h"

using namespace grafimo;
using namespace grafimo::testing;

namespace {

constexpr int kWait = 15000;
constexpr std::chrono::milliseconds kReconnect{20};

// Runs the event loop until a timer of the reconnect interval has fired `times` times:
// long enough for the window's own reconnect timer to have had every chance to act.
void runForReconnectIntervals(int times)
{
    QTimer probe;
    probe.setInterval(static_cast<int>(kReconnect.count()));
    QSignalSpy fired(&probe, &QTimer::timeout);
    probe.start();
    QVERIFY(QTest::qWaitFor([&] { return fired.count() >= times; }, kWait));
}

} // namespace

class PortLossTest : public WindowTest {
    Q_OBJECT

private slots:
    void init()
    {
        initWindowTest();
        prepareBus(1, "one");
        createForms();
        Form1->setReconnectInterval(kReconnect);
        Form1->show();
        QVERIFY(Form1->portOpen());
        QVERIFY(bus_->server->waitForAnswers(1, 2, std::chrono::milliseconds(kWait)));
    }
    void cleanup() { cleanupWindowTest(); }

    void unplugThenReplugResumesPolling()
    {
        bus_->server->unplug();
        QTRY_COMPARE_WITH_TIMEOUT(Form1->panelText(1), QStringLiteral("Порт потерян: ttyA"), kWait);
        QCOMPARE(Form1->portState(), TForm1::PortState::Lost);
        QVERIFY(!Form1->pollThread());
        QVERIFY(!Form1->rxThread());
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), configHeader("ttyA") + deviceRecord(1, "one"));
        QCOMPARE(Form3->Button1->text(), QStringLiteral("Закрыть порт"));

        const std::uint64_t answered = bus_->answers(1);
        const std::size_t plotted = Form1->DeviceTable[1]->lowerSeries->count();
        bus_->server->replug();
        QTRY_COMPARE_WITH_TIMEOUT(Form1->panelText(1), QStringLiteral("Подключен к ttyA"), kWait);
        QVERIFY(Form1->portOpen());
        QVERIFY(bus_->server->waitForAnswers(1, answered + 2, std::chrono::milliseconds(kWait)));
        QTRY_VERIFY_WITH_TIMEOUT(Form1->DeviceTable[1]->lowerSeries->count() >= plotted + 2, kWait);
        QVERIFY(boxes_->calls.empty());

        // And once more: it is not a one-off.
        bus_->server->unplug();
        QTRY_COMPARE_WITH_TIMEOUT(Form1->panelText(1), QStringLiteral("Порт потерян: ttyA"), kWait);
        bus_->server->replug();
        QTRY_COMPARE_WITH_TIMEOUT(Form1->panelText(1), QStringLiteral("Подключен к ttyA"), kWait);
        QVERIFY(bus_->server->waitForAnswers(1, bus_->answers(1) + 2, std::chrono::milliseconds(kWait)));
    }

    void theButtonGivesUpALostPort()
    {
        bus_->server->unplug();
        QTRY_COMPARE_WITH_TIMEOUT(Form1->panelText(1), QStringLiteral("Порт потерян: ttyA"), kWait);
        Form3->Button1->click();
        QCOMPARE(Form1->portState(), TForm1::PortState::Closed);
        QCOMPARE(Form1->panelText(1), QStringLiteral("Не подключен"));
        QCOMPARE(Form3->Button1->text(), QStringLiteral("Открыть порт"));
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), configHeader("NULL") + deviceRecord(1, "one"));

        // The user opens it again by hand once it is back: nothing reopens it meanwhile.
        const std::uint64_t asked = bus_->requests(1);
        bus_->server->replug();
        runForReconnectIntervals(5);
        QCOMPARE(Form1->portState(), TForm1::PortState::Closed);
        QVERIFY(!Form1->pollThread());
        QCOMPARE(Form1->panelText(1), QStringLiteral("Не подключен"));
        QCOMPARE(bus_->requests(1), asked);
        Form3->Button1->click();
        QVERIFY(Form1->portOpen());
        QVERIFY(bus_->server->waitForAnswers(1, bus_->answers(1) + 2, std::chrono::milliseconds(kWait)));
    }

    void aPollThreadThatDiesClosesThePortAndSaysWhy()
    {
        // Threads started from now on reload the charts at their second point, and the
        // reload's read runs out of memory.
        PollTiming timing;
        timing.reloadAtPoints = 2;
        Form1->setPollTiming(timing);
        Form1->setHistoryReader([](const std::filesystem::path&) -> std::optional<std::vector<HistoryRecord>> {
            throw std::bad_alloc();
        });
        Form3->Button1->click();
        Form3->Button1->click();
        QTRY_COMPARE_WITH_TIMEOUT(Form1->panelText(1), QStringLiteral("Опрос остановлен: не хватает памяти"), kWait);
        QCOMPARE(Form1->portState(), TForm1::PortState::Closed);
        QVERIFY(!Form1->pollThread() && !Form1->rxThread());
        QVERIFY(!Form1->serialPort().isOpen());
        QCOMPARE(Form3->Button1->text(), QStringLiteral("Открыть порт"));
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), configHeader("ttyA") + deviceRecord(1, "one"));

        Form1->setHistoryReader({});
        const std::size_t plotted = Form1->DeviceTable[1]->lowerSeries->count();
        Form3->Button1->click();
        QVERIFY(Form1->portOpen());
        QTRY_VERIFY_WITH_TIMEOUT(Form1->DeviceTable[1]->lowerSeries->count() >= plotted + 2, kWait);
        QVERIFY(boxes_->calls.empty());
    }

    void closingTheProgramWhileThePortIsLost()
    {
        bus_->server->unplug();
        QTRY_COMPARE_WITH_TIMEOUT(Form1->panelText(1), QStringLiteral("Порт потерян: ttyA"), kWait);
        Form1->close();
        QVERIFY(Form1->closed());
        QCOMPARE(Form1->portState(), TForm1::PortState::Closed);
        const std::uint64_t asked = bus_->requests(1);
        bus_->server->replug();
        runForReconnectIntervals(5);
        QVERIFY(!Form1->pollThread());
        QCOMPARE(Form1->portState(), TForm1::PortState::Closed);
        QVERIFY(!Form1->serialPort().isOpen());
        QCOMPARE(bus_->requests(1), asked);
    }

    void thePortComesBackWhileTheDeviceLogWindowIsOpen()
    {
        // The log window has the line to itself: a poll thread started meanwhile waits.
        bool lost = false;
        bool back = false;
        bool parked = false;
        std::uint64_t asked = 0;
        whenShown(Form5, [&] {
            bus_->server->unplug();
            lost = QTest::qWaitFor([] { return Form1->portState() == TForm1::PortState::Lost; }, kWait);
            bus_->server->replug();
            back = QTest::qWaitFor([] { return Form1->portOpen(); }, kWait);
            parked = back && Form1->pollThread()->waitParked(std::chrono::milliseconds(kWait));
            asked = bus_->requests(1);
            Form5->close();
        });
        Form1->N9Click();
        QVERIFY(lost);
        QVERIFY(back);
        QVERIFY(parked);
        QVERIFY(!Form1->pollThread()->Suspended());
        QVERIFY(bus_->server->waitForRequests(1, asked + 2, std::chrono::milliseconds(kWait)));
    }

    void closingWhileTheDeviceLogWindowIsOpen()
    {
        whenShown(Form5, [] {
            Form1->close();
            Form5->close();
        });
        Form1->N9Click();
        QVERIFY(Form1->closed());
        QVERIFY(!Form1->pollThread());
        QVERIFY(!Form1->serialPort().isOpen());
    }
};

QTEST_MAIN(PortLossTest)
#include "port_loss_test.moc"
