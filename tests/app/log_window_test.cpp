// The device log window against a simulated device on a pseudo-terminal, opened from the main
// window as a user does: the opening query, reading every record into both charts, erase,
// interval, logging on and off, the no-answer messages, and closing during a transfer.

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QMenu>
#include <QMenuBar>
#include <QWindow>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>

#include "Osnovnaya.h"
#include "Priemprotokol.h"
#include "TrendCharts.h"
#include "Ustanovkucom.h"
#include "Zadanie_intervala.h"
#include "app_test_support.h"
#include "window_frame.h"
#include "grafimo_test/log_time.h"

using namespace grafimo;
using namespace grafimo::testing;

namespace {

constexpr int kWait = 20000;
constexpr std::uint8_t kAddress = 5;
const QString kNoAnswer = QStringLiteral("Нет ответа!");

// Checks made inside the modal window are collected and looked at once it has closed, so a
// failing one never leaves the window open.
struct Checks {
    QStringList failures;
    void operator()(bool ok, const char* what)
    {
        if (!ok)
            failures << QString::fromUtf8(what);
    }
};
#define CHECK(c) checks((c), #c)
#define VERIFY_CHECKS(checks) QVERIFY2((checks).failures.isEmpty(), qPrintable((checks).failures.join(QStringLiteral("; "))))

bool waitFor(const std::function<bool()>& condition, int ms = kWait)
{
    return QTest::qWaitFor(condition, ms);
}

bool openingDone()
{
    return !Form5->Timer1->isActive() && Form5->Label1->text() != QStringLiteral("Число записей = ");
}

// The port's calls, where the request for one record runs out of memory, once.
struct RecordRequestFault : platform::SysIo {
    std::atomic<int> failingIndex{-1};
    ssize_t write(int fd, const void* buf, size_t count) override
    {
        const auto* b = static_cast<const std::uint8_t*>(buf);
        int index = count >= 4 && b[1] == 0xA0 ? (b[2] << 8) | b[3] : -2;
        if (failingIndex.compare_exchange_strong(index, -1))
            throw std::bad_alloc();
        return SysIo::write(fd, buf, count);
    }
};

} // namespace

class LogWindowTest : public WindowTest {
    Q_OBJECT

private slots:
    void init() { initWindowTest(); }
    void cleanup() { cleanupWindowTest(); }

    void readsEveryRecordIntoBothChartsInTimeOrder()
    {
        sim::LogSettings log;
        log.count = 300;
        log.minutes = 10;
        log.disorder = true;
        start(log, true);
        Checks checks;
        bool progressShown = false;
        runInLogWindow([&] {
            CHECK(!Form5->N3->isEnabled());
            CHECK(waitFor(openingDone));
            CHECK(Form5->Label1->text() == QStringLiteral("Число записей = 300"));
            CHECK(Form5->N3->isEnabled() && Form5->N4->isEnabled());
            CHECK(Form5->N7->text() == QStringLiteral("Выключить"));
            Form5->N3->trigger();
            CHECK(!Form5->N3->isEnabled());
            CHECK(waitFor([] { return Form5->Series1->count() >= 2; }));
            progressShown = Form5->progressLabel->isVisible()
                            && Form5->progressLabel->text().startsWith(QStringLiteral("Считано "));
            CHECK(waitFor([] { return Form5->N3->isEnabled(); }, 60000));
            CHECK(!Form5->progressLabel->isVisible());
            CHECK(Form5->Label1->text() == QStringLiteral("Число записей = 300"));
            // Every point, both charts, against what the device holds, sorted by time.
            std::vector<std::tuple<double, float, float>> held;
            for (std::uint16_t i = 0; i < 300; ++i) {
                const sim::LogRecord r = sim::logRecordFor(kAddress, i, log);
                held.emplace_back(grafimo::test::logRecordTime(r), r.value1, r.value2);
            }
            std::stable_sort(held.begin(), held.end(),
                             [](const auto& a, const auto& b) { return std::get<0>(a) < std::get<0>(b); });
            CHECK(Form5->Series1->count() == 300 && Form5->LineSeries1->count() == 300);
            for (std::size_t i = 0; i < 300 && i < Form5->Series1->count(); ++i) {
                CHECK(Form5->Series1->x(i) == std::get<0>(held[i]));
                CHECK(Form5->LineSeries1->x(i) == std::get<0>(held[i]));
                CHECK(Form5->Series1->y(i) == static_cast<double>(std::get<1>(held[i])));
                CHECK(Form5->LineSeries1->y(i) == static_cast<double>(std::get<2>(held[i])));
            }
        });
        VERIFY_CHECKS(checks);
        QVERIFY(progressShown);
        QVERIFY(boxes_->calls.empty());
        QVERIFY(waitFor([&] { return bus_->answers(kAddress) > answersAtClose_ + 2; }));
    }

