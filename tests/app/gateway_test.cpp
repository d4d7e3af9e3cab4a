// The windows with the bus behind a serial device server (the simulator on loopback TCP).

#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>

#include <memory>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Osnovnaya.h"
#include "Priemprotokol.h"
#include "TrendCharts.h"
#include "Ustanovkucom.h"
#include "app_test_support.h"
#include "grafimo_test/log_time.h"

using namespace grafimo;
using namespace grafimo::testing;

namespace {

constexpr int kWait = 20000;

// A loopback port that refuses (bound, not listening) or never completes a connection
// (listening with backlog 0, taken by one connection nobody accepts).
class LoopbackPort {
public:
    explicit LoopbackPort(bool jammed) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), len);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        endpoint = QStringLiteral("127.0.0.1:%1").arg(ntohs(a.sin_port));
        if (jammed && ::listen(fd_, 0) == 0) {
            filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            ::connect(filler_, reinterpret_cast<sockaddr*>(&a), len);
        }
    }
    ~LoopbackPort()
    {
        ::close(filler_);
        ::close(fd_);
    }
    QString endpoint;

private:
    int fd_;
    int filler_ = -1;
};

void openTyped(const QString& name)
{
    Form3->ComboBox1->setEditText(name);
    Form1->togglePort();
}

} // namespace

class GatewayTest : public WindowTest {
    Q_OBJECT

private slots:
    void init()
    {
        initWindowTest();
        offerPorts({});
    }
    void cleanup() { cleanupWindowTest(); }

    void theStoredGatewayIsConnectedToAndItsDeviceLogRead()
    {
        bus_ = std::make_unique<SimBus>(SimBus::Gateway{}, std::vector<std::uint8_t>{5});
        sim::LogSettings log;
        log.count = 40;
        bus_->server->setLog(5, log);
        const QByteArray stored = configHeader(bus_->link.toLatin1()) + deviceRecord(5, "dev5");
        writeFile(QStringLiteral("grafimo.cfg"), stored);
        createForms();
        Form1->show();
        QTRY_COMPARE_WITH_TIMEOUT(Form1->panelText(1), QStringLiteral("Подключен к ") + bus_->link, kWait);
        QCOMPARE(Form3->portName(), bus_->link);

        std::vector<std::pair<double, double>> points;
        whenShown(Form5, [&] {
            if (QTest::qWaitFor([] { return Form5->N3->isEnabled(); }, kWait)) {
                Form5->N3->trigger();
                [[maybe_unused]] const bool ended =
                    QTest::qWaitFor([] { return Form5->transfer() && Form5->transfer()->Finished(); }, kWait);
            }
            for (std::size_t i = 0; i < Form5->Series1->count(); ++i)
                points.emplace_back(Form5->Series1->x(i), Form5->Series1->y(i));
            Form5->close();
        });
        Form1->N9Click();
        QCOMPARE(points.size(), std::size_t{40});
        for (std::uint16_t i = 0; i < 40; ++i) {
            const sim::LogRecord r = sim::logRecordFor(5, i, log);
            QCOMPARE(points[i], std::make_pair(grafimo::test::logRecordTime(r), double{r.value1}));
        }
        // Polling goes on through the same connection: never a second one.
        QVERIFY(bus_->server->waitForAnswers(5, bus_->answers(5) + 2, std::chrono::milliseconds(kWait)));
        QCOMPARE(bus_->server->stats().connections, std::uint64_t{1});
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), stored);
        QVERIFY(boxes_->calls.empty());
    }

    // Bad names are refused before any connect; a refusing or silent gateway is reported;
    // a close during a connect returns at once. The stored name is kept throughout.
    void aBadNameOrAFailedConnectIsReportedAndACloseDuringAConnectReturnsAtOnce()
    {
        const QByteArray stored = configHeader("NULL") + deviceRecord(1, "one");
        writeFile(QStringLiteral("grafimo.cfg"), stored);
        createForms();
        Form1->show();
        const QString malformed[][2] = {
            {QStringLiteral("tcp://10.0.0.5"), QStringLiteral("номер порта")},
            {QStringLiteral("tcp://%1:502").arg(QString(90, QLatin1Char('g'))), QStringLiteral("длиннее 99 байт")},
        };
        for (const auto& row : malformed) {
            openTyped(row[0]);
            QCOMPARE(boxes_->calls.size(), std::size_t{1});
            QVERIFY(boxes_->calls[0].text.contains(row[1]) && boxes_->calls[0].text.contains(row[0]));
            QCOMPARE(Form1->portState(), TForm1::PortState::Closed);
            QCOMPARE(Form3->Button1->text(), QStringLiteral("Открыть порт"));
            QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), stored);
            boxes_->calls.clear();
        }

        const LoopbackPort refusing(false), silent(true);
        const std::pair<const LoopbackPort&, QString> failing[] = {{refusing, QStringLiteral("соединение отклонено")},
                                                                   {silent, QStringLiteral("нет ответа за 3 с")}};
        for (const auto& [port, reason] : failing) {
            openTyped(QStringLiteral("tcp://") + port.endpoint);
            QCOMPARE(Form1->portState(), TForm1::PortState::Connecting);
            QTRY_COMPARE_WITH_TIMEOUT(Form1->panelText(1),
                                      QStringLiteral("Не удалось подключиться к %1: %2").arg(port.endpoint, reason), kWait);
            QCOMPARE(Form1->portState(), TForm1::PortState::Failed);
            QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), stored);
            Form1->togglePort(); // the close path of a failed open
        }

        // Closed while the connect is under way: back at once, and nothing comes of it later.
        openTyped(QStringLiteral("tcp://") + silent.endpoint);
        QElapsedTimer closing;
        closing.start();
        Form1->togglePort();
        // A close that waited for the attempt would take its whole time limit.
        QVERIFY(closing.elapsed() < platform::TcpConnector::ConnectTimeout.count() * 3 / 4);
        QTest::qWait(4000);
        QCOMPARE(Form1->panelText(1), QStringLiteral("Не подключен"));
        QCOMPARE(Form1->portState(), TForm1::PortState::Closed);
        QVERIFY(boxes_->calls.empty());
    }

};

QTEST_MAIN(GatewayTest)
#include "gateway_test.moc"
