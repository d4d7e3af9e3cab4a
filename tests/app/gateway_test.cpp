// The windows with the bus behind a serial device server (the simulator on loopback TCP):
// the gateway's name as the port, the device log read through it, a gateway that refuses
// or never answers reported in the status bar, a close during a connect that returns at
// once, and malformed names refused before anything is opened or stored.

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
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

// A loopback socket held for the test: listening with a full backlog (a gateway that
// never completes a connection), or bound only (a port that refuses).
class LoopbackPort {
public:
    explicit LoopbackPort(bool jammed)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), len);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        if (jammed) {
            // Backlog 0 holds one connection that nobody accepts; later ones get no answer.
            ::listen(fd_, 0);
            filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            ::connect(filler_, reinterpret_cast<sockaddr*>(&a), len);
        }
    }
    ~LoopbackPort()
    {
        if (filler_ >= 0)
            ::close(filler_);
        ::close(fd_);
    }
    QString name() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(port_); }
    QString endpoint() const { return QStringLiteral("127.0.0.1:%1").arg(port_); }

private:
    int fd_ = -1;
    int filler_ = -1;
    unsigned port_ = 0;
};

void typePortName(const QString& name)
{
    Form3->ComboBox1->setEditText(name);
}

} // namespace

class GatewayTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        work_ = std::make_unique<WorkDir>();
        boxes_ = std::make_unique<ScriptedBoxes>();
        offerPorts({});
    }
    void cleanup()
    {
        destroyForms();
        bus_.reset();
        setSerialPortSource({});
        boxes_.reset();
        work_.reset();
    }

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
        QVERIFY(bus_->server->waitForAnswers(5, 2, std::chrono::milliseconds(kWait)));

        bool read = false;
        std::vector<std::pair<double, double>> points;
        whenShown(Form5, [&] {
            if (!QTest::qWaitFor([] { return Form5->N3->isEnabled(); }, kWait))
                return;
            Form5->N3->trigger();
            read = QTest::qWaitFor([] { return Form5->transfer() && Form5->transfer()->Finished(); }, kWait);
            for (std::size_t i = 0; i < Form5->Series1->count(); ++i)
                points.emplace_back(Form5->Series1->x(i), Form5->Series1->y(i));
            Form5->close();
        });
        Form1->N9Click();
        QVERIFY(read);
        QCOMPARE(points.size(), std::size_t{40});
        for (std::uint16_t i = 0; i < 40; ++i) {
            const sim::LogRecord r = sim::logRecordFor(5, i, log);
            QCOMPARE(points[i].first, grafimo::test::logRecordTime(r));
            QCOMPARE(points[i].second, static_cast<double>(r.value1));
        }
        // Polling goes on through the same connection: never a second one.
        const std::uint64_t answered = bus_->answers(5);
        QVERIFY(bus_->server->waitForAnswers(5, answered + 2, std::chrono::milliseconds(kWait)));
        QCOMPARE(bus_->server->stats().connections, std::uint64_t{1});
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), stored);
        QVERIFY(boxes_->calls.empty());
    }

    void aRefusingOrSilentGatewayIsReportedAndACloseDuringAConnectReturnsAtOnce()
    {
        const QByteArray stored = configHeader("NULL");
        writeFile(QStringLiteral("grafimo.cfg"), stored);
        createForms();
        Form1->show();

        const LoopbackPort refusing(false);
        typePortName(refusing.name());
        Form1->togglePort();
        QCOMPARE(Form1->portState(), TForm1::PortState::Connecting);
        QTRY_COMPARE_WITH_TIMEOUT(Form1->panelText(1),
                                  QStringLiteral("Не удалось подключиться к %1: соединение отклонено").arg(refusing.endpoint()),
                                  kWait);
        QCOMPARE(Form1->portState(), TForm1::PortState::Failed);
        QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), stored);
        Form1->togglePort(); // the close path of a failed open

        const LoopbackPort silent(true);
        typePortName(silent.name());
        Form1->togglePort();
        QTRY_COMPARE_WITH_TIMEOUT(Form1->panelText(1),
                                  QStringLiteral("Не удалось подключиться к %1: нет ответа за 3 с").arg(silent.endpoint()),
                                  kWait);
        Form1->togglePort();

        // Closed while the connect is under way: back at once, and nothing comes of it later.
        typePortName(silent.name());
        Form1->togglePort();
        QCOMPARE(Form1->portState(), TForm1::PortState::Connecting);
        QElapsedTimer closing;
        closing.start();
        Form1->togglePort();
        // A close that waited for the attempt would take its whole time limit.
        QVERIFY2(closing.elapsed() < platform::TcpConnector::ConnectTimeout.count() * 3 / 4,
                 qPrintable(QString::number(closing.elapsed())));
        QCOMPARE(Form1->portState(), TForm1::PortState::Closed);
        QTest::qWait(4000); // past the connect's own limit
        QCOMPARE(Form1->panelText(1), QStringLiteral("Не подключен"));
        QCOMPARE(Form1->portState(), TForm1::PortState::Closed);
        QVERIFY(!Form1->rxThread() && !Form1->pollThread());
        QVERIFY(boxes_->calls.empty());
    }

    void aMalformedOrOverlongNameIsRefusedAndTheStoredNameKept()
    {
        const QByteArray stored = configHeader("/dev/ttyUSB7") + deviceRecord(1, "one");
        writeFile(QStringLiteral("grafimo.cfg"), stored);
        createForms();
        Form1->show();
        if (Form1->portState() != TForm1::PortState::Closed)
            Form1->togglePort();
        writeFile(QStringLiteral("grafimo.cfg"), stored);
        const struct {
            QString name;
            QString said;
        } rows[] = {
            {QStringLiteral("tcp://10.0.0.5"), QStringLiteral("номер порта")},
            {QStringLiteral("tcp://10.0.0.5:0"), QStringLiteral("от 1 до 65535")},
            {QStringLiteral("tcp://10.0.0.5:65536"), QStringLiteral("от 1 до 65535")},
            {QStringLiteral("tcp://:502"), QStringLiteral("не указан узел")},
            {QStringLiteral("tcp://%1:502").arg(QString(90, QLatin1Char('g'))), QStringLiteral("длиннее 99 байт")},
        };
        for (const auto& row : rows) {
            boxes_->calls.clear();
            typePortName(row.name);
            Form1->togglePort();
            QVERIFY2(boxes_->calls.size() == 1 && boxes_->calls[0].text.contains(row.said)
                         && boxes_->calls[0].text.contains(row.name),
                     qPrintable(row.name));
            QCOMPARE(boxes_->calls[0].caption, QStringLiteral("Ошибка!"));
            QCOMPARE(Form1->portState(), TForm1::PortState::Closed);
            QCOMPARE(Form3->Button1->text(), QStringLiteral("Открыть порт"));
            QCOMPARE(readFile(QStringLiteral("grafimo.cfg")), stored);
        }
    }

private:
    std::unique_ptr<WorkDir> work_;
    std::unique_ptr<ScriptedBoxes> boxes_;
    std::unique_ptr<SimBus> bus_;
};

QTEST_MAIN(GatewayTest)
#include "gateway_test.moc"