    void anEmptyLogOffersNeitherReadNorErase()
    {
        sim::LogSettings log;
        log.count = 0;
        log.state = 0;
        start(log);
        Checks checks;
        runInLogWindow([&] {
            CHECK(waitFor(openingDone));
            CHECK(Form5->Label1->text() == QStringLiteral("Число записей = 0"));
            CHECK(!Form5->N3->isEnabled() && !Form5->N4->isEnabled());
            CHECK(Form5->N7->text() == QStringLiteral("Включить"));
        });
        VERIFY_CHECKS(checks);
    }

    void aDeviceWithoutALogIsReportedAndTheWindowCloses()
    {
        sim::LogSettings log;
        start(log);
        sim::Faults silent;
        silent.silent = true;
        bus_->server->setFaults(kAddress, silent);
        runInLogWindow([] { waitFor([] { return !Form5->isVisible(); }); });
        QCOMPARE(boxes_->calls.size(), std::size_t{1});
        QCOMPARE(boxes_->calls[0].text,
                 QStringLiteral("Прибор не отвечает или не поддерживает функцию считывания протокола."));
        QCOMPARE(boxes_->calls[0].caption, kNoAnswer);
        QCOMPARE(boxes_->calls[0].flags, MB_OK | MB_ICONSTOP);
        QVERIFY(!Form5->isVisible());
        QVERIFY(!Form5->Timer1->isActive());
        // Thirty attempts, then polling goes on.
        QVERIFY(!Form1->pollThread()->Suspended());
        QCOMPARE(bus_->requests(kAddress) - requestsAtOpen_, std::uint64_t{30});
    }

    void eraseAsksFirstAndEmptiesTheLog()
    {
        sim::LogSettings log;
        log.count = 50;
        start(log);
        Checks checks;
        boxes_->answer = [](const QString&, const QString&, unsigned) { return IDCANCEL; };
        runInLogWindow([&] {
            CHECK(waitFor(openingDone));
            Form5->N4->trigger(); // cancelled
            CHECK(bus_->server->device(kAddress)->log().count == 50);
            CHECK(Form5->N4->isEnabled());
            boxes_->answer = {};
            Form5->N4->trigger();
            CHECK(bus_->server->device(kAddress)->log().count == 0);
            CHECK(!Form5->N3->isEnabled() && !Form5->N4->isEnabled());
            CHECK(Form5->Label1->text() == QStringLiteral("Число записей = 0"));
            CHECK(Form5->Series1->count() == 0 && Form5->LineSeries1->count() == 0);
        });
        VERIFY_CHECKS(checks);
        QCOMPARE(boxes_->calls.size(), std::size_t{3});
        QCOMPARE(boxes_->calls[0].text, QStringLiteral("Сохранённые в приборе данные будут стёрты, продолжить?"));
        QCOMPARE(boxes_->calls[0].caption, QStringLiteral("Внимание!"));
        QCOMPARE(boxes_->calls[0].flags, MB_OKCANCEL | MB_ICONQUESTION);
        QCOMPARE(boxes_->calls[2].text, QStringLiteral("Протокол в приборе стёрт."));
        QCOMPARE(boxes_->calls[2].caption, QStringLiteral("Потверждение!"));
        QCOMPARE(boxes_->calls[2].flags, MB_OK | MB_ICONINFORMATION);
    }

