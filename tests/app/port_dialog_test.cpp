// The port dialog and the port routines: which port start-up opens, the one button that
// opens and closes, what grafimo.cfg holds afterwards, and what a failure looks like.

#include <QComboBox>
#include <QFile>
#include <QPushButton>
#include <QTest>

#include <memory>

#include "Osnovnaya.h"
#include "Ustanovkucom.h"
#include "app_test_support.h"
#include "pty_pair.h"
#include "../platform/fake_sys_io.h"

using namespace grafimo;
using namespace grafimo::testing;

namespace {

const QString kConnected = QStringLiteral("Подключен к ");
const QString kNotConnected = QStringLiteral("Не подключен");
constexpr int kWait = 10000;

QByteArray devices()
{
    return deviceRecord(1, "boiler");
}

} // namespace

class PortDialogTest : public WindowTest {
    Q_OBJECT

private slots:
    void init()
    {
        initWindowTest();
        // Relative links in the working directory: short names like the system's own ports.
        busA_ = std::make_unique<SimBus>(QStringLiteral("ttyA"), std::vector<std::uint8_t>{1});
        busB_ = std::make_unique<SimBus>(QStringLiteral("ttyB"), std::vector<std::uint8_t>{1});
        offerPorts({QStringLiteral("ttyB"), QStringLiteral("ttyA")});
    }
    void cleanup()
    {
        destroyForms();
        busB_.reset();
        busA_.reset();
        cleanupWindowTest();
    }