    void intervalIsSetFromTheDialogAndLoggingSwitchedOnWhenOff()
    {
        sim::LogSettings log;
        log.count = 3;
        log.hours = 1;
        log.minutes = 45;
        log.state = 0;
        start(log);
        Checks checks;
        runInLogWindow([&] {
            CHECK(waitFor(openingDone));
            CHECK(Form6->ComboBox1->currentIndex() == 1 && Form6->ComboBox2->currentIndex() == 45);
            whenShown(Form6, [] {
                Form6->ComboBox1->setCurrentIndex(2);
                Form6->ComboBox2->setCurrentIndex(30);
                Form6->Button1->click();
            });
            Form5->N6->trigger();
            const auto held = bus_->server->device(kAddress)->log();
            CHECK(held.hours == 2 && held.minutes == 30);
            // Logging was off: the question, OK, and it is switched on.
            CHECK(held.state == 1);
            CHECK(Form5->N7->text() == QStringLiteral("Выключить"));
            // A dialog closed without its button sends the interval last set.
            whenShown(Form6, [] {
                Form6->ComboBox1->setCurrentIndex(7);
                Form6->close();
            });
            Form5->N6->trigger();
            const auto again = bus_->server->device(kAddress)->log();
            CHECK(again.hours == 2 && again.minutes == 30);
            // An hour beyond the list, as a device may report it, is never sent back.
            logState.LogIntervalHours = 30;
            whenShown(Form6, [] { Form6->close(); });
            Form5->N6->trigger();
            CHECK(bus_->server->device(kAddress)->log().hours == 2);
            // Switching off and on again.
            Form5->N7->trigger();
            CHECK(bus_->server->device(kAddress)->log().state == 0);
            CHECK(Form5->N7->text() == QStringLiteral("Включить"));
        });
        VERIFY_CHECKS(checks);
        QCOMPARE(boxes_->calls.size(), std::size_t{1});
        QCOMPARE(boxes_->calls[0].text, QStringLiteral("Протоколирование выключено,включить?"));
        QCOMPARE(boxes_->calls[0].caption, QString());
        QCOMPARE(boxes_->calls[0].flags, MB_OKCANCEL | MB_ICONQUESTION);
    }

    void anInvalidDateEndsTheTransferAndReadStaysOff()
    {
        sim::LogSettings log;
        log.count = 20;
        log.badDateIndex = 4;
        start(log);
        Checks checks;
        runInLogWindow([&] {
            CHECK(waitFor(openingDone));
            Form5->N3->trigger();
            CHECK(waitFor([] { return Form5->transfer() && Form5->transfer()->Finished(); }));
            QTest::qWait(50);
            CHECK(Form5->Series1->count() == 4);
            CHECK(!Form5->N3->isEnabled());
            CHECK(!Form5->progressLabel->isVisible());
        });
        VERIFY_CHECKS(checks);
        QVERIFY(boxes_->calls.empty());
    }

    void theWindowHasItsDrawnOuterSizeAndItsTextsFitInside()
    {
        createForms();
        // The main window allows for its frame the same way.
        QCOMPARE(Form1->size() + kWindowFrame, QSize(870, 640));
        QCOMPARE(Form5->size() + kWindowFrame, QSize(871, 653));
        Form5->show();
        QVERIFY(QTest::qWaitForWindowExposed(Form5));
        const QRect client = Form5->Label1->parentWidget()->rect();
        QVERIFY(client.contains(Form5->Label1->geometry()));
        QVERIFY(client.contains(Form5->Chart1->geometry()));
        Form5->close();
    }

    // The lists show what "Установить." stores: a typed number picks its item, and a list
    // left blank (the device's interval is beyond it) stores nothing until the user picks.
    void theIntervalListsSendWhatTheyShow_data()
    {
        QTest::addColumn<int>("heldHours");
        QTest::addColumn<int>("heldMinutes");
        QTest::addColumn<QString>("typedHours");
        QTest::addColumn<QString>("typedMinutes");
        QTest::addColumn<int>("storedHours");
        QTest::addColumn<int>("storedMinutes");
        QTest::addColumn<bool>("asked");
        const QString none;
        QTest::newRow("typed numbers") << 3 << 10 << QStringLiteral("7") << QStringLiteral("45") << 7 << 45 << false;
        QTest::newRow("hour beyond the list") << 30 << 10 << none << none << 30 << 10 << true;
        QTest::newRow("minute beyond the list") << 3 << 75 << none << none << 3 << 75 << true;
        QTest::newRow("hour beyond, then picked") << 24 << 10 << QStringLiteral("5") << none << 5 << 10 << false;
    }
    void theIntervalListsSendWhatTheyShow()
    {
        QFETCH(int, heldHours);
        QFETCH(int, heldMinutes);
        QFETCH(QString, typedHours);
        QFETCH(QString, typedMinutes);
        QFETCH(int, storedHours);
        QFETCH(int, storedMinutes);
        QFETCH(bool, asked);
        createForms();
        Form6->fillLists();
        logState.LogIntervalHours = static_cast<std::uint8_t>(heldHours);
        logState.LogIntervalMinutes = static_cast<std::uint8_t>(heldMinutes);
        Form6->showInterval(logState.LogIntervalHours, logState.LogIntervalMinutes);
        Form6->show();
        QVERIFY(QTest::qWaitForWindowExposed(Form6));
        QTest::keyClicks(Form6->ComboBox1, typedHours);
        QTest::keyClicks(Form6->ComboBox2, typedMinutes);
        Form6->Button1->click();
        QCOMPARE(int{logState.LogIntervalHours.load()}, storedHours);
        QCOMPARE(int{logState.LogIntervalMinutes.load()}, storedMinutes);
        QCOMPARE(Form6->isVisible(), asked);
        QCOMPARE(boxes_->calls.size(), std::size_t{asked});
        QCOMPARE(boxes_->count(QStringLiteral("Выберите часы и минуты интервала."), QStringLiteral("Внимание!")),
                 int{asked});
    }

    // Every opening gets a line of its own: the transfer of an earlier opening must be gone
    // with the line it read through (a line freed under it aborts the run).
    void aLogReadAgainAfterReopeningCanBeErasedAndClosed()
    {
        sim::LogSettings log;
        log.count = 5;
        start(log);
        Checks checks;
        const auto readAll = [&] {
            CHECK(waitFor(openingDone));
            Form5->N3->trigger();
            CHECK(waitFor([] { return Form5->N3->isEnabled(); }));
            CHECK(Form5->Series1->count() == 5 && Form5->LineSeries1->count() == 5);
        };
        runInLogWindow(readAll);
        runInLogWindow([&] {
            readAll();
            Form5->N4->trigger();
            CHECK(bus_->server->device(kAddress)->log().count == 0);
            CHECK(Form5->Series1->count() == 0);
        });
        VERIFY_CHECKS(checks);
        QCOMPARE(boxes_->calls.size(), std::size_t{2});
        QVERIFY(!Form1->pollThread()->Suspended());
    }

    void closingDuringATransferEndsItBeforePollingResumes()
    {
        sim::LogSettings log;
        log.count = 2000;
        start(log);
        Checks checks;
        runInLogWindow([&] {
            CHECK(waitFor(openingDone));
            Form5->N3->trigger();
            CHECK(waitFor([] { return Form5->Series1->count() >= 3; }));
        });
        VERIFY_CHECKS(checks);
        QVERIFY(Form5->transfer()->Finished());
        QCOMPARE(*Form5->transfer()->end(), TransferEnd::Stopped);
        // The first answer after the window closed is a live one, never a record.
        const std::size_t before = answerLogSize_;
        QVERIFY(waitFor([&] { return bus_->server->answerLog().size() > before + 3; }));
        const auto answers = bus_->server->answerLog();
        bool liveSeen = false;
        for (std::size_t i = before; i < answers.size(); ++i) {
            if (answers[i].function == 0x03)
                liveSeen = true;
            else
                QVERIFY2(!liveSeen, "a log request after polling resumed");
        }
        QVERIFY(liveSeen);
    }

    // A transfer that dies of a fault says why and gives the line back to the commands.
    void aTransferThatDiesSaysWhyAndFreesTheLine()
    {
        sim::LogSettings log;
        log.count = 20;
        start(log);
        Checks checks;
        runInLogWindow([&] {
            CHECK(waitFor(openingDone));
            portCalls_.failingIndex = 3;
            Form5->N3->trigger();
            CHECK(waitFor([] { return Form5->N3->isEnabled(); }));
            if (!checks.failures.isEmpty())
                return; // the line may still be held: a command would wait for ever
            CHECK(Form5->Series1->count() == 3 && !Form5->progressLabel->isVisible());
            Form5->N7->trigger();
            CHECK(bus_->server->device(kAddress)->log().state == 0);
        });
        VERIFY_CHECKS(checks);
        QCOMPARE(boxes_->calls.size(), std::size_t{1});
        QCOMPARE(boxes_->count(QStringLiteral("Чтение протокола остановлено: не хватает памяти"),
                               QStringLiteral("Ошибка!")),
                 1);
    }