    void storedNullLeavesThePortClosed()
    {
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + devices());
        createForms();
        Form1->show();
        QCOMPARE(Form1->panelText(1), kNotConnected);
        QVERIFY(!Form1->portOpen());
        QVERIFY(!Form1->pollThread());
        QVERIFY(!Form1->rxThread());
        QCOMPARE(Form3->Button1->text(), QStringLiteral("Открыть порт"));
        QCOMPARE(Form3->ComboBox1->count(), 2);
        QCOMPARE(Form3->ComboBox1->itemText(0), QStringLiteral("ttyA"));
        QCOMPARE(Form3->ComboBox1->currentText(), QStringLiteral("ttyA"));
    }

    void openCloseAndReopenRewriteThePortName()
    {
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + devices());
        createForms();
        Form1->show();

        Form3->Button1->click();
        QVERIFY(Form1->portOpen());
        QCOMPARE(Form1->panelText(1), kConnected + QStringLiteral("ttyA"));
        QCOMPARE(Form3->Button1->text(), QStringLiteral("Закрыть порт"));
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")).left(5), QByteArray("\x04ttyA"));
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), configHeader("ttyA") + devices());
        QVERIFY(Form1->pollThread() && Form1->rxThread());
        QVERIFY(busA_->server->waitForAnswers(1, 2, std::chrono::milliseconds(kWait)));

        Form3->Button1->click();
        QVERIFY(!Form1->portOpen());
        QVERIFY(!Form1->pollThread());
        QVERIFY(!Form1->rxThread());
        QCOMPARE(Form1->panelText(1), kNotConnected);
        QCOMPARE(Form3->Button1->text(), QStringLiteral("Открыть порт"));
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), configHeader("NULL") + devices());

        const std::uint64_t before = busA_->answers(1);
        Form3->Button1->click();
        QVERIFY(Form1->portOpen());
        QVERIFY(Form1->pollThread() && Form1->rxThread());
        QVERIFY(busA_->server->waitForAnswers(1, before + 2, std::chrono::milliseconds(kWait)));
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")).left(5), QByteArray("\x04ttyA"));
    }

    void aStoredNameNotListedOpensTheFirstPort()
    {
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("/dev/no-such-port") + devices());
        createForms();
        Form1->show();
        QVERIFY(Form1->portOpen());
        QCOMPARE(Form1->panelText(1), kConnected + QStringLiteral("ttyA"));
        QVERIFY(busA_->server->waitForRequests(1, 1, std::chrono::milliseconds(kWait)));
        // "ttyA" is written over the longer name; the rest of the old name stays behind it.
        QByteArray expected = configHeader("/dev/no-such-port");
        expected.replace(0, 5, QByteArray("\x04ttyA"));
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), expected + devices());
    }

    void aStoredNameInTheListIsOpened()
    {
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("ttyB") + devices());
        createForms();
        Form1->show();
        QCOMPARE(Form3->ComboBox1->currentText(), QStringLiteral("ttyB"));
        QCOMPARE(Form1->panelText(1), kConnected + QStringLiteral("ttyB"));
        QVERIFY(busB_->server->waitForRequests(1, 1, std::chrono::milliseconds(kWait)));
        QCOMPARE(busA_->requests(1), std::uint64_t{0});
    }

    void closingOverALongerNameLeavesItsTail()
    {
        auto busC = std::make_unique<SimBus>(QStringLiteral("ttyAB"), std::vector<std::uint8_t>{1});
        offerPorts({QStringLiteral("ttyAB")});
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("ttyAB") + devices());
        createForms();
        Form1->show();
        QVERIFY(Form1->portOpen());
        Form3->Button1->click();
        QByteArray expected = configHeader("ttyAB");
        expected.replace(0, 5, QByteArray("\x04NULL"));
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), expected + devices());
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")).mid(5, 1), QByteArray("B"));
        destroyForms();
    }

    void escapeClosesTheDialogWithoutTouchingThePort()
    {
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + devices());
        createForms();
        Form1->show();
        bool closed = false;
        whenShown(Form3, [&] {
            Form3->Button1->setFocus();
            QTest::keyClick(Form3->Button1, Qt::Key_Escape);
            closed = !Form3->isVisible();
        });
        Form1->N6Click();
        QVERIFY(closed);
        QVERIFY(!Form1->portOpen());
        QCOMPARE(Form1->panelText(1), kNotConnected);
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), configHeader("NULL") + devices());
    }

    void aFailedOpenReportsAndTheNextPressResets()
    {
        writeFile(QStringLiteral("notatty"), "plain file");
        offerPorts({QStringLiteral("notatty")});
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + devices());
        createForms();
        Form1->show();

        Form3->Button1->click();
        QCOMPARE(Form1->panelText(1), QStringLiteral("Не удалось открыть порт"));
        QCOMPARE(Form1->portState(), TForm1::PortState::Failed);
        QCOMPARE(Form3->Button1->text(), QStringLiteral("Закрыть порт"));
        QVERIFY(!Form1->pollThread());
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), configHeader("NULL") + devices());
        QCOMPARE(readFile(QStringLiteral("notatty")), QByteArray("plain file"));

        Form3->Button1->click();
        QCOMPARE(Form1->portState(), TForm1::PortState::Closed);
        QCOMPARE(Form1->panelText(1), kNotConnected);
        QCOMPARE(Form3->Button1->text(), QStringLiteral("Открыть порт"));
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), configHeader("NULL") + devices());
    }

    void aFailedSettingLeavesTheStoredNameAndTheNextPressOpensAgain()
    {
        // The device opens but its line settings fail: the user may press again at once, and
        // the stored port name is never overwritten by the close path.
        struct Case {
            const char* name;
            std::function<void(testing::FakeSysIo&)> fault;
            QString status;
            bool nameStored; // the time-outs come after the settings: the port is named
        };
        const Case cases[] = {
            {"reading the settings", [](testing::FakeSysIo& io) { io.failTcgetattr = true; },
             QStringLiteral("Не удалось считать DCB"), false},
            {"setting the line", [](testing::FakeSysIo& io) { io.failTcsetattrCall = io.tcsetattrCalls + 1; },
             QStringLiteral("Не удалось установить DCB"), false},
            {"setting the time-outs", [](testing::FakeSysIo& io) { io.failTcsetattrCall = io.tcsetattrCalls + 2; },
             QStringLiteral("Не удалось установить тайм-ауты"), true},
        };
        for (const Case& c : cases) {
            PtyPair pty;
            QVERIFY(pty.ok());
            const QString path = QString::fromStdString(pty.slavePath());
            offerPorts({path});
            writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + devices());
            testing::FakeSysIo io;
            createForms(io);
            Form1->show();
            c.fault(io);
            Form3->Button1->click();
            QCOMPARE(Form1->panelText(1), c.status);
            QCOMPARE(Form1->portState(), TForm1::PortState::Closed);
            QCOMPARE(Form3->Button1->text(), QStringLiteral("Открыть порт"));
            QVERIFY(!Form1->pollThread());
            QCOMPARE(readFile(QStringLiteral("grafimo.cfg")).left(100),
                     configHeader(c.nameStored ? QFile::encodeName(path) : QByteArray("NULL")));
            // The next press opens.
            io.failTcgetattr = false;
            io.failTcsetattrCall = 0;
            Form3->Button1->click();
            QVERIFY2(Form1->portOpen(), c.name);
            QCOMPARE(readFile(QStringLiteral("grafimo.cfg")).left(100), configHeader(QFile::encodeName(path)));
            destroyForms();
        }
    }

    void aPortThatMayNotBeOpenedSaysWhatToDoOnce()
    {
        PtyPair pty;
        QVERIFY(pty.ok());
        const QString path = QString::fromStdString(pty.slavePath());
        offerPorts({path});
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + devices());
        testing::FakeSysIo io;
        createForms(io);
        Form1->show();
        io.openErrno = EACCES;
        Form3->Button1->click();
        QCOMPARE(Form1->panelText(1), QStringLiteral("Не удалось открыть порт"));
        QCOMPARE(boxes_->calls.size(), std::size_t{1});
        QVERIFY(boxes_->calls[0].text.contains(QStringLiteral("usermod -aG")));
        QVERIFY(boxes_->calls[0].text.contains(path));
        // The next press closes, the one after fails again: nothing more is said.
        Form3->Button1->click();
        Form3->Button1->click();
        QCOMPARE(boxes_->calls.size(), std::size_t{1});
        destroyForms();

        // Held by another program: busy.
        boxes_->calls.clear();
        io.openErrno = 0;
        io.failFlock = true;
        createForms(io);
        Form1->show();
        Form3->Button1->click();
        QCOMPARE(boxes_->calls.size(), std::size_t{1});
        QVERIFY(boxes_->calls[0].text.contains(QStringLiteral("занят")));
        destroyForms();
    }

    void anEmptyListWithAStoredNameFailsToOpen()
    {
        offerPorts({});
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("COM3") + devices());
        createForms();
        Form1->show();
        QCOMPARE(Form3->ComboBox1->count(), 0);
        QCOMPARE(Form3->portName(), QString());
        QCOMPARE(Form1->panelText(1), QStringLiteral("Не удалось открыть порт"));
        QVERIFY(!Form1->pollThread());
    }

    void aTypedTerminalPathIsOpened()
    {
        PtyPair pty;
        QVERIFY(pty.ok());
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + devices());
        createForms();
        Form1->show();
        const QString path = QString::fromStdString(pty.slavePath());
        Form3->ComboBox1->setEditText(path);
        Form3->Button1->click();
        QVERIFY(Form1->portOpen());
        QCOMPARE(Form1->panelText(1), kConnected + path);
        const QByteArray stored = readFile(QStringLiteral("grafimo.cfg"));
        QCOMPARE(stored.at(0), char(path.size()));
        QCOMPARE(stored.mid(1, path.size()), path.toUtf8());
        // The program polls device 1 on it.
        const std::vector<std::uint8_t> request = pty.receive(8, std::chrono::milliseconds(kWait));
        QCOMPARE(request, (std::vector<std::uint8_t>{0x01, 0x03, 0x00, 0x00, 0x00, 0x06, 0xC5, 0xC8}));
    }

    void aNameTooLongForTheHeaderIsUsedButNotStored()
    {
        const QString longName = QString(100, QLatin1Char('p'));
        auto bus = std::make_unique<SimBus>(longName, std::vector<std::uint8_t>{1});
        offerPorts({longName});
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + devices());
        createForms();
        Form1->show();
        Form3->Button1->click();
        QVERIFY(Form1->portOpen());
        QVERIFY(boxes_->anyContaining(QStringLiteral("не сохранено")));
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), configHeader("NULL") + devices());
        QVERIFY(bus->server->waitForRequests(1, 1, std::chrono::milliseconds(kWait)));
        destroyForms();
    }

    void withoutTheConfigurationFileThePortStillOpensAndCloses()
    {
        writeFile(QStringLiteral("grafimo.cfg"), configHeader("NULL") + devices());
        createForms();
        Form1->show();
        QVERIFY(QFile::remove(QStringLiteral("grafimo.cfg")));

        Form3->Button1->click();
        QVERIFY(Form1->portOpen());
        QCOMPARE(boxes_->count(QStringLiteral("нету файла!"), QStringLiteral("Ошибка!")), 1);
        Form3->Button1->click();
        QVERIFY(!Form1->portOpen());
        QCOMPARE(boxes_->count(QStringLiteral("нету файла!"), QStringLiteral("Ошибка!")), 2);
        QVERIFY(!QFile::exists(QStringLiteral("grafimo.cfg")));
    }

private:
    std::unique_ptr<SimBus> busA_;
    std::unique_ptr<SimBus> busB_;
};

QTEST_MAIN(PortDialogTest)
#include "port_dialog_test.moc"