    // Escape closes the window after a menu command chosen by keyboard (Alt, the arrows to
    // "Протокол" and its last command, Return). The keys go to the window as a user's do,
    // to whichever widget holds the focus.
    void escapeClosesTheWindowAfterAMenuCommandChosenByKeyboard()
    {
        sim::LogSettings log;
        log.count = 3;
        log.state = 1;
        start(log);
        Checks checks;
        bool closedByEscape = false;
        runInLogWindow([&] {
            CHECK(waitFor(openingDone));
            CHECK(QTest::qWaitForWindowActive(Form5));
            QWindow* window = Form5->windowHandle();
            QTest::keyClick(window, Qt::Key_Alt);
            CHECK(Form5->MainMenu1->activeAction() == Form5->N1->menuAction());
            QTest::keyClick(window, Qt::Key_Right);
            QTest::keyClick(window, Qt::Key_Down);
            CHECK(waitFor([] { return Form5->N2->isVisible(); }));
            for (int i = 0; i < 8 && Form5->N2->activeAction() != Form5->N7; ++i)
                QTest::keyClick(window, Qt::Key_Down);
            CHECK(Form5->N2->activeAction() == Form5->N7);
            QTest::keyClick(window, Qt::Key_Return);
            CHECK(!Form5->N2->isVisible());
            CHECK(bus_->server->device(kAddress)->log().state == 0); // the command ran: logging off
            QTest::keyClick(window, Qt::Key_Escape);
            closedByEscape = waitFor([] { return !Form5->isVisible(); }, 2000);
        });
        VERIFY_CHECKS(checks);
        QVERIFY(closedByEscape);
        QVERIFY(boxes_->calls.empty());
    }

    void theLostPortFailsTheCommandsAndPollingWaitsForTheWindow()
    {
        sim::LogSettings log;
        log.count = 2000;
        start(log);
        Checks checks;
        runInLogWindow([&] {
            CHECK(waitFor(openingDone));
            Form5->N3->trigger();
            CHECK(waitFor([] { return Form5->Series1->count() >= 2; }));
            bus_->server->unplug();
            // The transfer stops retrying and "Считать" comes back for a later try.
            CHECK(waitFor([] { return Form5->transfer()->Finished(); }));
            CHECK(*Form5->transfer()->end() == TransferEnd::PortClosed);
            CHECK(waitFor([] { return Form5->N3->isEnabled(); }));
            CHECK(Form1->portState() == TForm1::PortState::Lost);
            bus_->server->replug();
            CHECK(waitFor([] { return Form1->portOpen(); }));
            // Back, but polling stays parked while the window is open.
            CHECK(Form1->pollThread() && Form1->pollThread()->Suspended());
            Form5->N7->trigger();
        });
        VERIFY_CHECKS(checks);
        QVERIFY(!Form1->pollThread()->Suspended());
    }

private:
    void start(const sim::LogSettings& log, bool pace = false)
    {
        prepareBus(kAddress, "dev5", pace);
        bus_->server->setLog(kAddress, log);
        createForms(portCalls_);
        Form1->setReconnectInterval(std::chrono::milliseconds(50));
        Form1->show();
        QVERIFY(bus_->server->waitForAnswers(kAddress, 1, std::chrono::milliseconds(kWait)));
    }

    // Opens the log window of the active device and runs `body` inside it; the window is
    // closed afterwards if `body` did not close it.
    void runInLogWindow(std::function<void()> body)
    {
        whenShown(Form5, [this, body = std::move(body)] {
            requestsAtOpen_ = bus_->requests(kAddress);
            body();
            answersAtClose_ = bus_->answers(kAddress);
            if (Form5->isVisible())
                Form5->close();
            answerLogSize_ = bus_->server->answerLog().size();
        });
        Form1->N9Click();
    }

    RecordRequestFault portCalls_;
    std::uint64_t requestsAtOpen_ = 0;
    std::uint64_t answersAtClose_ = 0;
    std::size_t answerLogSize_ = 0;
};

QTEST_MAIN(LogWindowTest)
#include "log_window_test.moc"
